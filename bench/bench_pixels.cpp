// Chunk conversion of 32 model frames to RGB888: the library path (single
// thread and on a 2-worker pool, in place and copying) against a plain
// per-sample loop, and against memcpy of the same float frames (the memory
// traffic any pass over them costs, which tells a processor's kernels from its
// memory). Run with --benchmark_repetitions=N for medians.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "base/constants.hpp"
#include "image/pixel_convert.hpp"
#include "image/color_correct.hpp"
#include "image/pixel_convert_internal.hpp"

using namespace kinra2;
using namespace kinra2::image;

namespace {

constexpr std::size_t FRAMES = 32;
constexpr std::size_t FRAME_FLOATS = 3 * std::size_t{FH} * FW;

struct Chunk {
  std::vector<float> pristine, work;
  std::vector<ModelFrame> frames;

  explicit Chunk(bool writable) : pristine(FRAMES * FRAME_FLOATS), work(FRAMES * FRAME_FLOATS) {
    std::uint32_t s = 7;
    for (float& v : pristine) {
      s = s * 1664525u + 1013904223u;
      v = static_cast<float>(s >> 8) / static_cast<float>(1u << 24) * 1.2f - 0.1f;
    }
    for (std::size_t k = 0; k < FRAMES; ++k)
      frames.push_back({work.data() + k * FRAME_FLOATS, 3, FH, FW, writable});
  }
  // The in-place path consumes its input, so every iteration starts afresh.
  void refill() { std::memcpy(work.data(), pristine.data(), work.size() * sizeof(float)); }
};

// The obvious implementation: one sample at a time, straight into its
// interleaved position.
void scalar_convert(const std::vector<ModelFrame>& px, std::uint8_t* out) {
  const std::size_t plane = std::size_t{FH} * FW;
  for (std::size_t k = 0; k < px.size(); ++k) {
    const float* p = px[k].data;
    std::uint8_t* o = out + k * RGB_FRAME_BYTES;
    for (std::size_t i = 0; i < plane; ++i)
      for (std::size_t c = 0; c < 3; ++c) {
        float x = p[c * plane + i] * 255.0f;
        x = x > 0.0f ? x : 0.0f;
        x = x < 255.0f ? x : 255.0f;
        o[3 * i + c] = static_cast<std::uint8_t>(x);
      }
  }
}

void set_rate(benchmark::State& st) {
  st.counters["frames/s"] = benchmark::Counter(static_cast<double>(st.iterations() * FRAMES),
                                               benchmark::Counter::kIsRate);
}

void BM_ScalarLoop(benchmark::State& st) {
  Chunk c(true);
  std::vector<std::uint8_t> out(FRAMES * RGB_FRAME_BYTES);
  for (auto _ : st) {
    st.PauseTiming();
    c.refill();
    st.ResumeTiming();
    scalar_convert(c.frames, out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  set_rate(st);
}

void BM_Chunk(benchmark::State& st) {
  const bool writable = st.range(0) != 0;
  const int threads = static_cast<int>(st.range(1));
  Chunk c(writable);
  for (auto _ : st) {
    st.PauseTiming();
    c.refill();
    st.ResumeTiming();
    RgbChunk r = px_to_rgb888_chunk(c.frames, nullptr, threads);
    benchmark::DoNotOptimize(r.data());
  }
  set_rate(st);
}

void BM_ChunkLut(benchmark::State& st) {
  Lut t{};
  for (int ch = 0; ch < 3; ++ch)
    for (int v = 0; v < 256; ++v) t[ch][v] = static_cast<std::uint8_t>(255 - v);
  const ColorCorrect cc = ColorCorrect::make_lut(t);
  Chunk c(true);
  for (auto _ : st) {
    st.PauseTiming();
    c.refill();
    st.ResumeTiming();
    RgbChunk r = px_to_rgb888_chunk(c.frames, &cc, static_cast<int>(st.range(0)));
    benchmark::DoNotOptimize(r.data());
  }
  set_rate(st);
}

// The table as a pass of its own over the planar bytes, between truncation
// and reorder: what the fused kernel replaces.
void BM_ChunkLutSeparatePass(benchmark::State& st) {
  Lut t{};
  for (int ch = 0; ch < 3; ++ch)
    for (int v = 0; v < 256; ++v) t[ch][v] = static_cast<std::uint8_t>(255 - v);
  const std::size_t plane = std::size_t{FH} * FW;
  std::vector<std::uint8_t> planar(3 * plane), out(FRAMES * RGB_FRAME_BYTES);
  Chunk c(true);
  for (auto _ : st) {
    st.PauseTiming();
    c.refill();
    st.ResumeTiming();
    for (std::size_t k = 0; k < FRAMES; ++k) {
      detail::scale_to_u8(c.frames[k].data, planar.data(), 3 * plane, true);
      for (std::size_t ch = 0; ch < 3; ++ch) {
        std::uint8_t* p = planar.data() + ch * plane;
        for (std::size_t i = 0; i < plane; ++i) p[i] = t[ch][p[i]];
      }
      detail::interleave3(planar.data(), planar.data() + plane, planar.data() + 2 * plane,
                          out.data() + k * RGB_FRAME_BYTES, plane);
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  set_rate(st);
}

// A copy of the chunk's float frames, refilled the same way: reads what the
// conversion reads and writes four times what it writes.
void BM_MemcpyFrames(benchmark::State& st) {
  Chunk c(true);
  std::vector<float> out(c.work.size());
  for (auto _ : st) {
    st.PauseTiming();
    c.refill();
    st.ResumeTiming();
    std::memcpy(out.data(), c.work.data(), c.work.size() * sizeof(float));
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  set_rate(st);
}

}  // namespace

BENCHMARK(BM_MemcpyFrames)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScalarLoop)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Chunk)
    ->ArgNames({"inplace", "threads"})
    ->Args({1, 1})
    ->Args({1, 2})
    ->Args({0, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ChunkLut)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ChunkLutSeparatePass)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
