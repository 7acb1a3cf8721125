// The serving loop: records in on standard input, frames out on standard output.
#pragma once

#include <cstdint>
#include <string>

#include "base/clock.hpp"
#include "host/streams.hpp"
#include "render/frame_source.hpp"

namespace kinra2::host {

inline constexpr std::uint32_t FLUSH_WORD = 0xFFFFFFFFu;
inline constexpr std::uint32_t RESET_WORD = 0xFFFFFFFEu;
inline constexpr std::uint32_t CREDIT_WORD = 0xFFFFFFFDu;
inline constexpr std::uint32_t MAX_STEP = 16777216u;

// "READY " + compact JSON + "\n" for a renderer with the given correction.
std::string ready_header(const image::ColorCorrect* cc);

namespace detail {
// Returns 0 when the input ended, 1 on a protocol desync. `clock` paces the
// throughput log.
int serve(render::FrameSource& renderer, const std::string& model_label,
          InStream& in = standard_input(), OutStream& out = standard_output(),
          double (*clock)() = base::monotonic_seconds);
}  // namespace detail

}  // namespace kinra2::host
