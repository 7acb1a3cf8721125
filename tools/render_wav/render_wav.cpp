// render_wav: renders a WAV file through a bundle the way a streaming peer
// does: starts the host, streams the audio as records, flushes, and writes
// the frames it gets back as raw RGB888 (one frame after another).

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/constants.hpp"
#include "host/serve.hpp"
#include "system/command_line.hpp"
#include "system/dynamic_library.hpp"
#include "system/files.hpp"
#include "system/std_streams.hpp"
#include "system/subprocess.hpp"
#include "wav_reader.hpp"

namespace {

using namespace kinra2;

constexpr const char* USAGE =
    "usage: render_wav <bundle> <input.wav> <frames.rgb> [--host PATH] [--step SAMPLES] [--threads "
    "N]\n"
    "  Streams a 16 kHz mono WAV through the host and writes its frames as raw RGB888\n"
    "  (416x720, 20 fps) to <frames.rgb>; '-' writes them to standard output.\n"
    "  The WAV file is 16-bit PCM or 32-bit float. Exit status: 0 when every frame\n"
    "  was written, 2 for a bad command line, 3 when the WAV file cannot be read or is\n"
    "  not one the host takes, 1 when the host or the frames' file fails.\n";

// The exit status for a WAV file that cannot be read or is in another format.
constexpr int BAD_INPUT = 3;

[[noreturn]] void die(const std::string& msg, int status = 1) {
  std::fprintf(stderr, "render_wav: %s\n", msg.c_str());
  std::exit(status);
}

// Where the frames go: a file, or standard output in binary mode.
class FrameSink {
 public:
  explicit FrameSink(const std::string& path) {
    if (path == "-") {
      fd_ = kinra2::system::standard_stream(1, true);
      if (fd_ < 0) die("standard output is not open");
    } else {
      file_.open(kinra2::system::fs_path(path), std::ios::binary | std::ios::trunc);
      if (!file_) die("cannot write " + path + ": " + std::strerror(errno));
    }
  }
  bool write(const void* data, std::size_t n) {
    if (fd_ < 0) {
      if (file_.write(static_cast<const char*>(data), static_cast<std::streamsize>(n))) return true;
      error_ = std::error_code(errno, std::generic_category());
      return false;
    }
    auto p = static_cast<const std::byte*>(data);
    while (n > 0) {
      const std::ptrdiff_t w = kinra2::system::write_some(fd_, {p, n}, {}, error_);
      if (w <= 0) return false;
      p += w;
      n -= static_cast<std::size_t>(w);
    }
    return true;
  }

  // Why the last write failed.
  const std::error_code& error() const { return error_; }

