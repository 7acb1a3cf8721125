#include "image/pixel_convert.hpp"
#include "image/color_correct.hpp"
#include "image/pixel_convert_internal.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numeric>
#if defined(__linux__)
#include <pthread.h>
#endif
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/sha256.hpp"
#include "image/rgb_pool.hpp"
#include "support/scoped_env.hpp"

using namespace kinra2;
using namespace kinra2::image;
using ::testing::HasSubstr;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

namespace {

constexpr std::size_t FRAME_FLOATS = 3 * std::size_t{FH} * FW;

// Deterministic frames spanning below 0, the unit range and above 1.
std::vector<std::vector<float>> make_frames(std::size_t n) {
  std::vector<std::vector<float>> f(n, std::vector<float>(FRAME_FLOATS));
  std::uint32_t s = 12345;
  for (auto& fr : f)
    for (float& v : fr) {
      s = s * 1664525u + 1013904223u;
      v = static_cast<float>(s >> 8) / static_cast<float>(1u << 24) * 1.4f - 0.2f;
    }
  return f;
}

std::vector<ModelFrame> views(std::vector<std::vector<float>>& f, bool writable) {
  std::vector<ModelFrame> v;
  for (auto& fr : f) v.push_back({fr.data(), 3, FH, FW, writable});
  return v;
}

std::vector<std::uint8_t> bytes(const RgbChunk& c) {
  return {c.data(), c.data() + c.bytes()};
}

Lut red_off_lut() {
  Lut t{};
  for (int c = 0; c < 3; ++c) std::iota(t[c].begin(), t[c].end(), 0);
  t[0].fill(0);
  return t;
}

}  // namespace

TEST(PixelConvert, EdgeSamplesOnEveryPath) {
  const float nan = std::numeric_limits<float>::quiet_NaN(),
              inf = std::numeric_limits<float>::infinity();
  const std::vector<float> samples = {0.0f, 0.5f, 0.999f, 1.0f, -0.2f, 1.3f, nan, inf, -inf};
  const std::vector<std::uint8_t> want = {0, 127, 254, 255, 0, 255, 0, 255, 0};

  // Single frame (3, 1, W): sample i of red lands at byte 3i.
  std::vector<float> small(3 * samples.size(), 0.0f);
  std::copy(samples.begin(), samples.end(), small.begin());
  auto out = px_to_rgb888({small.data(), 3, 1, static_cast<int>(samples.size()), true});
  for (std::size_t i = 0; i < samples.size(); ++i) EXPECT_EQ(out[3 * i], want[i]) << samples[i];

  // Full frames on the in-place and the copying path, in the green plane.
  for (bool writable : {true, false}) {
    std::vector<float> frame(FRAME_FLOATS, 0.25f);
    std::copy(samples.begin(), samples.end(), frame.begin() + FH * FW);
    ModelFrame f{frame.data(), 3, FH, FW, writable};
    RgbChunk c = px_to_rgb888_chunk({&f, 1});
    for (std::size_t i = 0; i < samples.size(); ++i)
      EXPECT_EQ(c.frame(0)[3 * i + 1], want[i]) << writable << samples[i];
    EXPECT_EQ(c.frame(0)[0], 63);
  }
}

TEST(PixelConvert, InPlaceConsumesFramesReadOnlyDoesNotAndBothAgree) {
  auto a = make_frames(3), b = a;
  const auto original = a;
  auto rw = views(a, true), ro = views(b, false);
  EXPECT_EQ(bytes(px_to_rgb888_chunk(rw)), bytes(px_to_rgb888_chunk(ro)));
  EXPECT_EQ(b, original);
  for (std::size_t i = 0; i < FRAME_FLOATS; i += 997) {
    float v = original[1][i] * 255.0f;
    EXPECT_EQ(a[1][i], v < 0 ? 0.0f : v > 255 ? 255.0f : v);
  }
}

