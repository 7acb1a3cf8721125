#include "system/interrupt.hpp"

#include "base/log.hpp"

#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>

namespace kinra2::system {

namespace {

std::atomic<InterruptHook> g_hook{nullptr};

extern "C" void on_signal(int sig) {
  if (InterruptHook hook = g_hook.load()) hook();
  // One line for the people reading the log (write(2) is async-signal-safe).
  static constexpr char TERM_LINE[] = "[render-stream-host-litert] SIGTERM received — exiting\n";
  static constexpr char INT_LINE[] = "[render-stream-host-litert] SIGINT received — exiting\n";
  const char* line = sig == SIGTERM ? TERM_LINE : INT_LINE;
  const std::size_t len = sig == SIGTERM ? sizeof TERM_LINE - 1 : sizeof INT_LINE - 1;
  [[maybe_unused]] const ssize_t w = ::write(base::log_fd(), line, len);
  // Die the way the peer asked us to, so it sees the usual signal status.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(sig, &dfl, nullptr);
  ::raise(sig);
}

constexpr std::array<int, 3> SIGNALS = {SIGPIPE, SIGTERM, SIGINT};

}  // namespace

void install_interrupt_handlers(InterruptHook hook) {
  g_hook.store(hook);
  for (int sig : {SIGTERM, SIGINT}) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0) continue;
    if (old.sa_handler == SIG_IGN) continue;  // a peer that made us ignore it keeps that
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(sig, &sa, nullptr);
  }
}

struct InterruptScope::Saved {
  std::array<struct sigaction, 3> old{};
  std::array<bool, 3> saved{};
};

InterruptScope::InterruptScope() : saved_(std::make_unique<Saved>()) {
  for (std::size_t i = 0; i < SIGNALS.size(); ++i)
    saved_->saved[i] = ::sigaction(SIGNALS[i], nullptr, &saved_->old[i]) == 0;
  std::signal(SIGPIPE, SIG_IGN);
}

InterruptScope::~InterruptScope() {
  for (std::size_t i = 0; i < SIGNALS.size(); ++i)
    if (saved_->saved[i]) ::sigaction(SIGNALS[i], &saved_->old[i], nullptr);
}

}  // namespace kinra2::system
