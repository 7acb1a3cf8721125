#include "host/streams.hpp"

#include "system/std_streams.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <system_error>

static_assert(std::endian::native == std::endian::little,
              "the wire format is little-endian and is read and written in place");

namespace kinra2::host {

std::size_t InStream::fill() {
  pos_ = 0;
  len_ = 0;
  while (!eof_) {
    std::error_code why;
    const std::ptrdiff_t r = system::read_some(fd_, buf_.data(), buf_.size(), why);
    if (r > 0) {
      len_ = static_cast<std::size_t>(r);
      break;
    }
    if (r < 0) throw std::system_error(why, "read from standard input");
    eof_ = true;
  }
  return len_;
}

bool InStream::read_into(std::span<std::byte> dst) {
  std::size_t got = 0;
  while (got < dst.size()) {
    if (pos_ == len_) {
      // Big reads bypass the buffer once it is drained.
      std::size_t want = dst.size() - got;
      if (want >= buf_.size() && !eof_) {
        std::error_code why;
        const std::ptrdiff_t r = system::read_some(fd_, dst.data() + got, want, why);
        if (r > 0) {
          got += static_cast<std::size_t>(r);
          continue;
        }
        if (r < 0) throw std::system_error(why, "read from standard input");
        eof_ = true;
        return false;
      }
      if (fill() == 0) return false;
    }
    std::size_t take = std::min(len_ - pos_, dst.size() - got);
    std::memcpy(dst.data() + got, buf_.data() + pos_, take);
    pos_ += take;
    got += take;
  }
  return true;
}

std::optional<std::vector<std::byte>> InStream::read_exact(std::size_t n) {
  std::vector<std::byte> out(n);
  if (!read_into(out)) return std::nullopt;
  return out;
}

std::optional<std::vector<float>> InStream::read_samples(std::size_t n) {
  std::vector<float> out;
  std::size_t have = 0;
  std::size_t step = std::min<std::size_t>(n, 1 << 16);
  while (have < n) {
    std::size_t next = std::min(n, have + step);
    // Exact capacity: the vector's own doubling would reserve up to twice
    // the step on the last, short growth.
    out.reserve(next);
    out.resize(next);
    if (!read_into(std::as_writable_bytes(std::span(out).subspan(have)))) return std::nullopt;
    have = next;
    step *= 2;
  }
  return out;
}

bool InStream::is_terminal() const {
  return system::is_terminal(fd_);
}

void OutStream::write_all(std::span<const std::byte> a, std::span<const std::byte> b) {
  while (!a.empty() || !b.empty()) {
    std::error_code why;
    const std::ptrdiff_t w = system::write_some(fd_, a, b, why);
    if (w < 0) throw std::system_error(why, "write to standard output");
    auto left = static_cast<std::size_t>(w);
    const std::size_t from_a = std::min(left, a.size());
    a = a.subspan(from_a);
    b = b.subspan(std::min(left - from_a, b.size()));
  }
}

void OutStream::write(std::span<const std::byte> data) {
  if (buf_.size() + data.size() <= CAPACITY) {
    buf_.insert(buf_.end(), data.begin(), data.end());
    return;
  }
  if (data.size() < CAPACITY) {
    flush();
    buf_.insert(buf_.end(), data.begin(), data.end());
    return;
  }
  write_all(buf_, data);
  buf_.clear();
}

void OutStream::flush() {
  if (buf_.empty()) return;
  write_all(buf_, {});
  buf_.clear();
}

InStream& standard_input() {
  static InStream in(system::standard_stream(0, /*for_writing=*/false));
  return in;
}

OutStream& standard_output() {
  static OutStream out(system::standard_stream(1, /*for_writing=*/true));
  return out;
}

void write_frame(OutStream& out, std::int32_t idx, std::span<const std::uint8_t> rgb) {
  out.write(std::as_bytes(std::span(&idx, 1)));
  out.write(std::as_bytes(rgb));
}

void emit(OutStream& out, const render::FrameBatch& frames) {
  for (const auto& rec : frames.records) write_frame(out, rec.index, rec.bytes);
  if (!frames.empty()) out.flush();
}

}  // namespace kinra2::host
