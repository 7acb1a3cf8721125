// Drives the real host program through pipes, as a peer does.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/constants.hpp"
#include "support/records.hpp"
#include "support/run_command.hpp"
#include "support/speech_like.hpp"
#include "system/subprocess.hpp"

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

// The container test's name for the speech-like test audio.
inline std::vector<float> tone(std::size_t n, std::uint32_t seed = 1) {
  return speech_like(n, seed);
}

// The host's command line for `bundle`.
inline std::vector<std::string> host_argv(const std::string& bundle,
                                          const std::vector<std::string>& extra_args = {}) {
  std::vector<std::string> argv = {bin("render_stream_host_litert"), "render-stream", bundle};
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  return argv;
}

// Runs the program `argv` (a host, or a launcher that starts one) with
// `input` on its standard input; `env` entries are NAME=value pairs added to
// the environment. With `close_after_header` the peer stops reading once it
// has the header.
inline HostRun run_peer(const std::vector<std::string>& argv, const std::string& input,
                        const std::vector<std::string>& env = {}, bool close_after_header = false) {
  kinra2::system::SpawnOptions opt;
  opt.env = env;
  kinra2::system::Subprocess host(argv, opt);
  std::thread writer([&] {
    host.write_in(input.data(), input.size());
    host.close_in();
  });
  HostRun run;
  std::thread logger([&] {
    char buf[4096];
    for (std::size_t r; (r = host.read_err(buf, sizeof buf)) > 0;) run.log.append(buf, r);
  });
  char c;
  while (host.read_out_exact(&c, 1)) {
    run.header.push_back(c);
    if (c == '\n') break;
  }
  for (; !close_after_header;) {
    std::int32_t idx;
    if (!host.read_out_exact(&idx, 4)) break;
    Frame f{idx, {}};
    if (idx >= 0) {
      f.bytes.resize(kinra2::RGB_FRAME_BYTES);
      if (!host.read_out_exact(f.bytes.data(), f.bytes.size())) break;
    }
    run.records.push_back(std::move(f));
  }
  host.close_out();
  writer.join();
  logger.join();
  run.status = host.wait();
  return run;
}

// Runs the built host on `bundle`, as run_peer does.
inline HostRun run_host(const std::string& bundle, const std::string& input,
                        const std::vector<std::string>& env = {}, bool close_after_header = false,
                        const std::vector<std::string>& extra_args = {}) {
  return run_peer(host_argv(bundle, extra_args), input, env, close_after_header);
}

// A bundle made by the project's own generator; empty on failure.
inline std::string make_bundle(const std::string& name,
                               const std::vector<std::string>& options = {}) {
  auto d = std::filesystem::temp_directory_path() /
           ("k2_e2e_" + name + "_" + std::to_string(std::random_device()()));
  std::filesystem::remove_all(d);
  std::vector<std::string> argv = {bin("make_demo_bundle"), d.string()};
  argv.insert(argv.end(), options.begin(), options.end());
  if (run(argv).first != 0) return std::string();
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
