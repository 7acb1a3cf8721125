#include "base/log.hpp"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

namespace kinra2::base {

namespace {
std::atomic<int> g_log_fd{STDERR_FILENO};
static_assert(std::atomic<int>::is_always_lock_free);
}  // namespace

int log_fd() { return g_log_fd.load(std::memory_order_relaxed); }
void set_log_fd(int fd) { g_log_fd.store(fd, std::memory_order_relaxed); }

void elog(std::string_view message) {
  std::string line;
  line.reserve(LOG_PREFIX.size() + message.size() + 2);
  line.append(LOG_PREFIX).push_back(' ');
  line.append(message).push_back('\n');
  // Unbuffered write(2): the line is out before the call returns, and a
  // closed standard error is not worth failing the run over.
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t w = ::write(log_fd(), p, left);
    if (w < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += w;
    left -= static_cast<std::size_t>(w);
  }
}

}  // namespace kinra2::base