TEST(PixelConvert, ColourCorrectionOnBothPaths) {
  const ColorCorrect lut = ColorCorrect::make_lut(red_off_lut());
  const ColorCorrect gb = ColorCorrect::make_gain_bias({1.1f, 0.9f, 1.0f}, {-3.5f, 2.0f, 0.0f});
  for (bool writable : {true, false}) {
    auto f = make_frames(2), plain = f;
    auto fv = views(f, writable), pv = views(plain, false);
    std::vector<std::uint8_t> raw = bytes(px_to_rgb888_chunk(pv));

    std::vector<std::uint8_t> got = bytes(px_to_rgb888_chunk(fv, &lut));
    for (std::size_t i = 0; i < got.size(); i += 3) {
      ASSERT_EQ(got[i], 0);
      ASSERT_EQ(got[i + 1], raw[i + 1]);
      ASSERT_EQ(got[i + 2], raw[i + 2]);
    }

    f = plain;
    fv = views(f, writable);
    std::vector<std::uint8_t> want = raw;
    gb.apply(want.data(), want.data(), want.size() / 3);
    EXPECT_EQ(bytes(px_to_rgb888_chunk(fv, &gb)), want) << writable;
    EXPECT_EQ(px_to_rgb888(pv[0], &gb),
              std::vector<std::uint8_t>(want.begin(), want.begin() + RGB_FRAME_BYTES));
  }
}

// The conversion is an exact function of its input: these digests hold on
// every processor and kernel build (the x86-64 and arm64 builds check the
// same ones), on the chunk path and the host's batch path alike.
TEST(PixelConvert, SameBytesOnEveryProcessor) {
  const ColorCorrect gb = ColorCorrect::make_gain_bias({1.1f, 0.9f, 1.0f}, {-3.5f, 2.0f, 0.0f});
  const ColorCorrect lut = ColorCorrect::make_lut(red_off_lut());
  const struct {
    const char* name;
    const ColorCorrect* cc;
    const char* sha256;
  } rows[] = {
      {"no correction", nullptr,
       "08ef3ce58b97d6db55805f349c8391d10580283597eb201cba7b1cd8a6fba6bb"},
      {"gain and bias", &gb, "1621ac4d1081b5ce1587d9bff09f4e356bd9991b50219b8dcd8efe447d55426e"},
      {"table", &lut, "6b3c0709a74cdaab1ccf93017e68c9632420041870f139f745f25572553f7c8e"},
  };
  for (const auto& r : rows) {
    auto f = make_frames(2);
    std::vector<const float*> batch;
    for (const auto& fr : f) batch.push_back(fr.data());
    std::vector<std::uint8_t> into(batch.size() * RGB_FRAME_BYTES);
    px_to_rgb888_into(batch, r.cc, 2, into.data());
    const auto chunk = bytes(px_to_rgb888_chunk(views(f, true), r.cc));
    const auto digest = [](const std::vector<std::uint8_t>& b) {
      return kinra2::base::sha256_hex({reinterpret_cast<const char*>(b.data()), b.size()});
    };
    EXPECT_EQ(digest(into), r.sha256) << r.name;
    EXPECT_EQ(digest(chunk), r.sha256) << r.name << ", in place";
  }
}

// Every build of the kernels this processor can run, chosen as a processor
// with only that instruction set would choose it.
std::vector<detail::PixelIsa> runnable_isas() {
  using detail::PixelIsa;
  std::vector<PixelIsa> out{PixelIsa::baseline};
#if defined(__x86_64__)
  __builtin_cpu_init();
  const bool ssse3 = __builtin_cpu_supports("ssse3"), avx2 = __builtin_cpu_supports("avx2");
  if (ssse3) out.push_back(detail::pixel_isa_for(true, false));
  if (avx2) out.push_back(detail::pixel_isa_for(true, true));
  EXPECT_EQ(detail::this_pixel_isa(), detail::pixel_isa_for(ssse3, avx2));
#elif defined(__aarch64__)
  out.push_back(PixelIsa::neon);
  EXPECT_EQ(detail::this_pixel_isa(), PixelIsa::neon);
#endif
  return out;
}

