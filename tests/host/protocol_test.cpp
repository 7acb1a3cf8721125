// The record protocol driven through real file descriptors against a
// scripted renderer.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <random>
#include <sys/stat.h>
#else
#include <unistd.h>
#endif

#include "host/serve.hpp"
#include "support/records.hpp"

namespace {

using namespace kinra2;
using render::FrameBatch;

// Emits one frame per 100 fed samples; a flush emits one more frame for any
// remainder. Frame k is filled with the byte k.
class ScriptedRenderer : public render::FrameSource {
 public:
  const image::ColorCorrect* cc() const override { return nullptr; }
  void feed(std::span<const float> pcm) override {
    ++feeds;
    fed.insert(fed.end(), pcm.begin(), pcm.end());
  }
  FrameBatch next_ready_chunk() override {
    FrameBatch b;
    if (!silent && fed.size() >= (done + 1) * 100) add(b), ++done;
    return b;
  }
  FrameBatch flush_chunks() override {
    FrameBatch b = ready_chunks();
    if (fed.size() > done * 100) add(b), done = (fed.size() + 99) / 100;
    return b;
  }
  void reset() override {
    ++resets;
    fed.clear();
    done = 0;
    next = 3;
  }
  std::optional<double> rtf() const override { return rtf_value; }
  std::int64_t chunks_rendered() const override { return 5; }
  double render_seconds() const override { return 2.0; }
  std::optional<double> rtf_value;

  std::vector<float> fed;
  bool silent = false;  // renders nothing, for huge inputs
  std::size_t done = 0;
  int feeds = 0, resets = 0;
  std::int32_t next = 3;

