#include "render/wsola.hpp"
#include "render/wsola_internal.hpp"

#include <gtest/gtest.h>

#include "base/sha256.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

using namespace kinra2::render;
using detail::WsolaKernel;

// ---- A deliberately plain reference, written straight from the algorithm's
// description: libm rounding, a take() that builds every window afresh with
// its zeros, one candidate at a time. Slow, and independent of the padded
// buffer and the lane-parallel scoring of the real thing.
namespace ref {

float to_buf(double d) {
  double s = std::trunc(d * 2147483648.0);
  s = std::clamp(s, -2147483648.0, 2147483647.0);
  return static_cast<float>(std::floor((s + 64.0) / 128.0));
}

float from_buf(double v) {
  double s = std::floor(v + 0.5) * 128.0;
  s = std::clamp(s, -2147483648.0, 2147483647.0);
  return static_cast<float>(s / 2147483648.0);
}

std::vector<float> take(const std::vector<float>& buf, long long a, long long cnt) {
  const long long n = static_cast<long long>(buf.size());
  std::vector<float> r(static_cast<std::size_t>(cnt), 0.0f);
  for (long long i = 0; i < cnt; ++i) {
    if (a + i >= 0 && a + i < n)
      r[static_cast<std::size_t>(i)] = buf[static_cast<std::size_t>(a + i)];
  }
  return r;
}

detail::WsolaTrace tempo(const std::vector<float>& x, double factor) {
  const long long ov = 192, hop = 1312 - ov, half = (235 - 1) / 2;
  const double skip = factor * static_cast<double>(hop);
  std::vector<float> buf;
  for (float v : x) buf.push_back(to_buf(v));
  const long long n = static_cast<long long>(buf.size());
  const long long n_out = std::max(0.0, std::floor(static_cast<double>(n) / factor + 0.5));
  const float inv = 1.0f / static_cast<float>(ov);
  std::vector<float> w(ov), u(ov);
  for (long long i = 0; i < ov; ++i) {
    w[i] = static_cast<float>(static_cast<double>(i) * static_cast<double>(inv));
    u[i] = 1.0f - w[i];
  }
  detail::WsolaTrace r;
  r.out.assign(static_cast<std::size_t>(n_out), 0.0f);
  long long q = 0, qj = 0;
  while (q * hop < n_out) {
    const long long o0 = q * hop, emit = std::min(hop, n_out - o0);
    std::vector<float> blk;
    if (q == 0) {
      blk = take(buf, 0, hop);
    } else {
      const auto tail = take(buf, qj + hop, ov);
      const auto nom = static_cast<long long>(std::floor(static_cast<double>(q) * skip + 0.5));
      double best_score = 0.0;
      long long best = 0;
      for (long long d = -half; d <= half; ++d) {
        const auto cand = take(buf, nom + d, ov);
        double score = 0.0;
        for (long long i = 0; i < ov; ++i) {
          const double diff = static_cast<double>(cand[i]) - static_cast<double>(tail[i]);
          score += diff * diff;
        }
        if (d == -half || score < best_score) best_score = score, best = d;
      }
      r.offsets.push_back(static_cast<int>(best));
      qj = nom + best;
      const auto head = take(buf, qj, ov);
      for (long long i = 0; i < ov; ++i) {
        const float a = tail[i] * u[i];
        const float b = head[i] * w[i];
        blk.push_back(a + b);
      }
      const auto rest = take(buf, qj + ov, hop - ov);
      blk.insert(blk.end(), rest.begin(), rest.end());
    }
    std::copy(blk.begin(), blk.begin() + emit, r.out.begin() + o0);
    ++q;
  }
  for (float& v : r.out) v = from_buf(v);
  return r;
}

}  // namespace ref

std::vector<std::uint32_t> bits(const std::vector<float>& v) {
  std::vector<std::uint32_t> b;
  for (float f : v) b.push_back(std::bit_cast<std::uint32_t>(f));
  return b;
}

