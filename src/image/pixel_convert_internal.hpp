// The conversion's building blocks, reached by its tests and benchmarks only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "image/pixel_convert.hpp"

namespace kinra2::image {

namespace detail {

// Converts frames [lo, hi) of `px` into the slots [lo, hi) of `out`
// (RGB_FRAME_BYTES each). `in_place[k]` selects the path of frame k.
void rgb_convert_range(std::span<const ModelFrame> px, const std::vector<bool>& in_place,
                       std::uint8_t* out, std::size_t lo, std::size_t hi, const ColorCorrect* cc);

// Which frames may be converted in place: writable, full size, and sharing no
// byte with any other frame of the chunk (a shared buffer would otherwise be
// scaled twice or read while another thread rewrites it).
std::vector<bool> in_place_frames(std::span<const ModelFrame> px);

// The read-only counterpart of rgb_convert_range: frames [lo, hi) of `px`
// into slots [lo, hi) of `out`.
void rgb_convert_read_only(std::span<const float* const> px, std::uint8_t* out, std::size_t lo,
                           std::size_t hi, const ColorCorrect* cc);

int default_rgb_threads(int cpus);
// `raw` is the variable's value (nullptr when unset); logs an unparsable one.
// `cpus` is consulted only when the default is needed.
int rgb_threads_from(const char* raw, int (*cpus)());

// Instruction sets the kernels are built for. The processor's is picked once
// (this_pixel_isa); tests run every build the processor can execute, with the
// choice injected through the overloads that take one.
// `neon` is the arm64 build (every arm64 processor has it); pixel_isa_for
// names the x86 ones.
enum class PixelIsa { baseline, ssse3, avx2, neon };
PixelIsa pixel_isa_for(bool ssse3, bool avx2);
PixelIsa this_pixel_isa();
void scale_to_u8(PixelIsa isa, float* src, std::uint8_t* dst, std::size_t n, bool write_back);
void interleave3(PixelIsa isa, const std::uint8_t* r, const std::uint8_t* g, const std::uint8_t* b,
                 std::uint8_t* out, std::size_t n);
void scale_lut_to_u8(PixelIsa isa, float* src, std::uint8_t* dst, std::size_t n,
                     const std::int32_t* table);
void scale_lut_to_u8_ro(PixelIsa isa, const float* src, std::uint8_t* dst, std::size_t n,
                        const std::int32_t* table);

// The vectorised kernels on this processor's build, for the benchmark and the tests.
// dst[i] = trunc(clamp(src[i] * 255, 0, 255)), NaN -> 0; when `write_back`,
// the clamped float is also stored back into src.
void scale_to_u8(float* src, std::uint8_t* dst, std::size_t n, bool write_back);
// scale_to_u8 with write-back, then dst[i] = table[dst[i]] (entries 0..255),
// in one pass where the processor allows.
void scale_lut_to_u8(float* src, std::uint8_t* dst, std::size_t n, const std::int32_t* table);
// The same bytes, with src only read.
void scale_lut_to_u8_ro(const float* src, std::uint8_t* dst, std::size_t n,
                        const std::int32_t* table);
// out[3i + c] = plane_c[i].
void interleave3(const std::uint8_t* r, const std::uint8_t* g, const std::uint8_t* b,
                 std::uint8_t* out, std::size_t n);

}  // namespace detail

}  // namespace kinra2::image
