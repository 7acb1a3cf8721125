// Resident memory of the real host over a long stream: it must not grow with
// the stream's length. Streams N minutes of speech-like audio through the
// host (as a peer would, output discarded), reads the host's high-water mark
// as it goes and prints it after the first minute and at the end.
//
// usage: bench_stream_memory [--bundle DIR] [--minutes N]   (default 10)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench_support.hpp"

namespace {

using k2bench::Records;
using k2bench::write_all;

// The host's high-water mark of resident memory so far (VmHWM), so that
// short peaks between two samples are not missed.
long hwm_kb(pid_t pid) {
  return k2bench::proc_kb("/proc/" + std::to_string(pid) + "/status", "VmHWM:");
}

}  // namespace

int main(int argc, char** argv) {
  std::string bundle;
  double minutes = 10;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--bundle") == 0)
      bundle = argv[++i];
    else if (std::strcmp(argv[i], "--minutes") == 0)
      minutes = std::atof(argv[++i]);
  }
  std::optional<k2bench::DemoBundle> demo;
  if (bundle.empty()) {
    demo.emplace("mem");
    if (!demo->ok()) return 1;
    bundle = demo->path();
  }
  std::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2];
  if (::pipe(in) || ::pipe(out)) return 1;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
    const std::string host = std::string(K2_BIN_DIR) + "/render_stream_host_litert";
    ::execl(host.c_str(), host.c_str(), "render-stream", bundle.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  std::atomic<long long> out_bytes{0};
  std::thread drain([&] {
    std::vector<char> buf(1 << 20);
    ssize_t r;
    while ((r = ::read(out[0], buf.data(), buf.size())) > 0) out_bytes += r;
  });

  const std::size_t total = static_cast<std::size_t>(minutes * 60 * 16000);
  const std::size_t minute = 60 * 16000;
  const std::size_t step = 3200;
  long peak_first = 0, peak_all = 0;
  auto t0 = std::chrono::steady_clock::now();
  for (std::size_t at = 0; at < total; at += step) {
    const auto seed = static_cast<std::uint32_t>(at / step + 1);  // new audio every step
    const Records r = Records().audio(k2bench::speech_like(step, seed));
    if (!write_all(in[1], r.bytes.data(), r.bytes.size())) break;
    const long rss = hwm_kb(pid);
    peak_all = std::max(peak_all, rss);
    if (at < minute) peak_first = std::max(peak_first, rss);
    if ((at / step) % 3000 == 0)
      std::fprintf(stderr, "bench_stream_memory: %.1f of %.1f min fed, VmHWM %ld KiB\n",
                   static_cast<double>(at) / minute, minutes, rss);
  }
  ::close(in[1]);
  drain.join();
  int st = 0;
  ::waitpid(pid, &st, 0);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("stream of %.1f min rendered in %.1f s, %lld output bytes\n", minutes, secs,
              static_cast<long long>(out_bytes.load()));
  std::printf("peak resident (VmHWM) in the first minute: %.1f MiB\n", peak_first / 1024.0);
  std::printf("peak resident (VmHWM) over the stream:    %.1f MiB (ratio %.3f)\n",
              peak_all / 1024.0,
              peak_first ? static_cast<double>(peak_all) / static_cast<double>(peak_first) : 0.0);
  return WIFEXITED(st) && WEXITSTATUS(st) == 0 ? 0 : 1;
}
