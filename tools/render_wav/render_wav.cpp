// render_wav: renders a WAV file through a bundle the way a streaming peer
// does: starts the host, streams the audio as records, flushes, and writes
// the frames it gets back as raw RGB888 (one frame after another).

#include <sndfile.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "base/constants.hpp"

namespace {

using namespace kinra2;

constexpr const char* USAGE =
    "usage: render_wav <bundle> <input.wav> <frames.rgb> [--host PATH] [--step SAMPLES] [--threads "
    "N]\n"
    "  Streams a 16 kHz mono WAV through the host and writes its frames as raw RGB888\n"
    "  (416x720, 20 fps) to <frames.rgb>; '-' writes them to standard output.\n";

[[noreturn]] void die(const std::string& msg) {
  std::fprintf(stderr, "render_wav: %s\n", msg.c_str());
  std::exit(1);
}

bool write_all(int fd, const void* data, std::size_t n) {
  auto p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

bool read_all(int fd, void* data, std::size_t n) {
  auto p = static_cast<char*>(data);
  while (n > 0) {
    ssize_t r = ::read(fd, p, n);
    if (r == 0) return false;
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

std::vector<float> read_wav(const std::string& path) {
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) die("cannot read " + path + ": " + sf_strerror(nullptr));
  if (info.samplerate != SR || info.channels != 1) {
    sf_close(f);
    die(path + " is " + std::to_string(info.samplerate) + " Hz with " +
        std::to_string(info.channels) +
        " channel(s); the host takes 16000 Hz mono (convert with: ffmpeg -i IN -ac 1 -ar 16000 "
        "OUT.wav)");
  }
  std::vector<float> pcm(static_cast<std::size_t>(info.frames));
  sf_count_t got = sf_readf_float(f, pcm.data(), info.frames);
  sf_close(f);
  pcm.resize(static_cast<std::size_t>(std::max<sf_count_t>(0, got)));
  return pcm;
}

// Frames a flush owes for `fed` samples: chunk 0 gives 22 records, every
// further chunk 32.
std::int64_t frames_owed(std::int64_t fed) {
  const std::int64_t end_fi = (fed + SPF - 1) / SPF - 1;
  const std::int64_t chunks = std::max<std::int64_t>(1, (end_fi + 12 + 31) / 32);
  return 22 + 32 * (chunks - 1);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> pos;
  std::string host, threads;
  long step = 3200;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::fputs(USAGE, stdout);
      return 0;
    } else if (a == "--host" && i + 1 < argc) {
      host = argv[++i];
    } else if (a == "--threads" && i + 1 < argc) {
      threads = argv[++i];
    } else if (a == "--step" && i + 1 < argc) {
      step = std::strtol(argv[++i], nullptr, 10);
      if (step < 1 || step > 16777216) die("--step must be 1 to 16777216 samples");
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      std::fputs(USAGE, stderr);
      return 2;
    } else {
      pos.push_back(a);
    }
  }
  if (pos.size() != 3) {
    std::fputs(USAGE, stderr);
    return 2;
  }
  if (host.empty()) {
    std::error_code ec;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    host = (ec ? std::filesystem::path(".") : self.parent_path()) / "render_stream_host_litert";
  }
  const std::vector<float> pcm = read_wav(pos[1]);

  int out_fd = STDOUT_FILENO;
  if (pos[2] != "-") {
    out_fd = ::open(pos[2].c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out_fd < 0) die("cannot write " + pos[2] + ": " + std::strerror(errno));
  }

  int to_host[2], from_host[2];
  if (::pipe(to_host) != 0 || ::pipe(from_host) != 0) die("pipe failed");
  pid_t pid = ::fork();
  if (pid < 0) die("fork failed");
  if (pid == 0) {
    ::dup2(to_host[0], STDIN_FILENO);
    ::dup2(from_host[1], STDOUT_FILENO);
    ::close(to_host[0]);
    ::close(to_host[1]);
    ::close(from_host[0]);
    ::close(from_host[1]);
    std::vector<const char*> args = {host.c_str(), "render-stream", pos[0].c_str()};
    if (!threads.empty()) {
      args.push_back("--threads");
      args.push_back(threads.c_str());
    }
    args.push_back(nullptr);
    ::execv(host.c_str(), const_cast<char* const*>(args.data()));
    std::fprintf(stderr, "render_wav: cannot start %s: %s\n", host.c_str(), std::strerror(errno));
    ::_exit(127);
  }
  ::close(to_host[0]);
  ::close(from_host[1]);
  std::signal(SIGPIPE, SIG_IGN);

  // Audio goes out on its own thread so the host never blocks on a full
  // frame pipe while we are still writing.
  std::atomic<bool> writer_ok{true};
  std::thread writer([&] {
    for (std::size_t at = 0; at < pcm.size() && writer_ok; at += static_cast<std::size_t>(step)) {
      const auto n = static_cast<std::uint32_t>(
          std::min<std::size_t>(static_cast<std::size_t>(step), pcm.size() - at));
      if (!write_all(to_host[1], &n, 4) ||
          !write_all(to_host[1], pcm.data() + at, std::size_t{n} * 4)) {
        writer_ok = false;
      }
    }
    const std::uint32_t flush = 0xFFFFFFFFu;
    if (writer_ok && !write_all(to_host[1], &flush, 4)) writer_ok = false;
    ::close(to_host[1]);
  });

  const auto t0 = std::chrono::steady_clock::now();
  const std::int64_t owed = frames_owed(static_cast<std::int64_t>(pcm.size()));
  std::string header;
  char c;
  while (read_all(from_host[0], &c, 1) && c != '\n') header.push_back(c);
  bool ok = header.rfind("READY ", 0) == 0;
  std::int64_t frames = 0;
  int last_tenth = 0;
  bool marker = false;
  std::vector<std::uint8_t> rgb(RGB_FRAME_BYTES);
  while (ok) {
    std::int32_t idx;
    if (!read_all(from_host[0], &idx, 4)) break;
    if (idx < 0) {
      marker = true;
      break;
    }
    if (!read_all(from_host[0], rgb.data(), rgb.size())) break;
    if (!write_all(out_fd, rgb.data(), rgb.size()))
      die("cannot write frames: " + std::string(std::strerror(errno)));
    ++frames;
    // Whole lines, one per tenth: the host logs to the same terminal.
    const int tenth = static_cast<int>(10 * frames / std::max<std::int64_t>(1, owed));
    if (tenth > last_tenth) {
      last_tenth = tenth;
      std::fprintf(stderr, "render_wav: %lld/%lld frames (%d%%)\n", static_cast<long long>(frames),
                   static_cast<long long>(owed),
                   static_cast<int>(100 * frames / std::max<std::int64_t>(1, owed)));
    }
  }
  ::close(from_host[0]);
  writer.join();
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (out_fd != STDOUT_FILENO) ::close(out_fd);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (!ok)
    die("the host did not answer with a READY header (exit status " + std::to_string(code) + ")");
  if (!marker || code != 0)
    die("the host stopped early (exit status " + std::to_string(code) + ")");
  std::fprintf(stderr, "render_wav: %lld frames for %.2f s of audio in %.2f s (%.2fx real time)\n",
               static_cast<long long>(frames), static_cast<double>(pcm.size()) / SR, secs,
               secs > 0 ? (static_cast<double>(pcm.size()) / SR) / secs : 0.0);
  return 0;
}
