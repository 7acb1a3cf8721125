#include "host/serve.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "base/log.hpp"
#include "image/color_correct.hpp"

namespace kinra2::host {

using base::elog;

namespace {

std::uint32_t le32(const std::vector<std::byte>& b) {
  std::uint32_t v;
  std::memcpy(&v, b.data(), 4);
  return v;
}

// A non-finite sample would poison the latent history for the rest of the
// session (every later frame black); silence is the defined stand-in.
void sanitize(std::span<float> pcm) {
  for (float& s : pcm)
    if (!std::isfinite(s)) s = 0.0f;
}

// A step is rendered only once all of it has arrived: a step cut short by
// the end of input writes nothing, whatever its size. Its samples go to the
// renderer's buffer piece by piece (so they are held once, there), and then
// its chunks are rendered and written one at a time: the frames of a 64 MiB
// step's 655 chunks (19 GB) are never all in memory, and a peer that stops
// reading holds the host back after one chunk.
constexpr std::size_t STEP_PIECE = 1u << 16;

// Feeds a step of `samples` samples and writes the chunks it completes;
// false when the input ended first.
bool feed_step(render::FrameSource& renderer, InStream& in, OutStream& out, std::size_t samples,
               std::vector<float>& piece) {
  if (samples == 0) renderer.feed({});
  for (std::size_t left = samples; left > 0;) {
    const auto part = std::span(piece).first(std::min(left, piece.size()));
    if (!in.read_into(std::as_writable_bytes(part))) return false;
    sanitize(part);
    renderer.feed(part);
    left -= part.size();
  }
  for (render::FrameBatch chunk; !(chunk = renderer.next_ready_chunk()).empty();) emit(out, chunk);
  return true;
}

std::string fixed(double v, int decimals) {
  char s[64];
  std::snprintf(s, sizeof s, "%.*f", decimals, v);
  return s;
}

}  // namespace

std::string ready_header(const image::ColorCorrect* cc) {
  nlohmann::ordered_json h;
  h["fps"] = FPS;
  h["width"] = FW;
  h["height"] = FH;
  h["sample_rate"] = SR;
  h["credit"] = 1;
  h["color"] = image::color_descriptor(cc);
  return "READY " + h.dump(-1, ' ', /*ensure_ascii=*/true) + "\n";
}

namespace detail {

int serve(render::FrameSource& renderer, const std::string& model_label, InStream& in,
          OutStream& out, double (*clock)()) {
  if (in.is_terminal()) {
    elog("standard input is a terminal — the host reads binary audio records from a peer process");
    return 1;
  }
  std::string header = ready_header(renderer.cc());
  out.write(std::as_bytes(std::span(header)));
  out.flush();
  elog("ready " + std::to_string(FW) + "x" + std::to_string(FH) + " @" + std::to_string(FPS) +
       "fps  model=" + model_label);

  std::vector<float> piece(STEP_PIECE);
  double last_rtf_log = clock();
  for (;;) {
    auto hdr = in.read_exact(4);
    if (!hdr) break;
    const std::uint32_t word = le32(*hdr);
    if (word == FLUSH_WORD) {
      emit(out, renderer.flush_chunks());
      const std::int32_t marker = -1;
      out.write(std::as_bytes(std::span(&marker, 1)));
      out.flush();
      continue;
    }
    if (word == RESET_WORD) {
      renderer.reset();
      continue;
    }
    if (word == CREDIT_WORD) {
      if (!in.read_exact(4)) break;
      continue;
    }
    if (word > MAX_STEP) {
      elog("bad step size " + std::to_string(word) + " — protocol desync");
      return 1;
    }
    if (!feed_step(renderer, in, out, word, piece)) break;

    const double now = clock();
    if (now - last_rtf_log > 5.0) {
      if (auto rtf = renderer.rtf()) {
        const auto n = renderer.chunks_rendered();
        const double per_chunk =
            renderer.render_seconds() / static_cast<double>(std::max<std::int64_t>(1, n));
        elog("rtf=" + fixed(*rtf, 3) + " chunks=" + std::to_string(n) +
             " fps=" + fixed(STEADY_PX / per_chunk, 1));
        last_rtf_log = now;
      }
    }
  }
  elog("stdin closed — exiting");
  return 0;
}

}  // namespace detail
}  // namespace kinra2::host
