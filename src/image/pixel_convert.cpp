#include "image/pixel_convert.hpp"
#include "image/pixel_convert_internal.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <numeric>
#include <stdexcept>
#include <string>

#include "base/log.hpp"
#include "base/text.hpp"
#include "image/color_correct.hpp"
#include "image/rgb_pool.hpp"
#include "system/cpu_budget.hpp"
#include "system/files.hpp"

// The hot loops are built for AVX2 and SSSE3 beside the baseline and picked
// by processor at run time: the byte interleave needs a byte shuffle, which
// plain SSE2 lacks, so the baseline build stays scalar there.
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define K2_X86_KERNELS 1
#endif

// The table lookup is a byte gather, which no compiler vectorises from plain
// code; AVX2 has a 32-bit gather, so that build does it by hand, fused into the
// truncation pass, and picks it at run time.
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#include <immintrin.h>
#define K2_AVX2_GATHER 1
#endif

// Every arm64 processor has Advanced SIMD (NEON), so its kernels are the only
// build there: a table lookup across four registers does the byte gather, and
// a three-way interleaving store the reorder.
#if (defined(__GNUC__) || defined(__clang__)) && defined(__aarch64__)
#include <arm_neon.h>
#define K2_NEON_KERNELS 1
#endif

namespace kinra2::image {

namespace {

constexpr std::size_t PLANE_PIXELS = std::size_t{FH} * FW;

std::string shape_text(const ModelFrame& f) {
  return "(" + std::to_string(f.channels) + ", " + std::to_string(f.height) + ", " +
         std::to_string(f.width) + ")";
}

bool full_size(const ModelFrame& f) {
  return f.channels == 3 && f.height == FH && f.width == FW;
}

// The scalar form of the pixel rule; NaN fails both tests and becomes 0.
inline float clamp_255(float x) {
  x = x > 0.0f ? x : 0.0f;
  return x < 255.0f ? x : 255.0f;
}

#ifdef K2_AVX2_GATHER
// With `write_back` the clamped float is stored into src as well; without it
// src is only read.
template <bool write_back>
__attribute__((target("avx2"))) void scale_lut_avx2(float* src, std::uint8_t* dst, std::size_t n,
                                                    const std::int32_t* table) {
  const __m256 top = _mm256_set1_ps(255.0f);
  const __m256 zero = _mm256_setzero_ps();
  // packus works within 128-bit lanes; this puts the four groups of eight back
  // in order.
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    __m256i q[4];
    for (int j = 0; j < 4; ++j) {
      __m256 x = _mm256_mul_ps(_mm256_loadu_ps(src + i + 8 * j), top);
      x = _mm256_and_ps(x, _mm256_cmp_ps(x, zero, _CMP_GT_OQ));  // x > 0 ? x : 0, NaN too
      x = _mm256_min_ps(x, top);                                 // x < 255 ? x : 255
      if constexpr (write_back) _mm256_storeu_ps(src + i + 8 * j, x);
      q[j] = _mm256_i32gather_epi32(table, _mm256_cvttps_epi32(x), 4);
    }
    __m256i bytes =
        _mm256_packus_epi16(_mm256_packus_epi32(q[0], q[1]), _mm256_packus_epi32(q[2], q[3]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i),
                        _mm256_permutevar8x32_epi32(bytes, order));
  }
  for (; i < n; ++i) {
    float x = clamp_255(src[i] * 255.0f);
    if constexpr (write_back) src[i] = x;
    dst[i] = static_cast<std::uint8_t>(table[static_cast<int>(x)]);
  }
}

#endif

#ifdef K2_NEON_KERNELS
// Sixteen values by the pixel rule, clamped as the scalar form clamps (a mask
// for x > 0, so NaN becomes 0), truncated and narrowed to bytes.
template <bool write_back>
inline uint8x16_t scale16_neon(float* src) {
  const float32x4_t top = vdupq_n_f32(255.0f), zero = vdupq_n_f32(0.0f);
  uint32x4_t w[4];
  for (int j = 0; j < 4; ++j) {
    float32x4_t x = vmulq_f32(vld1q_f32(src + 4 * j), top);
    x = vreinterpretq_f32_u32(vandq_u32(vreinterpretq_u32_f32(x), vcgtq_f32(x, zero)));
    x = vminq_f32(x, top);
    if constexpr (write_back) vst1q_f32(src + 4 * j, x);
    w[j] = vcvtq_u32_f32(x);  // toward zero, as the scalar cast
  }
  const uint16x8_t lo = vcombine_u16(vmovn_u32(w[0]), vmovn_u32(w[1]));
  const uint16x8_t hi = vcombine_u16(vmovn_u32(w[2]), vmovn_u32(w[3]));
  return vcombine_u8(vmovn_u16(lo), vmovn_u16(hi));
}

template <bool write_back>
void scale_tail(float* src, std::uint8_t* dst, std::size_t i, std::size_t n) {
  for (; i < n; ++i) {
    const float x = clamp_255(src[i] * 255.0f);
    if constexpr (write_back) src[i] = x;
    dst[i] = static_cast<std::uint8_t>(static_cast<int>(x));
  }
}

template <bool write_back>
void scale_neon(float* src, std::uint8_t* dst, std::size_t n) {
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) vst1q_u8(dst + i, scale16_neon<write_back>(src + i));
  scale_tail<write_back>(src, dst, i, n);
}

