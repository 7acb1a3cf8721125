// How many real-time streams one machine serves: N hosts on one bundle, each
// fed speech-like audio as fast as it takes it, all started together. For
// each N it prints the aggregate frame rate, every host's real-time factor
// (wall time over audio time, model loading excluded) and its peak
// proportional set size (Pss, so that model pages shared between the hosts
// count once), and the peak of their sum.
//
// usage: bench_capacity [--bundle DIR | --heavy] [--hosts 1,2,4] [--seconds S]
//                       [--threads T] [--image IMAGE [--cpus C]] [--q8gd [--repeat R]]
//   Without --bundle a demo bundle is made (--heavy: the costly decoder).
//   --threads is handed to every host (its LiteRT threads per interpreter);
//   without it the hosts choose their own.
//   --image runs every host in a container of that image (podman run -i, the
//   bundle mounted read-only), each with a CPU quota of C processors, by
//   default the machine's processors divided by the number of hosts, none
//   with --cpus none. podman takes its settings from CONTAINERS_CONF
//   (oci/podman.conf here).
//   --q8gd: the bundle carries the int8 decoder variant (made with --q8gd),
//   and every host count runs R times (default 3) with the variant switched
//   off (KINRA2_Q8GD=off, the float decoder) and as the gate decides, the two
//   alternating; it prints both with their medians and the speed-up. The
//   switch is this process's environment, so --q8gd runs bare hosts only.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench_support.hpp"

