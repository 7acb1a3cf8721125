#include "chain/invoke_watchdog.hpp"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "base/log.hpp"
#include "base/text.hpp"
#include "system/files.hpp"

namespace kinra2::chain {

namespace {

using Clock = std::chrono::steady_clock;

// Far beyond any run, and still clear of the clock's overflow.
constexpr long long MAX_LIMIT_S = 1'000'000'000;

std::chrono::seconds invoke_limit() {
  const auto v = base::to_int(system::env_text(INVOKE_TIMEOUT_ENV.data()).value_or(""));
  if (!v || *v <= 0) return DEFAULT_INVOKE_LIMIT;
  return std::chrono::seconds(std::min(*v, MAX_LIMIT_S));
}

class Watchdog {
 public:
  // Never destroyed: its thread sleeps on it until the process ends.
  static Watchdog& instance() {
    static Watchdog* w = new Watchdog;
    return *w;
  }

  std::list<detail::Watched>::iterator watch(const char* subject) {
    const std::lock_guard lock(mu_);
    // Every invocation gets the same limit, so the list stays in order of
    // due time, earliest first.
    return watched_.insert(watched_.end(), {Clock::now() + limit_, subject});
  }

  void unwatch(std::list<detail::Watched>::iterator at) {
    const std::lock_guard lock(mu_);
    watched_.erase(at);
  }

 private:
  Watchdog() : limit_(invoke_limit()) {
    std::thread([this] { run(); }).detach();
  }

  // Wakes when the earliest invocation falls due, or a whole limit later when
  // none runs: one armed since is due no earlier than that, so arming never
  // needs to wake this thread.
  [[noreturn]] void run() {
    for (;;) {
      Clock::time_point wake;
      {
        const std::lock_guard lock(mu_);
        const Clock::time_point now = Clock::now();
        if (!watched_.empty() && now >= watched_.front().due) give_up(watched_.front().subject);
        wake = watched_.empty() ? now + limit_ : watched_.front().due;
      }
      std::this_thread::sleep_until(wake);
    }
  }

  // Through the log's own descriptor, since standard error may be captured
  // during a first invocation. Nothing is left behind by ending here: the
  // staged model files were released as soon as the chain was built.
  [[noreturn]] void give_up(const char* subject) {
    base::elog("error: LiteRT invocation of " + std::string(subject) + " has run for " +
               std::to_string(limit_.count()) + " s; giving up");
    std::_Exit(1);
  }

  const std::chrono::seconds limit_;
  std::mutex mu_;
  std::list<detail::Watched> watched_;
};

}  // namespace

InvokeDeadline::InvokeDeadline(const char* subject) : at_(Watchdog::instance().watch(subject)) {}

InvokeDeadline::~InvokeDeadline() {
  Watchdog::instance().unwatch(at_);
}

}  // namespace kinra2::chain
