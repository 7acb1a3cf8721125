// Pieces the benchmarks that drive the real host share.
#pragma once

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "support/records.hpp"
#include "support/speech_like.hpp"

namespace k2bench {

using k2test::Records;
using k2test::speech_like;

inline bool write_all(int fd, const void* p, std::size_t n) {
  auto c = static_cast<const char*>(p);
  while (n > 0) {
    ssize_t w = ::write(fd, c, n);
    if (w <= 0) return false;
    c += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

inline bool read_all(int fd, void* p, std::size_t n) {
  auto c = static_cast<char*>(p);
  while (n > 0) {
    ssize_t r = ::read(fd, c, n);
    if (r <= 0) return false;
    c += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

// The value in KiB of the line starting with `key` (e.g. "VmHWM:") of a /proc
// file such as "/proc/self/status" or "/proc/<pid>/smaps_rollup"; 0 if absent.
inline long proc_kb(const std::string& file, std::string_view key) {
  std::ifstream f(file);
  for (std::string line; std::getline(f, line);)
    if (line.compare(0, key.size(), key) == 0) return std::atol(line.c_str() + key.size());
  return 0;
}

// The built-in demo identity written by make_demo_bundle into a fresh
// directory below the temp dir, removed with this object.
class DemoBundle {
 public:
  explicit DemoBundle(std::string_view tag, bool heavy = false, std::string_view more_flags = {})
      : path_(std::filesystem::temp_directory_path() /
              ("k2_" + std::string(tag) + "_bundle_" + std::to_string(::getpid()))) {
    std::string cmd = std::string(K2_BIN_DIR) + "/make_demo_bundle " + path_.string();
    if (heavy) cmd += " --heavy";
    if (!more_flags.empty()) cmd.append(" ").append(more_flags);
    cmd += " >/dev/null";
    ok_ = std::system(cmd.c_str()) == 0;
  }
  ~DemoBundle() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  DemoBundle(const DemoBundle&) = delete;
  DemoBundle& operator=(const DemoBundle&) = delete;
  bool ok() const { return ok_; }
  std::string path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
  bool ok_ = false;
};

}  // namespace k2bench
