// First-frame latency: the time from the arrival of the 25600th sample of a
// session (the one that completes chunk 0) to its first frame record.
//
// 1. Through the real host, as a peer sees it: the first 25599 samples are
//    sent and given time to be read, then the last sample is sent and the
//    clock runs until the first frame record has been read in full. Measured
//    for the first session of fresh processes and for sessions after a reset.
// 2. In process, the resident memory each signature's first run adds.
// 3. In process, the same chunk through a Renderer, split into the time spent
//    inside model invocations and the host's own work (tempo change, history
//    shifts, decoder inputs, pixel conversion), again first session and after
//    resets. The resident memory at each stage of the first session is
//    printed beside it.
// Every figure is a median over the repetitions of one run.
//
// usage: bench_first_frame [--bundle DIR | --heavy] [--runs N]   (default 5)

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bundle/load_bundle.hpp"
#include "chain/litert_chain.hpp"
#include "render/renderer_internal.hpp"
#include "system/cpu_budget.hpp"

#include "bench_support.hpp"

namespace {

using k2bench::read_all;
using k2bench::Records;
using k2bench::speech_like;
using k2bench::write_all;

using namespace kinra2;
using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : 0.5 * (v[v.size() / 2 - 1] + v[v.size() / 2]);
}

long rss_mib() {
  return k2bench::proc_kb("/proc/self/status", "VmRSS:") / 1024;
}

bool send(int fd, const Records& records) {
  return write_all(fd, records.bytes.data(), records.bytes.size());
}

// One host process; `sessions` sessions of chunk 0 each, the later ones after
// a reset record. Returns the latency of each session in ms.
std::vector<double> host_sessions(const std::string& bundle, int sessions,
                                  const std::vector<float>& audio) {
  int in[2], out[2];
  if (::pipe(in) || ::pipe(out)) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) ::dup2(null, 2);
    for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
    const std::string host = std::string(K2_BIN_DIR) + "/render_stream_host_litert";
    ::execl(host.c_str(), host.c_str(), "render-stream", bundle.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  std::vector<double> lat;
  for (char c = 0; c != '\n';)
    if (::read(out[0], &c, 1) != 1) break;
  std::vector<char> record(4 + RGB_FRAME_BYTES);
  for (int s = 0; s < sessions; ++s) {
    if (s > 0) {
      send(in[1], Records().reset());
    }
    for (std::uint32_t at = 0; at < SPC - 1; at += 3200)
      send(in[1], Records().audio(
                      std::span(audio).subspan(at, std::min<std::uint32_t>(3200, SPC - 1 - at))));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the host has read them by now
    const auto t0 = Clock::now();
    send(in[1], Records().audio(std::span(audio).subspan(SPC - 1, 1)));
    if (!read_all(out[0], record.data(), record.size())) break;
    lat.push_back(ms_since(t0));
    for (int k = 1; k < 22; ++k) read_all(out[0], record.data(), record.size());
  }
  ::close(in[1]);
  std::vector<char> sink(1 << 16);
  while (::read(out[0], sink.data(), sink.size()) > 0) {
  }
  ::close(out[0]);
  int st = 0;
  ::waitpid(pid, &st, 0);
  return lat;
}

}  // namespace