// The 256 table entries (bytes by contract) sit in four groups of four
// registers: TBL answers indices 0..63 from the first group, and TBX each
// further group once its start is subtracted; an index outside a group leaves
// its lane as it was.
template <bool write_back>
void scale_lut_neon(float* src, std::uint8_t* dst, std::size_t n, const std::int32_t* table) {
  std::uint8_t bytes[256];
  for (int v = 0; v < 256; ++v) bytes[v] = static_cast<std::uint8_t>(table[v]);
  uint8x16x4_t quarter[4];
  for (int k = 0; k < 4; ++k) quarter[k] = vld1q_u8_x4(bytes + 64 * k);
  const uint8x16_t step = vdupq_n_u8(64);
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    uint8x16_t idx = scale16_neon<write_back>(src + i);
    uint8x16_t out = vqtbl4q_u8(quarter[0], idx);
    for (int k = 1; k < 4; ++k) {
      idx = vsubq_u8(idx, step);
      out = vqtbx4q_u8(out, quarter[k], idx);
    }
    vst1q_u8(dst + i, out);
  }
  scale_tail<write_back>(src, dst, i, n);
  for (; i < n; ++i) dst[i] = bytes[dst[i]];
}

void interleave_neon(const std::uint8_t* r, const std::uint8_t* g, const std::uint8_t* b,
                     std::uint8_t* out, std::size_t n) {
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const uint8x16x3_t v = {{vld1q_u8(r + i), vld1q_u8(g + i), vld1q_u8(b + i)}};
    vst3q_u8(out + 3 * i, v);
  }
  for (; i < n; ++i) {
    out[3 * i] = r[i];
    out[3 * i + 1] = g[i];
    out[3 * i + 2] = b[i];
  }
}
#endif

// Bodies of the kernels, inlined into one build per instruction set.
[[gnu::always_inline]] inline void scale_body(float* src, std::uint8_t* dst, std::size_t n,
                                              bool write_back) {
  // Comparisons, not std::clamp/min/max: a NaN fails both tests and becomes 0,
  // so the float-to-byte conversion below is always defined.
  if (write_back) {
    for (std::size_t i = 0; i < n; ++i) {
      float x = src[i] * 255.0f;
      x = x > 0.0f ? x : 0.0f;
      x = x < 255.0f ? x : 255.0f;
      src[i] = x;
      dst[i] = static_cast<std::uint8_t>(static_cast<int>(x));
    }
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      float x = src[i] * 255.0f;
      x = x > 0.0f ? x : 0.0f;
      x = x < 255.0f ? x : 255.0f;
      dst[i] = static_cast<std::uint8_t>(static_cast<int>(x));
    }
  }
}

[[gnu::always_inline]] inline void interleave_body(const std::uint8_t* __restrict r,
                                                   const std::uint8_t* __restrict g,
                                                   const std::uint8_t* __restrict b,
                                                   std::uint8_t* __restrict out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    out[3 * i] = r[i];
    out[3 * i + 1] = g[i];
    out[3 * i + 2] = b[i];
  }
}

void scale_baseline(float* src, std::uint8_t* dst, std::size_t n, bool write_back) {
  scale_body(src, dst, n, write_back);
}
void interleave_baseline(const std::uint8_t* r, const std::uint8_t* g, const std::uint8_t* b,
                         std::uint8_t* out, std::size_t n) {
  interleave_body(r, g, b, out, n);
}
#ifdef K2_X86_KERNELS
__attribute__((target("ssse3"))) void scale_ssse3(float* src, std::uint8_t* dst, std::size_t n,
                                                  bool write_back) {
  scale_body(src, dst, n, write_back);
}
__attribute__((target("ssse3"))) void interleave_ssse3(const std::uint8_t* r, const std::uint8_t* g,
                                                       const std::uint8_t* b, std::uint8_t* out,
                                                       std::size_t n) {
  interleave_body(r, g, b, out, n);
}
__attribute__((target("avx2"))) void scale_avx2(float* src, std::uint8_t* dst, std::size_t n,
                                                bool write_back) {
  scale_body(src, dst, n, write_back);
}
__attribute__((target("avx2"))) void interleave_avx2(const std::uint8_t* r, const std::uint8_t* g,
                                                     const std::uint8_t* b, std::uint8_t* out,
                                                     std::size_t n) {
  interleave_body(r, g, b, out, n);
}
#endif

}  // namespace

