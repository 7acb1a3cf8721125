// The renderer against the real demo models, in process.
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

#include "bundle/load_bundle.hpp"
#include "render/renderer.hpp"

namespace {

using namespace kinra2;

class RendererTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    dir = std::filesystem::temp_directory_path() / ("k2_renderer_" + std::to_string(::getpid()));
    const std::string cmd = std::string(K2_BIN_DIR) + "/make_demo_bundle " + dir.string() + " >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    auto loaded = bundle::load_bundle(dir.string(), std::nullopt);
    chain = std::make_unique<chain::LitertChain>(loaded.tfl_paths, loaded.canon, 1);
  }
  static void TearDownTestSuite() {
    chain.reset();
    std::filesystem::remove_all(dir);
  }
  static inline std::filesystem::path dir;
  static inline std::unique_ptr<chain::LitertChain> chain;
};

TEST(RendererGeometry, NeedAndWindowStart) {
  using R = render::Renderer;
  EXPECT_EQ(R::need(0), 25600);
  EXPECT_EQ(R::need(1), 44000);
  EXPECT_EQ(R::need(2), 25600 + 44000);
  EXPECT_EQ(R::need(5), 4 * 25600 + 44000);
  EXPECT_EQ(R::window_start(0), 0);
  EXPECT_EQ(R::window_start(1), 0);
  EXPECT_EQ(R::window_start(3), 2 * 25600);
}

TEST_F(RendererTest, WindowsTakeOnlyTheirAudioAndPadWithZeros) {
  render::Renderer r(*chain);
  std::vector<float> a(30000);
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = static_cast<float>(i + 1);
  r.feed(a);
  auto w0 = r.window(0);
  ASSERT_EQ(w0.size(), std::size_t{WIN_SAMPLES});
  EXPECT_EQ(w0[25599], 25600.f);
  EXPECT_EQ(w0[25600], 0.f) << "chunk 0 never looks past its first 25600 samples";
  auto w1 = r.window(1);
  EXPECT_EQ(w1[29999], 30000.f);
  EXPECT_EQ(w1[30000], 0.f) << "audio not yet fed is silence";
}

TEST_F(RendererTest, SessionCountersTrimmingAndReleasedAudio) {
  render::Renderer r(*chain);
  EXPECT_FALSE(r.rtf());
  r.feed({});
  EXPECT_EQ(r.fed_samples(), 0);
  EXPECT_TRUE(r.ready_chunks().empty());

  std::vector<float> a(44000 + 2 * 25600, 0.1f);
  auto b = r.ready_chunks();
  EXPECT_TRUE(b.empty());
  r.feed(a);
  b = r.ready_chunks();
  ASSERT_EQ(b.size(), 22u + 32 + 32 + 32);
  EXPECT_EQ(b.records.front().index, 3);
  EXPECT_EQ(b.records.back().index, 3 + 22 + 96 - 1);
  EXPECT_EQ(r.ci(), 4);
  EXPECT_EQ(r.c_n(), 4);
  ASSERT_TRUE(r.rtf());
  EXPECT_GT(*r.rtf(), 0.0);
  // After chunk c everything before c * 25600 is released.
  EXPECT_EQ(r.buf_base(), 3 * 25600);
  try {
    r.window(2);
    ADD_FAILURE() << "released audio was handed out";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "consumed audio context requested");
  }
  // 95200 samples reach audio frame 118 >= 32 * 4 - 11: a flush owes chunk 4, then nothing.
  EXPECT_EQ(r.flush_chunks().size(), 32u);
  EXPECT_TRUE(r.flush_chunks().empty());

  r.reset();
  EXPECT_EQ(r.ci(), 0);
  EXPECT_EQ(r.px_frame(), 3);
  EXPECT_EQ(r.c_n(), 0);
  EXPECT_FALSE(r.rtf());
  EXPECT_EQ(r.fed_samples(), 0);
  auto f = r.flush_chunks();
  EXPECT_EQ(f.size(), 22u);
  EXPECT_TRUE(std::equal(f.records[0].bytes.begin(), f.records[0].bytes.end(), f.records[1].bytes.begin()));
  EXPECT_TRUE(r.flush_chunks().empty());
}

} // namespace
