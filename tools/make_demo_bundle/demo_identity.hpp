// The built-in demo identity: a drawn face held in the canon latent, and the
// five signatures that animate it. The encoder and tokenizer measure the
// loudness of each token row's stretch of audio; the step copies the face
// forward, opens the mouth by that loudness and runs a blink clock kept in the
// latent itself; the decoders paint the latent at 8x into RGB frames.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace kinra2::demo {

// Latent channel layout of the demo identity.
inline constexpr int FACE_CHANNELS = 12;  // RGB at twice the latent resolution, 2x2 sub-pixels
inline constexpr int CH_SHAPE = 12;       // mouth and eye shape field (carried unchanged)
inline constexpr int CH_CLOCK = 13;       // blink clock: whole steps since the stream began, mod BLINK_PERIOD
inline constexpr int CH_MOUTH = 14;       // mouth opening, 0..1, written by every step
inline constexpr int CH_EYES = 15;        // eye darkness, 0..1, written by every step

inline constexpr int BLINK_PERIOD = 20;   // steps (4 s at 4 frames a step)

// Latent rows/columns of the mouth line and eye centres (for tests and tools).
inline constexpr int MOUTH_ROW = 57;
inline constexpr int EYE_ROW = 40;
inline constexpr int EYE_COLS[2] = {18, 33};

struct DecoderKind {
  bool heavy = false;       // cost comparable to a real decoder
  bool int8_weights = false;  // convolution weights stored as int8 + DEQUANTIZE
};

// The canon latent, (LC, LH, LW) row-major.
std::vector<float> canon_latent();

// A model file offering the named signatures (any of "enc", "tok14", "step",
// "dec16", "dec8"), each in its own subgraph, in the order given.
std::vector<std::uint8_t> build_model(std::span<const std::string_view> sigs, DecoderKind dec);

}  // namespace kinra2::demo
