// The diagnostic log: one line per message on standard error, flushed at once.
// Every layer logs through it, so it lives at the bottom of the library.
#pragma once

#include <sstream>
#include <string>
#include <string_view>

namespace kinra2::base {

inline constexpr std::string_view LOG_PREFIX = "[render-stream-host-litert]";

// Writes prefix, blank, message, line feed to standard error (UTF-8) in one
// write, so lines of concurrent writers never interleave.
void elog(std::string_view message);

// The descriptor log lines go to: standard error, or where it was moved while
// descriptor 2 is borrowed to capture what a library prints. Safe to read in a
// signal handler.
int log_fd();
void set_log_fd(int fd);

// Several values joined by single blanks, as their text forms.
template <typename A, typename B, typename... Rest>
void elog(const A& a, const B& b, const Rest&... rest) {
  std::ostringstream s;
  s << a << ' ' << b;
  ((s << ' ' << rest), ...);
  elog(std::string_view(s.str()));
}

}  // namespace kinra2::base
