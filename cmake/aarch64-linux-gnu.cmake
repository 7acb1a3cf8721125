# Cross build for Linux arm64 (aarch64) with Debian's cross compiler, against
# the arm64 development packages of Debian multiarch (/usr/lib/aarch64-linux-gnu,
# /usr/include/aarch64-linux-gnu), made by `scripts/setup --arm64`. The
# runtime library comes from .deps/arm64/tflite; header-only libraries and
# flatc are the machine's own. Programs run under QEMU's user-mode emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(K2_CROSS aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${K2_CROSS}-gcc)
set(CMAKE_CXX_COMPILER ${K2_CROSS}-g++)
set(CMAKE_AR ${K2_CROSS}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${K2_CROSS}-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP ${K2_CROSS}-strip CACHE FILEPATH "")
set(CMAKE_LIBRARY_ARCHITECTURE ${K2_CROSS})

# Multiarch: the arm64 libraries live beside the machine's own under /usr, so
# the root is / and the architecture directory tells them apart. Programs
# (flatc, python3) are the machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${K2_CROSS} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# The cross compiler does not look in the multiarch include directory itself.
include_directories(SYSTEM /usr/include/${K2_CROSS})
# pkg-config must see only the arm64 libraries.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${K2_CROSS}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
# The linker follows the libraries' own dependencies (libzip -> libbz2 ...)
# through the multiarch directory.
set(K2_CROSS_LINK "-Wl,-rpath-link,/usr/lib/${K2_CROSS}:/lib/${K2_CROSS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${K2_CROSS_LINK}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${K2_CROSS_LINK}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${K2_CROSS_LINK}")

if(NOT K2_TFLITE_DIR)
  get_filename_component(K2_TFLITE_DIR "${CMAKE_CURRENT_LIST_DIR}/../.deps/arm64/tflite" ABSOLUTE)
  set(K2_TFLITE_DIR "${K2_TFLITE_DIR}" CACHE PATH
      "Directory holding lib/libtensorflowlite_c.so and include/ (made by scripts/setup --arm64)")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES K2_TFLITE_DIR)

# The dynamic loader and libraries of arm64 multiarch are found on the
# machine's own paths (libc6:arm64 comes with the development packages), so
# QEMU needs no separate root; programs started by programs reach QEMU
# through binfmt_misc, which the setup registers.
find_program(K2_QEMU_AARCH64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${K2_QEMU_AARCH64}")