namespace detail {

PixelIsa pixel_isa_for(bool ssse3, bool avx2) {
#ifdef K2_X86_KERNELS
  if (avx2) return PixelIsa::avx2;
  if (ssse3) return PixelIsa::ssse3;
#else
  (void)ssse3;
  (void)avx2;
#endif
  return PixelIsa::baseline;
}

PixelIsa this_pixel_isa() {
#ifdef K2_X86_KERNELS
  static const PixelIsa isa = [] {
    __builtin_cpu_init();
    return pixel_isa_for(__builtin_cpu_supports("ssse3"), __builtin_cpu_supports("avx2"));
  }();
  return isa;
#elif defined(K2_NEON_KERNELS)
  return PixelIsa::neon;
#else
  return PixelIsa::baseline;
#endif
}

void scale_to_u8(PixelIsa isa, float* src, std::uint8_t* dst, std::size_t n, bool write_back) {
#ifdef K2_X86_KERNELS
  if (isa == PixelIsa::avx2) return scale_avx2(src, dst, n, write_back);
  if (isa == PixelIsa::ssse3) return scale_ssse3(src, dst, n, write_back);
#endif
#ifdef K2_NEON_KERNELS
  if (isa == PixelIsa::neon)
    return write_back ? scale_neon<true>(src, dst, n) : scale_neon<false>(src, dst, n);
#endif
  (void)isa;
  scale_baseline(src, dst, n, write_back);
}

void interleave3(PixelIsa isa, const std::uint8_t* r, const std::uint8_t* g, const std::uint8_t* b,
                 std::uint8_t* out, std::size_t n) {
#ifdef K2_X86_KERNELS
  if (isa == PixelIsa::avx2) return interleave_avx2(r, g, b, out, n);
  if (isa == PixelIsa::ssse3) return interleave_ssse3(r, g, b, out, n);
#endif
#ifdef K2_NEON_KERNELS
  if (isa == PixelIsa::neon) return interleave_neon(r, g, b, out, n);
#endif
  (void)isa;
  interleave_baseline(r, g, b, out, n);
}

void scale_lut_to_u8(PixelIsa isa, float* src, std::uint8_t* dst, std::size_t n,
                     const std::int32_t* table) {
#ifdef K2_AVX2_GATHER
  if (isa == PixelIsa::avx2) return scale_lut_avx2<true>(src, dst, n, table);
#endif
#ifdef K2_NEON_KERNELS
  if (isa == PixelIsa::neon) return scale_lut_neon<true>(src, dst, n, table);
#endif
  scale_to_u8(isa, src, dst, n, true);
  for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<std::uint8_t>(table[dst[i]]);
}

void scale_lut_to_u8_ro(PixelIsa isa, const float* src, std::uint8_t* dst, std::size_t n,
                        const std::int32_t* table) {
  // Neither kernel writes through `src` on this path.
  float* s = const_cast<float*>(src);
#ifdef K2_AVX2_GATHER
  if (isa == PixelIsa::avx2) return scale_lut_avx2<false>(s, dst, n, table);
#endif
#ifdef K2_NEON_KERNELS
  if (isa == PixelIsa::neon) return scale_lut_neon<false>(s, dst, n, table);
#endif
  scale_to_u8(isa, s, dst, n, false);
  for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<std::uint8_t>(table[dst[i]]);
}

}  // namespace detail

RgbChunk::RgbChunk(std::size_t frames)
    : buf_(frames ? std::make_unique_for_overwrite<std::uint8_t[]>(frames * RGB_FRAME_BYTES)
                  : nullptr),
      frames_(frames) {}

