// The built-in demo identity: a drawn face held in the canon latent, and the
// five signatures that animate it. The encoder and tokenizer measure the
// loudness of each token row's stretch of audio; the step copies the face
// forward, opens the mouth by that loudness (closing it more slowly than it
// opens) and runs a blink clock kept in the latent itself; the decoders paint
// the latent at 8x into RGB frames, moving mouth and eyes smoothly from the
// previous latent to the current one over the four frames of a step.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace kinra2::demo {

// Latent channel layout of the demo identity.
inline constexpr int FACE_CHANNELS = 12;  // RGB at twice the latent resolution, 2x2 sub-pixels
// Mouth and eye shape field, carried unchanged. Each latent pixel covers two
// face rows; the field of the upper one is SHAPE - (SLOPE - SLOPE_OFFSET), of
// the lower one SHAPE + (SLOPE - SLOPE_OFFSET), so outlines have face-row
// precision.
inline constexpr int CH_SHAPE = 12;
inline constexpr int CH_SLOPE = 13;
inline constexpr float SLOPE_OFFSET = 6.0f;  // keeps the slope channel positive
inline constexpr int CH_MOUTH = 14;          // mouth opening 0..1, the same everywhere
// Eye closure 0..1, the same everywhere except pixel 0, which holds the blink
// clock (steps since the stream began, mod BLINK_PERIOD, over BLINK_PERIOD).
inline constexpr int CH_EYES = 15;

inline constexpr int BLINK_PERIOD = 16;  // steps (3.2 s at 4 frames a step)

// Latent rows/columns of the mouth line and eye centres (for tests and tools).
inline constexpr int MOUTH_ROW = 57;
inline constexpr int EYE_ROW = 40;
inline constexpr int EYE_COLS[2] = {18, 33};

struct DecoderKind {
  bool heavy = false;  // cost comparable to a real decoder
  // int8 arithmetic: QUANTIZE after the float input, int8 convolutions with
  // per-channel weights on int8 activations, DEQUANTIZE before the float
  // output. The mouth and eye outlines are steep functions of the shape
  // field, finer than 8 bits can carry, so their coverage is computed in
  // float before the first QUANTIZE (a small share of the work); the rest,
  // in the heavy decoder nearly all of it, runs in int8.
  bool int8 = false;
};

// The canon latent, (LC, LH, LW) row-major.
std::vector<float> canon_latent();

// A model file offering the named signatures (any of "enc", "tok14", "step",
// "dec16", "dec8"), each in its own subgraph, in the order given.
std::vector<std::uint8_t> build_model(std::span<const std::string_view> sigs, DecoderKind dec);

// The same signatures computing with exact arithmetic only (no sums of
// products), so that every processor and kernel choice gives the same bits;
// a coarser face: the mouth and eyes darken blocks of the canon face.
std::vector<std::uint8_t> build_exact_model(std::span<const std::string_view> sigs);

}  // namespace kinra2::demo
