// The WAV peer tool, driven as a user runs it.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "base/constants.hpp"
#include "support/run_command.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;

// A minimal float WAV (format 3) of `channels` x `rate`.
void write_wav(const fs::path& p, const std::vector<float>& s, int rate, int channels = 1) {
  auto u32 = [](std::ofstream& f, std::uint32_t v) {
    f.write(reinterpret_cast<const char*>(&v), 4);
  };
  auto u16 = [](std::ofstream& f, std::uint16_t v) {
    f.write(reinterpret_cast<const char*>(&v), 2);
  };
  std::ofstream f(p, std::ios::binary);
  const auto bytes = static_cast<std::uint32_t>(s.size() * 4);
  f.write("RIFF", 4);
  u32(f, 36 + bytes);
  f.write("WAVEfmt ", 8);
  u32(f, 16);
  u16(f, 3);
  u16(f, static_cast<std::uint16_t>(channels));
  u32(f, static_cast<std::uint32_t>(rate));
  u32(f, static_cast<std::uint32_t>(rate * channels * 4));
  u16(f, static_cast<std::uint16_t>(channels * 4));
  u16(f, 32);
  f.write("data", 4);
  u32(f, bytes);
  f.write(reinterpret_cast<const char*>(s.data()), bytes);
}

int run(const std::vector<std::string>& argv) {
  return k2test::run(argv).first;
}

TEST(RenderWav, WritesEveryOwedFrameAndRefusesOtherFormats) {
  const k2test::TempDir scratch("k2_render_wav");
  const fs::path& dir = scratch.path();
  const std::string render_wav = k2test::bin("render_wav");
  const std::string bundle = (dir / "bundle").string();
  ASSERT_EQ(run({k2test::bin("make_demo_bundle"), bundle}), 0);

  std::vector<float> s(40000);
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = 0.3f * static_cast<float>((i / 40) % 2) - 0.15f;
  write_wav(dir / "in.wav", s, 16000);
  ASSERT_EQ(run({render_wav, bundle, (dir / "in.wav").string(), (dir / "out.rgb").string()}), 0);
  // 40000 samples end in audio frame 49 >= 32 - 11: chunks 0 and 1 are owed, 22 + 32 frames.
  EXPECT_EQ(fs::file_size(dir / "out.rgb"), 54 * kinra2::RGB_FRAME_BYTES);

  write_wav(dir / "cd.wav", s, 44100);
  EXPECT_EQ(run({render_wav, bundle, (dir / "cd.wav").string(), (dir / "x.rgb").string()}), 1);
  write_wav(dir / "stereo.wav", s, 16000, 2);
  EXPECT_EQ(run({render_wav, bundle, (dir / "stereo.wav").string(), (dir / "x.rgb").string()}), 1);
  EXPECT_EQ(run({render_wav, (dir / "nobundle").string(), (dir / "in.wav").string(),
                 (dir / "x.rgb").string()}),
            1)
      << "a host that refuses its bundle is reported, not waited for";
  EXPECT_EQ(run({render_wav, "onlyone"}), 2);
}

}  // namespace
