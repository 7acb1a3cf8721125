// The streaming renderer: fed audio becomes numbered RGB888 frame records,
// chunk by chunk, carrying the model's latent state across chunks.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "chain/litert_chain.hpp"
#include "render/frame_source.hpp"
#include "render/sliding_pcm.hpp"

namespace kinra2::render {

class Renderer final : public FrameSource {
public:
  explicit Renderer(chain::LitertChain& chain, const image::ColorCorrect* cc = nullptr);

  const image::ColorCorrect* cc() const override { return cc_; }
  void feed(std::span<const float> pcm) override;
  FrameBatch ready_chunks() override;
  FrameBatch flush_chunks() override;
  void reset() override;
  std::optional<double> rtf() const override;
  std::int64_t c_n() const override { return c_n_; }
  double c_wall() const override { return c_wall_; }

  // Audio needed before chunk `ci` is complete (absolute samples).
  static std::int64_t need(std::int64_t ci);
  // First absolute sample of chunk `ci`'s window.
  static std::int64_t window_start(std::int64_t ci);

  std::int64_t ci() const { return ci_; }
  std::int32_t px_frame() const { return px_frame_; }
  std::int64_t fed_samples() const { return fed_samples_; }
  std::int64_t buf_base() const { return buf_base_; }
  std::int64_t audio_compaction_samples() const { return audio_compaction_samples_; }
  int rgb_threads() const { return rgb_threads_; }

  // Wall time of the last rendered chunk and the part of it spent inside
  // model invocations (the rest is the host's own work); zero after a reset.
  struct ChunkTiming {
    double wall = 0.0;
    double model = 0.0;
  };
  ChunkTiming last_chunk() const { return last_; }

  // Internals exposed for tests.
  std::vector<float> window(std::int64_t ci) const;
  FrameBatch process_chunk(std::int64_t ci);

private:
  void sync_audio();
  void trim_audio();

  chain::LitertChain& chain_;
  const image::ColorCorrect* cc_;
  int rgb_threads_;

  detail::SlidingPCM pcm_;
  std::span<const float> buf_;
  std::int64_t buf_base_ = 0;
  std::int64_t fed_samples_ = 0;
  std::int64_t audio_compaction_samples_ = 0;

  std::int64_t ci_ = 0;
  std::vector<float> hist_;
  std::optional<std::vector<float>> prev_lat_;
  std::int32_t px_frame_ = 3;
  double c_wall_ = 0.0;
  std::int64_t c_n_ = 0;
  ChunkTiming last_;
};

} // namespace kinra2::render
