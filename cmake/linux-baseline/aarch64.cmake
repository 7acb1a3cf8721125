# Linux arm64 release build (preset linux-baseline-arm64): Debian's GCC 12
# cross compiler against Debian 11 for arm64. See baseline.cmake. The
# programs are not run here; the install test runs the archive's under QEMU.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(K2_BASELINE_TRIPLE aarch64-linux-gnu)
set(K2_BASELINE_DEB_ARCH arm64)
set(K2_BASELINE_TFLITE "${CMAKE_CURRENT_LIST_DIR}/../../.deps/arm64/tflite")
include("${CMAKE_CURRENT_LIST_DIR}/baseline.cmake")