namespace detail {

void scale_to_u8(float* src, std::uint8_t* dst, std::size_t n, bool write_back) {
  scale_to_u8(this_pixel_isa(), src, dst, n, write_back);
}

void interleave3(const std::uint8_t* r, const std::uint8_t* g, const std::uint8_t* b,
                 std::uint8_t* out, std::size_t n) {
  interleave3(this_pixel_isa(), r, g, b, out, n);
}

void scale_lut_to_u8(float* src, std::uint8_t* dst, std::size_t n, const std::int32_t* table) {
  scale_lut_to_u8(this_pixel_isa(), src, dst, n, table);
}

void scale_lut_to_u8_ro(const float* src, std::uint8_t* dst, std::size_t n,
                        const std::int32_t* table) {
  scale_lut_to_u8_ro(this_pixel_isa(), src, dst, n, table);
}

std::vector<bool> in_place_frames(std::span<const ModelFrame> px) {
  std::vector<bool> ok(px.size(), false);
  struct Span {
    std::uintptr_t lo, hi;
    std::size_t k;
  };
  std::vector<Span> spans;
  spans.reserve(px.size());
  for (std::size_t k = 0; k < px.size(); ++k) {
    const ModelFrame& f = px[k];
    if (!f.data || !full_size(f)) continue;
    auto lo = reinterpret_cast<std::uintptr_t>(f.data);
    spans.push_back({lo, lo + 3 * PLANE_PIXELS * sizeof(float), k});
    ok[k] = f.writable;
  }
  // Sorted by start, a span overlaps an earlier one iff it starts before the
  // furthest end seen so far, and a later one iff the next span starts before
  // its own end.
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.lo < b.lo; });
  std::uintptr_t reach = 0;
  for (std::size_t i = 0; i < spans.size(); ++i) {
    bool shared =
        (i > 0 && spans[i].lo < reach) || (i + 1 < spans.size() && spans[i + 1].lo < spans[i].hi);
    if (shared) ok[spans[i].k] = false;
    reach = std::max(reach, spans[i].hi);
  }
  return ok;
}

namespace {

using WideLut = std::array<std::array<std::int32_t, 256>, 3>;

// Both kinds of correction reduce to a per-channel table on bytes, so it can
// be applied per plane, in the truncation pass, before the reorder. The
// gather wants 32-bit entries.
WideLut widen(const ColorCorrect& cc) {
  WideLut wide;
  for (int c = 0; c < 3; ++c)
    std::copy(cc.table()[c].begin(), cc.table()[c].end(), wide[c].begin());
  return wide;
}

// One planar uint8 frame per thread, allocated on the thread's first range
// conversion and kept for the thread's life.
std::uint8_t* thread_planar() {
  thread_local std::unique_ptr<std::uint8_t[]> planar;
  if (!planar) planar = std::make_unique_for_overwrite<std::uint8_t[]>(RGB_FRAME_BYTES);
  return planar.get();
}

}  // namespace

void rgb_convert_range(std::span<const ModelFrame> px, const std::vector<bool>& in_place,
                       std::uint8_t* out, std::size_t lo, std::size_t hi, const ColorCorrect* cc) {
  std::uint8_t* planar = thread_planar();
  WideLut wide;
  if (cc) wide = widen(*cc);
  for (std::size_t k = lo; k < hi; ++k) {
    const ModelFrame& p = px[k];
    std::uint8_t* slot = out + k * RGB_FRAME_BYTES;
    if (in_place[k]) {
      if (cc) {
        for (std::size_t c = 0; c < 3; ++c)
          scale_lut_to_u8(p.data + c * PLANE_PIXELS, planar + c * PLANE_PIXELS, PLANE_PIXELS,
                          wide[c].data());
      } else {
        scale_to_u8(p.data, planar, 3 * PLANE_PIXELS, true);
      }
      interleave3(planar, planar + PLANE_PIXELS, planar + 2 * PLANE_PIXELS, slot, PLANE_PIXELS);
    } else {
      if (!p.data || !full_size(p))
        throw std::invalid_argument("cannot convert frame " + std::to_string(k) + " of shape " +
                                    shape_text(p) + " into a (" + std::to_string(FH) + ", " +
                                    std::to_string(FW) + ", 3) RGB888 frame");
      std::vector<std::uint8_t> bytes = px_to_rgb888(p, cc);
      std::copy(bytes.begin(), bytes.end(), slot);
    }
  }
}

void rgb_convert_read_only(std::span<const float* const> px, std::uint8_t* out, std::size_t lo,
                           std::size_t hi, const ColorCorrect* cc) {
  std::uint8_t* planar = thread_planar();
  WideLut wide;
  if (cc) wide = widen(*cc);
  for (std::size_t k = lo; k < hi; ++k) {
    const float* p = px[k];
    if (cc) {
      for (std::size_t c = 0; c < 3; ++c)
        scale_lut_to_u8_ro(p + c * PLANE_PIXELS, planar + c * PLANE_PIXELS, PLANE_PIXELS,
                           wide[c].data());
    } else {
      // write_back = false: the frame is only read.
      scale_to_u8(const_cast<float*>(p), planar, 3 * PLANE_PIXELS, false);
    }
    interleave3(planar, planar + PLANE_PIXELS, planar + 2 * PLANE_PIXELS, out + k * RGB_FRAME_BYTES,
                PLANE_PIXELS);
  }
}

