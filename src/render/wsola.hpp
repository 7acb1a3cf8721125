// Pitch-preserving tempo change of a mono window by waveform-similarity
// overlap-add. All arithmetic runs on a 24-bit integer grid held in float32,
// and every rounding step is pinned, so a given input and factor give the same
// output bits on every build and machine.
#pragma once

#include <span>
#include <vector>

namespace kinra2::render {

// factor > 1 shortens the audio, < 1 lengthens it; the result has
// max(0, floor(n / factor + 0.5)) samples, so a negative factor yields an
// empty result. A zero or NaN factor throws std::domain_error; a factor so
// small that the output could not be held throws std::length_error.
std::vector<float> tempo_wsola(std::span<const float> x, double factor = 1.25);

}  // namespace kinra2::render
