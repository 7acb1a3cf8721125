// Runs the demo identity's signatures through the runtime and checks what a
// viewer would see: frames follow the loudness of the audio and the eyes blink.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numeric>

#include "base/constants.hpp"
#include "demo_bundle_support.hpp"
#include "system/files.hpp"

using namespace kinra2;
using k2test::SigRun;

namespace {

constexpr int MOUTH_Y = 460, MOUTH_X = 208;  // frame pixel at the mouth's centre
constexpr int EYE_Y = 324, EYE_X = 148;      // frame pixel at the left eye's centre

struct Demo {
  k2test::TempDir dir;
  k2test::fs::path file;
  std::vector<float> canon;
  explicit Demo(const std::string& flags = "", const char* member = "combined_litert.tflite") {
    EXPECT_EQ(k2test::run_tool(dir.path().string(), flags), 0);
    file = dir.path() / member;
    const auto c = k2test::read_bytes(dir.path() / "canon.bin");
    canon.resize(c.size() / 4);
    std::memcpy(canon.data(), c.data(), c.size());
  }
};

std::vector<float> window(float amplitude) {
  std::vector<float> w(TEMPO_SAMPLES);
  for (int i = 0; i < TEMPO_SAMPLES; ++i)
    w[i] = amplitude * std::sin(0.07f * static_cast<float>(i));
  return w;
}

// Token block for a window, through enc and tok14.
std::vector<float> tokens(const k2test::fs::path& file, const std::vector<float>& win) {
  SigRun enc(file, "enc"), tok(file, "tok14");
  enc.set("args_0", win);
  enc.invoke();
  tok.set("args_0", enc.output("output_0"));
  tok.invoke();
  EXPECT_EQ(tok.output_shape("output_0"), (std::vector<int>{14, NA, CA}));
  return tok.output("output_0");
}

std::vector<float> fresh_hist(const std::vector<float>& canon) {
  std::vector<float> h(static_cast<std::size_t>(LC) * CTX * PLANE);
  for (int c = 0; c < LC; ++c)
    for (int p = 0; p < CTX; ++p)
      std::copy_n(&canon[static_cast<std::size_t>(c) * PLANE], PLANE,
                  &h[(static_cast<std::size_t>(c) * CTX + p) * PLANE]);
  return h;
}

void shift(std::vector<float>& h, const std::vector<float>& lat) {
  for (int c = 0; c < LC; ++c) {
    float* ch = &h[static_cast<std::size_t>(c) * CTX * PLANE];
    std::copy(ch + PLANE, ch + CTX * PLANE, ch);
    std::copy_n(&lat[static_cast<std::size_t>(c) * PLANE], PLANE, ch + (CTX - 1) * PLANE);
  }
}

// Latents of `steps` steps, all fed token row `row` of `tok`.
std::vector<std::vector<float>> run_steps(const k2test::fs::path& file, std::vector<float> hist,
                                          const std::vector<float>& tok, int row, int steps) {
  SigRun step(file, "step");
  const std::vector<float> atok(tok.begin() + row * NA * CA, tok.begin() + (row + 1) * NA * CA);
  std::vector<std::vector<float>> lats;
  for (int i = 0; i < steps; ++i) {
    step.set("args_0", atok);
    step.set("args_1", hist);
    step.invoke();
    lats.push_back(step.output("output_0"));
    shift(hist, lats.back());
  }
  return lats;
}

// One decoder row: current latent, previous latent, phase.
struct Row {
  const std::vector<float>* cur;
  const std::vector<float>* prev;
  int phase;
};

std::vector<float> dec_rows(const std::vector<Row>& rows, int batch) {
  std::vector<float> xs(static_cast<std::size_t>(batch) * 36 * PLANE, 0.0f);
  for (int r = 0; r < batch && r < static_cast<int>(rows.size()); ++r) {
    float* row = &xs[static_cast<std::size_t>(r) * 36 * PLANE];
    std::copy(rows[r].cur->begin(), rows[r].cur->end(), row);
    std::copy(rows[r].prev->begin(), rows[r].prev->end(), row + LC * PLANE);
    std::fill_n(row + (2 * LC + rows[r].phase) * PLANE, PLANE, 1.0f);
  }
  return xs;
}

// Decoder input rows: each latent against itself, phase 0.
std::vector<float> dec_input(const std::vector<std::vector<float>>& lats, int batch) {
  std::vector<Row> rows;
  for (const auto& l : lats) rows.push_back({&l, &l, 0});
  return dec_rows(rows, batch);
}

float px(const std::vector<float>& frames, int f, int c, int y, int x) {
  return frames[((static_cast<std::size_t>(f) * 3 + c) * FH + y) * FW + x];
}

float luma(const std::vector<float>& frames, int f, int y, int x) {
  return (px(frames, f, 0, y, x) + px(frames, f, 1, y, x) + px(frames, f, 2, y, x)) / 3.0f;
}

// How much darker than `ref` the mouth's centre column is, summed over rows:
// grows with every face row the opening covers, and with partial coverage.
float mouth_darkness(const std::vector<float>& frames, int f, const std::vector<float>& ref) {
  float d = 0.0f;
  for (int y = MOUTH_Y - 40; y <= MOUTH_Y + 40; ++y)
    d += luma(ref, 0, y, MOUTH_X) - luma(frames, f, y, MOUTH_X);
  return d;
}

void dump_ppm(const std::vector<float>& frames, int f, const std::string& path) {
  std::ofstream o(path, std::ios::binary);
  o << "P6\n" << FW << " " << FH << "\n255\n";
  for (int y = 0; y < FH; ++y)
    for (int x = 0; x < FW; ++x)
      for (int c = 0; c < 3; ++c)
        o.put(static_cast<char>(std::clamp(px(frames, f, c, y, x), 0.0f, 1.0f) * 255.0f + 0.5f));
}

}  // namespace

