# Cross build for Windows x64 with Debian's mingw-w64 (POSIX thread model),
# against the universal CRT: the runtime DLL uses it, and only a program on
# the same C runtime shares its descriptor table, so that redirecting
# descriptor 2 also catches what the runtime prints.
# Everything not in the toolchain itself comes from .deps/windows, made by
# `scripts/setup --windows`.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(K2_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${K2_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${K2_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${K2_MINGW}-windres)
set(CMAKE_AR ${K2_MINGW}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${K2_MINGW}-ranlib CACHE FILEPATH "")

if(NOT K2_WINDOWS_DEPS)
  if(DEFINED ENV{K2_WINDOWS_DEPS})
    set(K2_WINDOWS_DEPS "$ENV{K2_WINDOWS_DEPS}")
  else()
    get_filename_component(K2_WINDOWS_DEPS "${CMAKE_CURRENT_LIST_DIR}/../.deps/windows" ABSOLUTE)
  endif()
endif()
# try_compile projects read this file again; they must see the same values.
set(ENV{K2_WINDOWS_DEPS} "${K2_WINDOWS_DEPS}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES K2_WINDOWS_DEPS)

# The specs file (written by the setup from the compiler's own) swaps msvcrt
# for the UCRT. The static winpthread was built for msvcrt and calls
# _setjmp, which the UCRT import library exports under another name.
set(K2_UCRT_SPECS "${K2_WINDOWS_DEPS}/ucrt.specs")
if(NOT EXISTS "${K2_UCRT_SPECS}")
  message(FATAL_ERROR "${K2_UCRT_SPECS} is missing: run scripts/setup --windows")
endif()
set(CMAKE_C_FLAGS_INIT "-specs=${K2_UCRT_SPECS}")
set(CMAKE_CXX_FLAGS_INIT "-specs=${K2_UCRT_SPECS}")
# The C++ runtime, libgcc and winpthread are linked in, so the folder of
# programs needs no MinGW DLL beside them.
set(K2_MINGW_LINK "-static -Wl,--defsym,_setjmp=__intrinsic_setjmp")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${K2_MINGW_LINK}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${K2_MINGW_LINK}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${K2_MINGW_LINK}")

set(CMAKE_FIND_ROOT_PATH /usr/${K2_MINGW} "${K2_WINDOWS_DEPS}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config must see only the Windows libraries.
set(ENV{PKG_CONFIG_LIBDIR} "${K2_WINDOWS_DEPS}/lib/pkgconfig:/usr/${K2_MINGW}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
