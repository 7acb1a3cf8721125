# --- benchmarks ----------------------------------------------------------------
if(K2_BUILD_BENCH)
  find_package(benchmark REQUIRED)
  file(GLOB K2_BENCH_SRC CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/*.cpp)
  foreach(src ${K2_BENCH_SRC})
    get_filename_component(stem ${src} NAME_WE)
    add_executable(${stem} ${src})
    target_link_libraries(${stem} PRIVATE kinra2_core benchmark::benchmark)
    target_compile_definitions(${stem} PRIVATE K2_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
    target_include_directories(${stem} PRIVATE ${CMAKE_SOURCE_DIR}/tests)  # support/*.hpp
  endforeach()
endif()
