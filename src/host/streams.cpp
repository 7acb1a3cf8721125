#include "host/streams.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <sys/uio.h>
#include <system_error>
#include <fcntl.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#endif

static_assert(std::endian::native == std::endian::little,
              "the wire format is little-endian and is read and written in place");

namespace kinra2::host {

std::size_t InStream::fill() {
  pos_ = 0;
  len_ = 0;
  while (!eof_) {
    ssize_t r = ::read(fd_, buf_.data(), buf_.size());
    if (r > 0) {
      len_ = static_cast<std::size_t>(r);
      break;
    }
    if (r == 0) {
      eof_ = true;
    } else if (errno != EINTR) {
      throw std::system_error(errno, std::generic_category(), "read from standard input");
    }
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
        ssize_t r = ::read(fd_, dst.data() + got, want);
        if (r > 0) {
          got += static_cast<std::size_t>(r);
          continue;
        }
        if (r == 0) {
          eof_ = true;
          return false;
        }
        if (errno == EINTR) continue;
        throw std::system_error(errno, std::generic_category(), "read from standard input");
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
  return fd_ >= 0 && ::isatty(fd_) == 1;
}

void OutStream::write_all(std::span<const std::byte> a, std::span<const std::byte> b) {
  iovec iov[2] = {{const_cast<std::byte*>(a.data()), a.size()},
                  {const_cast<std::byte*>(b.data()), b.size()}};
  int first = 0;
  while (first < 2) {
    if (iov[first].iov_len == 0) {
      ++first;
      continue;
    }
    ssize_t w = ::writev(fd_, iov + first, 2 - first);
    if (w < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "write to standard output");
    }
    auto left = static_cast<std::size_t>(w);
    for (int i = first; i < 2 && left > 0; ++i) {
      std::size_t take = std::min(left, iov[i].iov_len);
      iov[i].iov_base = static_cast<char*>(iov[i].iov_base) + take;
      iov[i].iov_len -= take;
      left -= take;
    }
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

namespace {

// Where the C runtime translates line ends, the frame stream must not be
// touched: both descriptors go binary before they are first used.
void binary_mode(int fd) {
#ifdef _WIN32
  if (_setmode(fd, _O_BINARY) == -1)
    throw std::system_error(errno, std::generic_category(), "setmode");
#else
  (void)fd;
#endif
}

// The descriptor to use for a standard stream, or -1 when it was not open.
int standard_fd(int fd, int reserve_flags) {
  if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
    binary_mode(fd);
    return fd;
  }
  // open() takes the lowest free number, which is this one.
  const int held = ::open("/dev/null", reserve_flags);
  if (held >= 0 && held != fd) ::close(held);
  return -1;
}

}  // namespace

InStream& IN() {
  static InStream in(standard_fd(STDIN_FILENO, O_RDONLY));
  return in;
}

OutStream& OUT() {
  static OutStream out(standard_fd(STDOUT_FILENO, O_WRONLY));
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
