#include "render/wsola.hpp"
#include "render/wsola_internal.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <stdexcept>

// Reassociated or contracted arithmetic would change which offset wins.
#if defined(__FAST_MATH__)
#error "WSOLA scores must be computed with strict IEEE arithmetic; build without -ffast-math"
#endif

namespace kinra2::render::detail {
namespace {

constexpr int OV = WSOLA_OVERLAP;
constexpr int HOP = WSOLA_HOP;
constexpr int HALF = WSOLA_HALF;
constexpr int PAD = WSOLA_PAD;
constexpr int CANDIDATES = WSOLA_CANDIDATES;
// Room for the last, partly used group of lanes.
constexpr int SCORE_SLOTS = (CANDIDATES + 31) / 32 * 32;

constexpr double TWO31 = 2147483648.0;
constexpr double S_MAX = 2147483647.0;
constexpr double S_MIN = -2147483648.0;

#if defined(__GNUC__)
#define K2_ALWAYS_INLINE __attribute__((always_inline)) inline
#else
#define K2_ALWAYS_INLINE inline
#endif

// Scores of the candidates whose windows start at first, first+1, ...: one
// lane per candidate, G = LANES * V of them. Each lane accumulates its squared
// differences in index order, exactly as a scalar loop would; the lanes only
// run side by side. The samples are integers of at most 2^24 in magnitude, so
// the difference and the square are exact and only the running sum rounds.
// tail[i] holds the tail sample i broadcast to every lane.
#if defined(__GNUC__)
typedef double v2d __attribute__((vector_size(16)));
typedef double v4d __attribute__((vector_size(32)));

template <typename VD, int V>
K2_ALWAYS_INLINE void score_lanes(const double* first, const VD* tail, double* scores) {
  constexpr int LANES = sizeof(VD) / sizeof(double);
  VD acc[V] = {};
  for (int i = 0; i < OV; ++i) {
    for (int v = 0; v < V; ++v) {
      VD c;
      std::memcpy(&c, first + i + LANES * v, sizeof c);
      const VD d = c - tail[i];
      acc[v] = acc[v] + d * d;
    }
  }
  // Element-wise, not one memcpy of acc: taking acc's address would pin the
  // accumulators to the stack for the whole loop.
  for (int v = 0; v < V; ++v) {
    for (int l = 0; l < LANES; ++l) scores[LANES * v + l] = acc[v][l];
  }
}
#else
struct v2d {
  double l[2];
};
template <typename VD, int V>
K2_ALWAYS_INLINE void score_lanes(const double* first, const VD* tail, double* scores) {
  constexpr int LANES = sizeof(VD) / sizeof(double);
  double acc[LANES * V] = {};
  for (int i = 0; i < OV; ++i) {
    for (int l = 0; l < LANES * V; ++l) {
      const double d = first[i + l] - tail[i].l[0];
      acc[l] = acc[l] + d * d;
    }
  }
  std::memcpy(scores, acc, sizeof acc);
}
#endif

// All candidates, in groups of LANES * V; the last group may score a few
// windows past the search range, which the padding keeps in bounds and the
// caller ignores.
template <typename VD, int V>
K2_ALWAYS_INLINE void score_all(const double* first, const double* tail, double* scores) {
  constexpr int LANES = sizeof(VD) / sizeof(double);
  constexpr int G = LANES * V;
  constexpr int FULL = CANDIDATES / G;
  constexpr int REST = CANDIDATES - FULL * G;
  VD t[OV];
  for (int i = 0; i < OV; ++i) {
    for (int l = 0; l < LANES; ++l)
      std::memcpy(reinterpret_cast<double*>(&t[i]) + l, tail + i, sizeof(double));
  }
  for (int g = 0; g < FULL; ++g) score_lanes<VD, V>(first + g * G, t, scores + g * G);
  if constexpr (REST > 0)
    score_lanes<VD, (REST + LANES - 1) / LANES>(first + FULL * G, t, scores + FULL * G);
}

using ScoreFn = void (*)(const double*, const double*, double*);

// Eight accumulators hide the latency of the adds and, at two lanes each,
// still leave registers for the operands on SSE2. On arm64 the two lanes are
// one NEON register, and this is the only build there (-ffp-contract=off keeps
// GCC from fusing the multiply and add, which it would do by default there).
void score_portable(const double* first, const double* tail, double* scores) {
  score_all<v2d, 8>(first, tail, scores);
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define K2_HAVE_AVX2_KERNEL 1
// AVX2 brings four-lane doubles but not FMA: the target names no "fma", so
// multiplies and adds stay separate roundings.
__attribute__((target("avx2"))) void score_avx2(const double* first, const double* tail,
                                                double* scores) {
  score_all<v4d, 8>(first, tail, scores);
}
#endif

bool cpu_has_avx2() noexcept {
#if defined(K2_HAVE_AVX2_KERNEL)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

ScoreFn pick_scorer(WsolaKernel kernel) {
  switch (kernel) {
    case WsolaKernel::portable: return score_portable;
    case WsolaKernel::avx2:
#if defined(K2_HAVE_AVX2_KERNEL)
      if (cpu_has_avx2()) return score_avx2;
#endif
      throw std::invalid_argument("AVX2 scorer not available on this machine");
    case WsolaKernel::automatic: break;
  }
  static const ScoreFn best = [] {
#if defined(K2_HAVE_AVX2_KERNEL)
    if (cpu_has_avx2()) return static_cast<ScoreFn>(score_avx2);
#endif
    return static_cast<ScoreFn>(score_portable);
  }();
  return best;
}

// floor() of a double known to lie within +-2^62, without a libm call.
inline std::int64_t floor_to_int(double t) {
  auto i = static_cast<std::int64_t>(t);
  if (static_cast<double>(i) > t) --i;
  return i;
}

}  // namespace

float wsola_to_buf(double d) {
  // Clamping before truncation gives the same value as after (both bounds are
  // integers) and brings the value into range for an exact integer cast.
  const double s = std::clamp(d * TWO31, S_MIN, S_MAX);
  if (std::isnan(s)) return static_cast<float>(s);
  const auto si = static_cast<std::int64_t>(s);  // truncates toward zero
  // (s + 64) / 128 floored; the arithmetic shift floors for negatives too.
  return static_cast<float>((si + 64) >> 7);
}

float wsola_from_buf(double v) {
  const double t = v + 0.5;
  if (std::isnan(t)) return static_cast<float>(t);
  double s;
  // floor(t) * 128 leaves [-2^31, 2^31 - 1] exactly when floor(t) leaves
  // [-2^24, 2^24 - 1]; the clamp then pins it.
  if (t >= 16777216.0) {
    s = S_MAX;
  } else if (t < -16777215.0) {
    s = S_MIN;
  } else {
    s = static_cast<double>(floor_to_int(t)) * 128.0;
  }
  return static_cast<float>(s / TWO31);
}

void wsola_to_buf(std::span<const float> in, std::span<float> out) {
  if (in.size() != out.size())
    throw std::invalid_argument("wsola_to_buf: input and output sizes differ");
  for (std::size_t i = 0; i < in.size(); ++i) out[i] = wsola_to_buf(static_cast<double>(in[i]));
}

void wsola_from_buf(std::span<const float> in, std::span<float> out) {
  if (in.size() != out.size())
    throw std::invalid_argument("wsola_from_buf: input and output sizes differ");
  for (std::size_t i = 0; i < in.size(); ++i) out[i] = wsola_from_buf(static_cast<double>(in[i]));
}

bool wsola_kernel_available(WsolaKernel kernel) noexcept {
  return kernel != WsolaKernel::avx2 || cpu_has_avx2();
}

WsolaTrace tempo_wsola_traced(std::span<const float> x, double factor, WsolaKernel kernel) {
  // Checked before anything divides by it.
  if (factor == 0.0) throw std::domain_error("tempo factor must not be zero");
  if (std::isnan(factor)) throw std::domain_error("tempo factor must be a number");
  const ScoreFn score = pick_scorer(kernel);

  WsolaTrace trace;
  trace.offsets.reserve(64);
  const auto n = static_cast<std::int64_t>(x.size());
  const double n_out_d = std::floor(static_cast<double>(n) / factor + 0.5);
  if (!(n_out_d > 0.0)) return trace;  // negative factor (or one at -inf)
  if (n_out_d > static_cast<double>(trace.out.max_size())) {
    throw std::length_error("tempo factor too small: output would not fit in memory");
  }
  const auto n_out = static_cast<std::int64_t>(n_out_d);
  const double skip = factor * HOP;

  const float inv = 1.0f / static_cast<float>(OV);
  std::array<float, OV> w{}, u{};
  for (int i = 0; i < OV; ++i) {
    w[i] = static_cast<float>(i) * inv;
    u[i] = 1.0f - w[i];
  }

  // Source on the grid with zeros on both sides: every candidate window,
  // tail and head below is a plain pointer into it, no bounds checks.
  std::vector<float> pbuf(static_cast<std::size_t>(n) + 2 * PAD, 0.0f);
  wsola_to_buf(x, std::span<float>(pbuf).subspan(PAD, x.size()));
  const float* src = pbuf.data() + PAD;  // src[k] is source sample k, k >= -PAD
  // The same samples as doubles (exactly), so scoring loads them directly
  // instead of converting every window sample 235 times over.
  std::vector<double> pbuf_d(pbuf.begin(), pbuf.end());
  const double* src_d = pbuf_d.data() + PAD;

  trace.out.resize(static_cast<std::size_t>(n_out));
  float* out = trace.out.data();
  std::array<double, SCORE_SLOTS> scores{};

  std::int64_t qj = 0;
  for (std::int64_t q = 0; q * HOP < n_out; ++q) {
    const std::int64_t o0 = q * HOP;
    const std::int64_t emit = std::min<std::int64_t>(HOP, n_out - o0);
    float* dst = out + o0;
    if (q == 0) {
      std::memcpy(dst, src, static_cast<std::size_t>(emit) * sizeof(float));
      continue;
    }

    const float* tail = src + qj + HOP;
    const std::int64_t nom = floor_to_int(static_cast<double>(q) * skip + 0.5);
    // nom never exceeds n for a positive factor; this keeps a future change
    // of the length rule from reading outside the padding.
    if (nom < HALF - PAD || nom > n + 1)
      throw std::logic_error("WSOLA block position out of range");

    score(src_d + nom - HALF, src_d + qj + HOP, scores.data());
    int best = 0;
    for (int c = 1; c < CANDIDATES; ++c) {
      if (scores[c] < scores[best]) best = c;  // ties keep the earlier offset
    }
    const int d = best - HALF;
    trace.offsets.push_back(d);
    qj = nom + d;

    const float* head = src + qj;
    const std::int64_t fade = std::min<std::int64_t>(OV, emit);
    for (std::int64_t i = 0; i < fade; ++i) {
      const float a = tail[i] * u[i];
      const float b = head[i] * w[i];
      dst[i] = a + b;
    }
    if (emit > OV)
      std::memcpy(dst + OV, head + OV, static_cast<std::size_t>(emit - OV) * sizeof(float));
  }

  wsola_from_buf(trace.out, trace.out);
  return trace;
}

}  // namespace kinra2::render::detail

namespace kinra2::render {

std::vector<float> tempo_wsola(std::span<const float> x, double factor) {
  return detail::tempo_wsola_traced(x, factor).out;
}

}  // namespace kinra2::render
