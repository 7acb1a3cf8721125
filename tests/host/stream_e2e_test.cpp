// The whole host, real models and all, answering audio as a peer sees it.
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>

#include "bundle/load_bundle.hpp"
#include "chain/litert_chain.hpp"
#include "host_process.hpp"
#include "render/renderer.hpp"
#include "support/temp_dir.hpp"
#include "system/cpu_budget.hpp"

namespace {

using namespace k2test;

// True when every line of `log` is a host log line.
bool all_log_lines(const std::string& log) {
  std::size_t at = 0;
  for (std::size_t nl; (nl = log.find('\n', at)) != std::string::npos; at = nl + 1)
    if (log.compare(at, 27, "[render-stream-host-litert]") != 0) return false;
  return at == log.size();
}

class StreamE2E : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(demo_bundle().empty()) << "make_demo_bundle failed"; }

  static std::vector<std::int32_t> indices(const HostRun& r) {
    std::vector<std::int32_t> v;
    for (const auto& f : r.records) v.push_back(f.index);
    return v;
  }
  static std::vector<std::int32_t> range(std::int32_t lo, std::int32_t hi) {
    std::vector<std::int32_t> v;
    for (auto i = lo; i <= hi; ++i) v.push_back(i);
    return v;
  }
};

TEST_F(StreamE2E, FirstChunkNeedsExactly25600Samples) {
  auto a = speech_like(25600);
  Records in;
  in.audio({a.begin(), a.begin() + 25599});
  in.word(0xFFFFFFFDu).word(5);  // a credit between the two steps changes nothing
  in.audio({a.begin() + 25599, a.end()});
  auto r = run_host(demo_bundle(), in.bytes);
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_EQ(r.header,
            "READY "
            "{\"fps\":20,\"width\":416,\"height\":720,\"sample_rate\":16000,\"credit\":1,\"color\":"
            "null}\n");
  ASSERT_EQ(indices(r), range(3, 24));
  EXPECT_EQ(r.records[0].bytes, r.records[1].bytes) << "a session's first frame is sent twice";
  EXPECT_NE(r.log.find("model=combined_litert.tflite"), std::string::npos);
  EXPECT_NE(r.log.find("stdin closed — exiting"), std::string::npos);
}

TEST_F(StreamE2E, OneBigStepRendersTwoChunksAndFlushRules) {
  auto r = run_host(demo_bundle(), Records().audio(speech_like(44000)).bytes);
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_EQ(indices(r), range(3, 56));

  // Flush owes chunk 1 only once the audio reaches past 16800 samples.
  auto f1 = run_host(demo_bundle(), Records().audio(speech_like(16800)).flush().bytes);
  auto want = range(3, 24);
  want.push_back(-1);
  EXPECT_EQ(indices(f1), want);
  auto f2 = run_host(demo_bundle(), Records().audio(speech_like(16801)).flush().flush().bytes);
  want = range(3, 56);
  want.push_back(-1);
  want.push_back(-1);
  EXPECT_EQ(indices(f2), want);
}

TEST_F(StreamE2E, FlushFromSilenceAndResetRestartsNumbering) {
  Records in;
  in.audio(speech_like(30000)).reset().flush().audio(speech_like(25600, 7));
  auto r = run_host(demo_bundle(), in.bytes);
  EXPECT_EQ(r.status, 0) << r.log;
  auto want = range(3, 24);                       // chunk 0 of the first session
  for (auto i : range(3, 24)) want.push_back(i);  // chunk 0 from silence after the reset
  want.push_back(-1);
  // The next 25600 samples continue the flushed session: chunk 1 needs 44000.
  EXPECT_EQ(indices(r), want);
}

