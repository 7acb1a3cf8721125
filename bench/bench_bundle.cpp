// Start-up costs of the bundle path: fetching a model-sized member from each
// bundle form, and hashing it the way the int8 gate and the base check do.
#include "bundle/container.hpp"
#include "bundle/load_bundle.hpp"
#include "bundle/q8gd_internal.hpp"
#include "bundle/staging.hpp"

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
    // A whole bundle: canon latent plus the model, as a directory and as IMX.
    const std::string canon(16 * 4680 * 4, '\0');
    fs::create_directories(dir / "b");
    std::ofstream(dir / "b" / "combined_litert.tflite", std::ios::binary)
        .write(payload.data(), payload.size());
    std::ofstream(dir / "b" / "canon.bin", std::ios::binary).write(canon.data(), canon.size());
    const std::string name = "combined_litert.tflite";
    std::string imx("IMX\0\1\0\2\0", 8);
    auto put = [&imx](std::uint64_t v, int bytes) {
      for (int i = 0; i < bytes; ++i) imx += static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    std::uint64_t off = 8 + (2 + 9 + 16) + (2 + name.size() + 16);
    put(9, 2);
    imx += "canon.bin";
    put(off, 8);
    put(canon.size(), 8);
    put(name.size(), 2);
    imx += name;
    put(off + canon.size(), 8);
    put(payload.size(), 8);
    std::ofstream o(dir / "b.imx", std::ios::binary);
    o.write(imx.data(), imx.size());
    o.write(canon.data(), canon.size());
    o.write(payload.data(), payload.size());
    o.close();
    fs::create_directories(dir / "stage");
    ::setenv("KINRA2_STAGE_DIR", (dir / "stage").c_str(), 1);
    ::unsetenv("KINRA2_Q8GD");
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
    auto m = kinra2::bundle::member_bytes(bundle, {"combined_litert.tflite"});
    benchmark::DoNotOptimize(m);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * MEMBER);
}

void BM_MemberDirectory(benchmark::State& s) {
  fetch(s, (fixture().dir / "b").string());
}
void BM_MemberImx(benchmark::State& s) {
  fetch(s, (fixture().dir / "b.imx").string());
}
void BM_MemberZip(benchmark::State& s) {
  fetch(s, (fixture().dir / "b.zip").string());
}

void BM_Sha256File(benchmark::State& state) {
  const std::string p = (fixture().dir / "b" / "combined_litert.tflite").string();
  for (auto _ : state) benchmark::DoNotOptimize(kinra2::bundle::detail::sha256_file_hex(p));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * MEMBER);
}

// Start-up resolution of a combined-model bundle: a directory's model is used
// in place (only the canon is read), an IMX model is read and staged.
void resolve(benchmark::State& state, const std::string& bundle) {
  for (auto _ : state) {
    auto r = kinra2::bundle::load_bundle(bundle, std::nullopt);
    benchmark::DoNotOptimize(r);
    kinra2::bundle::detail::release_staged(r.tfl_paths);
  }
}

void BM_LoadBundleDirectory(benchmark::State& s) {
  resolve(s, (fixture().dir / "b").string());
}
void BM_LoadBundleImx(benchmark::State& s) {
  resolve(s, (fixture().dir / "b.imx").string());
}

BENCHMARK(BM_LoadBundleDirectory)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadBundleImx)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemberDirectory)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemberImx)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemberZip)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha256File)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