std::vector<WsolaKernel> kernels() {
  std::vector<WsolaKernel> k{WsolaKernel::automatic, WsolaKernel::portable};
  if (detail::wsola_kernel_available(WsolaKernel::avx2)) k.push_back(WsolaKernel::avx2);
  return k;
}

// Low-passed noise gated into bursts with exact silence between them (not
// the tests' speech-like audio): in the silent stretches many candidates
// score the same, and only the search order decides among them.
std::vector<float> pausing_noise(std::size_t n, std::uint32_t seed, float gain = 0.4f) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, 1.0f);
  std::vector<float> x(n);
  float lp = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    lp = 0.85f * lp + 0.15f * g(rng);
    const double env =
        std::max(0.0, std::sin(static_cast<double>(i) * 2.0 * std::numbers::pi / 3700.0));
    x[i] = gain * static_cast<float>(env * env) * lp * 3.0f;
  }
  return x;
}

std::vector<float> sine(std::size_t n, double hz, double amp) {
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i)
    x[i] = static_cast<float>(amp * std::sin(2.0 * std::numbers::pi * hz * i / 16000.0));
  return x;
}

TEST(WsolaConversion, KnownValues) {
  EXPECT_EQ(detail::wsola_to_buf(0.5), 8388608.0f);
  EXPECT_EQ(detail::wsola_to_buf(1.0), 16777216.0f);
  EXPECT_EQ(detail::wsola_to_buf(-1.0), -16777216.0f);
  EXPECT_EQ(detail::wsola_to_buf(1.5 * std::ldexp(1.0, -24)), 2.0f);
  EXPECT_EQ(detail::wsola_to_buf(-1.5 * std::ldexp(1.0, -24)), -1.0f);
  EXPECT_EQ(detail::wsola_to_buf(1e-9), 0.0f);
  EXPECT_EQ(detail::wsola_to_buf(7.0), 16777216.0f);
  EXPECT_EQ(detail::wsola_to_buf(-std::numeric_limits<double>::infinity()), -16777216.0f);
  EXPECT_EQ(detail::wsola_from_buf(8388608.0), 0.5f);
  EXPECT_EQ(detail::wsola_from_buf(16777216.0), 1.0f);
  EXPECT_EQ(detail::wsola_from_buf(0.5), std::ldexp(1.0f, -24));
  EXPECT_EQ(detail::wsola_from_buf(-0.5), 0.0f);
  EXPECT_EQ(detail::wsola_from_buf(-1e30), -1.0f);
  EXPECT_TRUE(std::isnan(detail::wsola_to_buf(std::nan(""))));
  EXPECT_TRUE(std::isnan(detail::wsola_from_buf(std::nan(""))));
}

// The integer shortcuts must round exactly like the floor/trunc formulas,
// above all around the clamps and at halves.
TEST(WsolaConversion, MatchesTheFormulasEverywhere) {
  std::mt19937_64 rng(7);
  std::vector<double> probe;
  for (double e = -30; e <= 3; e += 0.25) probe.push_back(std::ldexp(1.0, static_cast<int>(e)));
  for (double k = -40; k <= 40; k += 0.5) {
    probe.push_back(k * std::ldexp(1.0, -25));
    probe.push_back(16777216.0 + k);
    probe.push_back(-16777216.0 + k);
  }
  std::uniform_real_distribution<float> any(-2.0f, 2.0f);
  std::uniform_real_distribution<float> grid(-2e7f, 2e7f);
  for (int i = 0; i < 100000; ++i) probe.push_back(any(rng)), probe.push_back(grid(rng));
  for (double p : probe) {
    for (double v : {p, -p}) {
      ASSERT_EQ(std::bit_cast<std::uint32_t>(detail::wsola_to_buf(v)),
                std::bit_cast<std::uint32_t>(ref::to_buf(v)))
          << v;
      ASSERT_EQ(std::bit_cast<std::uint32_t>(detail::wsola_from_buf(v)),
                std::bit_cast<std::uint32_t>(ref::from_buf(v)))
          << v;
    }
  }
}

