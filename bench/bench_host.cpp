// Where a steady chunk's time goes: model invocations versus the host's own
// work (tempo change, history shifts, decoder-input layout, pixel conversion,
// writing). Every figure is a median over repetitions measured in one run;
// the summary at the end prints the host's share of a chunk and of the
// chunk's 1.6 s of video.
//
// usage: bench_host [--bundle DIR] [benchmark flags]
//   Without --bundle a demo bundle is generated with make_demo_bundle.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "bundle/load_bundle.hpp"
#include "chain/litert_chain.hpp"
#include "host/streams.hpp"
#include "image/pixel_convert.hpp"
#include "render/renderer.hpp"
#include "render/wsola.hpp"
#include "system/cpu_budget.hpp"

#include "bench_support.hpp"

namespace {

using k2bench::speech_like;

using namespace kinra2;

struct Fixture {
  std::unique_ptr<chain::LitertChain> chain;
  std::vector<float> window;
  std::vector<float> tempo;
  chain::Tensor tok;
  std::vector<float> hist;
  std::vector<std::vector<float>> lats;
  chain::DecInputs dec;
};

Fixture* F = nullptr;

void BM_SteadyChunk(benchmark::State& st) {
  render::Renderer r(*F->chain);
  const auto audio = speech_like(44000);
  r.feed(audio);
  r.ready_chunks();  // chunks 0 and 1: warm every signature
  const auto more = speech_like(25600);
  for (auto _ : st) {
    r.feed(more);
    auto b = r.ready_chunks();
    benchmark::DoNotOptimize(b);
  }
}

void BM_ModelInvocations(benchmark::State& st) {
  auto hist = F->chain->new_hist();
  for (auto _ : st) {
    auto feats = F->chain->run_enc(F->tempo);
    auto tok = F->chain->run_tok(feats);
    for (int j = 0; j < STEADY_LAT; ++j)
      benchmark::DoNotOptimize(F->chain->run_step(hist, tok.row(6 + j)));
    auto frames = F->chain->run_dec_frames(F->dec.xs, F->dec.n);
    benchmark::DoNotOptimize(frames);
  }
}

void BM_Wsola(benchmark::State& st) {
  for (auto _ : st) {
    auto t = render::tempo_wsola(F->window);
    for (float& s : t) s *= 3.0f;
    benchmark::DoNotOptimize(t);
  }
}

void BM_ShiftHist8(benchmark::State& st) {
  for (auto _ : st) {
    for (int j = 0; j < STEADY_LAT; ++j)
      chain::LitertChain::shift_hist(F->hist, F->lats[static_cast<std::size_t>(j)]);
    benchmark::ClobberMemory();
  }
}

void BM_BuildDecInputs(benchmark::State& st) {
  for (auto _ : st) {
    auto d = chain::build_dec_inputs(F->lats, STEADY_LAT, &F->lats[0]);
    benchmark::DoNotOptimize(d);
  }
}

void BM_PixelChunk(benchmark::State& st) {
  // Fresh decoder output each time, as the renderer gets it (the in-place
  // path consumes its input).
  std::vector<float> src(std::size_t{32} * chain::FRAME_SIZE);
  for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<float>(i % 1000) / 999.0f;
  std::vector<float> work(src.size());
  const int threads = image::rgb_threads();
  for (auto _ : st) {
    st.PauseTiming();
    std::memcpy(work.data(), src.data(), src.size() * sizeof(float));
    std::vector<image::ModelFrame> fr;
    for (int k = 0; k < 32; ++k)
      fr.push_back(image::ModelFrame{work.data() + std::size_t(k) * chain::FRAME_SIZE});
    st.ResumeTiming();
    auto u8 = image::px_to_rgb888_chunk(fr, nullptr, threads);
    benchmark::DoNotOptimize(u8);
  }
}

void BM_WriteChunk(benchmark::State& st) {
  int fd = ::open("/dev/null", O_WRONLY);
  host::OutStream out(fd);
  std::vector<std::uint8_t> px(std::size_t{32} * RGB_FRAME_BYTES, 9);
  for (auto _ : st) {
    for (int k = 0; k < 32; ++k)
      host::write_frame(out, k,
                        std::span(px).subspan(std::size_t(k) * RGB_FRAME_BYTES, RGB_FRAME_BYTES));
    out.flush();
  }
  ::close(fd);
}

// Collects the median real time (ms) of every benchmark.
class MedianCollector : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> ms;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) {
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
        ms[r.run_name.function_name] = to_ms(r);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  static double to_ms(const Run& r) {
    const double t = r.GetAdjustedRealTime();
    switch (r.time_unit) {
      case benchmark::kNanosecond: return t / 1e6;
      case benchmark::kMicrosecond: return t / 1e3;
      case benchmark::kMillisecond: return t;
      default: return t * 1e3;
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::string bundle;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--bundle") == 0 && i + 1 < argc)
      bundle = argv[++i];
    else
      args.push_back(argv[i]);
  }
  std::optional<k2bench::DemoBundle> demo;
  if (bundle.empty()) {
    demo.emplace("bench");
    if (!demo->ok()) {
      std::fprintf(stderr, "bench_host: make_demo_bundle failed\n");
      return 1;
    }
    bundle = demo->path();
  }
  auto loaded = bundle::load_bundle(bundle, std::nullopt);
  Fixture fx;
  const int threads = system::default_threads(static_cast<int>(loaded.tfl_paths.size()), 0);
  fx.chain = std::make_unique<chain::LitertChain>(loaded.tfl_paths, loaded.canon, threads);
  fx.window = speech_like(WIN_SAMPLES);
  fx.tempo = render::tempo_wsola(fx.window);
  fx.hist = fx.chain->new_hist();
  for (int j = 0; j < STEADY_LAT; ++j)
    fx.lats.push_back(std::vector<float>(chain::LAT_SIZE, 0.01f * static_cast<float>(j)));
  fx.dec = chain::build_dec_inputs(fx.lats, STEADY_LAT, &fx.lats[0]);
  F = &fx;

  for (auto* b : {benchmark::RegisterBenchmark("BM_SteadyChunk", BM_SteadyChunk),
                  benchmark::RegisterBenchmark("BM_ModelInvocations", BM_ModelInvocations),
                  benchmark::RegisterBenchmark("BM_Wsola", BM_Wsola),
                  benchmark::RegisterBenchmark("BM_ShiftHist8", BM_ShiftHist8),
                  benchmark::RegisterBenchmark("BM_BuildDecInputs", BM_BuildDecInputs),
                  benchmark::RegisterBenchmark("BM_PixelChunk", BM_PixelChunk),
                  benchmark::RegisterBenchmark("BM_WriteChunk", BM_WriteChunk)}) {
    b->Unit(benchmark::kMillisecond)->Repetitions(7)->ReportAggregatesOnly(true)->UseRealTime();
  }
  int ac = static_cast<int>(args.size());
  benchmark::Initialize(&ac, args.data());
  MedianCollector rep;
  benchmark::RunSpecifiedBenchmarks(&rep);

  auto& m = rep.ms;
  const double host = m["BM_Wsola"] + m["BM_ShiftHist8"] + m["BM_BuildDecInputs"] +
                      m["BM_PixelChunk"] + m["BM_WriteChunk"];
  std::printf("\nsteady chunk (median): %.1f ms wall, rtf %.3f (of 1600 ms of video)\n",
              m["BM_SteadyChunk"], m["BM_SteadyChunk"] / 1600.0);
  std::printf("model invocations:     %.1f ms\n", m["BM_ModelInvocations"]);
  std::printf(
      "host work:             %.2f ms = wsola %.2f + shifts %.2f + dec inputs %.2f + pixels %.2f + "
      "write %.2f\n",
      host, m["BM_Wsola"], m["BM_ShiftHist8"], m["BM_BuildDecInputs"], m["BM_PixelChunk"],
      m["BM_WriteChunk"]);
  std::printf("host share:            %.1f%% of the chunk's wall time, %.2f%% of its 1.6 s\n",
              100.0 * host / m["BM_SteadyChunk"], 100.0 * host / 1600.0);
  return 0;
}
