# Linux x86-64 release build (preset linux-baseline): the machine's GCC 12
# against Debian 11 for amd64. See baseline.cmake.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(K2_BASELINE_TRIPLE x86_64-linux-gnu)
set(K2_BASELINE_DEB_ARCH amd64)
set(K2_BASELINE_TFLITE "${CMAKE_CURRENT_LIST_DIR}/../../.deps/tflite")
include("${CMAKE_CURRENT_LIST_DIR}/baseline.cmake")