 private:
  void add(FrameBatch& b) {
    auto px = std::make_shared<std::vector<std::uint8_t>>(RGB_FRAME_BYTES,
                                                          static_cast<std::uint8_t>(next));
    b.owners.push_back(px);
    b.records.push_back({next++, std::span<const std::uint8_t>(*px)});
  }
};

using k2test::Records;

struct Result {
  int status;
  std::string out;
  std::string log;
};

std::string slurp(int fd) {
  std::string s;
  ::lseek(fd, 0, SEEK_SET);
  char buf[1 << 16];
  ssize_t r;
  while ((r = ::read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<std::size_t>(r));
  return s;
}

// An anonymous file for reading and writing bytes, gone once closed.
int temp_fd() {
#ifdef _WIN32
  const auto name =
      std::filesystem::temp_directory_path() / ("k2proto" + std::to_string(std::random_device()()));
  return ::_wopen(name.c_str(), _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY | _O_TEMPORARY,
                  _S_IREAD | _S_IWRITE);
#else
  char name[] = "/tmp/k2protoXXXXXX";
  int fd = ::mkstemp(name);
  ::unlink(name);
  return fd;
#endif
}

// A pipe whose ends pass bytes untranslated.
int make_pipe(int fds[2]) {
#ifdef _WIN32
  return ::_pipe(fds, 1 << 16, _O_BINARY);
#else
  return ::pipe(fds);
#endif
}

Result run(render::FrameSource& r, const std::string& input,
           double (*clock)() = base::monotonic_seconds) {
  int in_fd = temp_fd(), out_fd = temp_fd();
  EXPECT_EQ(::write(in_fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  ::lseek(in_fd, 0, SEEK_SET);
  host::InStream in(in_fd);
  host::OutStream out(out_fd);
  ::testing::internal::CaptureStderr();
  int status = host::detail::serve(r, "demo.tflite", in, out, clock);
  std::string log = ::testing::internal::GetCapturedStderr();
  Result res{status, slurp(out_fd), log};
  ::close(in_fd);
  ::close(out_fd);
  return res;
}

const std::string HEADER =
    "READY "
    "{\"fps\":20,\"width\":416,\"height\":720,\"sample_rate\":16000,\"credit\":1,\"color\":null}\n";

// Splits the output after the header into (index, first pixel byte) pairs.
std::vector<std::pair<std::int32_t, int>> records(const std::string& out) {
  std::vector<std::pair<std::int32_t, int>> recs;
  std::size_t at = HEADER.size();
  while (at + 4 <= out.size()) {
    std::int32_t idx;
    std::memcpy(&idx, out.data() + at, 4);
    at += 4;
    if (idx < 0) {
      recs.emplace_back(idx, -1);
      continue;
    }
    EXPECT_LE(at + RGB_FRAME_BYTES, out.size());
    recs.emplace_back(idx, static_cast<unsigned char>(out[at]));
    at += RGB_FRAME_BYTES;
  }
  EXPECT_EQ(at, out.size());
  return recs;
}

TEST(Protocol, EndOfInputRightAfterHeader) {
  ScriptedRenderer r;
  auto res = run(r, "");
  EXPECT_EQ(res.status, 0);
  EXPECT_EQ(res.out, HEADER);
  EXPECT_EQ(res.log,
            "[render-stream-host-litert] ready 416x720 @20fps  model=demo.tflite\n"
            "[render-stream-host-litert] stdin closed — exiting\n");
}

TEST(Protocol, AudioFlushResetAndMarkers) {
  ScriptedRenderer r;
  std::vector<float> a(250);
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = static_cast<float>(i) * 0.5f - 3.25f;
  Records s;
  s.audio(a)                   // two frames now
      .word(0)                 // an empty step changes nothing
      .word(host::FLUSH_WORD)  // the remainder, then -1
      .word(host::FLUSH_WORD)  // only -1
      .word(host::CREDIT_WORD)
      .word(77)  // read and ignored
      .word(host::RESET_WORD)
      .audio(std::vector<float>(100, 0.f));
  auto res = run(r, s.bytes);
  EXPECT_EQ(res.status, 0);
  ASSERT_EQ(res.out.substr(0, HEADER.size()), HEADER);
  using P = std::pair<std::int32_t, int>;
  EXPECT_EQ(records(res.out), (std::vector<P>{{3, 3}, {4, 4}, {5, 5}, {-1, -1}, {-1, -1}, {3, 3}}));
  EXPECT_EQ(r.resets, 1);
  EXPECT_EQ(r.feeds, 3);
  ASSERT_EQ(r.fed.size(), 100u);
}

TEST(Protocol, SamplesArriveBitExact) {
  ScriptedRenderer r;
  std::vector<float> a = {0.f, -0.f, 1.f, -1.f, 1e-38f, 3.4e38f, 0.123456789f};
  auto res = run(r, Records().audio(a).bytes);
  ASSERT_EQ(r.fed.size(), a.size());
  EXPECT_EQ(std::memcmp(r.fed.data(), a.data(), a.size() * 4), 0);
}

TEST(Protocol, TruncatedRecordsEndQuietly) {
  // A step cut short renders nothing, also when it is larger than the pieces
  // it is read in (the renderer owes a frame per 100 samples).
  for (auto [announced, sent] : std::vector<std::pair<std::uint32_t, std::size_t>>{
           {100, 50}, {65537, 65536}, {200000, 199999}}) {
    ScriptedRenderer r;
    Records s;
    s.word(announced);
    s.bytes.append(std::string(sent * 4, '\0'));
    auto res = run(r, s.bytes);
    EXPECT_EQ(res.status, 0);
    EXPECT_EQ(res.out, HEADER) << announced;
  }
  {
    ScriptedRenderer r;
    auto res = run(r, Records().word(host::CREDIT_WORD).bytes + "ab");
    EXPECT_EQ(res.status, 0);
    EXPECT_NE(res.log.find("stdin closed — exiting"), std::string::npos);
  }
  {
    ScriptedRenderer r;
    auto res = run(r, "\x01\x02");  // half a control word
    EXPECT_EQ(res.status, 0);
    EXPECT_EQ(res.out, HEADER);
  }
}

TEST(Protocol, StepSizeBound) {
  {
    ScriptedRenderer r;
    r.silent = true;
    Records s;
    s.word(host::MAX_STEP);
    s.bytes.append(std::size_t{host::MAX_STEP} * 4, '\0');
    auto res = run(r, s.bytes);
    EXPECT_EQ(res.status, 0);
    EXPECT_EQ(r.fed.size(), std::size_t{host::MAX_STEP});
  }
  for (std::uint32_t bad : {host::MAX_STEP + 1, 0xFFFFFFFCu, 0x80000000u}) {
    ScriptedRenderer r;
    auto res = run(r, Records().word(bad).word(host::FLUSH_WORD).bytes);
    EXPECT_EQ(res.status, 1);
    EXPECT_EQ(res.out, HEADER) << "nothing is read or written after a desync";
    EXPECT_NE(res.log.find("[render-stream-host-litert] bad step size " + std::to_string(bad) +
                           " — protocol desync\n"),
              std::string::npos);
    EXPECT_EQ(res.log.find("stdin closed"), std::string::npos);
  }
}

// A clock that advances 3 s per reading.
double fake_now = 0;
double fake_clock() {
  return fake_now += 3.0;
}

TEST(Protocol, ThroughputLogEveryFiveSecondsOfAudioSteps) {
  ScriptedRenderer r;
  r.silent = true;
  fake_now = 0;
  Records s;
  s.audio({}).audio({});
  auto res = run(r, s.bytes, fake_clock);
  EXPECT_EQ(res.log.find("rtf="), std::string::npos) << "no figure before the first chunk";

  // Clock readings: start 3, then one per audio step: 6, 9 (logged), 12,
  // 15 (logged), 18, 21 (logged).
  r.rtf_value = 0.25;
  fake_now = 0;
  s = Records();
  for (int i = 0; i < 6; ++i) s.audio({});
  s.word(host::FLUSH_WORD).word(host::RESET_WORD);  // control records never log
  res = run(r, s.bytes, fake_clock);
  const std::string line = "[render-stream-host-litert] rtf=0.250 chunks=5 fps=80.0\n";
  int lines = 0;
  for (auto at = res.log.find(line); at != std::string::npos; at = res.log.find(line, at + 1))
    ++lines;
  EXPECT_EQ(lines, 3) << res.log;
}

TEST(Protocol, ClosedPeerIsAWriteError) {
#ifndef _WIN32
  std::signal(SIGPIPE, SIG_IGN);
#endif
  int fds[2];
  ASSERT_EQ(make_pipe(fds), 0);
  ::close(fds[0]);
  host::OutStream out(fds[1]);
  std::vector<std::uint8_t> px(RGB_FRAME_BYTES, 1);
  EXPECT_THROW(
      {
        host::write_frame(out, 3, px);
        out.flush();
      },
      std::system_error);
  ::close(fds[1]);
}

TEST(Protocol, LargeFramesAndSmallWritesInterleaveInOrder) {
  int fd = temp_fd();
  {
    host::OutStream out(fd);
    std::vector<std::uint8_t> a(RGB_FRAME_BYTES, 0xAA), b(10, 0xBB);
    host::write_frame(out, 7, a);
    host::write_frame(out, 8, b);
    host::write_frame(out, 9, a);
    out.flush();
  }
  std::string s = slurp(fd);
  ::close(fd);
  ASSERT_EQ(s.size(), 3 * 4 + 2 * RGB_FRAME_BYTES + 10);
  std::int32_t idx;
  std::memcpy(&idx, s.data() + 4 + RGB_FRAME_BYTES, 4);
  EXPECT_EQ(idx, 8);
  EXPECT_EQ(static_cast<unsigned char>(s[8 + RGB_FRAME_BYTES]), 0xBB);
  std::memcpy(&idx, s.data() + 8 + RGB_FRAME_BYTES + 10, 4);
  EXPECT_EQ(idx, 9);
  EXPECT_EQ(static_cast<unsigned char>(s.back()), 0xAA);
}

}  // namespace
