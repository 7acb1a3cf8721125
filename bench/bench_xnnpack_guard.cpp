// What the XNNPACK fault guard costs: the demo bundle's `enc` and `tok14`
// invoked on the runtime's built-in kernels (as on an affected Zen core)
// against XNNPACK, side by side in one run.
//   bench_xnnpack_guard <bundle_dir> [--threads N] [google-benchmark flags]
// Without a bundle it says so and exits 0.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "chain/litert_runtime.hpp"

namespace fs = std::filesystem;
using namespace kinra2::chain;
using kinra2::system::CpuIdentity;

namespace {

const CpuIdentity ZEN1{"AuthenticAMD", 0x17, 0x01};     // guarded: built-in kernels
const CpuIdentity UNAFFECTED{"GenuineIntel", 6, 0x55};  // XNNPACK

struct Case {
  std::unique_ptr<LitertModel> model;
  std::shared_ptr<SignatureRunner> runner;
  std::vector<std::vector<float>> inputs;
};

// A runner whose inputs are filled once with deterministic values.
Case make_case(const std::string& path, const std::string& key, const CpuIdentity& cpu,
               int threads) {
  Case c;
  c.model = std::make_unique<LitertModel>(path, threads, LitertModel::Load::Map, cpu);
  c.runner = c.model->runner(key);
  std::vector<InputArg> args;
  const auto details = c.runner->input_details();
  for (const TensorInfo& in : details) {
    std::size_t n = 1;
    for (int d : in.shape) n *= static_cast<std::size_t>(d);
    auto& v = c.inputs.emplace_back(n);
    for (std::size_t i = 0; i < n; ++i)
      v[i] = static_cast<float>((i * 2654435761u) % 1000) / 1000.0f - 0.5f;
  }
  for (std::size_t i = 0; i < details.size(); ++i)
    args.push_back({details[i].name, kTfLiteFloat32, details[i].shape, c.inputs[i].data(),
                    c.inputs[i].size() * sizeof(float)});
  c.runner->set_inputs(args);
  c.runner->invoke();
  return c;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  int threads = 2;
  std::vector<char*> rest{argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--threads" && i + 1 < argc)
      threads = std::atoi(argv[++i]);
    else if (a.rfind("--", 0) == 0)
      rest.push_back(argv[i]);
    else
      dir = a;
  }
  const fs::path model = fs::path(dir) / "combined_litert.tflite";
  if (dir.empty() || !fs::exists(model)) {
    std::printf(
        "bench_xnnpack_guard: no bundle (give a directory with combined_litert.tflite); "
        "skipping\n");
    return 0;
  }
  std::vector<std::unique_ptr<Case>> keep;
  for (const char* key : {"enc", "tok14"}) {
    for (const auto& [label, cpu] :
         {std::pair{"xnnpack", UNAFFECTED}, std::pair{"builtin", ZEN1}}) {
      auto c = std::make_unique<Case>(make_case(model.string(), key, cpu, threads));
      std::printf("%s/%s: %s\n", key, label,
                  c->runner->uses_xnnpack() ? "XNNPACK" : "built-in kernels");
      SignatureRunner* r = c->runner.get();
      benchmark::RegisterBenchmark((std::string(key) + "/" + label).c_str(),
                                   [r](benchmark::State& st) {
                                     for (auto _ : st) r->invoke();
                                   })
          ->Unit(benchmark::kMicrosecond)
          ->Repetitions(7)
          ->ReportAggregatesOnly(true);
      keep.push_back(std::move(c));
    }
  }
  int rargc = static_cast<int>(rest.size());
  benchmark::Initialize(&rargc, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
