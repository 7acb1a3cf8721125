// The tempo change's grid conversions, kernels and per-block choices, for its
// tests and benchmarks.
#pragma once

#include <span>
#include <vector>

#include "base/constants.hpp"
#include "render/wsola.hpp"

namespace kinra2::render {

namespace detail {

inline constexpr int WSOLA_OVERLAP = SR_WSOLA_OVERLAP;               // crossfade length
inline constexpr int WSOLA_HOP = SR_WSOLA_SEGMENT - WSOLA_OVERLAP;   // output samples per block
inline constexpr int WSOLA_HALF = (SR_WSOLA_SEARCH - 1) / 2;         // search radius
inline constexpr int WSOLA_CANDIDATES = 2 * WSOLA_HALF + 1;          // offsets -117..+117
inline constexpr int WSOLA_PAD = WSOLA_HALF + SR_WSOLA_SEGMENT + 1;  // zeros on each side

// Sample <-> grid unit (2^-24 of full scale), per sample.
float wsola_to_buf(double d);
float wsola_from_buf(double v);
// Span forms; out.size() must equal in.size() (std::invalid_argument if not).
void wsola_to_buf(std::span<const float> in, std::span<float> out);
void wsola_from_buf(std::span<const float> in, std::span<float> out);

// Which candidate scorer runs. All give identical bits; the choice only
// exists so tests can hold every path to the same answer.
enum class WsolaKernel { automatic, portable, avx2 };
bool wsola_kernel_available(WsolaKernel kernel) noexcept;

struct WsolaTrace {
  std::vector<float> out;
  std::vector<int> offsets;  // chosen offset of blocks 1, 2, ... (block 0 has none)
};

// tempo_wsola with the per-block offsets it chose.
WsolaTrace tempo_wsola_traced(std::span<const float> x, double factor,
                              WsolaKernel kernel = WsolaKernel::automatic);

}  // namespace detail

}  // namespace kinra2::render
