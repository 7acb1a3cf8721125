// What the int8 decoder variant buys: the float decoder against the int8 one
// of the same demo bundle, with XNNPACK's 8-bit operators off (the
// library's default, int8 on the built-in kernels) and on (as the host runs
// it), side by side in one run: rounds that time every configuration in
// turn, medians over the rounds.
//
// usage: bench_q8gd [--threads T] [--rounds R] [--bundle DIR]...
//   Without --bundle the demo and the heavy demo bundle are made with --q8gd.
//   To measure a processor without an int8 dot product on this one, preload
//   the CPUID shim of the tests:
//   LD_PRELOAD=build/bin/libk2_fake_cpuid.so K2_FAKE_CPUID=GenuineIntel:6:0x55 bench_q8gd
#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "bundle/q8gd.hpp"
#include "chain/litert_runtime.hpp"
#include "tflite_schema_generated.h"

namespace fs = std::filesystem;
using namespace kinra2::chain;
using Clock = std::chrono::steady_clock;

namespace {

struct Config {
  const char* name;
  const char* member;
  LitertModel::Int8Kernels int8;
};

constexpr std::array<Config, 4> CONFIGS = {{
    {"float", "combined_litert.tflite", LitertModel::Int8Kernels::Builtin},
    {"float+flags", "combined_litert.tflite", LitertModel::Int8Kernels::Xnnpack},
    {"int8 flags off", "combined_litert_q8gd.tflite", LitertModel::Int8Kernels::Builtin},
    {"int8 flags on", "combined_litert_q8gd.tflite", LitertModel::Int8Kernels::Xnnpack},
}};

constexpr std::array<const char*, 5> SIGS = {"enc", "tok14", "step", "dec16", "dec8"};

// One signature's runner with its inputs set once.
struct Sig {
  std::shared_ptr<SignatureRunner> runner;
  std::vector<std::vector<float>> inputs;
  std::vector<InputArg> args;
  std::vector<TensorInfo> details;
};

Sig make_sig(const LitertModel& m, const char* key) {
  Sig s;
  s.runner = m.runner(key);
  s.details = s.runner->input_details();
  for (const TensorInfo& in : s.details) {
    std::size_t n = 1;
    for (int d : in.shape) n *= static_cast<std::size_t>(d);
    auto& v = s.inputs.emplace_back(n);
    for (std::size_t i = 0; i < n; ++i)
      v[i] = static_cast<float>((i * 2654435761u) % 1000) / 1000.0f;
  }
  for (std::size_t i = 0; i < s.details.size(); ++i)
    s.args.push_back({s.details[i].name, kTfLiteFloat32, s.details[i].shape, s.inputs[i].data(),
                      s.inputs[i].size() * sizeof(float)});
  return s;
}

double run_ms(Sig& s) {
  const auto t0 = Clock::now();
  s.runner->set_inputs(s.args);
  s.runner->invoke();
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n == 0 ? 0.0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string placement(const SignatureRunner& r) {
  const auto p = r.placement();
  char b[160];
  std::snprintf(b, sizeof b, "flags %u: %d nodes on XNNPACK (%d partition%s), %d built-in",
                r.xnnpack_flags(), p.xnnpack, p.partitions, p.partitions == 1 ? "" : "s",
                p.builtin);
  std::string s = b;
  std::map<std::string, int> ops;
  for (int code : p.builtin_ops)
    ++ops[kinra2::fmt::EnumNameBuiltinOperator(static_cast<kinra2::fmt::BuiltinOperator>(code))];
  const char* sep = " (";
  for (const auto& [name, n] : ops) {
    s += sep + name + (n > 1 ? " x" + std::to_string(n) : "");
    sep = ", ";
  }
  return ops.empty() ? s : s + ")";
}

std::string load_text() {
  std::ifstream f("/proc/loadavg");
  std::string a, b, c;
  f >> a >> b >> c;
  return a + " " + b + " " + c;
}

void bench_bundle(const std::string& dir, const std::string& label, int threads, int rounds) {
  struct Loaded {
    std::unique_ptr<LitertModel> model;
    std::vector<Sig> sigs;  // in SIGS order
  };
  std::vector<Loaded> loaded;
  for (const Config& c : CONFIGS) {
    Loaded l;
    l.model =
        std::make_unique<LitertModel>((fs::path(dir) / c.member).string(), threads,
                                      LitertModel::Load::Map, kinra2::system::this_cpu(), c.int8);
    for (const char* k : SIGS) l.sigs.push_back(make_sig(*l.model, k));
    for (Sig& s : l.sigs) run_ms(s);  // first runs prepare the kernels
    loaded.push_back(std::move(l));
  }
  std::printf("\n%s bundle, %d LiteRT thread(s), %d rounds, loadavg before %s\n", label.c_str(),
              threads, rounds, load_text().c_str());
  for (std::size_t i = 0; i < CONFIGS.size(); ++i)
    for (const char* k : {"dec16", "dec8"}) {
      const std::size_t si = k[3] == '1' ? 3 : 4;
      std::printf("  nodes %-5s %-15s %s\n", k, CONFIGS[i].name,
                  placement(*loaded[i].sigs[si].runner).c_str());
    }
  // [config][0 dec16, 1 dec8, 2 steady chunk]
  std::vector<std::array<std::vector<double>, 3>> t(CONFIGS.size());
  for (int r = 0; r < rounds; ++r)
    for (std::size_t j = 0; j < CONFIGS.size(); ++j) {
      // Each round starts with another configuration, so none is always
      // the one that runs right after the same neighbour.
      const std::size_t i = (j + static_cast<std::size_t>(r)) % CONFIGS.size();
      auto& s = loaded[i].sigs;
      const double d16 = run_ms(s[3]), d8 = run_ms(s[4]);
      // A steady chunk: enc, tok14, 8 steps and 32 frames in two dec16 calls.
      double chunk = run_ms(s[0]) + run_ms(s[1]);
      for (int k = 0; k < 8; ++k) chunk += run_ms(s[2]);
      chunk += run_ms(s[3]) + run_ms(s[3]);
      t[i][0].push_back(d16);
      t[i][1].push_back(d8);
      t[i][2].push_back(chunk);
    }
  std::printf("  %-14s", "median ms");
  for (const Config& c : CONFIGS) std::printf(" %15s", c.name);
  std::printf(" %16s %16s\n", "float/int8 on", "float/int8 off");
  const char* rows[3] = {"dec16", "dec8", "steady chunk"};
  for (int row = 0; row < 3; ++row) {
    std::printf("  %-14s", rows[row]);
    double m[CONFIGS.size()];
    for (std::size_t i = 0; i < CONFIGS.size(); ++i) {
      m[i] = median(t[i][static_cast<std::size_t>(row)]);
      std::printf(" %15.1f", m[i]);
    }
    std::printf(" %15.2fx %15.2fx\n", m[0] / m[3], m[0] / m[2]);
  }
  std::printf("  loadavg after %s\n", load_text().c_str());
}

// What XNNPACK's kernel choice sees (CPUID) and what the gate sees (/proc/cpuinfo).
void report_processor() {
  const auto isa = kinra2::bundle::int8_dot_isa();
#if !defined(__x86_64__)
  // No CPUID off x86; the gate reads "flags" lines, which arm64 does not write.
  std::printf("gate (%s): %s\n", kinra2::bundle::default_cpuinfo().c_str(),
              isa ? isa->c_str() : "no int8 dot product");
#else
  unsigned a = 0, b = 0, c = 0, d = 0;
  __cpuid_count(7, 0, a, b, c, d);
  const bool avx512f = (b >> 16) & 1, vnni512 = (c >> 11) & 1;
  __cpuid_count(7, 1, a, b, c, d);
  const bool avx_vnni = (a >> 4) & 1;
  std::printf("CPUID (XNNPACK's choice): avx512f %d, avx512_vnni %d, avx_vnni %d; gate (%s): %s\n",
              avx512f, vnni512, avx_vnni, kinra2::bundle::default_cpuinfo().c_str(),
              isa ? isa->c_str() : "no int8 dot product");
#endif
}

}  // namespace

int main(int argc, char** argv) {
  int threads = 1, rounds = 15;
  std::vector<std::string> dirs;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 < argc && a == "--threads")
      threads = std::max(1, std::atoi(argv[++i]));
    else if (i + 1 < argc && a == "--rounds")
      rounds = std::max(1, std::atoi(argv[++i]));
    else if (i + 1 < argc && a == "--bundle")
      dirs.push_back(argv[++i]);
    else {
      std::fprintf(stderr, "usage: bench_q8gd [--threads T] [--rounds R] [--bundle DIR]...\n");
      return 2;
    }
  }
  report_processor();
  if (!dirs.empty()) {
    for (const std::string& d : dirs) bench_bundle(d, d, threads, rounds);
    return 0;
  }
  for (const bool heavy : {false, true}) {
    k2bench::DemoBundle demo("q8gd", heavy, "--q8gd");
    if (!demo.ok()) return 1;
    bench_bundle(demo.path(), heavy ? "heavy demo" : "demo", threads, rounds);
  }
  return 0;
}
