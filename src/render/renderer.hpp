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

namespace detail {
struct RendererProbe;
}

class Renderer final : public FrameSource {
 public:
  explicit Renderer(chain::LitertChain& chain, const image::ColorCorrect* cc = nullptr);

  const image::ColorCorrect* cc() const override { return cc_; }
  void feed(std::span<const float> pcm) override;
  FrameBatch next_ready_chunk() override;
  FrameBatch flush_chunks() override;
  void reset() override;
  std::optional<double> rtf() const override;
  std::int64_t chunks_rendered() const override { return chunks_rendered_; }
  double render_seconds() const override { return render_seconds_; }

  // Wall time of the last rendered chunk and the part of it spent inside
  // model invocations (the rest is the host's own work); zero after a reset.
  struct ChunkTiming {
    double wall = 0.0;
    double model = 0.0;
  };

 private:
  friend struct detail::RendererProbe;

  // The model's audio window of chunk `chunk`: zeros where nothing was fed.
  std::vector<float> window(std::int64_t chunk) const;
  FrameBatch process_chunk(std::int64_t chunk);
  void sync_audio();
  void trim_audio();

  chain::LitertChain& chain_;
  const image::ColorCorrect* cc_;
  int rgb_threads_;

  detail::SlidingPCM pcm_;
  std::span<const float> retained_;  // the audio still held, from retained_base_ on
  std::int64_t retained_base_ = 0;   // absolute index of retained_[0]
  std::int64_t fed_samples_ = 0;

  std::int64_t next_chunk_ = 0;
  std::vector<float> history_;                     // the step model's latent history
  std::optional<std::vector<float>> last_latent_;  // last latent of the previous chunk
  std::int32_t next_frame_index_ = 3;
  double render_seconds_ = 0.0;
  std::int64_t chunks_rendered_ = 0;
  ChunkTiming last_;
};

}  // namespace kinra2::render
