// Pitch-preserving tempo change of a mono window by waveform-similarity
// overlap-add. All arithmetic runs on a 24-bit integer grid held in float32,
// and every rounding step is pinned, so a given input and factor give the same
// output bits on every build and machine.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/constants.hpp"

namespace kinra2::render {

// factor > 1 shortens the audio, < 1 lengthens it; the result has
// max(0, floor(n / factor + 0.5)) samples, so a negative factor yields an
// empty result. A zero or NaN factor throws std::domain_error; a factor so
// small that the output could not be held throws std::length_error.
std::vector<float> tempo_wsola(std::span<const float> x, double factor = 1.25);

namespace detail {

inline constexpr int WSOLA_OVERLAP = SR_WSOLA_OVERLAP;                // crossfade length
inline constexpr int WSOLA_HOP = SR_WSOLA_SEGMENT - WSOLA_OVERLAP;     // output samples per block
inline constexpr int WSOLA_HALF = (SR_WSOLA_SEARCH - 1) / 2;           // search radius
inline constexpr int WSOLA_CANDIDATES = 2 * WSOLA_HALF + 1;            // offsets -117..+117
inline constexpr int WSOLA_PAD = WSOLA_HALF + SR_WSOLA_SEGMENT + 1;    // zeros on each side

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

} // namespace detail
} // namespace kinra2::render
