// The WAV peer tool: the files it reads, and the tool driven as a user runs it.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <vector>

#include "base/constants.hpp"
#include "render_wav/wav_reader.hpp"
#include "support/run_command.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using Bytes = std::string;

Bytes le(std::uint32_t v, int n) {
  Bytes b;
  for (int i = 0; i < n; ++i) b.push_back(static_cast<char>(v >> (8 * i)));
  return b;
}

Bytes chunk(const Bytes& id, const Bytes& body) {
  return id + le(static_cast<std::uint32_t>(body.size()), 4) + body +
         (body.size() % 2 ? Bytes(1, '\0') : "");
}

Bytes wav(const Bytes& chunks) {
  return "RIFF" + le(static_cast<std::uint32_t>(4 + chunks.size()), 4) + "WAVE" + chunks;
}

// A fmt chunk's body; `block` 0 is the right one.
Bytes fmt(int code, int bits, int rate = 16000, int channels = 1, int block = 0) {
  if (block == 0) block = channels * bits / 8;
  return le(code, 2) + le(channels, 2) + le(rate, 4) + le(rate * block, 4) + le(block, 2) +
         le(bits, 2);
}

// An extensible fmt chunk's body for sub-format `code`, with `guid_tail` as
// the 14 bytes that follow the code.
const Bytes CODE_TAIL{"\0\0\0\0\x10\0\x80\0\0\xAA\0\x38\x9B\x71", 14};
Bytes fmt_ext(int code, int bits, const Bytes& guid_tail = CODE_TAIL) {
  return fmt(0xFFFE, bits) + le(22, 2) + le(bits, 2) + le(4, 4) + le(code, 2) + guid_tail;
}

Bytes pcm16(const std::vector<int>& s) {
  Bytes b;
  for (int v : s) b += le(static_cast<std::uint32_t>(v), 2);
  return b;
}

Bytes f32(const std::vector<float>& s) {
  Bytes b(s.size() * 4, '\0');
  if (!s.empty()) std::memcpy(b.data(), s.data(), b.size());
  return b;
}

const std::vector<int> PCM = {0, 1, -1, 12345, 32767, -32768};
const std::vector<float> PCM_AS_FLOAT = {
    0.0f, 1.0f / 32768, -1.0f / 32768, 12345.0f / 32768, 32767.0f / 32768, -1.0f};
const std::vector<float> FLOATS = {0.0f, 0.25f, -1.5f, 1e-7f};

TEST(WavReader, ReadsSixteenBitAndFloatWhereverTheirChunksSit) {
  const struct {
    const char* name;
    Bytes file;
    std::vector<float> samples;
  } rows[] = {
      {"16-bit PCM", wav(chunk("fmt ", fmt(1, 16)) + chunk("data", pcm16(PCM))), PCM_AS_FLOAT},
      {"32-bit float", wav(chunk("fmt ", fmt(3, 32)) + chunk("data", f32(FLOATS))), FLOATS},
      {"extensible PCM", wav(chunk("fmt ", fmt_ext(1, 16)) + chunk("data", pcm16(PCM))),
       PCM_AS_FLOAT},
      // As ffmpeg writes float: fact and LIST between fmt and data.
      {"extensible float",
       wav(chunk("fmt ", fmt_ext(3, 32)) + chunk("fact", le(4, 4)) + chunk("LIST", "INFOISFT") +
           chunk("data", f32(FLOATS))),
       FLOATS},
      // Odd chunks are padded; what follows the data chunk is no audio.
      {"odd chunks around",
       wav(chunk("junk", "abc") + chunk("fmt ", fmt(1, 16)) + chunk("LIST", "odd") +
           chunk("data", pcm16(PCM)) + chunk("LIST", "after")),
       PCM_AS_FLOAT},
      // Written as a stream: the data runs to the end of the file.
      {"streamed", wav(chunk("fmt ", fmt(1, 16)) + "data" + le(0xFFFFFFFF, 4) + pcm16(PCM)),
       PCM_AS_FLOAT},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    try {
      EXPECT_EQ(kinra2::wav::decode(r.file), r.samples);
    } catch (const kinra2::wav::Refused& e) {
      ADD_FAILURE() << e.what();
    }
  }
}

