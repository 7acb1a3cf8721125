// Drives the real host program through pipes, as a peer does.
#pragma once

#include <cstdint>
#include <cstring>
#include <csignal>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "base/constants.hpp"
#include "support/records.hpp"

namespace k2test {

struct Frame {
  std::int32_t index;
  std::string bytes;  // empty for a flush marker
};

struct HostRun {
  int status = -1;
  std::string header;
  std::vector<Frame> records;
  std::string log;
};

inline std::vector<float> tone(std::size_t n, std::uint32_t seed = 1) {
  // Syllable-like bursts of noise so the mouth has something to follow.
  std::vector<float> v(n);
  std::uint32_t s = seed;
  for (std::size_t i = 0; i < n; ++i) {
    s = s * 1664525u + 1013904223u;
    const float noise = static_cast<float>(static_cast<std::int32_t>(s) >> 8) / 8388608.0f;
    const float env = ((i / 3000) % 3 == 0) ? 0.05f : 0.6f;
    v[i] = env * noise;
  }
  return v;
}

inline bool read_all(int fd, void* data, std::size_t n) {
  auto p = static_cast<char*>(data);
  while (n > 0) {
    ssize_t r = ::read(fd, p, n);
    if (r <= 0) {
      if (r < 0 && errno == EINTR) continue;
      return false;
    }
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

// Runs the program `argv` (a host, or a launcher that starts one) with
// `input` on its standard input; `env` entries are NAME=value pairs added to
// the environment. With `close_after_header` the peer stops reading once it
// has the header.
inline HostRun run_peer(const std::vector<std::string>& argv, const std::string& input,
                        const std::vector<std::string>& env = {}, bool close_after_header = false) {
  std::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  if (::pipe(in) || ::pipe(out) || ::pipe(err)) return {};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) ::close(fd);
    for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
    std::vector<const char*> args;
    for (const auto& a : argv) args.push_back(a.c_str());
    args.push_back(nullptr);
    ::execvp(args[0], const_cast<char* const*>(args.data()));
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  std::thread writer([&] {
    std::size_t at = 0;
    while (at < input.size()) {
      ssize_t w = ::write(in[1], input.data() + at, input.size() - at);
      if (w <= 0) break;
      at += static_cast<std::size_t>(w);
    }
    ::close(in[1]);
  });
  HostRun run;
  std::thread logger([&] {
    char buf[4096];
    ssize_t r;
    while ((r = ::read(err[0], buf, sizeof buf)) > 0)
      run.log.append(buf, static_cast<std::size_t>(r));
  });
  char c;
  while (read_all(out[0], &c, 1)) {
    run.header.push_back(c);
    if (c == '\n') break;
  }
  for (; !close_after_header;) {
    std::int32_t idx;
    if (!read_all(out[0], &idx, 4)) break;
    Frame f{idx, {}};
    if (idx >= 0) {
      f.bytes.resize(kinra2::RGB_FRAME_BYTES);
      if (!read_all(out[0], f.bytes.data(), f.bytes.size())) break;
    }
    run.records.push_back(std::move(f));
  }
  ::close(out[0]);
  writer.join();
  logger.join();
  ::close(err[0]);
  int st = 0;
  ::waitpid(pid, &st, 0);
  run.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return run;
}

// Runs the built host on `bundle`, as run_peer does.
inline HostRun run_host(const std::string& bundle, const std::string& input,
                        const std::vector<std::string>& env = {}, bool close_after_header = false,
                        const std::vector<std::string>& extra_args = {}) {
  std::vector<std::string> argv = {std::string(K2_BIN_DIR) + "/render_stream_host_litert",
                                   "render-stream", bundle};
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  return run_peer(argv, input, env, close_after_header);
}

// A bundle made by the project's own generator; empty on failure.
inline std::string make_bundle(const std::string& name, const std::string& options = "") {
  auto d = std::filesystem::temp_directory_path() /
           ("k2_e2e_" + name + "_" + std::to_string(::getpid()));
  std::filesystem::remove_all(d);
  const std::string cmd =
      std::string(K2_BIN_DIR) + "/make_demo_bundle " + d.string() + " " + options + " >/dev/null";
  if (std::system(cmd.c_str()) != 0) return std::string();
  return d.string();
}

// Takes over a directory made elsewhere (a generated bundle) and removes it
// when it goes.
struct AdoptedDir {
  std::string path;
  ~AdoptedDir() {
    if (!path.empty()) std::filesystem::remove_all(path);
  }
};

// The plain demo bundle, made once per test process and shared by its tests.
inline const std::string& demo_bundle() {
  static const AdoptedDir dir{make_bundle("demo")};
  return dir.path;
}

}  // namespace k2test
