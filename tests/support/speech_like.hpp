// Speech-like test audio: deterministic bursts of noise, quiet and loud in
// turn, so that the face has something to follow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace k2test {

// `n` samples: 3000 quiet (0.05) then 6000 loud (0.6), again and again, of
// noise from a 32-bit linear congruential generator started at `seed`. Each
// sample is rounded to float32 once, from double, so that the bytes equal
// those of the Python side's generator for the same n and seed.
inline std::vector<float> speech_like(std::size_t n, std::uint32_t seed = 1) {
  std::vector<float> v(n);
  std::uint32_t s = seed;
  for (std::size_t i = 0; i < n; ++i) {
    s = s * 1664525u + 1013904223u;
    const double noise = static_cast<double>(static_cast<std::int32_t>(s) >> 8) / 8388608.0;
    const double env = (i / 3000) % 3 == 0 ? 0.05 : 0.6;
    v[i] = static_cast<float>(env * noise);
  }
  return v;
}

}  // namespace k2test
