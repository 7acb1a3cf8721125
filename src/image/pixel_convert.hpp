// Model frames (planar float, 0.0 black .. 1.0 full) to RGB888, one frame or a
// whole chunk, optionally colour-corrected and spread over the RGB pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "base/constants.hpp"

namespace kinra2::image {

class ColorCorrect;

// One model frame (channels, height, width) float32, planes R, G, B. A
// `writable` full-size frame is consumed by the chunk conversion: its values
// are overwritten with the scaled and clipped samples.
struct ModelFrame {
  float* data = nullptr;
  int channels = 3;
  int height = FH;
  int width = FW;
  bool writable = true;
};

// Owned (n, FH, FW, 3) uint8, contiguous, frame after frame.
class RgbChunk {
 public:
  RgbChunk() = default;
  explicit RgbChunk(std::size_t frames);

  std::size_t size() const { return frames_; }
  std::size_t bytes() const { return frames_ * RGB_FRAME_BYTES; }
  std::uint8_t* data() { return buf_.get(); }
  const std::uint8_t* data() const { return buf_.get(); }
  std::uint8_t* frame(std::size_t k) { return buf_.get() + k * RGB_FRAME_BYTES; }
  const std::uint8_t* frame(std::size_t k) const { return buf_.get() + k * RGB_FRAME_BYTES; }
  std::span<const std::uint8_t> frame_bytes(std::size_t k) const {
    return {frame(k), RGB_FRAME_BYTES};
  }

 private:
  std::unique_ptr<std::uint8_t[]> buf_;
  std::size_t frames_ = 0;
};

// One frame of any (3, H, W) shape to 3*H*W bytes of RGB888; the input is not
// modified. Throws std::invalid_argument for a frame without data, with other
// than 3 channels or with a negative size.
std::vector<std::uint8_t> px_to_rgb888(const ModelFrame& px, const ColorCorrect* cc = nullptr);

// A chunk of full-size frames. Writable frames that share no memory with
// another frame of the chunk are converted in place (and consumed); the rest
// are copied. Throws std::invalid_argument, before converting anything, when
// a frame is not (3, FH, FW) or has no data.
RgbChunk px_to_rgb888_chunk(std::span<const ModelFrame> px, const ColorCorrect* cc = nullptr,
                            int threads = 1);

// Full-size (3, FH, FW) float32 frames that may only be read, such as a
// decoder's output while the runtime still owns it, into px.size()
// consecutive RGB888 frames at `out`. The bytes equal px_to_rgb888_chunk's
// for the same frames; nothing is written to the frames and nothing the size
// of a frame is allocated. Throws std::invalid_argument for a null frame.
void px_to_rgb888_into(std::span<const float* const> px, const ColorCorrect* cc, int threads,
                       std::uint8_t* out);

// Thread count of the chunk conversion: KINRA2_RGB_THREADS when it is an
// integer (at least 1), else a third of the usable CPUs, 1..8.
int rgb_threads();

}  // namespace kinra2::image
