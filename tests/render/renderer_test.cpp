// The renderer against the real demo models, in process.
#include <cmath>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>

#include "bundle/load_bundle.hpp"
#include "image/color_correct.hpp"
#include "image/pixel_convert.hpp"
#include "render/renderer.hpp"
#include "render/renderer_internal.hpp"
#include "render/wsola.hpp"
#include "support/temp_dir.hpp"
#include "support/run_command.hpp"
#include "support/scoped_env.hpp"

namespace {

using namespace kinra2;
using Probe = render::detail::RendererProbe;

class RendererTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = std::make_unique<k2test::TempDir>("k2-renderer");
    const std::string bundle = dir->file("demo");
    ASSERT_EQ(k2test::run({k2test::bin("make_demo_bundle"), bundle}).first, 0);
    auto loaded = bundle::load_bundle(bundle, std::nullopt);
    chain = std::make_unique<chain::LitertChain>(loaded.tfl_paths, loaded.canon, 1);
  }
  static void TearDownTestSuite() {
    chain.reset();
    dir.reset();
  }
  static inline std::unique_ptr<k2test::TempDir> dir;
  static inline std::unique_ptr<chain::LitertChain> chain;
};

TEST(RendererGeometry, NeedAndWindowStart) {
  using render::detail::chunk_need;
  using render::detail::window_start;
  EXPECT_EQ(chunk_need(0), 25600);
  EXPECT_EQ(chunk_need(1), 44000);
  EXPECT_EQ(chunk_need(2), 25600 + 44000);
  EXPECT_EQ(chunk_need(5), 4 * 25600 + 44000);
  EXPECT_EQ(window_start(0), 0);
  EXPECT_EQ(window_start(1), 0);
  EXPECT_EQ(window_start(3), 2 * 25600);
}

TEST_F(RendererTest, WindowsTakeOnlyTheirAudioAndPadWithZeros) {
  render::Renderer r(*chain);
  std::vector<float> a(30000);
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = static_cast<float>(i + 1);
  r.feed(a);
  auto w0 = Probe::window(r, 0);
  ASSERT_EQ(w0.size(), std::size_t{WIN_SAMPLES});
  EXPECT_EQ(w0[25599], 25600.f);
  EXPECT_EQ(w0[25600], 0.f) << "chunk 0 never looks past its first 25600 samples";
  auto w1 = Probe::window(r, 1);
  EXPECT_EQ(w1[29999], 30000.f);
  EXPECT_EQ(w1[30000], 0.f) << "audio not yet fed is silence";
}

TEST_F(RendererTest, SessionCountersTrimmingAndReleasedAudio) {
  render::Renderer r(*chain);
  EXPECT_FALSE(r.rtf());
  r.feed({});
  EXPECT_EQ(Probe::fed_samples(r), 0);
  EXPECT_TRUE(r.ready_chunks().empty());

  std::vector<float> a(44000 + 2 * 25600, 0.1f);
  auto b = r.ready_chunks();
  EXPECT_TRUE(b.empty());
  r.feed(a);
  b = r.ready_chunks();
  ASSERT_EQ(b.size(), 22u + 32 + 32 + 32);
  EXPECT_EQ(b.records.front().index, 3);
  EXPECT_EQ(b.records.back().index, 3 + 22 + 96 - 1);
  EXPECT_EQ(Probe::next_chunk(r), 4);
  EXPECT_EQ(r.chunks_rendered(), 4);
  ASSERT_TRUE(r.rtf());
  EXPECT_GT(*r.rtf(), 0.0);
  // After chunk c everything before c * 25600 is released.
  EXPECT_EQ(Probe::retained_base(r), 3 * 25600);
  EXPECT_THAT([&] { Probe::window(r, 2); },
              ::testing::ThrowsMessage<std::runtime_error>(
                  ::testing::StrEq("consumed audio context requested")))
      << "released audio was handed out";
  // 95200 samples reach audio frame 118 >= 32 * 4 - 11: a flush owes chunk 4, then nothing.
  EXPECT_EQ(r.flush_chunks().size(), 32u);
  EXPECT_TRUE(r.flush_chunks().empty());

  r.reset();
  EXPECT_EQ(Probe::next_chunk(r), 0);
  EXPECT_EQ(Probe::next_frame_index(r), 3);
  EXPECT_EQ(r.chunks_rendered(), 0);
  EXPECT_FALSE(r.rtf());
  EXPECT_EQ(Probe::fed_samples(r), 0);
  auto f = r.flush_chunks();
  EXPECT_EQ(f.size(), 22u);
  EXPECT_TRUE(
      std::equal(f.records[0].bytes.begin(), f.records[0].bytes.end(), f.records[1].bytes.begin()));
  EXPECT_TRUE(r.flush_chunks().empty());
}

