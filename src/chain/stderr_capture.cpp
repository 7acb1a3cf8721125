#include "chain/stderr_capture.hpp"

#include "base/log.hpp"
#include "system/std_streams.hpp"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace kinra2::chain::detail {

namespace {

// Printed once per interpreter with the delegate on; it says nothing the log
// does not already show.
constexpr std::string_view BANNER = "INFO: Created TensorFlow Lite XNNPACK delegate for CPU.";
// A runaway writer must not turn into unbounded memory or log volume.
constexpr std::size_t MAX_CAPTURE = 64 * 1024;

}  // namespace

std::vector<std::string> captured_lines(std::string_view text) {
  std::vector<std::string> out;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    if (line.empty() || line == BANNER) continue;
    out.emplace_back(line);
  }
  return out;
}

StderrCapture::StderrCapture(Sink sink) : sink_(std::move(sink)) {
  std::fflush(stderr);
  file_.reset(system::capture_file());
  if (!file_.ok()) return;
  saved_.reset(system::duplicate_fd(2));
  if (!saved_.ok()) {
    file_.reset();
    return;
  }
  // The host's own lines (and a signal handler's) keep going to the real
  // standard error meanwhile.
  base::set_log_fd(saved_.get());
  if (!system::redirect_fd(file_.get(), 2)) {
    base::set_log_fd(2);
    saved_.reset();
    file_.reset();
  }
}

StderrCapture::~StderrCapture() {
  finish();
}

void StderrCapture::finish() {
  if (!file_.ok()) return;
  std::fflush(stderr);
  system::redirect_fd(saved_.get(), 2);
  base::set_log_fd(2);
  saved_.reset();
  const std::string text = system::read_back(file_.get(), MAX_CAPTURE);
  file_.reset();
  if (sink_)
    for (const std::string& line : captured_lines(text)) sink_(line);
}

}  // namespace kinra2::chain::detail