TEST(DemoModels, SignaturesRunWithTheContractShapes) {
  Demo d;
  SigRun enc(d.file, "enc");
  EXPECT_EQ(enc.input_shape("args_0"), (std::vector<int>{1, TEMPO_SAMPLES}));
  const auto tok = tokens(d.file, window(0.3f));
  SigRun step(d.file, "step");
  EXPECT_EQ(step.input_shape("args_1"), (std::vector<int>{1, LC, CTX, LH, LW}));
  EXPECT_EQ(step.input_shape("args_0"), (std::vector<int>{1, NA, CA}));
  const auto lats = run_steps(d.file, fresh_hist(d.canon), tok, 0, 1);
  ASSERT_EQ(lats[0].size(), static_cast<std::size_t>(LC) * PLANE);
  for (int batch : {16, 8}) {
    SigRun dec(d.file, batch == 16 ? "dec16" : "dec8");
    dec.set("args_0", dec_input(lats, batch));
    dec.invoke();
    EXPECT_EQ(dec.output_shape("output_0"), (std::vector<int>{batch, 3, FH, FW}));
    const auto fr = dec.output("output_0");
    const auto [lo, hi] = std::minmax_element(fr.begin(), fr.end());
    EXPECT_GE(*lo, 0.0f);
    EXPECT_LE(*hi, 1.0f + 1e-5f);
  }
}

TEST(DemoModels, MouthFollowsLoudnessAndEyesBlink) {
  Demo d;
  const auto quiet = run_steps(d.file, fresh_hist(d.canon), tokens(d.file, window(0.0f)), 3, 20);
  const auto loud = run_steps(d.file, fresh_hist(d.canon), tokens(d.file, window(0.3f)), 3, 20);
  SigRun dec(d.file, "dec16");
  auto decode = [&](const std::vector<std::vector<float>>& lats, int first) {
    std::vector<std::vector<float>> part(lats.begin() + first, lats.begin() + first + 16);
    dec.set("args_0", dec_input(part, 16));
    dec.invoke();
    return dec.output("output_0");
  };
  const auto fq = decode(quiet, 4), fl = decode(loud, 4);  // steps 5..20
  // The mouth is a dark opening only while the audio is loud.
  EXPECT_LT(luma(fl, 0, MOUTH_Y + 10, MOUTH_X), 0.2f);
  EXPECT_GT(luma(fq, 0, MOUTH_Y + 10, MOUTH_X), 0.5f);
  // Away from mouth and eyes the two renders agree (the forehead).
  EXPECT_FLOAT_EQ(luma(fl, 0, 250, 208), luma(fq, 0, 250, 208));
  // Step 15 (row 10) ends the blink period: the eye above its centre row
  // turns to skin while the centre row keeps a dark lid line; around it the
  // eye is open.
  EXPECT_LT(luma(fq, 9, EYE_Y - 12, EYE_X), 0.2f);
  EXPECT_GT(luma(fq, 10, EYE_Y - 12, EYE_X), 0.5f);
  EXPECT_LT(luma(fq, 10, EYE_Y, EYE_X), 0.5f);
  EXPECT_LT(luma(fq, 11, EYE_Y - 12, EYE_X), 0.2f);
  // The blink clock lives in the latent; one period later it is exactly
  // where it was, so it cannot drift over a long stream.
  EXPECT_EQ(quiet[0], quiet[16]);

  if (const auto dump = kinra2::system::env_text("K2_DEMO_DUMP")) {
    dump_ppm(fq, 0, *dump + "/quiet.ppm");
    dump_ppm(fl, 0, *dump + "/loud.ppm");
    dump_ppm(fq, 10, *dump + "/blink.ppm");
  }
}

