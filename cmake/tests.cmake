# --- tests: one executable per subsystem directory -----------------------------
if(K2_BUILD_TESTS)
  enable_testing()
  find_package(GTest REQUIRED)
  include(GoogleTest)
  # glibc's malloc checker aborts at the first damaged heap chunk, so a fault
  # inside the runtime library (which no sanitizer instruments) shows at the
  # test that caused it, not at some later allocation. It is inherited by the
  # host processes the tests start. Sanitizer builds have their own allocator.
  if(NOT WIN32)
    # The test programs' own architecture (arm64 multiarch when cross-built).
    set(k2_libdirs /lib64 /usr/lib64)
    if(CMAKE_LIBRARY_ARCHITECTURE)
      set(k2_libdirs /lib/${CMAKE_LIBRARY_ARCHITECTURE} /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})
    endif()
    find_file(K2_MALLOC_DEBUG_LIB libc_malloc_debug.so.0 PATHS ${k2_libdirs} NO_DEFAULT_PATH
              NO_CMAKE_FIND_ROOT_PATH)
  endif()
  if(K2_MALLOC_DEBUG_LIB AND NOT K2_ANY_SANITIZER)
    # Test discovery splits list-valued properties, so the two variables are
    # set by a launcher instead of the tests' ENVIRONMENT. A cross build's
    # emulator comes after it and passes the environment on.
    set(K2_TEST_LAUNCHER env "LD_PRELOAD=${K2_MALLOC_DEBUG_LIB}" "MALLOC_CHECK_=3"
        ${CMAKE_CROSSCOMPILING_EMULATOR})
  endif()
  # Makes a test process look like another processor to CPUID (tests only;
  # a preloaded library, so Linux only; CPUID is an x86 instruction).
  if(NOT WIN32 AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    add_library(k2_fake_cpuid SHARED tests/chain/fake_cpuid.c)
    set(K2_FAKE_CPUID_FILE "$<TARGET_FILE:k2_fake_cpuid>")
  endif()
  # The host as a release lays it out, with no run path into the build's
  # dependencies: a copy of it finds the runtime beside itself or nowhere, so
  # a test can take the runtime away. (A Windows program has no run path.)
  if(NOT WIN32)
    add_executable(render_stream_host_alone src/velmora/_kinra2/_litert_host.cpp)
    target_link_libraries(render_stream_host_alone PRIVATE kinra2_core)
    set_target_properties(render_stream_host_alone PROPERTIES BUILD_WITH_INSTALL_RPATH ON)
  endif()
  # The Windows test programs run under Wine (CMAKE_CROSSCOMPILING_EMULATOR),
  # whose start costs seconds: they are listed when ctest runs, not at build
  # time, and given longer to answer.
  if(CMAKE_CROSSCOMPILING)
    set(K2_DISCOVERY DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 300)
  else()
    set(K2_DISCOVERY DISCOVERY_TIMEOUT 60)
  endif()
  file(GLOB K2_TEST_DIRS LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tests/*)
  foreach(dir ${K2_TEST_DIRS})
    if(NOT IS_DIRECTORY ${dir})
      continue()
    endif()
    get_filename_component(sub ${dir} NAME)
    if(sub STREQUAL "support")
      continue()  # helpers shared by the test programs, not a test program
    endif()
    file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
    if(NOT srcs)
      continue()
    endif()
    add_executable(test_${sub} ${srcs})
    target_include_directories(test_${sub} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
    # GCC 12 reports impossible overlaps for inlined string concatenation
    # (a known false positive) all over test code.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      target_compile_options(test_${sub} PRIVATE -Wno-restrict)
    endif()
    target_link_libraries(test_${sub} PRIVATE kinra2_core GTest::gtest GTest::gtest_main GTest::gmock)
    if(sub STREQUAL "tools")
      # The libraries a tool keeps for itself, tested beside the tool.
      target_link_libraries(test_${sub} PRIVATE ${K2_TOOL_LIBS})
    endif()
    target_compile_definitions(test_${sub} PRIVATE
      K2_BIN_DIR="${CMAKE_BINARY_DIR}/bin" K2_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
      K2_EXE_SUFFIX="${CMAKE_EXECUTABLE_SUFFIX}"
      K2_FAKE_CPUID_LIB="${K2_FAKE_CPUID_FILE}"
      K2_MALLOC_DEBUG_LIB="${K2_MALLOC_DEBUG_LIB}"
      $<$<BOOL:${K2_ANY_SANITIZER}>:K2_SANITIZE=1>)
    if(TARGET k2_fake_cpuid)
      add_dependencies(test_${sub} k2_fake_cpuid)
    endif()
    # Programs the test drives as a user would must exist before it runs.
    add_dependencies(test_${sub} render_stream_host_litert)
    if(TARGET render_stream_host_alone)
      add_dependencies(test_${sub} render_stream_host_alone)
    endif()
    foreach(t ${K2_TOOL_TARGETS})
      add_dependencies(test_${sub} ${t})
    endforeach()
    if(K2_TEST_LAUNCHER)
      set_property(TARGET test_${sub} PROPERTY CROSSCOMPILING_EMULATOR ${K2_TEST_LAUNCHER})
    endif()
    gtest_discover_tests(test_${sub} ${K2_DISCOVERY} PROPERTIES TIMEOUT 600)
  endforeach()
endif()

# --- the Windows build against the Linux one ----------------------------------
# One record stream through a Linux build's host and through this build's
# host under Wine, for every form of the demo bundle: the same bytes and the
# same exit status (scripts/same-bytes). Skipped (77) without a Linux build.
if(K2_BUILD_TESTS AND WIN32 AND CMAKE_CROSSCOMPILING)
  find_program(K2_PYTHON3 python3)
  set(K2_LINUX_BIN_DIR "${CMAKE_SOURCE_DIR}/build/bin" CACHE PATH
      "bin/ of the Linux build whose output the Windows host must match")
  if(K2_PYTHON3)
    add_test(NAME SameBytes.WindowsUnderWineAndLinux
             COMMAND ${K2_PYTHON3} ${CMAKE_SOURCE_DIR}/scripts/same-bytes
                     --linux ${K2_LINUX_BIN_DIR} --windows ${CMAKE_BINARY_DIR}/bin
                     --wine ${CMAKE_SOURCE_DIR}/cmake/wine-run --prefix ${CMAKE_BINARY_DIR}/wineprefix)
    set_tests_properties(SameBytes.WindowsUnderWineAndLinux PROPERTIES SKIP_RETURN_CODE 77
                         TIMEOUT 1800)
  endif()
endif()

# --- the arm64 build against the x86-64 one -----------------------------------
# One record stream through an x86-64 build's host and through this build's
# host under QEMU, for the exact demo bundle (make_demo_bundle --exact): the
# same bytes (scripts/same-bytes-arm64). Skipped (77) without an x86-64 build.
if(K2_BUILD_TESTS AND CMAKE_CROSSCOMPILING AND NOT WIN32)
  find_program(K2_PYTHON3 python3)
  set(K2_X86_BIN_DIR "${CMAKE_SOURCE_DIR}/build/bin" CACHE PATH
      "bin/ of the x86-64 build whose output the arm64 host must match")
  if(K2_PYTHON3)
    add_test(NAME SameBytes.Arm64UnderQemuAndX86
             COMMAND ${K2_PYTHON3} ${CMAKE_SOURCE_DIR}/scripts/same-bytes-arm64
                     --x86 ${K2_X86_BIN_DIR} --arm64 ${CMAKE_BINARY_DIR}/bin
                     --qemu ${CMAKE_CROSSCOMPILING_EMULATOR})
    set_tests_properties(SameBytes.Arm64UnderQemuAndX86 PROPERTIES SKIP_RETURN_CODE 77
                         TIMEOUT 1800 LABELS same-bytes)
  endif()
endif()
