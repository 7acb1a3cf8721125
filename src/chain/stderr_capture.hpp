// The runtime library writes some messages straight to standard error (its
// delegate banner, kernel warnings), outside any error reporter. While it is
// being set up and first run, descriptor 2 is pointed at an anonymous file and
// what landed there is handed on as log lines afterwards, so standard error
// keeps the host's one-prefix line format.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.hpp"

namespace kinra2::chain::detail {

class StderrCapture {
 public:
  using Sink = std::function<void(std::string_view line)>;
  // Starts capturing. When no capture file can be made, nothing is redirected
  // and the library's text goes to standard error as before.
  explicit StderrCapture(Sink sink);
  ~StderrCapture();  // finish()
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Restores descriptor 2 and hands each captured line to the sink, blank
  // lines and the runtime's known banner left out. Idempotent.
  void finish();

 private:
  Sink sink_;
  base::UniqueFd file_;   // where descriptor 2 points while capturing
  base::UniqueFd saved_;  // the standard error to put back
};

// Lines worth passing on from captured text.
std::vector<std::string> captured_lines(std::string_view text);

}  // namespace kinra2::chain::detail
