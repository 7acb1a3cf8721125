# Fuzz harnesses (libFuzzer, clang only) and the replay of their regression
# inputs in the normal test suite (any compiler).
#
#   cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
#         -DK2_FUZZ=ON -DK2_BUILD_TESTS=OFF -DK2_BUILD_BENCH=OFF
#
# scripts/fuzz does exactly that and runs every harness.
option(K2_FUZZ "Build the libFuzzer harnesses (clang, with ASan and UBSan)" OFF)

set(K2_FUZZ_HARNESSES record_stream imx_container zip_bundle color_json manifests model_file model_run)
set(K2_FUZZ_COMMON
  ${CMAKE_SOURCE_DIR}/fuzz/harness_common.cpp
  ${CMAKE_SOURCE_DIR}/fuzz/imx_container_fuzz.cpp)  # holds the bundle reader both container harnesses share

if(K2_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(WARNING "K2_FUZZ needs clang (libFuzzer); the harnesses are not built with ${CMAKE_CXX_COMPILER_ID}")
  else()
    # Coverage feedback for the code under test, sanitizers everywhere it runs.
    set(k2_fuzz_san -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    foreach(layer ${K2_LAYERS})
      target_compile_options(k2_${layer} PUBLIC ${k2_fuzz_san} PRIVATE -fsanitize=fuzzer-no-link)
      target_link_options(k2_${layer} INTERFACE -fsanitize=address,undefined)
    endforeach()
    if(TARGET shared_enc_dep)
      # The policy component parses manifest text for the host: sanitize it too.
      target_compile_options(shared_enc_dep PRIVATE ${k2_fuzz_san})
      target_link_options(shared_enc_dep PRIVATE -fsanitize=address,undefined)
    endif()
    foreach(h ${K2_FUZZ_HARNESSES})
      set(src ${CMAKE_SOURCE_DIR}/fuzz/${h}_fuzz.cpp)
      list(REMOVE_ITEM src ${K2_FUZZ_COMMON})
      add_executable(fuzz_${h} ${CMAKE_SOURCE_DIR}/fuzz/entry.cpp ${src} ${K2_FUZZ_COMMON})
      target_compile_definitions(fuzz_${h} PRIVATE K2_FUZZ_ENTRY=${h})
      target_compile_options(fuzz_${h} PRIVATE -fsanitize=fuzzer)
      target_link_options(fuzz_${h} PRIVATE -fsanitize=fuzzer)
      target_link_libraries(fuzz_${h} PRIVATE kinra2_core)
      target_include_directories(fuzz_${h} PRIVATE ${CMAKE_SOURCE_DIR}/tests)  # support/scoped_env.hpp
      if(TARGET shared_enc_dep)
        add_dependencies(fuzz_${h} shared_enc_dep)
      endif()
    endforeach()
    # The model harness's seeds: the crafted models of the admission tests.
    add_executable(fuzz_model_seeds ${CMAKE_SOURCE_DIR}/fuzz/model_seeds.cpp
                   ${CMAKE_SOURCE_DIR}/tests/chain/crafted_models.cpp
                   ${CMAKE_SOURCE_DIR}/tests/chain/tiny_models.cpp)
    target_include_directories(fuzz_model_seeds PRIVATE ${CMAKE_SOURCE_DIR}/tests
                               ${CMAKE_SOURCE_DIR}/tests/chain)
    target_link_libraries(fuzz_model_seeds PRIVATE kinra2_core)
  endif()
endif()

# Every input a fuzzer ever crashed on is replayed by the ordinary tests.
if(K2_BUILD_TESTS)
  set(k2_replay_src ${K2_FUZZ_COMMON} ${CMAKE_SOURCE_DIR}/fuzz/replay_test.cpp)
  foreach(h ${K2_FUZZ_HARNESSES})
    list(APPEND k2_replay_src ${CMAKE_SOURCE_DIR}/fuzz/${h}_fuzz.cpp)
  endforeach()
  list(REMOVE_DUPLICATES k2_replay_src)
  add_executable(test_fuzz_regressions ${k2_replay_src})
  target_include_directories(test_fuzz_regressions PRIVATE ${CMAKE_SOURCE_DIR}/fuzz ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(test_fuzz_regressions PRIVATE kinra2_core GTest::gtest GTest::gtest_main)
  target_compile_definitions(test_fuzz_regressions PRIVATE K2_FUZZ_DIR="${CMAKE_SOURCE_DIR}/fuzz")
  if(TARGET shared_enc_dep)
    add_dependencies(test_fuzz_regressions shared_enc_dep)
  endif()
  gtest_discover_tests(test_fuzz_regressions DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
endif()