TEST(Wsola, LengthsAndFactorHandling) {
  EXPECT_TRUE(tempo_wsola({}).empty());
  EXPECT_EQ(tempo_wsola(pausing_noise(44000, 1)).size(), 35200u);
  EXPECT_TRUE(tempo_wsola(pausing_noise(5000, 1), -1.25).empty());
  EXPECT_TRUE(tempo_wsola(pausing_noise(5000, 1), std::numeric_limits<double>::infinity()).empty());
  EXPECT_EQ(tempo_wsola(pausing_noise(1001, 1), 2.0).size(), 501u);  // 500.5 rounds up
  EXPECT_THROW(tempo_wsola(pausing_noise(100, 1), 0.0), std::domain_error);
  EXPECT_THROW(tempo_wsola({}, -0.0), std::domain_error);
  EXPECT_THROW(tempo_wsola(pausing_noise(100, 1), std::nan("")), std::domain_error);
  EXPECT_THROW(tempo_wsola(pausing_noise(44000, 1), 1e-300), std::length_error);
}

TEST(Wsola, ShortInputIsBlockZeroPassedThrough) {
  const auto x = pausing_noise(1000, 3);
  const auto y = tempo_wsola(x);
  ASSERT_EQ(y.size(), 800u);
  for (std::size_t i = 0; i < y.size(); ++i)
    ASSERT_EQ(y[i], detail::wsola_from_buf(detail::wsola_to_buf(x[i])));
}

TEST(Wsola, ConstantAndSilentWindows) {
  const auto silent = detail::tempo_wsola_traced(std::vector<float>(44000, 0.0f), 1.25);
  EXPECT_EQ(silent.out, std::vector<float>(35200, 0.0f));
  EXPECT_EQ(silent.offsets, std::vector<int>(31, -117));
  const std::pair<float, float> cases[] = {
      {0.25f, 0.25f}, {1e-9f, 0.0f}, {1.5f, 1.0f}, {-1.5f, -1.0f}};
  for (auto [in, expect] : cases) {
    EXPECT_EQ(tempo_wsola(std::vector<float>(44000, in)), std::vector<float>(35200, expect)) << in;
  }
}

// Exactly periodic noise: the candidates that line up with the tail score
// zero, every other one scores far more, so the chosen offset is the most
// negative aligned one in range — computable by modular arithmetic alone.
TEST(Wsola, PeriodicSignalPicksTheFirstAlignedOffset) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> val(-0.5f, 0.5f);
  for (long long period : {100LL, 173LL, 89LL}) {
    std::vector<float> cycle(static_cast<std::size_t>(period));
    for (float& v : cycle) v = val(rng);
    std::vector<float> x(44000);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = cycle[i % static_cast<std::size_t>(period)];
    for (double factor : {1.25, 1.0, 0.9}) {
      const auto got = detail::tempo_wsola_traced(x, factor);
      long long qj = 0;
      for (std::size_t k = 0; k < got.offsets.size(); ++k) {
        const long long q = static_cast<long long>(k) + 1;
        const auto nom = static_cast<long long>(std::floor(q * factor * 1120.0 + 0.5));
        // Past here windows reach the zeros after the end and alignment no longer decides.
        if (std::max(nom + 117 + 192, qj + 1120 + 192) > 44000) break;
        const long long r = ((qj + 1120 - nom) % period + period) % period;
        const long long want = -117 + ((r + 117) % period);
        ASSERT_EQ(got.offsets[k], want)
            << "period " << period << " factor " << factor << " block " << q;
        qj = nom + want;
      }
    }
  }
}

TEST(Wsola, UnitFactorOnNoiseKeepsEveryBlockInPlace) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> val(-0.5f, 0.5f);
  std::vector<float> x(20000);
  for (auto& v : x) v = val(rng);
  const auto got = detail::tempo_wsola_traced(x, 1.0);
  ASSERT_EQ(got.offsets.size(), 17u);
  EXPECT_EQ(got.offsets, std::vector<int>(got.offsets.size(), 0));
}

