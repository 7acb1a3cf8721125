// Start-up costs of the bundle path: fetching a model-sized member from each
// bundle form, and hashing it the way the int8 gate and the base check do.
#include "bundle/container.hpp"
#include "bundle/q8gd.hpp"

#include <benchmark/benchmark.h>
#include <zip.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace {

namespace fs = std::filesystem;
constexpr std::size_t MEMBER = 64u << 20;

struct Fixture {
  fs::path dir;
  std::string payload;
  Fixture() {
    std::string tmpl = (fs::temp_directory_path() / "k2bench_XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) std::abort();
    dir = tmpl;
    // Half noise, half zeros: roughly how compressible float weights are.
    payload.resize(MEMBER);
    std::mt19937 rng(1);
    for (std::size_t i = 0; i < MEMBER / 2; i += 4) {
      std::uint32_t v = rng();
      std::memcpy(payload.data() + i, &v, 4);
    }
    fs::create_directories(dir / "b");
    std::ofstream(dir / "b" / "combined_litert.tflite", std::ios::binary).write(payload.data(), payload.size());
    std::string imx("IMX\0\1\0\1\0", 8);
    const std::string name = "combined_litert.tflite";
    imx += static_cast<char>(name.size());
    imx += '\0';
    imx += name;
    std::uint64_t off = imx.size() + 16, size = payload.size();
    for (int i = 0; i < 8; ++i) imx += static_cast<char>((off >> (8 * i)) & 0xFF);
    for (int i = 0; i < 8; ++i) imx += static_cast<char>((size >> (8 * i)) & 0xFF);
    std::ofstream o(dir / "b.imx", std::ios::binary);
    o.write(imx.data(), imx.size());
    o.write(payload.data(), payload.size());
    o.close();
    int err = 0;
    zip_t* z = zip_open((dir / "b.zip").c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    zip_file_add(z, name.c_str(), zip_source_buffer(z, payload.data(), payload.size(), 0), 0);
    zip_close(z);
  }
  ~Fixture() { fs::remove_all(dir); }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void fetch(benchmark::State& state, const std::string& bundle) {
  for (auto _ : state) {
    auto m = kinra2::bundle::detail::member_bytes(bundle, {"combined_litert.tflite"});
    benchmark::DoNotOptimize(m);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * MEMBER);
}

void BM_MemberDirectory(benchmark::State& s) { fetch(s, (fixture().dir / "b").string()); }
void BM_MemberImx(benchmark::State& s) { fetch(s, (fixture().dir / "b.imx").string()); }
void BM_MemberZip(benchmark::State& s) { fetch(s, (fixture().dir / "b.zip").string()); }

void BM_Sha256File(benchmark::State& state) {
  const std::string p = (fixture().dir / "b" / "combined_litert.tflite").string();
  for (auto _ : state) benchmark::DoNotOptimize(kinra2::bundle::detail::sha256_file_hex(p));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * MEMBER);
}

BENCHMARK(BM_MemberDirectory)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemberImx)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemberZip)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha256File)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