int main(int argc, char** argv) {
  std::string bundle;
  bool heavy = false;
  int runs = 5;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--heavy")
      heavy = true;
    else if (i + 1 < argc && a == "--bundle")
      bundle = argv[++i];
    else if (i + 1 < argc && a == "--runs")
      runs = std::max(1, std::atoi(argv[++i]));
  }
  std::optional<k2bench::DemoBundle> demo;
  if (bundle.empty()) {
    demo.emplace("first_frame", heavy);
    if (!demo->ok()) return 1;
    bundle = demo->path();
  }
  std::signal(SIGPIPE, SIG_IGN);
  const auto audio = speech_like(SPC);

  // 1. Through the host.
  std::vector<double> first, after;
  for (int r = 0; r < runs; ++r) {
    const auto lat = host_sessions(bundle, r == 0 ? runs + 1 : 1, audio);
    if (!lat.empty()) first.push_back(lat[0]);
    for (std::size_t k = 1; k < lat.size(); ++k) after.push_back(lat[k]);
  }

  // 2. What each signature's first run makes resident: its interpreter's
  // tensors and the delegate's packed weights.
  std::string growth;
  {
    auto loaded = bundle::load_bundle(bundle, std::nullopt);
    chain::LitertChain ch(loaded.tfl_paths, loaded.canon, system::default_threads(1, 0));
    long before = rss_mib();
    // Runs first, before any other chain of this process has grown the heap.
    auto note = [&](const char* what) {
      const long now = rss_mib();
      growth += std::string(growth.empty() ? "" : ", ") + what + " +" +
                std::to_string(now - before) + " MiB";
      before = now;
    };
    std::vector<float> tempo(TEMPO_SAMPLES, 0.1f);
    const auto tok = ch.run_tok(ch.run_enc(tempo));
    note("enc+tok14");
    auto hist = ch.new_hist();
    ch.run_step(hist, tok.row(0));
    note("step");
    const std::vector<float> xs(16 * chain::DEC_ROW, 0.1f);
    ch.run_dec_each(xs, 16, [](int, std::span<const float* const>) {});
    note("dec16");
    ch.run_dec_each(xs, 5, [](int, std::span<const float* const>) {});
    note("dec8");
  }

  // 3. In process, each first session on a chain of its own.
  std::vector<double> f_wall, f_model, a_wall, a_model;
  long rss_loaded = 0, rss_chain = 0, rss_chunk0 = 0, rss_steady = 0;
  for (int r = 0; r < runs; ++r) {
    auto loaded = bundle::load_bundle(bundle, std::nullopt);
    const int threads = system::default_threads(static_cast<int>(loaded.tfl_paths.size()), 0);
    if (r == 0) rss_loaded = rss_mib();
    chain::LitertChain ch(loaded.tfl_paths, loaded.canon, threads);
    render::Renderer ren(ch);
    if (r == 0) rss_chain = rss_mib();
    const int sessions = r == 0 ? runs + 1 : 1;
    for (int s = 0; s < sessions; ++s) {
      if (s > 0) ren.reset();
      ren.feed(std::span(audio).first(SPC - 1));
      ren.feed(std::span(audio).subspan(SPC - 1));
      const auto recs = ren.ready_chunks();
      const auto t = render::detail::RendererProbe::last_chunk(ren);
      (s == 0 ? f_wall : a_wall).push_back(t.wall * 1e3);
      (s == 0 ? f_model : a_model).push_back(t.model * 1e3);
      if (r == 0 && s == 0) {
        rss_chunk0 = rss_mib();
        ren.feed(speech_like(44000 - SPC + 2 * SPC));
        ren.ready_chunks();
        rss_steady = rss_mib();
        ren.reset();
      }
    }
  }

  std::printf("bundle %s%s, %d runs, LiteRT threads %d\n", bundle.c_str(), heavy ? " (heavy)" : "",
              runs, system::default_threads(1, 0));
  std::printf("through the host (25600th sample -> first frame record read), median:\n");
  std::printf("  first session of a process: %8.1f ms\n", median(first));
  std::printf("  after a reset:              %8.1f ms\n", median(after));
  std::printf("chunk 0 in process, median:         wall    model    host\n");
  std::printf("  first session of a chain:   %8.1f %8.1f %7.1f ms\n", median(f_wall),
              median(f_model), median(f_wall) - median(f_model));
  std::printf("  after a reset:              %8.1f %8.1f %7.1f ms\n", median(a_wall),
              median(a_model), median(a_wall) - median(a_model));
  std::printf(
      "resident memory of the first session: bundle read %ld MiB, chain built %ld MiB, after chunk "
      "0 %ld "
      "MiB, after three more chunks %ld MiB\n",
      rss_loaded, rss_chain, rss_chunk0, rss_steady);
  std::printf("resident growth on each signature's first run: %s\n", growth.c_str());
  return 0;
}
