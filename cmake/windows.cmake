# Third-party libraries and platform settings of the Windows x64 cross build
# (toolchain cmake/mingw-w64.cmake, dependencies in .deps/windows from
# `scripts/setup --windows`). Included by the top-level CMakeLists in place of
# the Linux section.
#
# bin/ is the whole install: the programs, shared_enc_dep.dll and the runtime
# DLL side by side. Windows looks for a program's DLLs in its own folder first.

set(K2_WINDOWS_DEPS "$ENV{K2_WINDOWS_DEPS}" CACHE PATH "Windows dependencies (scripts/setup --windows)")
set(K2_TFLITE_DIR "${K2_WINDOWS_DEPS}/tflite")

# DLLs are named as on Windows (shared_enc_dep.dll, not libshared_enc_dep.dll).
set(CMAKE_SHARED_LIBRARY_PREFIX "")
set(CMAKE_SHARED_MODULE_PREFIX "")
# Only static libraries, so no MinGW-built DLL has to travel with the programs.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)

find_file(TFLITE_C_DLL tensorflowlite_c.dll PATHS "${K2_TFLITE_DIR}/bin" NO_DEFAULT_PATH
          NO_CMAKE_FIND_ROOT_PATH REQUIRED)
# Loaded by the host when it builds the chain (src/litert), never linked: a program that
# imported it would die in the loader, before main, wherever the runtime or
# the C++ runtime it needs is missing.
add_library(tflite_c INTERFACE IMPORTED GLOBAL)
set_target_properties(tflite_c PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${K2_TFLITE_DIR}/include"
  INTERFACE_COMPILE_DEFINITIONS TFL_STATIC_LIBRARY_BUILD)
file(COPY "${TFLITE_C_DLL}" DESTINATION "${CMAKE_BINARY_DIR}/bin")

find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip)
set(ZLIB_USE_STATIC_LIBS ON)
find_package(ZLIB REQUIRED)
find_package(Threads REQUIRED)
find_program(FLATC flatc REQUIRED)

# Header-only, copied by the setup from the Linux packages.
find_path(K2_WINDOWS_HEADERS nlohmann/json.hpp PATHS "${K2_WINDOWS_DEPS}/include" NO_DEFAULT_PATH
          NO_CMAKE_FIND_ROOT_PATH REQUIRED)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${K2_WINDOWS_HEADERS}")
add_library(flatbuffers::flatbuffers INTERFACE IMPORTED GLOBAL)
set_target_properties(flatbuffers::flatbuffers PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${K2_WINDOWS_HEADERS}")

# SHA-256 from the platform (base/sha256_win.cpp).
set(K2_CRYPTO_LIBS bcrypt)
set(K2_SYSTEM_LIBS bcrypt)

# Wide (UTF-16) Win32 calls throughout; the code names them explicitly (…W),
# the macros only keep stray narrow ones from compiling.
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00)

# Windows programs built here run under Wine: tests through ctest, each with
# the build tree's own prefix (created on first use).
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_SOURCE_DIR}/cmake/wine-run;${CMAKE_BINARY_DIR}/wineprefix")
