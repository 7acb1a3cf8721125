// The host's two standard streams as raw buffered byte streams, and the
// record-level reads and writes of the frame protocol.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "render/frame_source.hpp"

namespace kinra2::host {

// Blocking reader over a file descriptor with its own buffer.
class InStream {
 public:
  explicit InStream(int fd) : fd_(fd), buf_(1 << 16) {}
  InStream(const InStream&) = delete;
  InStream& operator=(const InStream&) = delete;

  // Fills `dst` completely; false when the input ended first (the partial
  // bytes are then meaningless). EOF is sticky.
  bool read_into(std::span<std::byte> dst);
  // n bytes, or none when the input ended before n bytes arrived.
  std::optional<std::vector<std::byte>> read_exact(std::size_t n);
  // n float32 little-endian samples, or none at end of input. Memory grows
  // with what actually arrives, so a peer announcing a huge step and then
  // closing does not cost the announced size.
  std::optional<std::vector<float>> read_samples(std::size_t n);
  int fd() const { return fd_; }
  // A person at a terminal cannot type binary records.
  bool is_terminal() const;

 private:
  std::size_t fill();
  int fd_;
  std::vector<std::byte> buf_;
  std::size_t pos_ = 0, len_ = 0;
  bool eof_ = false;
};

// Buffered writer over a file descriptor. Large writes go straight from the
// caller's memory (writev), so frame pixels are never copied. Write failures
// throw std::system_error.
class OutStream {
 public:
  explicit OutStream(int fd) : fd_(fd) { buf_.reserve(CAPACITY); }
  OutStream(const OutStream&) = delete;
  OutStream& operator=(const OutStream&) = delete;

  void write(std::span<const std::byte> data);
  void flush();
  int fd() const { return fd_; }

 private:
  static constexpr std::size_t CAPACITY = 1 << 16;
  void write_all(std::span<const std::byte> a, std::span<const std::byte> b);
  int fd_;
  std::vector<std::byte> buf_;
};

// The process's standard input and output. A descriptor that was not open
// at start-up is held by /dev/null, so that no file opened later can take its
// number and be read or overwritten as a stream; its stream then fails on
// first use with EBADF.
InStream& standard_input();
OutStream& standard_output();

// Frame index (int32 LE) followed by the frame's bytes. Does not flush.
void write_frame(OutStream& out, std::int32_t idx, std::span<const std::uint8_t> rgb);
// Writes every record in order and flushes once if there was any.
void emit(OutStream& out, const render::FrameBatch& frames);

}  // namespace kinra2::host
