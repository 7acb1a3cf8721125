#include "system/fatal_signal.hpp"

#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>

#include "base/log.hpp"

namespace kinra2::system {

namespace {

struct Fatal {
  int sig;
  const char* fault;
};
constexpr std::array<Fatal, 5> FATAL = {{{SIGSEGV, "signal SIGSEGV"},
                                         {SIGBUS, "signal SIGBUS"},
                                         {SIGFPE, "signal SIGFPE"},
                                         {SIGILL, "signal SIGILL"},
                                         {SIGABRT, "signal SIGABRT"}}};

// What was installed before ours, for the handler to hand the signal back
// to. Written before ours go in, read only while they are in.
std::array<struct sigaction, FATAL.size()> g_previous{};
std::atomic<bool> g_installed{false};
// One line, however many threads fault at once.
std::atomic_flag g_reported = ATOMIC_FLAG_INIT;

// Room for the handler on a thread whose own stack is used up. Static: it is
// needed exactly when nothing else can be had.
constexpr std::size_t ALT_STACK = 64 * 1024;
alignas(16) char g_alt_stack[ALT_STACK];

extern "C" void on_fatal(int sig, siginfo_t* info, void*) {
  const int saved_errno = errno;
  std::size_t i = 0;
  while (i < FATAL.size() && FATAL[i].sig != sig) ++i;
  if (i == FATAL.size()) return;
  if (!g_reported.test_and_set()) {
    char line[1024];
    detail::write_fault_line(line, detail::fault_line(line, sizeof line, FATAL[i].fault));
  }
  // Whatever was there before takes the signal from here: a fault the kernel
  // raised comes back when the instruction runs again on return, with its
  // own address for the next handler; one that was sent (abort, kill) is sent
  // again, and stays pending until this handler returns.
  ::sigaction(sig, &g_previous[i], nullptr);
  if (info == nullptr || info->si_code <= 0) ::raise(sig);
  errno = saved_errno;
}

bool ours(const struct sigaction& sa) {
  return (sa.sa_flags & SA_SIGINFO) != 0 && sa.sa_sigaction == on_fatal;
}

}  // namespace

namespace detail {

void write_fault_line(const char* line, std::size_t len) {
  const int fd = base::log_fd();
  while (len > 0) {
    const ssize_t w = ::write(fd, line, len);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    line += w;
    len -= static_cast<std::size_t>(w);
  }
}

}  // namespace detail

struct FatalSignalScope::Saved {
  bool installed = false;
  bool alt_stack = false;
};

FatalSignalScope::FatalSignalScope() : saved_(std::make_unique<Saved>()) {
  if (g_installed.exchange(true)) return;
  saved_->installed = true;
  g_reported.clear();
  // An alternate stack someone already gave this thread (an embedding
  // interpreter's fault handler has one) serves as well as ours.
  stack_t old{};
  if (::sigaltstack(nullptr, &old) == 0 && (old.ss_flags & SS_DISABLE) != 0) {
    stack_t ss{};
    ss.ss_sp = g_alt_stack;
    ss.ss_size = ALT_STACK;
    saved_->alt_stack = ::sigaltstack(&ss, nullptr) == 0;
  }
  struct sigaction sa {};
  sa.sa_sigaction = on_fatal;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  for (std::size_t i = 0; i < FATAL.size(); ++i) {
    if (::sigaction(FATAL[i].sig, nullptr, &g_previous[i]) != 0) continue;
    ::sigaction(FATAL[i].sig, &sa, nullptr);
  }
}

FatalSignalScope::~FatalSignalScope() {
  if (!saved_->installed) return;
  for (std::size_t i = 0; i < FATAL.size(); ++i) {
    struct sigaction cur {};
    // A handler installed after ours stays: it may be chaining to ours, and
    // would then reach the previous one through it.
    if (::sigaction(FATAL[i].sig, nullptr, &cur) == 0 && ours(cur))
      ::sigaction(FATAL[i].sig, &g_previous[i], nullptr);
  }
  if (saved_->alt_stack) {
    stack_t ss{};
    ss.ss_flags = SS_DISABLE;
    ::sigaltstack(&ss, nullptr);
  }
  g_installed.store(false);
}

}  // namespace kinra2::system
