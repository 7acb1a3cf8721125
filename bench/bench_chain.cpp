// Model chain timings on a real bundle directory:
//   bench_chain <bundle_dir> [--threads N] [google-benchmark flags]
// (or the directory in KINRA2_BENCH_BUNDLE). Reports interpreter creation,
// warm per-signature invocation times (medians over repetitions) and the
// process's memory once a chain is loaded. Without a bundle it says so and
// exits 0.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "chain/litert_chain.hpp"
#include "chain/litert_runtime.hpp"
#include "system/files.hpp"

namespace fs = std::filesystem;
using namespace kinra2;
using namespace kinra2::chain;

namespace {

std::vector<std::string> g_paths;
std::vector<float> g_canon;
int g_threads = 1;
std::unique_ptr<LitertChain> g_chain;

long status_kb(const char* key) {
  std::ifstream f("/proc/self/status");
  std::string line;
  const std::size_t n = std::strlen(key);
  while (std::getline(f, line))
    if (line.compare(0, n, key) == 0) return std::atol(line.c_str() + n + 1);
  return -1;
}

bool find_bundle(const fs::path& dir) {
  if (fs::exists(dir / "combined_litert.tflite")) {
    g_paths = {(dir / "combined_litert.tflite").string()};
  } else if (fs::exists(dir / "shared-enc.tflite") && fs::exists(dir / "identity.tflite")) {
    g_paths = {(dir / "shared-enc.tflite").string(), (dir / "identity.tflite").string()};
  } else {
    return false;
  }
  for (const char* name : {"canon.bin", "canon.f32"}) {
    std::ifstream f(dir / name, std::ios::binary);
    if (!f) continue;
    g_canon.assign(LAT_SIZE, 0.0f);
    f.read(reinterpret_cast<char*>(g_canon.data()), LAT_SIZE * sizeof(float));
    return f.gcount() == static_cast<std::streamsize>(LAT_SIZE * sizeof(float));
  }
  return false;
}

struct Chunk {
  std::vector<float> tempo = std::vector<float>(TEMPO_SAMPLES);
  Tensor feats, tok;
  std::vector<float> hist;
  DecInputs dec;
};

Chunk& chunk() {
  static Chunk c = [] {
    Chunk c;
    for (int i = 0; i < TEMPO_SAMPLES; ++i) c.tempo[i] = 0.3f * std::sin(0.01f * i);
    c.feats = g_chain->run_enc(c.tempo);
    c.tok = g_chain->run_tok(c.feats);
    c.hist = g_chain->new_hist();
    std::vector<std::vector<float>> lats;
    for (int j = 0; j < STEADY_LAT; ++j) {
      lats.push_back(g_chain->run_step(c.hist, c.tok.row(j)));
      LitertChain::shift_hist(c.hist, lats.back());
    }
    c.dec = build_dec_inputs(lats, STEADY_LAT, &lats.back());
    return c;
  }();
  return c;
}

void BM_ChainCreate(benchmark::State& st) {
  for (auto _ : st) {
    LitertChain ch(g_paths, g_canon, g_threads);
    benchmark::DoNotOptimize(ch.hist_key());
  }
}

void BM_Enc(benchmark::State& st) {
  Chunk& c = chunk();
  for (auto _ : st) benchmark::DoNotOptimize(g_chain->run_enc(c.tempo));
}

void BM_Tok14(benchmark::State& st) {
  Chunk& c = chunk();
  for (auto _ : st) benchmark::DoNotOptimize(g_chain->run_tok(c.feats));
}

void BM_Step(benchmark::State& st) {
  Chunk& c = chunk();
  const Tensor::View row = c.tok.row(0);
  for (auto _ : st) benchmark::DoNotOptimize(g_chain->run_step(c.hist, row));
}

void BM_ShiftHist(benchmark::State& st) {
  Chunk& c = chunk();
  const std::vector<float> lat(LAT_SIZE, 0.5f);
  for (auto _ : st) LitertChain::shift_hist(c.hist, lat);
}

void BM_BuildDecInputs(benchmark::State& st) {
  std::vector<std::vector<float>> lats(STEADY_LAT, std::vector<float>(LAT_SIZE, 0.25f));
  for (auto _ : st) benchmark::DoNotOptimize(build_dec_inputs(lats, STEADY_LAT, &lats[0]));
}

// n = 16 is one dec16 call, 8 one dec8 call, 32 a steady chunk, 21 a first one.
void BM_DecFrames(benchmark::State& st) {
  Chunk& c = chunk();
  const int n = static_cast<int>(st.range(0));
  for (auto _ : st) benchmark::DoNotOptimize(g_chain->run_dec_frames(c.dec.xs, n));
  st.counters["frames/s"] =
      benchmark::Counter(double(n) * st.iterations(), benchmark::Counter::kIsRate);
}

// Resident memory through a stream's opening chunks, the way the renderer
// drives the decoders: a first block of 21 frames (dec16 + dec8), then a
// steady block of 32 (two dec16), each time with the inputs and the returned
// frames still held. What dominates is the decoders' own activations, which
// each signature's interpreter keeps resident once it has run, and the frame
// copies the caller owns.
void report_memory_by_stage() {
  auto mib = [](const char* key) { return static_cast<double>(status_kb(key)) / 1024.0; };
  std::printf("memory: chain ready           RSS %7.1f MiB\n", mib("VmRSS:"));
  const std::vector<std::vector<float>> lats(STEADY_LAT, std::vector<float>(LAT_SIZE, 0.1f));
  for (const bool first : {true, false}) {
    const int blk = first ? CHUNK0_LAT : STEADY_LAT;
    const DecInputs dec = build_dec_inputs(lats, blk, first ? nullptr : &lats.back());
    const double before = mib("VmRSS:");
    const Frames fr = g_chain->run_dec_frames(dec.xs, dec.n);
    std::printf(
        "memory: %2d frames decoded     RSS %7.1f MiB (+%.1f; inputs %.1f, frames %.1f), "
        "VmHWM %.1f MiB\n",
        dec.n, mib("VmRSS:"), mib("VmRSS:") - before,
        static_cast<double>(dec.xs.size() * sizeof(float)) / 1048576.0,
        static_cast<double>(fr.size() * FRAME_SIZE * sizeof(float)) / 1048576.0, mib("VmHWM:"));
  }
  std::printf("memory: between chunks        RSS %7.1f MiB\n", mib("VmRSS:"));
}

// Resident memory a model file costs when mapped versus read, with an
// interpreter for each of its signatures.
void report_load_modes() {
  for (auto how : {LitertModel::Load::Map, LitertModel::Load::Read}) {
    const long before = status_kb("VmRSS:");
    std::vector<std::unique_ptr<LitertModel>> models;
    std::vector<std::shared_ptr<SignatureRunner>> runners;
    for (const std::string& p : g_paths) {
      models.push_back(std::make_unique<LitertModel>(p, g_threads, how));
      for (const std::string& k : models.back()->signature_keys()) {
        runners.push_back(models.back()->runner(k));
        runners.back()->load();
      }
    }
    std::printf("load mode %-4s: +%ld KiB resident with every signature loaded\n",
                how == LitertModel::Load::Map ? "map" : "read", status_kb("VmRSS:") - before);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  std::vector<char*> rest{argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--threads" && i + 1 < argc) {
      g_threads = std::atoi(argv[++i]);
    } else if (a.rfind("--", 0) != 0 && dir.empty()) {
      dir = a;
    } else {
      rest.push_back(argv[i]);
    }
  }
  if (dir.empty()) {
    dir = kinra2::system::env_text("KINRA2_BENCH_BUNDLE").value_or("");
  }
  if (dir.empty() || !find_bundle(dir)) {
    std::printf(
        "bench_chain: no bundle (give a directory with combined_litert.tflite or "
        "shared-enc.tflite + identity.tflite and canon.bin); skipping\n");
    return 0;
  }
  if (g_threads < 1) g_threads = std::max(1u, std::thread::hardware_concurrency());

  const long rss0 = status_kb("VmRSS:");
  const auto t0 = std::chrono::steady_clock::now();
  g_chain = std::make_unique<LitertChain>(g_paths, g_canon, g_threads);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  std::printf("chain over %zu file(s), %d thread(s): built in %.1f ms, +%ld KiB resident\n",
              g_paths.size(), g_threads, ms, status_kb("VmRSS:") - rss0);
  const auto t1 = std::chrono::steady_clock::now();
  chunk();  // the first, cold chunk: enc, tok14, 8 steps
  report_memory_by_stage();
  std::printf(
      "first chunks (cold): %.1f ms\n",
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t1).count());
  report_load_modes();

  using benchmark::RegisterBenchmark;
  RegisterBenchmark("chain_create", BM_ChainCreate)->Unit(benchmark::kMillisecond)->Iterations(3);
  for (auto* b : {RegisterBenchmark("enc", BM_Enc), RegisterBenchmark("tok14", BM_Tok14),
                  RegisterBenchmark("step", BM_Step)})
    b->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
  RegisterBenchmark("shift_hist", BM_ShiftHist)->Unit(benchmark::kMicrosecond);
  RegisterBenchmark("build_dec_inputs", BM_BuildDecInputs)->Unit(benchmark::kMicrosecond);
  RegisterBenchmark("dec_frames", BM_DecFrames)
      ->Arg(8)
      ->Arg(16)
      ->Arg(21)
      ->Arg(32)
      ->Unit(benchmark::kMillisecond)
      ->Repetitions(5)
      ->ReportAggregatesOnly(true);

  int rargc = static_cast<int>(rest.size());
  benchmark::Initialize(&rargc, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  g_chain.reset();
  return 0;
}
