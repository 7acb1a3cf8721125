// What admitting a model costs: the one pass over its flatbuffer and the
// verdict for each signature, per megabyte of model, on the demo bundle's
// models (made here with make_demo_bundle) or on the model files given.
//   bench_model_admission [model.tflite...] [google-benchmark flags]
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <flatbuffers/flatbuffers.h>

#include "chain/model_admission.hpp"

namespace fs = std::filesystem;
using namespace kinra2::chain;
namespace fmt = kinra2::fmt;

namespace {

void admit(benchmark::State& state, const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes(std::istreambuf_iterator<char>(in), {});
  flatbuffers::Verifier v(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  if (!fmt::VerifyModelBuffer(v)) {
    state.SkipWithError("not a valid model");
    return;
  }
  const fmt::Model& model = *fmt::GetModel(bytes.data());
  std::vector<bool> entries(model.subgraphs()->size(), false);
  for (const auto* d : *model.signature_defs()) entries[d->subgraph_index()] = true;
  for (auto _ : state) {
    const ModelAdmission admission(model, entries);
    for (const auto* d : *model.signature_defs()) {
      Admission a = admission.view(d->subgraph_index());
      benchmark::DoNotOptimize(a);
      if (a.refusal) state.SkipWithError(a.refusal->c_str());
    }
  }
  const double mb = static_cast<double>(bytes.size()) / 1e6;
  state.counters["MB"] = mb;
  // Seconds per megabyte of model.
  state.counters["per_MB"] = benchmark::Counter(
      mb, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> models;
  std::vector<char*> rest{argv[0]};
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == '-') {
      rest.push_back(argv[i]);
    } else {
      models.emplace_back(argv[i]);
    }
  }
  const fs::path tmp = fs::temp_directory_path() / "k2_bench_admission";
  if (models.empty()) {
    fs::remove_all(tmp);
    const std::string tool = std::string(K2_BIN_DIR) + "/make_demo_bundle";
    for (const char* flags : {"", " --heavy", " --q8gd --heavy"}) {
      const std::string dir = (tmp / (std::string("demo") + flags)).string();
      if (std::system(("\"" + tool + "\" \"" + dir + "\"" + flags + " >/dev/null 2>&1").c_str()))
        return 1;
      for (const auto& e : fs::directory_iterator(dir))
        if (e.path().extension() == ".tflite") models.push_back(e.path().string());
    }
  }
  for (const std::string& m : models)
    benchmark::RegisterBenchmark(
        (fs::path(m).parent_path().filename().string() + "/" + fs::path(m).filename().string())
            .c_str(),
        admit, m)
        ->Unit(benchmark::kMicrosecond);
  int n = static_cast<int>(rest.size());
  benchmark::Initialize(&n, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  fs::remove_all(tmp);
  return 0;
}
