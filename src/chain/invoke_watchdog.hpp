// A limit on how long one invocation of the runtime may run. The runtime
// cannot stop an invocation once it has begun, and a crafted model can loop
// for ever (a WHILE whose condition never turns false): left alone, the host
// would hang and its peer wait for frames that never come. So each invocation
// is watched, and when one outlives the limit a watchdog thread (one per
// process, started with the first invocation and never stopped) writes one
// log line and ends the process with status 1.
//
//   … error: LiteRT invocation of signature 'enc' of '…' has run for 300 s; giving up
#pragma once

#include <chrono>
#include <list>
#include <string_view>

namespace kinra2::chain {

// Seconds, a positive integer; anything else leaves the default.
inline constexpr std::string_view INVOKE_TIMEOUT_ENV = "KINRA2_INVOKE_TIMEOUT";
// A heavy decoder on one throttled processor takes seconds, not minutes.
inline constexpr std::chrono::seconds DEFAULT_INVOKE_LIMIT{300};

namespace detail {
struct Watched {
  std::chrono::steady_clock::time_point due;
  const char* subject;
};
}  // namespace detail

// Watches one invocation for the length of its scope. `subject` names it in
// the line ("signature 'enc' of '…'") and must outlive the scope.
class InvokeDeadline {
 public:
  explicit InvokeDeadline(const char* subject);
  ~InvokeDeadline();
  InvokeDeadline(const InvokeDeadline&) = delete;
  InvokeDeadline& operator=(const InvokeDeadline&) = delete;

 private:
  std::list<detail::Watched>::iterator at_;
};

}  // namespace kinra2::chain