TEST(PixelConvert, EveryKernelBuildFollowsThePixelRuleAtEveryLength) {
  using detail::PixelIsa;
  EXPECT_EQ(detail::pixel_isa_for(false, false), PixelIsa::baseline);
#if defined(__x86_64__)
  EXPECT_EQ(detail::pixel_isa_for(true, false), PixelIsa::ssse3);
  EXPECT_EQ(detail::pixel_isa_for(true, true), PixelIsa::avx2);
#endif
  const float nan = std::numeric_limits<float>::quiet_NaN(),
              inf = std::numeric_limits<float>::infinity();
  const std::vector<float> specials = {0.0f, -0.0f, 0.5f, 0.999f, 1.0f,   -0.2f,
                                       1.3f, nan,   inf,  -inf,   1e-30f, 254.5f / 255};
  std::array<std::int32_t, 256> table;
  for (int v = 0; v < 256; ++v) table[v] = (v * 37 + 11) % 256;
  for (PixelIsa isa : runnable_isas()) {
    for (std::size_t n : {0, 1, 31, 32, 33, 95, 1000}) {
      SCOPED_TRACE("isa " + std::to_string(static_cast<int>(isa)) + " n " + std::to_string(n));
      std::vector<float> src(n);
      for (std::size_t i = 0; i < n; ++i)
        src[i] =
            i < specials.size() ? specials[(i * 5) % specials.size()] : (i % 301) / 290.0f - 0.02f;
      // Specials also at the end, where a vector loop hands over to its tail.
      for (std::size_t i = 0; i < std::min(n, specials.size()); ++i) src[n - 1 - i] = specials[i];
      std::vector<float> clipped(n);
      for (std::size_t i = 0; i < n; ++i) {
        const float x = src[i] * 255.0f;
        clipped[i] = std::isnan(x) ? 0.0f : std::min(std::max(x, 0.0f), 255.0f);
      }
      std::vector<float> work = src, kept = src;
      std::vector<std::uint8_t> lut(n), lut_ro(n), plain(n), plain_ro(n);
      detail::scale_lut_to_u8(isa, work.data(), lut.data(), n, table.data());
      detail::scale_lut_to_u8_ro(isa, kept.data(), lut_ro.data(), n, table.data());
      EXPECT_EQ(work, clipped);
      EXPECT_TRUE(std::equal(kept.begin(), kept.end(), src.begin(), src.end(),
                             [](float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }))
          << "the read-only kernel wrote to its source";
      work = src;
      detail::scale_to_u8(isa, work.data(), plain.data(), n, true);
      detail::scale_to_u8(isa, kept.data(), plain_ro.data(), n, false);
      EXPECT_EQ(work, clipped);
      EXPECT_EQ(plain, plain_ro);
      for (std::size_t i = 0; i < n; ++i) {
        const auto want = static_cast<std::uint8_t>(static_cast<int>(clipped[i]));
        ASSERT_EQ(plain[i], want) << "at " << i << " for " << src[i];
        ASSERT_EQ(lut[i], table[want]) << "at " << i;
        ASSERT_EQ(lut_ro[i], table[want]) << "at " << i;
      }
      std::vector<std::uint8_t> rgb(3 * n);
      detail::interleave3(isa, plain.data(), lut.data(), lut_ro.data(), rgb.data(), n);
      for (std::size_t i = 0; i < n; ++i)
        ASSERT_TRUE(rgb[3 * i] == plain[i] && rgb[3 * i + 1] == lut[i] &&
                    rgb[3 * i + 2] == lut_ro[i])
            << "at " << i;
    }
  }
}

TEST(PixelConvert, PooledResultIsByteIdenticalToSingleThread) {
  const ColorCorrect lut = ColorCorrect::make_lut(red_off_lut());
  for (auto [n, threads] : {std::pair{5, 4}, std::pair{32, 3}}) {
    auto base = make_frames(static_cast<std::size_t>(n));
    auto ref = bytes(px_to_rgb888_chunk(views(base, false), &lut, 1));
    // Mixed paths: every third frame read-only.
    auto many = base;
    auto mv = views(many, true);
    for (std::size_t k = 0; k < mv.size(); k += 3) mv[k].writable = false;
    EXPECT_EQ(bytes(px_to_rgb888_chunk(mv, &lut, threads)), ref) << n << "/" << threads;
  }
}