TEST_F(StreamE2E, FrameCountFollowsTheAudioWithoutDrift) {
  // 20 s of audio fed in odd-sized steps, then a flush: every frame owed, in order.
  const std::size_t total = 20 * 16000 + 123;
  auto a = speech_like(total, 3);
  Records in;
  for (std::size_t at = 0, step = 777; at < total; at += step, step = step * 7 % 5000 + 1) {
    in.audio({a.begin() + static_cast<long>(at),
              a.begin() + static_cast<long>(std::min(total, at + step))});
  }
  in.flush();
  auto r = run_host(demo_bundle(), in.bytes);
  EXPECT_EQ(r.status, 0) << r.log;
  const std::int64_t end_fi = (static_cast<std::int64_t>(total) + 799) / 800 - 1;
  const std::int64_t chunks = std::max<std::int64_t>(1, (end_fi + 43) / 32);
  auto want = range(3, static_cast<std::int32_t>(3 + 22 + 32 * (chunks - 1) - 1));
  want.push_back(-1);
  EXPECT_EQ(indices(r), want);
  // Without drift the last frame of the stream still lies within the audio.
  EXPECT_GE(static_cast<std::int64_t>(total) + 1400 * 16, (chunks - 1) * 25600);
}

TEST_F(StreamE2E, OutputIsIdenticalForAnyRgbThreadCount) {
  const auto in = Records().audio(speech_like(70000, 11)).flush().bytes;
  auto one = run_host(demo_bundle(), in, {"KINRA2_RGB_THREADS=1"});
  // A limit of one second per invocation, which no invocation of the demo
  // comes near, must not end a run that lasts longer as a whole.
  auto four = run_host(demo_bundle(), in, {"KINRA2_RGB_THREADS=4", "KINRA2_INVOKE_TIMEOUT=1"});
  ASSERT_EQ(one.status, 0) << one.log;
  ASSERT_EQ(four.status, 0) << four.log;
  ASSERT_EQ(one.records.size(), four.records.size());
  for (std::size_t i = 0; i < one.records.size(); ++i) {
    EXPECT_EQ(one.records[i].index, four.records[i].index);
    EXPECT_TRUE(one.records[i].bytes == four.records[i].bytes) << "record " << i;
  }
  // Frames follow the audio: silence renders other pictures than speech-like sound.
  auto quiet =
      run_host(demo_bundle(), Records().audio(std::vector<float>(70000, 0.f)).flush().bytes);
  ASSERT_EQ(quiet.records.size(), one.records.size());
  std::size_t differ = 0;
  for (std::size_t i = 0; i < one.records.size(); ++i)
    differ += quiet.records[i].bytes != one.records[i].bytes;
  EXPECT_GT(differ, one.records.size() / 2);
}

// On a first-generation Zen core the runtime's XNNPACK damages the heap for
// the demo encoder's fully-connected layers; the host must step around it and
// still render the very same frames. The core is faked through CPUID where the
// processor allows it, under glibc's malloc checker.
TEST_F(StreamE2E, AFirstGenerationZenCoreRendersTheSameFrames) {
#if defined(K2_SANITIZE)
  GTEST_SKIP() << "the sanitizer runtime must be the first preloaded library";
#elif defined(_WIN32)
  GTEST_SKIP() << "the processor is faked by a preloaded library (LD_PRELOAD), a Linux facility";
#elif !defined(__x86_64__)
  GTEST_SKIP() << "CPUID is an x86 instruction: there is no processor to fake here";
#else
  const auto in = Records().audio(speech_like(30000, 5)).flush().bytes;
  std::string preload = std::string("LD_PRELOAD=") + K2_FAKE_CPUID_LIB;
  if (std::string(K2_MALLOC_DEBUG_LIB).size()) preload += std::string(":") + K2_MALLOC_DEBUG_LIB;
  auto zen = run_host(demo_bundle(), in,
                      {preload, "MALLOC_CHECK_=3", "K2_FAKE_CPUID=AuthenticAMD:0x17:0x01"});
  if (zen.status == 77) GTEST_SKIP() << "CPUID faulting is not available here";
  auto here = run_host(demo_bundle(), in);
  ASSERT_EQ(zen.status, 0) << zen.log;
  ASSERT_EQ(here.status, 0) << here.log;
  for (const char* sig : {"'enc'", "'tok14'"})
    EXPECT_NE(zen.log.find(std::string("LiteRT: signature ") + sig), std::string::npos) << zen.log;
  EXPECT_NE(zen.log.find("runs on built-in kernels: FULLY_CONNECTED"), std::string::npos);
  ASSERT_EQ(zen.records.size(), here.records.size());
  for (std::size_t i = 0; i < here.records.size(); ++i)
    EXPECT_TRUE(zen.records[i].bytes == here.records[i].bytes) << "record " << i;
  EXPECT_TRUE(all_log_lines(zen.log)) << zen.log;
#endif
}

