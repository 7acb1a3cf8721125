# The Linux release builds (presets linux-baseline, linux-baseline-arm64):
# one baseline for every Linux artefact, glibc 2.31 and the C++ runtime of
# GCC 10 (Debian 11, Ubuntu 20.04 and every later glibc distribution).
#
# The code needs GCC 12's C++ library, so the machine's GCC 12 compiles
# against a Debian 11 sysroot (.deps/baseline/bullseye-<arch>, made by
# `scripts/setup --baseline`): C headers, glibc, libgcc_s and zlib come from
# there, the C++ headers from GCC 12, and the C++ runtime is linked into each
# of our files (-static-libstdc++), so nothing of ours needs a GLIBCXX
# version at all. libzip (built by the setup, zlib only) and libcrypto are
# linked statically from the sysroot. libstdc++.a itself was built against a
# newer glibc: glibc_2_31_compat.c answers the few symbols it takes from
# there. What the files need in the end is checked in every archive by
# tests/release.
#
# Included by x86_64.cmake and aarch64.cmake, which set K2_BASELINE_TRIPLE,
# K2_BASELINE_DEB_ARCH and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_LIBRARY_ARCHITECTURE ${K2_BASELINE_TRIPLE})

get_filename_component(K2_BASELINE_SYSROOT
  "${CMAKE_CURRENT_LIST_DIR}/../../.deps/baseline/bullseye-${K2_BASELINE_DEB_ARCH}" ABSOLUTE)
if(NOT EXISTS "${K2_BASELINE_SYSROOT}/usr/lib/${K2_BASELINE_TRIPLE}/libc.so")
  message(FATAL_ERROR "${K2_BASELINE_SYSROOT} is missing: run scripts/setup --baseline")
endif()
set(CMAKE_SYSROOT "${K2_BASELINE_SYSROOT}")

set(CMAKE_C_COMPILER ${K2_BASELINE_TRIPLE}-gcc-12)
set(CMAKE_CXX_COMPILER ${K2_BASELINE_TRIPLE}-g++-12)
set(CMAKE_AR ${K2_BASELINE_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${K2_BASELINE_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP ${K2_BASELINE_TRIPLE}-strip CACHE FILEPATH "")
set(CMAKE_READELF ${K2_BASELINE_TRIPLE}-readelf CACHE FILEPATH "")

# Header search: the compiler's own directories (GCC's and the C++ library's)
# and then the sysroot's. A cross compiler also looks in the C headers of
# its own (newer) glibc before the sysroot; -nostdinc drops that, and the
# kept directories are named again in the compiler's order.
set(k2_sr "${K2_BASELINE_SYSROOT}")
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -xc++ -E -v -o /dev/null /dev/null
                ERROR_VARIABLE k2_search RESULT_VARIABLE k2_rc)
if(NOT k2_rc EQUAL 0)
  message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not run: ${k2_search}")
endif()
string(REGEX REPLACE ".*search starts here:\n(.*)End of search list.*" "\\1" k2_search "${k2_search}")
string(REGEX REPLACE "\n" ";" k2_search "${k2_search}")
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE k2_gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(k2_gcc_include "${k2_gcc_include}" REALPATH)
set(k2_cxx_dirs)
foreach(d ${k2_search})
  string(STRIP "${d}" d)
  get_filename_component(real "${d}" REALPATH)
  if(d MATCHES "/c\\+\\+/[0-9]+")
    string(APPEND k2_cxx_dirs " -isystem ${real}")
  endif()
endforeach()
set(K2_BASELINE_C_INCLUDE ${k2_sr}/usr/include/${K2_BASELINE_TRIPLE} ${k2_sr}/usr/include)
set(k2_c_dirs "-isystem ${k2_gcc_include}")
foreach(d ${K2_BASELINE_C_INCLUDE})
  string(APPEND k2_c_dirs " -isystem ${d}")
endforeach()
set(CMAKE_C_FLAGS_INIT "-nostdinc ${k2_c_dirs}")
set(CMAKE_CXX_FLAGS_INIT "-nostdinc${k2_cxx_dirs} ${k2_c_dirs}")
# CMakeLists.txt names them as the compilers' own (K2_IMPLICIT_INCLUDE).
set(K2_IMPLICIT_INCLUDE ${K2_BASELINE_C_INCLUDE})

# Linking: the start files (-B) and libraries (-L) of the sysroot before the
# compiler's own search list, which names the machine's newer glibc first;
# libgcc_s thereby resolves to Debian 11's too. The C++ runtime goes into
# each file, without the parts of it that nothing calls.
set(k2_lib "${k2_sr}/usr/lib/${K2_BASELINE_TRIPLE}")
set(k2_link "-B${k2_lib} -L${k2_lib} -L${k2_sr}/lib/${K2_BASELINE_TRIPLE}")
string(APPEND k2_link " -Wl,-rpath-link,${k2_sr}/lib/${K2_BASELINE_TRIPLE}:${k2_lib} -static-libstdc++ -Wl,--gc-sections")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${k2_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${k2_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${k2_link}")

# Linked into every program, library and module of the project (see CMakeLists.txt).
set(K2_LINK_INTO_EVERY_FILE "${CMAKE_CURRENT_LIST_DIR}/glibc_2_31_compat.c")
# libcrypto.a rather than the sysroot's libcrypto.so.1.1, which a newer
# system lacks; only its SHA-256 is used.
set(OPENSSL_USE_STATIC_LIBS ON)

# The header-only libraries are the machine's (flatc's generated code must
# match its headers); only their folders are copied into the build tree.
set(K2_HEADER_ONLY_FROM /usr/include)

# The runtime library comes from the checked package, outside the sysroot.
if(NOT K2_TFLITE_DIR)
  get_filename_component(K2_TFLITE_DIR "${K2_BASELINE_TFLITE}" ABSOLUTE)
  set(K2_TFLITE_DIR "${K2_TFLITE_DIR}" CACHE PATH "Directory holding lib/libtensorflowlite_c.so and include/")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES K2_TFLITE_DIR)

set(CMAKE_FIND_ROOT_PATH "${K2_BASELINE_SYSROOT}" "${K2_TFLITE_DIR}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)  # flatc and python3 are the machine's
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config sees the sysroot alone (libzip is in its /usr/local).
set(ENV{PKG_CONFIG_LIBDIR}
    "${k2_sr}/usr/local/lib/pkgconfig:${k2_lib}/pkgconfig:${k2_sr}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${k2_sr}")
