// The renderer's chunk schedule and a view into a renderer's session state,
// for its tests and benchmarks.
#pragma once

#include <cstdint>
#include <vector>

#include "render/renderer.hpp"

namespace kinra2::render::detail {

// Audio needed before chunk `chunk` is complete (absolute samples).
std::int64_t chunk_need(std::int64_t chunk);
// First absolute sample of chunk `chunk`'s window.
std::int64_t window_start(std::int64_t chunk);

struct RendererProbe {
  static std::vector<float> window(const Renderer& r, std::int64_t chunk) {
    return r.window(chunk);
  }
  static FrameBatch process_chunk(Renderer& r, std::int64_t chunk) {
    return r.process_chunk(chunk);
  }
  static std::int64_t next_chunk(const Renderer& r) { return r.next_chunk_; }
  static std::int32_t next_frame_index(const Renderer& r) { return r.next_frame_index_; }
  static std::int64_t fed_samples(const Renderer& r) { return r.fed_samples_; }
  static std::int64_t retained_base(const Renderer& r) { return r.retained_base_; }
  static int rgb_threads(const Renderer& r) { return r.rgb_threads_; }
  static Renderer::ChunkTiming last_chunk(const Renderer& r) { return r.last_; }
};

}  // namespace kinra2::render::detail