// Whatever the runtime prints on its own standard error (on Windows through
// its own C runtime) arrives as host log lines, or not at all.
TEST_F(StreamE2E, RuntimeMessagesArriveAsHostLogLines) {
  auto r = run_host(demo_bundle(), Records().audio(speech_like(25600)).bytes);
  ASSERT_EQ(r.status, 0) << r.log;
  // The runtime announces its XNNPACK delegate on standard error; caught, it
  // is dropped, and missed it would stand here as a line of its own.
  EXPECT_TRUE(all_log_lines(r.log)) << r.log;
}

// Bytes that a text-mode stream would translate or stop at (1A ends input,
// 0D 0A becomes 0A on the way in, 0A becomes 0D 0A on the way out) pass
// through unchanged in both directions.
TEST_F(StreamE2E, StreamsAreBinaryBothWays) {
  std::uint32_t bits = 0x3C0D1A0Au;  // a quiet sample whose bytes are 0A 1A 0D 3C
  float sample;
  std::memcpy(&sample, &bits, 4);
  auto r =
      run_host(demo_bundle(), Records().audio(std::vector<float>(16800, sample)).flush().bytes);
  ASSERT_EQ(r.status, 0) << r.log;
  auto want = range(3, 24);
  want.push_back(-1);
  EXPECT_EQ(indices(r), want) << "every record whole, the marker last";
  EXPECT_EQ(r.header.find('\r'), std::string::npos);
}

std::string utf8(const std::filesystem::path& p) {
  const std::u8string u = p.u8string();
  return std::string(u.begin(), u.end());
}

// A bundle path with characters outside ASCII reaches the host intact, as a
// directory and as a container whose members are staged.
TEST_F(StreamE2E, NonAsciiBundlePathsWork) {
  namespace fs = std::filesystem;
  TempDir t("k2_utf8");
  const fs::path dir = t.path() / fs::path(u8"bündel-日本");
  const fs::path imx = t.path() / fs::path(u8"ständchen-☃.imx");
  fs::copy(demo_bundle(), dir);
  // The packing tool takes such paths too.
  const auto packed = run({bin("imx_from_bundle"), utf8(dir), utf8(imx)});
  ASSERT_EQ(packed.first, 0) << packed.second;
  const auto in = Records().audio(speech_like(25600, 9)).bytes;
  const auto plain = run_host(demo_bundle(), in);
  for (const fs::path& b : {dir, imx}) {
    const auto r = run_host(utf8(b), in);
    EXPECT_EQ(r.status, 0) << r.log;
    EXPECT_NE(r.log.find("warming up identity=" + utf8(b) + " threads="), std::string::npos)
        << r.log;
    ASSERT_EQ(r.records.size(), plain.records.size());
    for (std::size_t i = 0; i < r.records.size(); ++i)
      EXPECT_TRUE(r.records[i].bytes == plain.records[i].bytes) << "record " << i;
  }
}

TEST_F(StreamE2E, DesyncAndClosedPeer) {
  auto r = run_host(demo_bundle(), Records().audio(speech_like(100)).word(16777217).bytes);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.log.find("bad step size 16777217 — protocol desync"), std::string::npos);

  // A peer that stops reading: the failed write ends the host with status 1
  // and a log line, not with SIGPIPE.
  HostRun closed = run_host(demo_bundle(), Records().audio(speech_like(25600)).bytes, {},
                            /*close_after_header=*/true);
  EXPECT_EQ(closed.status, 1) << closed.log;
  EXPECT_NE(closed.log.find("write to standard output"), std::string::npos) << closed.log;
}

}  // namespace