TEST(DemoModels, MouthOpensByDegreesAndMovesSmoothlyWithinAStep) {
  Demo d;
  const auto hist = fresh_hist(d.canon);
  const auto silent = run_steps(d.file, hist, tokens(d.file, window(0.0f)), 3, 1)[0];
  std::vector<std::vector<float>> lats;
  for (float a : {0.1f, 0.16f, 0.24f, 0.35f})
    lats.push_back(run_steps(d.file, hist, tokens(d.file, window(a)), 3, 1)[0]);
  const auto& loud = lats.back();
  // Rows 0-4: silence and four loudness levels, each against itself.
  // Rows 5-8: from silence to loud, phases 0-3. Rows 9-10: loud to silence,
  // phases 0 and 3. Row 11: loud against itself at phase 3.
  std::vector<Row> rows = {{&silent, &silent, 0}};
  for (const auto& l : lats) rows.push_back({&l, &l, 0});
  for (int k = 0; k < 4; ++k) rows.push_back({&loud, &silent, k});
  rows.push_back({&silent, &loud, 0});
  rows.push_back({&silent, &loud, 3});
  rows.push_back({&loud, &loud, 3});
  SigRun dec(d.file, "dec16");
  dec.set("args_0", dec_rows(rows, 16));
  dec.invoke();
  const auto fr = dec.output("output_0");
  std::vector<float> ref(fr.begin(), fr.begin() + 3 * FH * FW);
  auto dark = [&](int f) { return mouth_darkness(fr, f, ref); };

  // Louder audio opens the mouth further, in steps a viewer can tell apart.
  EXPECT_GT(dark(1), 1.0f);
  for (int f = 2; f <= 4; ++f) EXPECT_GT(dark(f), dark(f - 1) + 1.0f) << "level " << f;
  // Within a step the mouth moves from the previous opening to the current
  // one: still partly open on the first frame after loud audio, closing on
  // the last, and opening gradually the other way.
  for (int f = 6; f <= 8; ++f) EXPECT_GT(dark(f), dark(f - 1) + 1.0f) << "phase " << f - 5;
  EXPECT_GT(dark(5), 1.0f);
  EXPECT_GT(dark(9), 1.0f);
  EXPECT_FLOAT_EQ(dark(10), 0.0f);
  // The last phase shows the current latent alone.
  EXPECT_TRUE(std::equal(fr.begin() + 8 * 3 * FH * FW, fr.begin() + 9 * 3 * FH * FW,
                         fr.begin() + 11 * 3 * FH * FW));
}

// The int8 variant's frames stay within two 8-bit levels of the float
// decoder's, and its arithmetic (convolutions, QUANTIZE, DEQUANTIZE) runs on
// XNNPACK's int8 kernels; only int8 data movement XNNPACK lacks stays behind.
TEST(DemoModels, Int8DecoderMatchesFloatOnXnnpack) {
  namespace fmt = kinra2::fmt;
  for (const std::string heavy : {"", " --heavy"}) {
    Demo f(heavy);
    Demo q("--q8gd" + heavy, "combined_litert_q8gd.tflite");
    const auto lats = run_steps(f.file, fresh_hist(f.canon), tokens(f.file, window(0.3f)), 2, 3);
    const auto xs = dec_input(lats, 8);
    SigRun df(f.file, "dec8"), dq(q.file, "dec8");
    df.set("args_0", xs);
    dq.set("args_0", xs);
    df.invoke();
    dq.invoke();
    const auto a = df.output("output_0"), b = dq.output("output_0");
    ASSERT_EQ(a.size(), b.size());
    float worst = 0.0f;
    for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::fabs(a[i] - b[i]));
    EXPECT_LE(worst, 2.0f / 255.0f) << heavy;

    EXPECT_EQ(dq.runner().xnnpack_flags(), kinra2::chain::XNNPACK_FLAG_QS8) << heavy;
    EXPECT_EQ(df.runner().xnnpack_flags(), 0u) << heavy;
    const auto placed = dq.runner().placement();
    EXPECT_GE(placed.xnnpack, 8) << heavy;
    for (int code : placed.builtin_ops)
      EXPECT_THAT(code, ::testing::AnyOf(static_cast<int>(fmt::BuiltinOperator::RESHAPE),
                                         static_cast<int>(fmt::BuiltinOperator::CONCATENATION),
                                         static_cast<int>(fmt::BuiltinOperator::DEPTH_TO_SPACE),
                                         static_cast<int>(fmt::BuiltinOperator::TRANSPOSE)))
          << heavy << ": " << fmt::EnumNameBuiltinOperator(static_cast<fmt::BuiltinOperator>(code));
  }
}
