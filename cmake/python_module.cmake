# The host as the CPython 3.12 extension module velmora._kinra2._litert_host,
# built from the same core library as the native program, against the limited
# API only. Without a working Python 3.12 (headers included) the module is
# skipped and nothing else changes.
#
# Build-tree layout (put ${CMAKE_BINARY_DIR}/python on PYTHONPATH):
#   python/velmora/_kinra2/__init__.py
#   python/velmora/_kinra2/_litert_host/__init__<EXT_SUFFIX>   the module itself
#   python/velmora/_kinra2/_litert_host/__main__.py            `python -m` runs main
#   python/velmora/_kinra2/_litert_host/libshared_enc_dep.so   the policy component
# The module is its package's __init__ because `-m` runs a package's __main__
# but cannot run an extension module directly.
#
# Cross-built for Windows the same package holds __init__.cp312-win_amd64.pyd,
# linked against python3.dll alone, with shared_enc_dep.dll and the runtime's
# DLLs beside it (Windows looks for a .pyd's DLLs in its own folder). No
# Windows Python runs here: that build is checked by its imports and exports,
# and run under Wine by a stand-in for python3.dll (tests/python/standin).

# Whether `exe` runs and is a 3.12.
function(k2_python312_runs exe out)
  set(${out} FALSE PARENT_SCOPE)
  if(NOT exe)
    return()
  endif()
  execute_process(COMMAND "${exe}" -c "import sys; sys.exit(sys.version_info[:2] != (3, 12))"
                  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET TIMEOUT 20)
  if(rc EQUAL 0)
    set(${out} TRUE PARENT_SCOPE)
  endif()
endfunction()

# In order: $PYTHON, python3.12 on PATH (a version-manager shim may be there
# without working), then pyenv's own 3.12 installs, newest first.
set(K2_PY_CANDIDATES)
if(DEFINED ENV{PYTHON})
  list(APPEND K2_PY_CANDIDATES "$ENV{PYTHON}")
endif()
find_program(K2_PY_ON_PATH python3.12 NO_CACHE)
if(K2_PY_ON_PATH)
  list(APPEND K2_PY_CANDIDATES "${K2_PY_ON_PATH}")
endif()
file(GLOB K2_PY_PYENV "$ENV{HOME}/.pyenv/versions/3.12*/bin/python3.12")
list(SORT K2_PY_PYENV COMPARE NATURAL ORDER DESCENDING)
list(APPEND K2_PY_CANDIDATES ${K2_PY_PYENV})

set(K2_PYTHON "")
foreach(c ${K2_PY_CANDIDATES})
  k2_python312_runs("${c}" ok)
  if(ok)
    set(K2_PYTHON "${c}")
    break()
  endif()
endforeach()

set(K2_PY_ROOT ${CMAKE_BINARY_DIR}/python)
set(K2_PY_PKG ${K2_PY_ROOT}/velmora/_kinra2/_litert_host)
set(K2_PY_SRC ${CMAKE_SOURCE_DIR}/src/velmora/_kinra2)

# The package around the module: its Python files and the policy component
# (loaded by path from the module's folder), plus any further files given.
# Copied on every build, not after the module's link, so that a rebuilt
# component never leaves a stale copy behind. Build this target to get the
# whole package.
function(k2_module_package)
  add_custom_target(k2_litert_host_package ALL
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${K2_PY_SRC}/__init__.py ${K2_PY_ROOT}/velmora/_kinra2/__init__.py
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${K2_PY_SRC}/_litert_host/__main__.py ${K2_PY_PKG}/__main__.py
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:shared_enc_dep> ${ARGN} ${K2_PY_PKG}/
    COMMAND_EXPAND_LISTS VERBATIM)
  add_dependencies(k2_litert_host_package k2_litert_host_module shared_enc_dep)
endfunction()

# A cross build's module takes the headers of the interpreter found above
# (the limited API's are the same for every target) into py_inc; without
# them the module is skipped, with the reason, and the rest of this file too.
macro(k2_cross_python_headers)
  if(NOT K2_PYTHON)
    message(STATUS "Python extension module velmora._kinra2._litert_host: skipped, no working Python 3.12 "
                   "($PYTHON, python3.12, ~/.pyenv/versions/3.12*) to take the headers from")
    return()
  endif()
  execute_process(COMMAND "${K2_PYTHON}" -c "import sysconfig; print(sysconfig.get_config_var('INCLUDEPY'))"
                  OUTPUT_VARIABLE py_inc OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT EXISTS "${py_inc}/Python.h")
    message(STATUS "Python extension module velmora._kinra2._litert_host: skipped, ${K2_PYTHON} has no headers")
    return()
  endif()
endmacro()

