// The libFuzzer entry point of one harness, picked by K2_FUZZ_ENTRY.
#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return kinra2::fuzz::K2_FUZZ_ENTRY(data, size);
}