namespace {

using k2bench::Records;
using k2bench::speech_like;
using k2bench::write_all;

using Clock = std::chrono::steady_clock;

constexpr std::size_t FRAME_RECORD = 4 + 720 * 416 * 3;
constexpr double FPS = 20.0;

long pss_kb(pid_t pid) {
  return k2bench::proc_kb("/proc/" + std::to_string(pid) + "/smaps_rollup", "Pss:");
}

struct Host {
  pid_t pid = -1;
  int in = -1, out = -1;
  std::atomic<bool> ready{false};
  std::atomic<long long> bytes{0};
  Clock::time_point end;
  long peak_pss = 0;
  long long cpu_start = 0, cpu_ticks = 0;  // user + system time when fed first, last seen
};

// User plus system time of a process in clock ticks; -1 once it is gone.
long long cpu_ticks(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(stat.substr(close + 2));
  std::string field;
  long long utime = 0, stime = 0;
  // Fields 3 to 13 precede utime (14) and stime (15).
  for (int k = 3; k <= 13 && rest >> field; ++k) {
  }
  if (!(rest >> utime >> stime)) return -1;
  return utime + stime;
}

struct Options {
  int threads = 0;
  std::string image;  // empty: bare hosts
  double cpus = 0;    // per container; 0: processors / hosts, below 0: no quota
};

// The process inside container `name` (the host), once it runs.
pid_t container_pid(const std::string& name) {
  const std::string cmd = "podman inspect --format '{{.State.Pid}}' " + name + " 2>/dev/null";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return -1;
  long pid = -1;
  if (std::fscanf(p, "%ld", &pid) != 1) pid = -1;
  ::pclose(p);
  return static_cast<pid_t>(pid);
}

std::string container_name(int k) {
  return "k2-capacity-" + std::to_string(::getpid()) + "-" + std::to_string(k);
}

struct Result {
  double agg_fps = 0, total_peak_mib = 0, cpu_ms_per_frame = 0;
  std::vector<double> rtf, pss_mib;
};

Result run(const std::string& bundle, int n, const std::vector<float>& audio, const Options& opt) {
  std::vector<Host> hosts(static_cast<std::size_t>(n));
  const double cpus = opt.cpus != 0 ? opt.cpus : std::thread::hardware_concurrency() / double(n);
  std::vector<std::string> args;
  if (!opt.image.empty()) {
    char quota[32];
    std::snprintf(quota, sizeof quota, "%.3f", cpus);
    args = {"podman", "run", "--rm", "-i", "--name", "", "-v", bundle + ":/bundle:ro"};
    if (cpus > 0) args.insert(args.end(), {"--cpus", quota});
    args.insert(args.end(), {opt.image, "render-stream", "/bundle"});
  } else {
    args = {std::string(K2_BIN_DIR) + "/render_stream_host_litert", "render-stream", bundle};
  }
  if (opt.threads > 0) args.insert(args.end(), {"--threads", std::to_string(opt.threads)});
  for (std::size_t k = 0; k < hosts.size(); ++k) {
    Host& h = hosts[k];
    if (!opt.image.empty()) args[5] = container_name(static_cast<int>(k));
    int in[2], out[2];
    if (::pipe(in) || ::pipe(out)) std::exit(1);
    h.pid = ::fork();
    if (h.pid == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      const int null = ::open("/dev/null", O_WRONLY);
      if (null >= 0) ::dup2(null, 2);  // the hosts' logs would interleave with the table
      for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    h.in = in[1];
    h.out = out[0];
  }
  std::vector<std::thread> drains;
  for (Host& h : hosts)
    drains.emplace_back([&h] {
      std::vector<char> buf(1 << 20);
      bool header = false;
      ssize_t r;
      while ((r = ::read(h.out, buf.data(), buf.size())) > 0) {
        if (!header) {
          // Frame records count from the header's end.
          auto nl = std::find(buf.data(), buf.data() + r, '\n');
          if (nl == buf.data() + r) continue;
          header = true;
          h.ready = true;
          h.bytes += (buf.data() + r) - (nl + 1);
        } else {
          h.bytes += r;
        }
      }
      h.end = Clock::now();
    });
  for (Host& h : hosts)
    while (!h.ready) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  // Pss is the host's own, not that of the podman client in between.
  std::vector<pid_t> measured;
  for (std::size_t k = 0; k < hosts.size(); ++k)
    measured.push_back(opt.image.empty() ? hosts[k].pid : container_pid(container_name(int(k))));
  for (std::size_t k = 0; k < hosts.size(); ++k)
    hosts[k].cpu_start = hosts[k].cpu_ticks =
        measured[k] > 0 ? std::max(0LL, cpu_ticks(measured[k])) : 0;

  const Clock::time_point t0 = Clock::now();
  std::vector<std::thread> feeds;
  for (Host& h : hosts)
    feeds.emplace_back([&h, &audio] {
      const std::uint32_t step = 3200;
      for (std::size_t at = 0; at + step <= audio.size(); at += step)
        if (const Records r = Records().audio(std::span(audio).subspan(at, step));
            !write_all(h.in, r.bytes.data(), r.bytes.size()))
          break;
      ::close(h.in);
    });
  std::atomic<bool> done{false};
  long total_peak = 0;
  std::thread sampler([&] {
    while (!done) {
      long sum = 0;
      for (std::size_t k = 0; k < hosts.size(); ++k) {
        const long p = measured[k] > 0 ? pss_kb(measured[k]) : 0;
        hosts[k].peak_pss = std::max(hosts[k].peak_pss, p);
        sum += p;
        const long long t = measured[k] > 0 ? cpu_ticks(measured[k]) : -1;
        if (t >= 0) hosts[k].cpu_ticks = t;
      }
      total_peak = std::max(total_peak, sum);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  for (auto& t : feeds) t.join();
  for (auto& t : drains) t.join();
  done = true;
  sampler.join();
  for (Host& h : hosts) {
    int st = 0;
    ::waitpid(h.pid, &st, 0);
    ::close(h.out);
  }

  Result res;
  const double audio_s = static_cast<double>(audio.size()) / 16000.0;
  double last = 0;
  long long frames = 0, ticks = 0;
  for (Host& h : hosts) {
    ticks += h.cpu_ticks - h.cpu_start;
    const double wall = std::chrono::duration<double>(h.end - t0).count();
    last = std::max(last, wall);
    frames += h.bytes / static_cast<long long>(FRAME_RECORD);
    res.rtf.push_back(wall / audio_s);
    res.pss_mib.push_back(static_cast<double>(h.peak_pss) / 1024.0);
  }
  res.agg_fps = static_cast<double>(frames) / last;
  // Sampled, so up to the last 50 ms of each host may be missing.
  res.cpu_ms_per_frame = frames ? 1000.0 * static_cast<double>(ticks) /
                                      static_cast<double>(::sysconf(_SC_CLK_TCK)) /
                                      static_cast<double>(frames)
                                : 0;
  res.total_peak_mib = static_cast<double>(total_peak) / 1024.0;
  return res;
}

std::string load_text() {
  std::ifstream f("/proc/loadavg");
  std::string a, b, c;
  f >> a >> b >> c;
  return a + " " + b + " " + c;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The float decoder (variant switched off) against whatever the gate serves,
// alternating, so that both see the same spread of machine load.
int compare_q8gd(const std::string& bundle, const std::vector<int>& counts,
                 const std::vector<float>& audio, const Options& opt, int repeat) {
  std::printf("%5s %-22s %10s %22s %12s  %s\n", "hosts", "decoder", "agg fps", "rtf per host",
              "Pss sum MiB", "loadavg before");
  for (int n : counts) {
    std::vector<double> fps[2];
    for (int r = 0; r < repeat; ++r)
      for (int k = 0; k < 2; ++k) {
        const int mode = (k + r) % 2;  // 0: KINRA2_Q8GD=off, 1: the gate decides
        if (mode == 0)
          ::setenv("KINRA2_Q8GD", "off", 1);
        else
          ::unsetenv("KINRA2_Q8GD");
        const std::string load = load_text();
        const Result res = run(bundle, n, audio, opt);
        std::string rtf;
        for (std::size_t h = 0; h < res.rtf.size(); ++h) {
          char b[32];
          std::snprintf(b, sizeof b, "%s%.3f", h ? " " : "", res.rtf[h]);
          rtf += b;
        }
        std::printf("%5d %-22s %10.1f %22s %12.0f  %s\n", n,
                    mode ? "int8 (KINRA2_Q8GD auto)" : "float (KINRA2_Q8GD=off)", res.agg_fps,
                    rtf.c_str(), res.total_peak_mib, load.c_str());
        std::fflush(stdout);
        fps[mode].push_back(res.agg_fps);
      }
    ::unsetenv("KINRA2_Q8GD");
    std::printf("%5d median agg fps: float %.1f, int8 %.1f: int8 renders %.2fx as fast\n", n,
                median(fps[0]), median(fps[1]), median(fps[1]) / median(fps[0]));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string bundle;
  bool heavy = false;
  std::vector<int> counts{1, 2, 4};
  double seconds = 60;
  Options opt;
  int repeat = 3;
  bool q8gd = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--heavy")
      heavy = true;
    else if (a == "--q8gd")
      q8gd = true;
    else if (i + 1 < argc && a == "--repeat")
      repeat = std::max(1, std::atoi(argv[++i]));
    else if (i + 1 < argc && a == "--bundle")
      bundle = argv[++i];
    else if (i + 1 < argc && a == "--seconds")
      seconds = std::atof(argv[++i]);
    else if (i + 1 < argc && a == "--threads")
      opt.threads = std::atoi(argv[++i]);
    else if (i + 1 < argc && a == "--image")
      opt.image = argv[++i];
    else if (i + 1 < argc && a == "--cpus") {
      const std::string c = argv[++i];
      opt.cpus = c == "none" ? -1 : std::atof(c.c_str());
    } else if (i + 1 < argc && a == "--hosts") {
      counts.clear();
      for (const char* p = argv[++i]; *p;) {
        counts.push_back(std::max(1, std::atoi(p)));
        while (*p && *p != ',') ++p;
        if (*p) ++p;
      }
    } else {
      std::fprintf(stderr,
                   "usage: bench_capacity [--bundle DIR | --heavy] [--hosts 1,2,4] [--seconds S] "
                   "[--threads T] [--image IMAGE [--cpus C]] [--q8gd [--repeat R]]\n");
      return 2;
    }
  }
  std::optional<k2bench::DemoBundle> demo;
  if (bundle.empty()) {
    demo.emplace("capacity", heavy, q8gd ? "--q8gd" : "");
    if (!demo->ok()) return 1;
    bundle = demo->path();
  }
  std::signal(SIGPIPE, SIG_IGN);
  const auto audio = speech_like(static_cast<std::size_t>(seconds * 16000));
  std::string where;
  if (q8gd && !opt.image.empty()) {
    std::fprintf(stderr, "bench_capacity: --q8gd switches the variant in this process's environment, "
                         "which containers do not see; run it without --image\n");
    return 2;
  }
  if (!opt.image.empty())
    where = ", in containers of " + opt.image + " with --cpus " +
            (opt.cpus > 0   ? std::to_string(opt.cpus)
             : opt.cpus < 0 ? std::string("none")
                            : std::string("cores/hosts"));
  std::printf("bundle %s%s, %.0f s of audio per host, LiteRT threads per host: %s, %u cores%s\n",
              bundle.c_str(), heavy ? " (heavy)" : "", seconds,
              opt.threads > 0 ? std::to_string(opt.threads).c_str() : "host default",
              std::thread::hardware_concurrency(), where.c_str());
  if (q8gd) return compare_q8gd(bundle, counts, audio, opt, repeat);
  std::printf("%5s %10s %22s %24s %12s %13s %16s  %s\n", "hosts", "agg fps", "rtf per host",
              "Pss per host MiB", "Pss sum MiB", "CPU ms/frame", "real-time streams",
              "loadavg before");
  for (int n : counts) {
    const std::string load = load_text();
    const Result r = run(bundle, n, audio, opt);
    std::string rtf, pss;
    double worst = 0;
    for (std::size_t k = 0; k < r.rtf.size(); ++k) {
      char b[32];
      std::snprintf(b, sizeof b, "%s%.3f", k ? " " : "", r.rtf[k]);
      rtf += b;
      std::snprintf(b, sizeof b, "%s%.0f", k ? " " : "", r.pss_mib[k]);
      pss += b;
      worst = std::max(worst, r.rtf[k]);
    }
    // The machine's frame throughput in units of one real-time stream.
    std::printf("%5d %10.1f %22s %24s %12.0f %13.1f %16.1f  %s%s\n", n, r.agg_fps, rtf.c_str(),
                pss.c_str(), r.total_peak_mib, r.cpu_ms_per_frame, r.agg_fps / FPS, load.c_str(),
                worst > 1.0 ? "  (some host slower than real time)" : "");
    std::fflush(stdout);
  }
  return 0;
}
