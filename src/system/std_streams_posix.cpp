#include "system/std_streams.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kinra2::system {

int standard_stream(int fd, bool for_writing) {
  if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) return fd;  // no text mode to leave
  // open() takes the lowest free number, which is this one.
  const int held = ::open("/dev/null", for_writing ? O_WRONLY : O_RDONLY);
  if (held >= 0 && held != fd) ::close(held);
  return -1;
}

std::ptrdiff_t read_some(int fd, void* buf, std::size_t n, std::error_code& why) {
  for (;;) {
    const ssize_t r = ::read(fd, buf, n);
    if (r >= 0) return r;
    if (errno == EINTR) continue;
    why = std::error_code(errno, std::generic_category());
    return -1;
  }
}

std::ptrdiff_t write_some(int fd, std::span<const std::byte> a, std::span<const std::byte> b,
                          std::error_code& why) {
  iovec iov[2] = {{const_cast<std::byte*>(a.data()), a.size()},
                  {const_cast<std::byte*>(b.data()), b.size()}};
  const int first = a.empty() ? 1 : 0;
  for (;;) {
    const ssize_t w = ::writev(fd, iov + first, 2 - first);
    if (w >= 0) return w;
    if (errno == EINTR) continue;
    why = std::error_code(errno, std::generic_category());
    return -1;
  }
}

bool is_terminal(int fd) {
  return fd >= 0 && ::isatty(fd) == 1;
}

int open_null_device(bool for_writing) {
  return ::open("/dev/null", (for_writing ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
}

int capture_file() {
  return memfd_create("k2-runtime-stderr", MFD_CLOEXEC);
}

int duplicate_fd(int fd) {
  return fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

bool redirect_fd(int from, int to) {
  return dup2(from, to) >= 0;
}

std::string read_back(int fd, std::size_t max) {
  const off_t end = lseek(fd, 0, SEEK_END);
  std::string text(end > 0 ? std::min<std::size_t>(static_cast<std::size_t>(end), max) : 0, '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t r =
        pread(fd, text.data() + got, text.size() - got, static_cast<off_t>(got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  text.resize(got);
  return text;
}

}  // namespace kinra2::system