namespace {

TEST(StreamE2ESplit, TwoArtifactBundleRendersTheSameFramesAndSplitsThreads) {
  const AdoptedDir dir{make_bundle("split", {"--split"})};
  const std::string& split = dir.path;
  ASSERT_FALSE(split.empty());
  ASSERT_FALSE(demo_bundle().empty());
  const auto in = Records().audio(speech_like(25600, 5)).bytes;
  // As many threads as processors is more than half of them: the split must lower it.
  const std::string req = std::to_string(std::max(2, kinra2::system::effective_cpu_count()));
  auto r = run_host(split, in, {}, false, {"--threads", req});
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_NE(r.log.find("2-interpreter split: threads " + req + " -> "), std::string::npos) << r.log;
  EXPECT_NE(r.log.find(" (<= cores/2)"), std::string::npos);
  EXPECT_NE(r.log.find("model=shared-enc.tflite+identity.tflite"), std::string::npos);
  auto one = run_host(demo_bundle(), in, {}, false, {"--threads", req});
  EXPECT_EQ(one.log.find("2-interpreter split"), std::string::npos)
      << "one model file never splits";
  ASSERT_EQ(r.records.size(), 22u);
  ASSERT_EQ(one.records.size(), 22u);
  for (std::size_t i = 0; i < r.records.size(); ++i)
    EXPECT_TRUE(r.records[i].bytes == one.records[i].bytes);
}

TEST(StreamE2ESplit, ColourCorrectedBundleAnnouncesItsDescriptor) {
  const AdoptedDir dir{make_bundle("color", {"--color"})};
  const std::string& bundle = dir.path;
  ASSERT_FALSE(bundle.empty());
  auto r = run_host(bundle, "");
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_EQ(r.header.rfind("READY "
                           "{\"fps\":20,\"width\":416,\"height\":720,\"sample_rate\":16000,"
                           "\"credit\":1,\"color\":{\"kind\":\"",
                           0),
            0u)
      << r.header;
  EXPECT_NE(r.header.find("\"sha256\":\""), std::string::npos);
  auto off = run_host(bundle, "", {"KINRA2_COLOR_CORRECT=0"});
  EXPECT_NE(off.header.find("\"color\":null}"), std::string::npos) << off.header;
}

}  // namespace

namespace {

// A bundle with the int8 decoder variant: the host serves what the gate
// chooses (the variant on a processor with an int8 dot product), and its
// frames are byte for byte those of that model file rendered in process
// through the runtime layer and the renderer alone.
TEST(StreamE2EQ8gd, ServedModelRendersAsThroughTheRuntimeLayerAlone) {
  const AdoptedDir dir{make_bundle("q8gd", {"--q8gd"})};
  ASSERT_FALSE(dir.path.empty());
  const auto audio = speech_like(25600 + 32000, 9);
  auto host =
      run_host(dir.path, Records().audio(audio).flush().bytes, {}, false, {"--threads", "1"});
  ASSERT_EQ(host.status, 0) << host.log;

  auto loaded = kinra2::bundle::load_bundle(dir.path, std::nullopt);
  ASSERT_EQ(loaded.tfl_paths.size(), 1u);
  const std::string served = std::filesystem::path(loaded.tfl_paths[0]).filename().string();
  EXPECT_NE(host.log.find("model=" + served), std::string::npos) << host.log;
  if (host.log.find("[q8gd] SELECTED") != std::string::npos) {
    EXPECT_EQ(served, "combined_litert_q8gd.tflite");
  }
  kinra2::chain::LitertChain chain(loaded.tfl_paths, loaded.canon, 1);
  kinra2::render::Renderer renderer(chain);
  renderer.feed(audio);
  auto mine = renderer.ready_chunks();
  mine.append(renderer.flush_chunks());

  std::vector<Frame> frames;
  for (const auto& f : host.records)
    if (f.index >= 0) frames.push_back(f);
  ASSERT_EQ(frames.size(), mine.size());
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].index, mine.records[i].index);
    const auto& px = mine.records[i].bytes;
    EXPECT_TRUE(frames[i].bytes.size() == px.size() &&
                std::memcmp(frames[i].bytes.data(), px.data(), px.size()) == 0)
        << "frame " << frames[i].index;
  }
}

}  // namespace