// The chunks of one session the long way: every batch's frames copied out of
// the runtime, then the whole chunk converted from those copies.
std::vector<std::vector<std::uint8_t>> chunks_through_copies(render::Renderer& r,
                                                             chain::LitertChain& ch, int chunks,
                                                             const image::ColorCorrect* cc,
                                                             int threads) {
  std::vector<std::vector<std::uint8_t>> out;
  std::vector<float> hist = ch.new_hist();
  std::optional<std::vector<float>> prev;
  for (int ci = 0; ci < chunks; ++ci) {
    const int blk = ci == 0 ? CHUNK0_LAT : STEADY_LAT;
    auto tempo = render::tempo_wsola(Probe::window(r, ci));
    for (float& s : tempo) s *= 3.0f;
    const auto tok = ch.run_tok(ch.run_enc(tempo));
    std::vector<std::vector<float>> lats;
    for (int j = 0; j < blk; ++j) {
      lats.push_back(
          ch.run_step(hist, tok.row(static_cast<std::size_t>((ci == 0 ? 0 : CHUNK0_LAT) + j))));
      chain::LitertChain::shift_hist(hist, lats.back());
    }
    const auto dec = chain::build_dec_inputs(lats, blk, prev ? &*prev : nullptr);
    prev = lats.back();
    chain::Frames px = ch.run_dec_frames(dec.xs, dec.n);
    std::vector<image::ModelFrame> frames;
    for (float* f : px.frames) frames.push_back(image::ModelFrame{f});
    const image::RgbChunk u8 = image::px_to_rgb888_chunk(frames, cc, threads);
    out.emplace_back(u8.data(), u8.data() + u8.bytes());
  }
  return out;
}

TEST_F(RendererTest, DecodingStraightToPixelsGivesTheBytesOfTheCopyingPath) {
  // Chunk 0 ends in a padded 8-batch (5 of 8 rows), chunks 1 and 2 are two
  // full 16-batches each.
  std::vector<float> audio(44000 + 25600);
  for (std::size_t i = 0; i < audio.size(); ++i)
    audio[i] =
        0.6f * std::sin(static_cast<float>(i) * 0.003f) * std::sin(static_cast<float>(i) * 0.0002f);
  image::Lut lut;
  for (int c = 0; c < 3; ++c)
    for (int v = 0; v < 256; ++v)
      lut[c][v] = static_cast<std::uint8_t>(c == 1 ? 255 - v : (v * (c + 2)) % 256);
  const auto table = image::ColorCorrect::make_lut(lut);
  const auto gain = image::ColorCorrect::make_gain_bias({1.2f, 0.8f, 1.0f}, {-0.05f, 0.1f, 0.0f});
  struct Case {
    const image::ColorCorrect* cc;
    const char* threads;
  };
  for (const Case cs : {Case{nullptr, "1"}, Case{&table, "3"}, Case{&gain, "1"}}) {
    k2test::set_env("KINRA2_RGB_THREADS", cs.threads);
    render::Renderer r(*chain, cs.cc);
    k2test::set_env("KINRA2_RGB_THREADS", std::nullopt);
    r.feed(audio);
    const auto want = chunks_through_copies(r, *chain, 3, cs.cc, Probe::rgb_threads(r));
    const auto got = r.ready_chunks();
    ASSERT_EQ(got.size(), 22u + 32 + 32);
    std::size_t rec = 1;  // record 0 repeats frame 0
    for (std::size_t c = 0; c < want.size(); ++c)
      for (std::size_t k = 0; k < want[c].size() / RGB_FRAME_BYTES; ++k, ++rec)
        ASSERT_TRUE(std::equal(got.records[rec].bytes.begin(), got.records[rec].bytes.end(),
                               want[c].begin() + static_cast<std::ptrdiff_t>(k * RGB_FRAME_BYTES)))
            << "threads " << cs.threads << " chunk " << c << " frame " << k;
  }
}

}  // namespace