int default_rgb_threads(int cpus) {
  return std::max(1, std::min(8, cpus / 3));
}

int rgb_threads_from(const char* raw, int (*cpus)()) {
  const std::string_view v = base::trimmed(raw ? raw : "");
  if (!v.empty()) {
    std::string_view digits = v;
    bool negative = false;
    if (digits.front() == '+' || digits.front() == '-') {
      negative = digits.front() == '-';
      digits.remove_prefix(1);
    }
    unsigned long long value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    bool all_digits =
        !digits.empty() && end == digits.data() + digits.size() &&
        std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (all_digits && (ec == std::errc{} || ec == std::errc::result_out_of_range)) {
      // No upper bound is imposed; a count beyond int saturates (from_chars
      // leaves `value` untouched when it overflows).
      bool huge =
          ec == std::errc::result_out_of_range || value > static_cast<unsigned long long>(INT_MAX);
      if (negative || (!huge && value == 0)) return 1;
      if (huge) return INT_MAX;
      return static_cast<int>(value);
    }
    base::elog(std::string(RGB_THREADS_ENV) + "=" + base::quoted(v) +
               " is not an integer — using the default");
  }
  return default_rgb_threads(cpus());
}

}  // namespace detail

std::vector<std::uint8_t> px_to_rgb888(const ModelFrame& px, const ColorCorrect* cc) {
  if (!px.data) throw std::invalid_argument("model frame has no data");
  if (px.channels != 3 || px.height < 0 || px.width < 0)
    throw std::invalid_argument("model frame has shape " + shape_text(px) +
                                ", expected (3, height, width)");
  std::size_t plane = static_cast<std::size_t>(px.height) * static_cast<std::size_t>(px.width);
  auto planar = std::make_unique_for_overwrite<std::uint8_t[]>(3 * plane);
  // write_back = false: this path never touches the caller's frame.
  detail::scale_to_u8(px.data, planar.get(), 3 * plane, false);
  std::vector<std::uint8_t> out(3 * plane);
  detail::interleave3(planar.get(), planar.get() + plane, planar.get() + 2 * plane, out.data(),
                      plane);
  if (cc) cc->apply(out.data(), out.data(), plane);
  return out;
}

RgbChunk px_to_rgb888_chunk(std::span<const ModelFrame> px, const ColorCorrect* cc, int threads) {
  // Checked up front so that a bad frame fails the chunk before any frame has
  // been consumed; the error names the first bad frame.
  for (std::size_t k = 0; k < px.size(); ++k) {
    const ModelFrame& p = px[k];
    if (!p.data)
      throw std::invalid_argument("frame " + std::to_string(k) + " of the chunk has no data");
    if (!full_size(p))
      throw std::invalid_argument("cannot convert frame " + std::to_string(k) + " of shape " +
                                  shape_text(p) + " into a (" + std::to_string(FH) + ", " +
                                  std::to_string(FW) + ", 3) RGB888 frame");
  }
  RgbChunk out(px.size());
  if (px.empty()) return out;
  const std::vector<bool> in_place = detail::in_place_frames(px);
  detail::run_ranges(px.size(), threads, [&](std::size_t lo, std::size_t hi) {
    detail::rgb_convert_range(px, in_place, out.data(), lo, hi, cc);
  });
  return out;
}

void px_to_rgb888_into(std::span<const float* const> px, const ColorCorrect* cc, int threads,
                       std::uint8_t* out) {
  for (std::size_t k = 0; k < px.size(); ++k)
    if (!px[k])
      throw std::invalid_argument("frame " + std::to_string(k) + " of the batch has no data");
  if (px.empty()) return;
  detail::run_ranges(px.size(), threads, [&](std::size_t lo, std::size_t hi) {
    detail::rgb_convert_read_only(px, out, lo, hi, cc);
  });
}

int rgb_threads() {
  const auto raw = system::env_text(std::string(RGB_THREADS_ENV).c_str());
  return detail::rgb_threads_from(raw ? raw->c_str() : nullptr,
                                  [] { return system::effective_cpu_count(); });
}

}  // namespace kinra2::image