TEST(Wsola, MatchesTheReferenceBitForBit) {
  struct Signal {
    const char* name;
    std::vector<float> x;
  };
  std::vector<Signal> signals = {
      {"speech", pausing_noise(44000, 42)},
      {"quiet speech", pausing_noise(44000, 43, 0.002f)},
      {"sine 220", sine(44000, 220.0, 0.6)},
      {"sine 3001 clipped", sine(30000, 3001.0, 3.0)},
      {"clipping speech", pausing_noise(44000, 44, 4.0f)},
      {"short", pausing_noise(1500, 45)},
      {"one sample", {0.3f}},
  };
  // Full-scale values with long runs push scores past 2^53, where the
  // order of accumulation decides the rounding.
  std::vector<float> loud(44000);
  std::mt19937 rng(9);
  for (auto& v : loud) v = (rng() & 1) ? 1.0f : -1.0f;
  signals.push_back({"full-scale square noise", loud});

  for (const auto& s : signals) {
    for (double factor : {1.25, 1.0, 0.8, 2.0, 0.5}) {
      const auto want = ref::tempo(s.x, factor);
      for (WsolaKernel k : kernels()) {
        const auto got = detail::tempo_wsola_traced(s.x, factor, k);
        ASSERT_EQ(got.offsets, want.offsets)
            << s.name << " factor " << factor << " kernel " << int(k);
        ASSERT_EQ(bits(got.out), bits(want.out))
            << s.name << " factor " << factor << " kernel " << int(k);
      }
    }
  }
}

// Odd lengths and factors walk the block positions up to the end of the
// input, where the search windows lean furthest into the padding.
TEST(Wsola, MatchesTheReferenceAtRandomLengthsAndFactors) {
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> len(1, 9000);
  std::uniform_real_distribution<double> fac(0.3, 12.0);
  for (int k = 0; k < 40; ++k) {
    const auto x = pausing_noise(static_cast<std::size_t>(len(rng)), rng());
    const double factor = fac(rng);
    const auto want = ref::tempo(x, factor);
    const auto got = detail::tempo_wsola_traced(x, factor);
    ASSERT_EQ(got.offsets, want.offsets) << x.size() << " at " << factor;
    ASSERT_EQ(bits(got.out), bits(want.out)) << x.size() << " at " << factor;
  }
}

// The tempo change is an exact function of its input, so its bits are the
// same on every processor and scorer: the x86-64 and the arm64 builds check
// the same digests. The input is made from integers alone (libm may round
// differently by processor), noise in loud and quiet stretches.
TEST(Wsola, SameBytesOnEveryProcessor) {
  std::vector<float> x(44000);
  std::uint32_t s = 11;
  for (std::size_t i = 0; i < x.size(); ++i) {
    s = s * 1664525u + 1013904223u;
    const float gain = (i / 3000) % 3 == 0 ? 0.0625f : 0.5f;
    x[i] = gain * static_cast<float>(static_cast<std::int32_t>(s) >> 8) / 8388608.0f;
  }
  const struct {
    double factor;
    const char* sha256;
  } rows[] = {
      {1.25, "ba0a0b293b3d2854423773ca0c82ed69d8ef067834b3a0fe4345af35618d363b"},
      {0.8, "03d0d6d5d51a99201991e89097d6a866f409ae2c1f746b086b90beb7b8f9d678"},
  };
  for (const auto& r : rows) {
    for (WsolaKernel k : kernels()) {
      const auto t = detail::tempo_wsola_traced(x, r.factor, k);
      kinra2::base::Sha256 h;
      h.update(t.out.data(), t.out.size() * sizeof(float));
      h.update(t.offsets.data(), t.offsets.size() * sizeof(int));
      EXPECT_EQ(h.hex_digest(), r.sha256) << "factor " << r.factor << " kernel " << int(k);
    }
  }
}

TEST(Wsola, NonFiniteSamplesDoNotUpsetTheRun) {
  auto x = pausing_noise(44000, 8);
  x[5000] = std::nanf("");
  x[9000] = std::numeric_limits<float>::infinity();
  const auto y = tempo_wsola(x);
  ASSERT_EQ(y.size(), 35200u);
  EXPECT_EQ(y[0], detail::wsola_from_buf(detail::wsola_to_buf(x[0])));
}

}  // namespace
