// Audio conditioning costs: the tempo change of one chunk window, next to a
// plain scalar version of the same algorithm, and the buffer traffic of a
// long stream fed the way the renderer feeds it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

#include "base/constants.hpp"
#include "render/sliding_pcm.hpp"
#include "render/wsola.hpp"
#include "render/wsola_internal.hpp"
#include "support/speech_like.hpp"

namespace {

using namespace kinra2;
using namespace kinra2::render;

using k2test::speech_like;

// The obvious implementation: one candidate at a time, one scalar running
// sum each. Same results, no lane parallelism.
std::vector<float> tempo_scalar(std::span<const float> x, double factor) {
  using namespace render::detail;
  constexpr int OV = WSOLA_OVERLAP, HOP = WSOLA_HOP, HALF = WSOLA_HALF, PAD = WSOLA_PAD;
  const auto n = static_cast<std::int64_t>(x.size());
  const auto n_out =
      static_cast<std::int64_t>(std::max(0.0, std::floor(static_cast<double>(n) / factor + 0.5)));
  const double skip = factor * HOP;
  const float inv = 1.0f / static_cast<float>(OV);
  std::array<float, OV> w{}, u{};
  for (int i = 0; i < OV; ++i) {
    w[i] = static_cast<float>(i) * inv;
    u[i] = 1.0f - w[i];
  }
  std::vector<float> pbuf(x.size() + 2 * PAD, 0.0f);
  for (std::size_t i = 0; i < x.size(); ++i) pbuf[PAD + i] = wsola_to_buf(x[i]);
  const float* src = pbuf.data() + PAD;
  std::vector<float> out(static_cast<std::size_t>(n_out));
  std::int64_t qj = 0;
  for (std::int64_t q = 0; q * HOP < n_out; ++q) {
    const std::int64_t o0 = q * HOP, emit = std::min<std::int64_t>(HOP, n_out - o0);
    if (q == 0) {
      std::copy(src, src + emit, out.begin());
      continue;
    }
    const float* tail = src + qj + HOP;
    const auto nom = static_cast<std::int64_t>(std::floor(static_cast<double>(q) * skip + 0.5));
    double best_score = 0.0;
    int best = 0;
    for (int d = -HALF; d <= HALF; ++d) {
      const float* cand = src + nom + d;
      double s = 0.0;
      for (int i = 0; i < OV; ++i) {
        const double diff = static_cast<double>(cand[i]) - static_cast<double>(tail[i]);
        s = s + diff * diff;
      }
      if (d == -HALF || s < best_score) best_score = s, best = d;
    }
    qj = nom + best;
    const float* head = src + qj;
    for (std::int64_t i = 0; i < emit; ++i) {
      out[o0 + i] = i < OV ? static_cast<float>(tail[i] * u[i]) + static_cast<float>(head[i] * w[i])
                           : head[i];
    }
  }
  for (float& v : out) v = wsola_from_buf(v);
  return out;
}

const std::vector<float>& window() {
  static const std::vector<float> w = speech_like(WIN_SAMPLES, 2024);
  return w;
}

void BM_TempoWsola(benchmark::State& state) {
  const auto& x = window();
  for (auto _ : state) benchmark::DoNotOptimize(tempo_wsola(x, 1.25));
}

void BM_TempoWsolaPortableKernel(benchmark::State& state) {
  const auto& x = window();
  for (auto _ : state) {
    benchmark::DoNotOptimize(detail::tempo_wsola_traced(x, 1.25, detail::WsolaKernel::portable));
  }
}

void BM_TempoWsolaScalarReference(benchmark::State& state) {
  const auto& x = window();
  for (auto _ : state) benchmark::DoNotOptimize(tempo_scalar(x, 1.25));
}

// Ten minutes of audio fed in records of `feed` samples; whenever the next
// chunk's window is complete it is read and the audio before it released.
void BM_SlidingPcmStream(benchmark::State& state) {
  const auto feed = static_cast<std::size_t>(state.range(0));
  const std::int64_t total = std::int64_t{SR} * 600;
  const std::vector<float> block = speech_like(feed, 3);
  std::int64_t moved = 0, allocs = 0, peak = 0;
  for (auto _ : state) {
    detail::SlidingPCM pcm;
    std::int64_t ci = 1;
    float sink = 0.0f;
    while (pcm.fed() < total) {
      pcm.append(block);
      while (pcm.fed() >= WIN_SAMPLES + (ci - 1) * SPC) {
        const auto win =
            pcm.live().subspan(static_cast<std::size_t>((ci - 1) * SPC - pcm.base()), WIN_SAMPLES);
        sink += win.front() + win.back();
        pcm.discard_before((ci - 1) * SPC);
        ++ci;
      }
    }
    benchmark::DoNotOptimize(sink);
    moved = pcm.moved_samples();
    allocs = pcm.allocations();
    peak = pcm.peak_capacity();
  }
  state.counters["moved_per_input"] = static_cast<double>(moved) / static_cast<double>(total);
  state.counters["allocations"] = static_cast<double>(allocs);
  state.counters["peak_capacity"] = static_cast<double>(peak);
}

BENCHMARK(BM_TempoWsola)->Unit(benchmark::kMicrosecond)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_TempoWsolaPortableKernel)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_TempoWsolaScalarReference)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_SlidingPcmStream)
    ->Arg(640)
    ->Arg(3200)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  // A speed-up is only worth reporting if both versions give the same bits.
  const auto fast = tempo_wsola(window(), 1.25);
  const auto plain = tempo_scalar(window(), 1.25);
  if (fast.size() != plain.size() ||
      std::memcmp(fast.data(), plain.data(), fast.size() * sizeof(float)) != 0) {
    std::fprintf(stderr, "tempo_wsola and the scalar version disagree\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
