// The serving loop over arbitrary standard input, with a stand-in renderer
// that owes frames by the same chunk arithmetic as the real one but renders
// nothing, so every byte of the input reaches protocol code quickly.
#include "harness.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <unistd.h>

#include "host/serve.hpp"
#include "host/streams.hpp"
#include "system/std_streams.hpp"

namespace kinra2::fuzz {

namespace {

class StandIn final : public render::FrameSource {
 public:
  const image::ColorCorrect* cc() const override { return nullptr; }
  void feed(std::span<const float> pcm) override { fed_ += static_cast<std::int64_t>(pcm.size()); }
  render::FrameBatch next_ready_chunk() override {
    render::FrameBatch out;
    if (fed_ >= need(ci_)) chunk(out);
    return out;
  }
  render::FrameBatch flush_chunks() override {
    const std::int64_t end_fi = (fed_ + SPF - 1) / SPF - 1;
    const std::int64_t owed = std::max<std::int64_t>(1, (end_fi + 12 + 31) / 32);
    render::FrameBatch out;
    while (ci_ < owed) chunk(out);
    return out;
  }
  void reset() override { fed_ = 0, ci_ = 0, px_ = 3; }
  std::optional<double> rtf() const override {
    return ci_ ? std::optional<double>(0.5) : std::nullopt;
  }
  std::int64_t chunks_rendered() const override { return ci_; }
  double render_seconds() const override { return 0.8 * static_cast<double>(ci_); }

 private:
  static std::int64_t need(std::int64_t ci) {
    const std::int64_t s0 = ci <= 1 ? 0 : (ci - 1) * SPC;
    return std::min<std::int64_t>((ci + 1) * SPC, s0 + WIN_SAMPLES);
  }
  void chunk(render::FrameBatch& out) {
    static const auto pixels = std::make_shared<std::vector<std::uint8_t>>(RGB_FRAME_BYTES, 0x5a);
    const int n = ci_ == 0 ? 21 + PRESENT_DELAY_FRAMES : STEADY_PX;
    for (int k = 0; k < n; ++k)
      out.records.push_back({px_++, std::span<const std::uint8_t>(*pixels)});
    out.owners.push_back(pixels);
    ++ci_;
  }
  std::int64_t fed_ = 0, ci_ = 0;
  std::int32_t px_ = 3;
};

double still_clock() {
  static double t = 0;
  return t += 1.0;
}

struct Fd {
  int fd;
  ~Fd() { ::close(fd); }
};

}  // namespace

int record_stream(const std::uint8_t* data, std::size_t size) {
  static const int sink = system::open_null_device(/*for_writing=*/true);
  Fd in_fd{system::capture_file()};
  if (in_fd.fd < 0 || sink < 0) std::abort();
  for (std::size_t off = 0; off < size;) {
    const ssize_t w = ::write(in_fd.fd, data + off, size - off);
    if (w <= 0) std::abort();
    off += static_cast<std::size_t>(w);
  }
  ::lseek(in_fd.fd, 0, SEEK_SET);

  host::InStream in(in_fd.fd);
  host::OutStream out(sink);
  StandIn renderer;
  const int rc = host::detail::serve(renderer, "fuzz", in, out, still_clock);
  if (rc != 0 && rc != 1) std::abort();
  return 0;
}

}  // namespace kinra2::fuzz