TEST(PixelConvert, FramesSharingMemoryAreNotConvertedTwice) {
  auto f = make_frames(1);
  const auto original = f;
  std::vector<ModelFrame> same = {{f[0].data(), 3, FH, FW, true}, {f[0].data(), 3, FH, FW, true}};
  auto copy = original;
  auto ref = px_to_rgb888({copy[0].data(), 3, FH, FW, false});
  RgbChunk c = px_to_rgb888_chunk(same, nullptr, 2);
  EXPECT_EQ(0, std::memcmp(c.frame(0), ref.data(), RGB_FRAME_BYTES));
  EXPECT_EQ(0, std::memcmp(c.frame(1), ref.data(), RGB_FRAME_BYTES));

  // A one-float overlap marks both frames, and only them; read-only frames
  // never go in place.
  std::vector<float> big(3 * FRAME_FLOATS + 8);
  std::vector<ModelFrame> frames = {{big.data() + 2 * FRAME_FLOATS + 8, 3, FH, FW, true},
                                    {big.data() + FRAME_FLOATS - 1, 3, FH, FW, true},
                                    {big.data(), 3, FH, FW, true}};
  EXPECT_EQ(detail::in_place_frames(frames), (std::vector<bool>{true, false, false}));
  frames[0].writable = false;
  EXPECT_EQ(detail::in_place_frames(frames), (std::vector<bool>{false, false, false}));
  // Frames end to end in one buffer share no byte: both go in place, and
  // neither disturbs the other.
  auto pair = make_frames(2);
  const auto want = bytes(px_to_rgb888_chunk(views(pair, false), nullptr, 1));
  std::copy(pair[0].begin(), pair[0].end(), big.begin() + FRAME_FLOATS);
  std::copy(pair[1].begin(), pair[1].end(), big.begin());
  std::vector<ModelFrame> adjacent = {{big.data() + FRAME_FLOATS, 3, FH, FW, true},
                                      {big.data(), 3, FH, FW, true}};
  EXPECT_EQ(detail::in_place_frames(adjacent), (std::vector<bool>{true, true}));
  EXPECT_EQ(bytes(px_to_rgb888_chunk(adjacent, nullptr, 2)), want);
}

TEST(PixelConvert, BadFramesFailBeforeAnythingIsConsumed) {
  auto f = make_frames(3);
  const auto original = f;
  auto v = views(f, true);
  std::vector<float> tiny(3 * 10 * 10);
  v[2] = {tiny.data(), 3, 10, 10, true};
  EXPECT_THAT([&] { px_to_rgb888_chunk(v, nullptr, 2); },
              ThrowsMessage<std::invalid_argument>(HasSubstr("frame 2 of shape (3, 10, 10)")));
  EXPECT_EQ(f[0], original[0]);
  v[1].data = nullptr;
  EXPECT_THROW(px_to_rgb888_chunk(v), std::invalid_argument);
  EXPECT_THROW(px_to_rgb888({tiny.data(), 4, 5, 5, true}), std::invalid_argument);
  EXPECT_THROW(px_to_rgb888({nullptr, 3, 1, 1, true}), std::invalid_argument);
  EXPECT_TRUE(px_to_rgb888({tiny.data(), 3, 0, 10, true}).empty());
}

TEST(PixelConvert, LowestFailedRangeWinsAfterAllTasksFinish) {
  std::atomic<int> finished{0};
  // n = 32 over 4 ranges of 8: ranges starting at 8 and 24 fail, the later
  // one first.
  const auto run = [&] {
    detail::run_ranges(32, 4, [&](std::size_t lo, std::size_t) {
      if (lo == 24) throw std::runtime_error("range 24");
      if (lo == 8) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        finished++;
        throw std::runtime_error("range 8");
      }
      finished++;
    });
  };
  EXPECT_THAT(run, ThrowsMessage<std::runtime_error>(StrEq("range 8")));
  EXPECT_EQ(finished.load(), 3);
}