 private:
  int fd_ = -1;
  std::ofstream file_;
  std::error_code error_;
};

// The samples of the WAV file at `path`; a file that cannot be read or is not
// one the host takes ends the program with one line saying why.
std::vector<float> read_wav(const std::string& path) {
  std::string bytes;
  {
    std::ifstream in(kinra2::system::fs_path(path), std::ios::binary);
    if (!in) die("cannot read " + path + ": " + std::strerror(errno), BAD_INPUT);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  try {
    return kinra2::wav::decode(bytes);
  } catch (const kinra2::wav::Refused& e) {
    die(path + " " + e.what(), BAD_INPUT);
  }
}

// Frames a flush owes for `fed` samples: chunk 0 gives 22 records, every
// further chunk 32.
std::int64_t frames_owed(std::int64_t fed) {
  const std::int64_t end_fi = (fed + SPF - 1) / SPF - 1;
  const std::int64_t chunks = std::max<std::int64_t>(1, (end_fi + 12 + 31) / 32);
  return 22 + 32 * (chunks - 1);
}

struct Options {
  std::string bundle, wav, frames;  // the three positional arguments
  std::string host, threads;
  long step = 3200;
};

// The command line read into `opt`; an exit status when the program should
// end at once (help: 0, a bad command line: 2).
std::optional<int> read_options(int argc, const char* const* argv, Options& opt) {
  std::vector<std::string> pos;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::fputs(USAGE, stdout);
      return 0;
    } else if (a == "--host" && i + 1 < argc) {
      opt.host = argv[++i];
    } else if (a == "--threads" && i + 1 < argc) {
      opt.threads = argv[++i];
    } else if (a == "--step" && i + 1 < argc) {
      opt.step = std::strtol(argv[++i], nullptr, 10);
      if (opt.step < 1 || opt.step > 16777216) die("--step must be 1 to 16777216 samples");
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
  opt.bundle = pos[0];
  opt.wav = pos[1];
  opt.frames = pos[2];
  if (opt.host.empty())
    opt.host =
        kinra2::system::join_path(kinra2::system::program_dir(), "render_stream_host_litert");
  return std::nullopt;
}

// The audio as steps of `step` samples, then a flush, then the end of input;
// stops early once the host no longer takes it.
void feed_audio(kinra2::system::Subprocess& child, const std::vector<float>& pcm, long step) {
  bool ok = true;
  for (std::size_t at = 0; at < pcm.size() && ok; at += static_cast<std::size_t>(step)) {
    const auto n = static_cast<std::uint32_t>(
        std::min<std::size_t>(static_cast<std::size_t>(step), pcm.size() - at));
    ok = child.write_in(&n, 4) && child.write_in(pcm.data() + at, std::size_t{n} * 4);
  }
  if (ok) child.write_in(&kinra2::host::FLUSH_WORD, 4);
  child.close_in();
}

struct Received {
  bool header = false;  // a READY header came first
  bool marker = false;  // the flush marker came last
  std::int64_t frames = 0;
};

// The header, then frame records into `sink` up to the flush marker, with a
// progress line per tenth of the `owed` frames.
Received receive_frames(kinra2::system::Subprocess& child, FrameSink& sink, std::int64_t owed) {
  Received got;
  std::string header;
  char c;
  while (child.read_out_exact(&c, 1) && c != '\n') header.push_back(c);
  got.header = header.rfind("READY ", 0) == 0;
  int last_tenth = 0;
  std::vector<std::uint8_t> rgb(RGB_FRAME_BYTES);
  while (got.header) {
    std::int32_t idx;
    if (!child.read_out_exact(&idx, 4)) break;
    if (idx < 0) {
      got.marker = true;
      break;
    }
    if (!child.read_out_exact(rgb.data(), rgb.size())) break;
    if (!sink.write(rgb.data(), rgb.size())) die("cannot write frames: " + sink.error().message());
    ++got.frames;
    // Whole lines, one per tenth: the host logs to the same terminal.
    const int tenth = static_cast<int>(10 * got.frames / std::max<std::int64_t>(1, owed));
    if (tenth > last_tenth) {
      last_tenth = tenth;
      std::fprintf(stderr, "render_wav: %lld/%lld frames (%d%%)\n",
                   static_cast<long long>(got.frames), static_cast<long long>(owed),
                   static_cast<int>(100 * got.frames / std::max<std::int64_t>(1, owed)));
    }
  }
  return got;
}

}  // namespace

int main(int raw_argc, char** raw_argv) {
  // UTF-8 arguments on every platform (the wide command line on Windows).
  const kinra2::system::ProgramArguments args(raw_argc, raw_argv);
  Options opt;
  if (const auto status = read_options(args.argc(), args.argv(), opt)) return *status;
  const std::vector<float> pcm = read_wav(opt.wav);
  FrameSink sink(opt.frames);

  std::vector<std::string> host_args = {opt.host, "render-stream", opt.bundle};
  if (!opt.threads.empty()) {
    host_args.push_back("--threads");
    host_args.push_back(opt.threads);
  }
  kinra2::system::SpawnOptions spawn;
  spawn.err = kinra2::system::ChildStream::inherit;  // the host's log goes to our terminal
  std::optional<kinra2::system::Subprocess> child;
  try {
    child.emplace(host_args, spawn);
  } catch (const std::system_error& e) {
    die(e.what());
  }

  // Audio goes out on its own thread so the host never blocks on a full
  // frame pipe while we are still writing.
  std::thread writer([&] { feed_audio(*child, pcm, opt.step); });

  const auto t0 = std::chrono::steady_clock::now();
  const Received got =
      receive_frames(*child, sink, frames_owed(static_cast<std::int64_t>(pcm.size())));
  child->close_out();
  writer.join();
  const int code = child->wait();
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (!got.header)
    die("the host did not answer with a READY header (exit status " + std::to_string(code) + ")");
  if (!got.marker || code != 0)
    die("the host stopped early (exit status " + std::to_string(code) + ")");
  std::fprintf(stderr, "render_wav: %lld frames for %.2f s of audio in %.2f s (%.2fx real time)\n",
               static_cast<long long>(got.frames), static_cast<double>(pcm.size()) / SR, secs,
               secs > 0 ? (static_cast<double>(pcm.size()) / SR) / secs : 0.0);
  return 0;
}