if(WIN32)
  # Cross-built: the Linux interpreter found above lends its headers, which
  # are platform-neutral but for pyconfig.h; ours for Windows x64 replaces it
  # in a copy (Python.h includes it by quotes, so its own folder wins).
  k2_cross_python_headers()
  find_program(K2_DLLTOOL NAMES ${CMAKE_DLLTOOL} x86_64-w64-mingw32-dlltool REQUIRED)
  message(STATUS "Python extension module velmora._kinra2._litert_host: building for Windows with the headers of ${K2_PYTHON}")

  set(inc ${CMAKE_BINARY_DIR}/python3.12-windows-include)
  file(COPY ${py_inc}/ DESTINATION ${inc} PATTERN pyconfig.h EXCLUDE)
  configure_file(${K2_PY_SRC}/windows/pyconfig.h ${inc}/pyconfig.h COPYONLY)

  set(implib ${CMAKE_BINARY_DIR}/libpython3.dll.a)
  add_custom_command(OUTPUT ${implib}
    COMMAND ${K2_DLLTOOL} --input-def ${K2_PY_SRC}/windows/python3.def --dllname python3.dll
            --output-lib ${implib}
    DEPENDS ${K2_PY_SRC}/windows/python3.def
    COMMENT "import library of python3.dll" VERBATIM)
  add_custom_target(k2_python3_implib DEPENDS ${implib})

  add_library(k2_litert_host_module MODULE ${K2_PY_SRC}/_litert_host_module.cpp)
  target_compile_definitions(k2_litert_host_module PRIVATE K2_VERSION="${PROJECT_VERSION}")
  target_include_directories(k2_litert_host_module PRIVATE ${inc})
  target_link_libraries(k2_litert_host_module PRIVATE kinra2_core ${implib})
  add_dependencies(k2_litert_host_module k2_python3_implib)
  set_target_properties(k2_litert_host_module PROPERTIES
    PREFIX ""
    OUTPUT_NAME __init__
    SUFFIX .cp312-win_amd64.pyd
    LIBRARY_OUTPUT_DIRECTORY ${K2_PY_PKG}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  # The DLLs it imports go beside it, where Windows looks for them, and so
  # does the LiteRT runtime it loads itself.
  k2_module_package($<TARGET_RUNTIME_DLLS:k2_litert_host_module> ${TFLITE_C_DLL})

  if(K2_BUILD_TESTS)
    # No Windows Python here. What a Windows Python would need is read from
    # the module's PE headers, and a stand-in for python3.dll loads it under
    # Wine the way Python does and calls its main().
    add_test(NAME python.pyd_imports
             COMMAND ${K2_PYTHON} ${CMAKE_SOURCE_DIR}/tests/python/pyd_imports.py
                     ${CMAKE_OBJDUMP} $<TARGET_FILE:k2_litert_host_module> ${K2_PY_SRC}/windows/python3.def)
    set_tests_properties(python.pyd_imports PROPERTIES TIMEOUT 60)

    set(standin ${CMAKE_SOURCE_DIR}/tests/python/standin)
    set(standin_dir ${CMAKE_BINARY_DIR}/python-standin)
    add_library(k2_python3_standin SHARED ${standin}/python3.c)
    target_include_directories(k2_python3_standin PRIVATE ${inc})
    set_target_properties(k2_python3_standin PROPERTIES
      OUTPUT_NAME python3 C_STANDARD 11
      RUNTIME_OUTPUT_DIRECTORY ${standin_dir} ARCHIVE_OUTPUT_DIRECTORY ${standin_dir})
    add_executable(pyd_host ${standin}/pyd_host.c)
    target_link_libraries(pyd_host PRIVATE k2_python3_standin)
    set_target_properties(pyd_host PROPERTIES C_STANDARD 11 RUNTIME_OUTPUT_DIRECTORY ${standin_dir})
    add_dependencies(pyd_host k2_litert_host_package)
    add_test(NAME python.pyd_standin
             COMMAND ${K2_PYTHON} ${CMAKE_SOURCE_DIR}/tests/python/pyd_standin.py ${CMAKE_BINARY_DIR}/bin
                     $<TARGET_FILE:pyd_host> $<TARGET_FILE:k2_litert_host_module> ${CMAKE_CROSSCOMPILING_EMULATOR})
    set_tests_properties(python.pyd_standin PROPERTIES TIMEOUT 900)
  endif()
  return()
endif()

if(CMAKE_CROSSCOMPILING)
  # Linux cross build (arm64): the machine's interpreter lends its headers,
  # which the limited API keeps free of anything that differs between 64-bit
  # little-endian Linux processors; the suffix names the target. No Python
  # for the target runs here, so the module is built, not tested (the native
  # build tests the same source).
  k2_cross_python_headers()
  message(STATUS "Python extension module velmora._kinra2._litert_host: building for ${CMAKE_LIBRARY_ARCHITECTURE} "
                 "with the headers of ${K2_PYTHON} (not run: no Python for the target here)")
  add_library(k2_litert_host_module MODULE ${K2_PY_SRC}/_litert_host_module.cpp)
  target_compile_definitions(k2_litert_host_module PRIVATE K2_VERSION="${PROJECT_VERSION}")
  target_include_directories(k2_litert_host_module PRIVATE ${py_inc})
  target_link_libraries(k2_litert_host_module PRIVATE kinra2_core)
  set_target_properties(k2_litert_host_module PROPERTIES
    PREFIX ""
    OUTPUT_NAME __init__
    SUFFIX .cpython-312-${CMAKE_LIBRARY_ARCHITECTURE}.so
    LIBRARY_OUTPUT_DIRECTORY ${K2_PY_PKG}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_options(k2_litert_host_module PRIVATE -Wl,--exclude-libs,ALL)
  k2_module_package(${TFLITE_C_LIB})
  if(K2_BUILD_TESTS AND CMAKE_READELF)
    # What an interpreter of the target would need, read from the module's
    # dynamic section: its init function as the one export, no libpython.
    add_test(NAME python.module_exports
             COMMAND sh -c "out=$(\"$0\" -W -d --dyn-syms \"$1\") &&
                            [ \"$(echo \"$out\" | awk '$5 == \"GLOBAL\" && $7 != \"UND\" {print $8}')\" = PyInit__litert_host ] &&
                            ! echo \"$out\" | grep -q 'NEEDED.*libpython'"
                     ${CMAKE_READELF} $<TARGET_FILE:k2_litert_host_module>)
    set_tests_properties(python.module_exports PROPERTIES TIMEOUT 60)
  endif()
  return()
endif()

if(K2_PYTHON)
  # Headers and the module suffix come from the chosen interpreter's sysconfig.
  set(Python3_EXECUTABLE "${K2_PYTHON}")
  find_package(Python3 3.12 EXACT QUIET COMPONENTS Interpreter Development.Module)
endif()

if(NOT K2_PYTHON OR NOT Python3_Development.Module_FOUND)
  if(K2_PYTHON)
    set(why "${K2_PYTHON} has no development headers")
  else()
    set(why "no working Python 3.12 ($PYTHON, python3.12, ~/.pyenv/versions/3.12*)")
  endif()
  message(STATUS "Python extension module velmora._kinra2._litert_host: skipped, ${why}")
  return()
endif()
message(STATUS "Python extension module velmora._kinra2._litert_host: building for ${Python3_EXECUTABLE}")

Python3_add_library(k2_litert_host_module MODULE WITH_SOABI ${K2_PY_SRC}/_litert_host_module.cpp)
target_compile_definitions(k2_litert_host_module PRIVATE K2_VERSION="${PROJECT_VERSION}")
target_link_libraries(k2_litert_host_module PRIVATE kinra2_core)
set_target_properties(k2_litert_host_module PROPERTIES
  OUTPUT_NAME __init__
  LIBRARY_OUTPUT_DIRECTORY ${K2_PY_PKG}
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)
# Export nothing but the init function: the core's symbols must not clash
# with other extension modules loaded into the same interpreter.
target_link_options(k2_litert_host_module PRIVATE -Wl,--exclude-libs,ALL)
# The runtime beside the module, where it looks first.
k2_module_package(${TFLITE_C_LIB})

if(K2_BUILD_TESTS)
  set(K2_PY_TEST_ENV
    "PYTHONPATH=${K2_PY_ROOT}"
    "K2_BIN_DIR=${CMAKE_BINARY_DIR}/bin"
    "K2_PYTHON=${Python3_EXECUTABLE}"
    "PYTHONDONTWRITEBYTECODE=1")
  if(K2_SANITIZE)
    # The interpreter is not instrumented, so the runtimes must come first;
    # its own allocations at exit are not ours to report.
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                    OUTPUT_VARIABLE asan OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libubsan.so
                    OUTPUT_VARIABLE ubsan OUTPUT_STRIP_TRAILING_WHITESPACE)
    list(APPEND K2_PY_TEST_ENV "LD_PRELOAD=${asan}:${ubsan}" "ASAN_OPTIONS=detect_leaks=0")
  endif()
  file(GLOB K2_PY_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/python/test_*.py)
  foreach(t ${K2_PY_TESTS})
    get_filename_component(stem ${t} NAME_WE)
    add_test(NAME python.${stem} COMMAND ${Python3_EXECUTABLE} ${t})
    set_tests_properties(python.${stem} PROPERTIES ENVIRONMENT "${K2_PY_TEST_ENV}" TIMEOUT 600)
  endforeach()
endif()