// Pool creation is process-wide state, so this runs in a fresh process.
static void pool_lifecycle() {
  auto check = [](bool ok, int code) {
    if (!ok) std::_Exit(code);
  };
  std::vector<std::pair<std::size_t, std::size_t>> seen;
  std::mutex m;
  auto record = [&](std::size_t lo, std::size_t hi) {
    std::lock_guard<std::mutex> g(m);
    seen.emplace_back(lo, hi);
  };
  check(px_to_rgb888_chunk({}, nullptr, 4).size() == 0, 2);
  std::vector<float> one(FRAME_FLOATS, 0.5f);
  ModelFrame f{one.data()};
  check(px_to_rgb888_chunk({&f, 1}, nullptr, 4).frame(0)[0] == 127, 2);
  detail::run_ranges(1, 4, record);
  detail::run_ranges(8, 1, record);
  detail::run_ranges(8, -3, record);
  check(detail::rgb_pool_if_created() == nullptr, 3);

  seen.clear();
  detail::run_ranges(6, 2, record);
  check(detail::rgb_pool_if_created() && detail::rgb_pool_if_created()->size() == 2, 4);
  seen.clear();
  detail::run_ranges(5, 4, record);
  std::sort(seen.begin(), seen.end());
  check(seen == decltype(seen){{0, 2}, {2, 4}, {4, 5}}, 5);
  seen.clear();
  detail::run_ranges(8, 8, record);
  check(seen.size() == 8 && detail::rgb_pool(8).size() == 2, 6);

#if defined(__linux__)
  // Named where the workers are (Linux), so they show in a process listing.
  char name[16] = {};
  detail::rgb_pool(1).submit([&] { pthread_getname_np(pthread_self(), name, sizeof name); }).get();
  check(std::string(name).starts_with("k2-rgb"), 7);
#endif
  std::exit(0);
}

TEST(RgbPoolDeathTest, CreatedOnceByTheFirstPooledCall) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(pool_lifecycle(), ::testing::ExitedWithCode(0), "");
}

TEST(RgbThreads, EnvironmentAndDefault) {
  auto cpus8 = +[] { return 8; };
  struct Case {
    const char* raw;
    int want;
    const char* logged;
  };
  for (Case c : {Case{" 4 ", 4, nullptr}, Case{"+6", 6, nullptr}, Case{"0", 1, nullptr},
                 Case{"-3", 1, nullptr},
                 Case{"99999999999999999999", std::numeric_limits<int>::max(), nullptr},
                 Case{nullptr, 2, nullptr}, Case{" \t ", 2, nullptr}, Case{"4.5", 2, "4.5"},
                 Case{" four ", 2, "four"}, Case{"-", 2, "-"}, Case{"C:\\4", 2, "C:\\4"}}) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(detail::rgb_threads_from(c.raw, cpus8), c.want) << (c.raw ? c.raw : "(unset)");
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, c.logged
                       ? "[render-stream-host-litert] KINRA2_RGB_THREADS='" +
                             std::string(c.logged) + "' is not an integer — using the default\n"
                       : "");
  }

  for (auto [cpus, want] : std::initializer_list<std::pair<int, int>>{
           {1, 1}, {2, 1}, {5, 1}, {6, 2}, {8, 2}, {12, 4}, {16, 5}, {24, 8}, {64, 8}})
    EXPECT_EQ(detail::default_rgb_threads(cpus), want) << cpus;

  k2test::set_env("KINRA2_RGB_THREADS", " 7 ");
  EXPECT_EQ(rgb_threads(), 7);
  k2test::set_env("KINRA2_RGB_THREADS", std::nullopt);
  EXPECT_GE(rgb_threads(), 1);
}