TEST(WavReader, RefusesEveryOtherFileWithOneLineSayingWhatItIs) {
  const Bytes pcm = chunk("data", pcm16(PCM));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const struct {
    Bytes file;
    const char* says;  // the line, from its start to the expectation
  } rows[] = {
      {wav(chunk("fmt ", fmt(1, 16, 44100)) + pcm),
       "is 44100 Hz mono 16-bit PCM; expected a 16000"},
      {wav(chunk("fmt ", fmt(1, 16, 16000, 2)) + pcm), "is 16000 Hz stereo 16-bit PCM; expected"},
      {wav(chunk("fmt ", fmt(1, 8)) + pcm), "is 16000 Hz mono 8-bit PCM; expected"},
      {wav(chunk("fmt ", fmt(1, 24)) + pcm), "is 16000 Hz mono 24-bit PCM; expected"},
      {wav(chunk("fmt ", fmt(3, 64)) + pcm), "is 16000 Hz mono 64-bit float; expected"},
      {wav(chunk("fmt ", fmt(6, 8)) + pcm), "is 16000 Hz mono 8-bit A-law; expected"},
      {wav(chunk("fmt ", fmt_ext(1, 24)) + pcm), "is 16000 Hz mono 24-bit PCM; expected"},
      {wav(chunk("fmt ", fmt_ext(7, 8)) + pcm), "is 16000 Hz mono 8-bit mu-law; expected"},
      {wav(chunk("fmt ", fmt_ext(1, 16, Bytes(14, 'x'))) + pcm),
       "is an extensible WAV file of a sub-format that is no format code; expected"},
      {wav(chunk("fmt ", fmt(0xFFFE, 16)) + pcm), "has an extensible fmt chunk of 16 bytes"},
      {wav(chunk("fmt ", fmt(1, 16).substr(0, 14)) + pcm),
       "has a fmt chunk of 14 bytes; expected 16 or more"},
      {wav(chunk("fmt ", fmt(1, 16, 16000, 1, 4)) + pcm),
       "declares 4-byte sample frames for 16000 Hz mono 16-bit PCM; expected 2 bytes"},
      {wav(chunk("fmt ", fmt(1, 16)) + chunk("fmt ", fmt(1, 16)) + pcm), "has two fmt chunks"},
      {wav(pcm + chunk("fmt ", fmt(1, 16))), "has its data chunk before its fmt chunk"},
      {wav(chunk("fmt ", fmt(1, 16)) + chunk("LIST", "x")), "ends before its data chunk"},
      {wav(chunk("fmt ", fmt(1, 16))).substr(0, 30), "ends inside its \"fmt \" chunk"},
      {wav(chunk("fmt ", fmt(1, 16)) + pcm).substr(0, 50),
       "is cut short: its data chunk declares 12 bytes and the file holds 6; expected a complete"},
      {wav(chunk("fmt ", fmt(1, 16)) + chunk("data", "abc")),
       "has a data chunk of 3 bytes, not a whole number of 2-byte samples"},
      {wav(chunk("fmt ", fmt(3, 32)) + chunk("data", f32({0.5f, nan}))),
       "has a sample that is not a number (sample 1)"},
      {"fLaC\0\0\0\x22"s, "is not a WAV file: it starts with \"fLaC\", not \"RIFF\"; expected a"},
      {"RIFF\x10\0\0\0AVI LIST"s, "is a RIFF file of form \"AVI \", not \"WAVE\""},
      {"RIFF\x24\0\0\0WA"s, "ends after 10 bytes, inside its RIFF header"},
      {"", "is empty; expected"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.says);
    try {
      kinra2::wav::decode(r.file);
      ADD_FAILURE() << "read";
    } catch (const kinra2::wav::Refused& e) {
      const std::string line = e.what();
      EXPECT_EQ(line.rfind(r.says, 0), 0u) << line;
      EXPECT_EQ(line.find('\n'), std::string::npos);
    }
  }
}

int run(const std::vector<std::string>& argv) {
  return k2test::run(argv).first;
}

void write_file(const fs::path& p, const Bytes& b) {
  std::ofstream(p, std::ios::binary).write(b.data(), static_cast<std::streamsize>(b.size()));
}

TEST(RenderWav, WritesEveryOwedFrameAndRefusesOtherFilesBeforeStarting) {
  const k2test::TempDir scratch("k2_render_wav");
  const fs::path& dir = scratch.path();
  const std::string render_wav = k2test::bin("render_wav");
  const std::string bundle = (dir / "bundle").string();
  ASSERT_EQ(run({k2test::bin("make_demo_bundle"), bundle}), 0);

  std::vector<int> s(40000);
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = (i / 40) % 2 ? 4900 : -4900;
  write_file(dir / "in.wav", wav(chunk("fmt ", fmt(1, 16)) + chunk("data", pcm16(s))));
  ASSERT_EQ(run({render_wav, bundle, (dir / "in.wav").string(), (dir / "out.rgb").string()}), 0);
  // 40000 samples end in audio frame 49 >= 32 - 11: chunks 0 and 1 are owed, 22 + 32 frames.
  EXPECT_EQ(fs::file_size(dir / "out.rgb"), 54 * kinra2::RGB_FRAME_BYTES);

  const std::string cd = (dir / "cd.wav").string();
  write_file(cd, wav(chunk("fmt ", fmt(1, 16, 44100)) + chunk("data", pcm16(s))));
  const auto [status, out] = k2test::run({render_wav, bundle, cd, (dir / "x.rgb").string()});
  EXPECT_EQ(status, 3);
  // One line, ended as text lines are on the platform.
  EXPECT_EQ(out.substr(0, out.find_first_of("\r\n")),
            "render_wav: " + cd + " is 44100 Hz mono 16-bit PCM; expected a 16000 Hz mono " +
                "WAV file, 16-bit PCM or 32-bit float (convert with: ffmpeg -i IN -ac 1 -ar " +
                "16000 OUT.wav)");
  EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
  EXPECT_FALSE(fs::exists(dir / "x.rgb")) << "no frames for a file it does not take";
  EXPECT_EQ(run({render_wav, bundle, (dir / "none.wav").string(), (dir / "x.rgb").string()}), 3);
  EXPECT_EQ(run({render_wav, (dir / "nobundle").string(), (dir / "in.wav").string(),
                 (dir / "x.rgb").string()}),
            1)
      << "a host that refuses its bundle is reported, not waited for";
  EXPECT_EQ(run({render_wav, "onlyone"}), 2);
}

}  // namespace
