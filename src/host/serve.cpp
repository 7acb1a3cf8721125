#include "host/serve.hpp"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "host/elog.hpp"
#include "image/color_correct.hpp"

namespace kinra2::host {

namespace {

std::uint32_t le32(const std::vector<std::byte>& b) {
  std::uint32_t v;
  std::memcpy(&v, b.data(), 4);
  return v;
}

std::string fixed(double v, int decimals) {
  char s[64];
  std::snprintf(s, sizeof s, "%.*f", decimals, v);
  return s;
}

} // namespace

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

double monotonic_seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

int serve(render::FrameSource& renderer, const std::string& nm, InStream& in, OutStream& out, double (*clock)()) {
  std::string header = ready_header(renderer.cc());
  out.write(std::as_bytes(std::span(header)));
  out.flush();
  elog("ready " + std::to_string(FW) + "x" + std::to_string(FH) + " @" + std::to_string(FPS) + "fps  model=" + nm);

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
    std::vector<float> pcm;
    if (word > 0) {
      auto data = in.read_samples(word);
      if (!data) break;
      pcm = std::move(*data);
    }
    renderer.feed(pcm);
    emit(out, renderer.ready_chunks());

    const double now = clock();
    if (now - last_rtf_log > 5.0) {
      if (auto rtf = renderer.rtf()) {
        const auto n = renderer.c_n();
        const double per_chunk = renderer.c_wall() / static_cast<double>(std::max<std::int64_t>(1, n));
        elog("rtf=" + fixed(*rtf, 3) + " chunks=" + std::to_string(n) + " fps=" + fixed(STEADY_PX / per_chunk, 1));
        last_rtf_log = now;
      }
    }
  }
  elog("stdin closed — exiting");
  return 0;
}

} // namespace detail
} // namespace kinra2::host
