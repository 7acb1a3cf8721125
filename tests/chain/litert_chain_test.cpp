#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <numeric>
#include <stdexcept>

#include "bundle/staging_internal.hpp"
#include "chain/litert_chain.hpp"
#include "tiny_models.hpp"

using namespace kinra2;
using namespace kinra2::chain;
using k2test::ChainSpec;
using k2test::DEC8_OFFSET;
using k2test::dec_pattern;
using k2test::ModelMaker;
using k2test::TempDir;
using ::testing::ElementsAre;

namespace {

std::string write_chain(const TempDir& dir, const std::string& name, const ChainSpec& spec) {
  ModelMaker mk;
  k2test::add_chain_signatures(mk, spec);
  return mk.write(dir.file(name));
}

// canon[c, i] = c + i / 10000: every channel and position distinct.
std::vector<float> test_canon() {
  std::vector<float> c(LAT_SIZE);
  for (std::size_t i = 0; i < c.size(); ++i)
    c[i] = static_cast<float>(i / PLANE) + static_cast<float>(i % PLANE) / 10000.0f;
  return c;
}

std::vector<float> filled(std::size_t n, float v) {
  return std::vector<float>(n, v);
}

std::string construction_error(const std::vector<std::string>& paths) {
  try {
    LitertChain chain(paths, test_canon(), 1);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no error";
}

// Chain over one combined file, shared by the tests that only run it.
class ChainRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    ChainSpec spec;
    spec.extra = {"aux"};
    chain_ = new LitertChain({write_chain(*dir_, "combined.tflite", spec)}, test_canon(), 2);
  }
  static void TearDownTestSuite() {
    delete chain_;
    delete dir_;
  }
  static TempDir* dir_;
  static LitertChain* chain_;
};
TempDir* ChainRun::dir_ = nullptr;
LitertChain* ChainRun::chain_ = nullptr;

}  // namespace

TEST_F(ChainRun, EncoderTokenizerAndStepCarryTheirTensors) {
  LitertChain& ch = *chain_;
  EXPECT_THAT(ch.signature_names(), ElementsAre("enc", "tok14", "step", "dec16", "dec8", "aux"));
  EXPECT_EQ(ch.hist_key(), "args_0");
  EXPECT_EQ(ch.atok_key(), "args_1");

  const Tensor feats = ch.run_enc(filled(TEMPO_SAMPLES, 0.5f));
  EXPECT_THAT(feats.shape, ElementsAre(1, 1));
  EXPECT_EQ(feats.type, kTfLiteFloat32);
  const Tensor tok = ch.run_tok(feats);
  ASSERT_THAT(tok.shape, ElementsAre(14, NA, CA));
  const Tensor::View row3 = tok.row(3);
  EXPECT_THAT(row3.shape, ElementsAre(NA, CA));
  EXPECT_EQ(static_cast<const float*>(row3.data)[0], 3.5f);
  EXPECT_THROW(tok.row(14), std::out_of_range);

  // The step averages each channel over history positions: on a fresh
  // history that is canon itself, plus the token row's mean.
  std::vector<float> hist = ch.new_hist();
  std::vector<float> lat = ch.run_step(hist, row3);
  const std::vector<float> canon = test_canon();
  ASSERT_EQ(lat.size(), LAT_SIZE);
  for (std::size_t i :
       {std::size_t{0}, std::size_t{4679}, std::size_t{5 * PLANE + 17}, LAT_SIZE - 1})
    EXPECT_NEAR(lat[i], canon[i] + 3.5f, 1e-4) << i;

  // Results belong to the caller: a later run changes none of them.
  const Tensor feats2 = ch.run_enc(filled(TEMPO_SAMPLES, 2.0f));
  ch.run_tok(feats2);
  EXPECT_EQ(*reinterpret_cast<const float*>(feats.bytes.data()), 0.5f);
  EXPECT_EQ(static_cast<const float*>(tok.row(0).data)[0], 0.5f);

  try {
    ch.run_enc(filled(TEMPO_SAMPLES - 1, 0.0f));
    ADD_FAILURE() << "a short window was accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()), "cannot reshape array of size " +
                                         std::to_string(TEMPO_SAMPLES - 1) + " into shape (1, " +
                                         std::to_string(TEMPO_SAMPLES) + ")");
  }
  EXPECT_THROW(ch.run_step(std::span(hist).first(HIST_SIZE - 1), row3), std::invalid_argument);
  EXPECT_THROW(ch.run_step(hist, tok.view()), std::invalid_argument);
}

TEST_F(ChainRun, HistoryShiftsOldestOut) {
  LitertChain& ch = *chain_;
  const std::vector<float> canon = test_canon();
  std::vector<float> h = ch.new_hist();
  auto at = [&](int c, int p, int i) { return h[(std::size_t(c) * CTX + p) * PLANE + i]; };
  for (int c : {0, 7, 15})
    for (int p : {0, 9, 15}) EXPECT_EQ(at(c, p, 11), canon[std::size_t(c) * PLANE + 11]);

  // Latent L_k holds 1000*k + channel in every value.
  auto latent = [](int k) {
    std::vector<float> l(LAT_SIZE);
    for (std::size_t i = 0; i < l.size(); ++i) l[i] = 1000.0f * k + static_cast<float>(i / PLANE);
    return l;
  };
  LitertChain::shift_hist(h, latent(1));
  EXPECT_EQ(at(3, 15, 0), 1003.0f);
  EXPECT_EQ(at(3, 14, 0), canon[3 * PLANE]);
  EXPECT_EQ(at(3, 0, 5), canon[3 * PLANE + 5]);
  for (int k = 2; k <= 16; ++k) LitertChain::shift_hist(h, latent(k));
  for (int p = 0; p < CTX; ++p) EXPECT_EQ(at(9, p, 100), 1000.0f * (p + 1) + 9) << p;
  LitertChain::shift_hist(h, latent(17));
  for (int p = 0; p < CTX; ++p) EXPECT_EQ(at(15, p, PLANE - 1), 1000.0f * (p + 2) + 15) << p;

  // A latent of the wrong size is refused before anything moves.
  const std::vector<float> before = h;
  EXPECT_THROW(LitertChain::shift_hist(h, filled(LAT_SIZE - 1, 0.0f)), std::invalid_argument);
  EXPECT_EQ(h, before);
}

TEST_F(ChainRun, DecoderBatchesAndKeepsFramesApart) {
  LitertChain& ch = *chain_;
  // Row r of xs holds r + 1 everywhere, so a frame shows which row it decodes.
  auto rows = [](int n) {
    std::vector<float> xs(std::size_t(n) * DEC_ROW);
    for (int r = 0; r < n; ++r)
      std::fill_n(xs.begin() + std::ptrdiff_t(r) * std::ptrdiff_t(DEC_ROW), DEC_ROW, r + 1.0f);
    return xs;
  };
  // Frames from the 8-batch decoder carry DEC8_OFFSET.
  struct Case {
    int n;
    int from16;
  };
  for (const Case cs : {Case{21, 16}, Case{32, 32}, Case{9, 9}, Case{8, 0}, Case{0, 0}}) {
    const std::vector<float> xs = rows(cs.n);
    const Frames fr = ch.run_dec_frames(xs, cs.n);
    ASSERT_EQ(fr.size(), std::size_t(cs.n));
    for (int k = 0; k < cs.n; ++k) {
      const float base = (k + 1.0f) + (k < cs.from16 ? 0.0f : DEC8_OFFSET);
      for (std::size_t i : {std::size_t{0}, std::size_t{3}, FRAME_SIZE / 2 + 1, FRAME_SIZE - 1})
        ASSERT_NEAR(fr.frames[std::size_t(k)][i], base + dec_pattern(i), 1e-3)
            << "n=" << cs.n << " frame " << k << " value " << i;
    }
  }

  // Frames stay as decoded through later decoder runs, and are writable.
  const std::vector<float> xs = rows(21);
  Frames first = ch.run_dec_frames(xs, 21);
  first.frames[20][0] = -1.0f;
  const std::vector<float> other = filled(16 * DEC_ROW, 50.0f);
  ch.run_dec_frames(other, 16);
  ch.run_dec_frames(other, 5);
  EXPECT_NEAR(first.frames[3][1], 4.0f + dec_pattern(1), 1e-3);
  EXPECT_NEAR(first.frames[18][1], 19.0f + DEC8_OFFSET + dec_pattern(1), 1e-3);
  EXPECT_EQ(first.frames[20][0], -1.0f);

  // The gathered form decodes the same rows.
  const std::vector<float> px = ch.run_dec_batch(xs, 21);
  ASSERT_EQ(px.size(), 21 * FRAME_SIZE);
  for (int k : {0, 15, 16, 20})
    EXPECT_NEAR(px[std::size_t(k) * FRAME_SIZE + 2], first.frames[std::size_t(k)][2], 1e-6) << k;
  EXPECT_TRUE(ch.run_dec_batch(xs, 0).empty());

  EXPECT_THROW(ch.run_dec_frames(xs, 22), std::invalid_argument);
  EXPECT_THROW(ch.run_dec_frames(xs, -1), std::invalid_argument);
}

TEST_F(ChainRun, DecodingInPlaceHandsOverTheFramesOfRunDecFrames) {
  LitertChain& ch = *chain_;
  for (const int n : {21, 9, 0}) {
    std::vector<float> xs(std::size_t(n) * DEC_ROW);
    for (std::size_t i = 0; i < xs.size(); ++i) xs[i] = static_cast<float>(i / DEC_ROW) * 0.5f;
    const Frames want = ch.run_dec_frames(xs, n);
    std::vector<std::pair<int, std::size_t>> batches;
    ch.run_dec_each(xs, n, [&](int first, std::span<const float* const> frames) {
      batches.emplace_back(first, frames.size());
      for (std::size_t k = 0; k < frames.size(); ++k)
        ASSERT_TRUE(
            std::equal(frames[k], frames[k] + FRAME_SIZE, want.frames[std::size_t(first) + k]))
            << "n=" << n << " frame " << first + int(k);
    });
    using B = std::vector<std::pair<int, std::size_t>>;
    const B expect = n == 21 ? B{{0, 16}, {16, 5}} : n == 9 ? B{{0, 9}} : B{};
    EXPECT_EQ(batches, expect) << n;
  }
}

TEST(DecInputs, RowsPairLatentsWithTheirPredecessorAndPhase) {
  std::vector<std::vector<float>> lats;
  for (int j = 0; j < 9; ++j) lats.push_back(filled(LAT_SIZE, 10.0f * (j + 1)));
  const std::vector<float> prev = filled(LAT_SIZE, -5.0f);
  auto plane = [](const DecInputs& d, int r, int p) {
    return std::span(d.xs).subspan(std::size_t(r) * DEC_ROW + std::size_t(p) * PLANE, PLANE);
  };
  auto uniform = [](std::span<const float> s, float v) {
    return std::all_of(s.begin(), s.end(), [v](float x) { return x == v; });
  };
  // Expected (current, previous, phase) of every row.
  auto check = [&](const DecInputs& d, const std::vector<std::array<float, 3>>& want) {
    ASSERT_EQ(d.n, int(want.size()));
    ASSERT_EQ(d.xs.size(), want.size() * DEC_ROW);
    for (int r = 0; r < d.n; ++r) {
      const auto [cur, pre, phase] = want[std::size_t(r)];
      for (int c : {0, LC - 1}) {
        EXPECT_TRUE(uniform(plane(d, r, c), cur)) << "row " << r;
        EXPECT_TRUE(uniform(plane(d, r, LC + c), pre)) << "row " << r;
      }
      for (int k = 0; k < 4; ++k)
        EXPECT_TRUE(uniform(plane(d, r, 2 * LC + k), k == int(phase) ? 1.0f : 0.0f))
            << "row " << r << " phase plane " << k;
    }
  };

  // First block of a stream: only phase 3 of the first latent, against itself.
  std::vector<std::array<float, 3>> want{{10, 10, 3}};
  for (int j = 1; j < 6; ++j)
    for (int k = 0; k < 4; ++k) want.push_back({10.0f * (j + 1), 10.0f * j, float(k)});
  check(build_dec_inputs(lats, 6, nullptr), want);

  // A later block: every latent, all four phases, the first against prev.
  want.clear();
  for (int j = 0; j < 8; ++j)
    for (int k = 0; k < 4; ++k) want.push_back({10.0f * (j + 1), j ? 10.0f * j : -5.0f, float(k)});
  check(build_dec_inputs(lats, 8, &prev), want);

  EXPECT_EQ(build_dec_inputs(lats, 0, nullptr).n, 0);
  EXPECT_TRUE(build_dec_inputs(lats, 0, &prev).xs.empty());
  EXPECT_THROW(build_dec_inputs(lats, 10, nullptr), std::invalid_argument);
  lats[2].pop_back();
  EXPECT_THROW(build_dec_inputs(lats, 6, nullptr), std::invalid_argument);
  EXPECT_NO_THROW(build_dec_inputs(lats, 2, nullptr));  // only the first blk count
}

TEST(ChainBuild, StepInputsAreFoundByDimensionCount) {
  TempDir dir;
  ChainSpec swapped;
  swapped.hist_name = "args_1";
  swapped.atok_name = "args_0";
  LitertChain a({write_chain(dir, "swapped.tflite", swapped)}, test_canon(), 1);
  EXPECT_EQ(a.hist_key(), "args_1");
  EXPECT_EQ(a.atok_key(), "args_0");
  // Bound the other way round, the step would not accept the history.
  const Tensor tok = a.run_tok(a.run_enc(filled(TEMPO_SAMPLES, 1.0f)));
  const std::vector<float> lat = a.run_step(a.new_hist(), tok.row(0));
  EXPECT_NEAR(lat[PLANE + 1], test_canon()[PLANE + 1] + 1.0f, 1e-4);

  ChainSpec flat;
  flat.hist_5d = false;
  LitertChain b({write_chain(dir, "flat.tflite", flat)}, test_canon(), 1);
  EXPECT_EQ(b.hist_key(), "args_0");
  EXPECT_EQ(b.atok_key(), "args_1");
}

TEST(ChainBuild, EarlierFileWinsASignature) {
  TempDir dir;
  ChainSpec first;  // enc and a tok14 that adds 100
  first.step = first.dec16 = first.dec8 = false;
  first.tok_bias = 100.0f;
  ChainSpec second;  // a competing tok14 (adds 200) and the rest
  second.enc = false;
  second.tok_bias = 200.0f;
  const std::string pa = write_chain(dir, "shared-enc.tflite", first);
  const std::string pb = write_chain(dir, "identity.tflite", second);

  LitertChain ab({pa, pb}, test_canon(), 1);
  EXPECT_THAT(ab.signature_names(), ElementsAre("enc", "tok14", "step", "dec16", "dec8"));
  const Tensor feats = ab.run_enc(filled(TEMPO_SAMPLES, 0.25f));
  EXPECT_EQ(static_cast<const float*>(ab.run_tok(feats).row(1).data)[0], 101.25f);

  LitertChain ba({pb, pa}, test_canon(), 1);
  EXPECT_EQ(static_cast<const float*>(ba.run_tok(feats).row(1).data)[0], 201.25f);
}

TEST(ChainBuild, MissingSignaturesAreListedExactly) {
  EXPECT_EQ(construction_error({}),
            "LiteRT chain missing signature(s) ['enc', 'tok14', 'step', 'dec16', 'dec8'] across "
            "[] (have []); need combined_litert.tflite OR shared-enc.tflite + identity.tflite");

  TempDir dir;
  ChainSpec part;
  part.step = part.dec16 = false;
  part.extra = {"zeta", "Aux"};
  // A backslash in the name (on Windows a separator: the file then sits in
  // a folder "odd"), doubled in the quoted list like every other one.
  std::filesystem::create_directories(dir.path() / "odd");
  const std::string path = write_chain(dir, "odd\\name.tflite", part);
  auto q = [](const std::string& p) {
    std::string o;
    for (char c : p) o += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return o;
  };
  EXPECT_EQ(construction_error({path, path}),
            "LiteRT chain missing signature(s) ['step', 'dec16'] across ['" + q(path) + "', '" +
                q(path) +
                "'] (have ['Aux', 'dec8', 'enc', 'tok14', 'zeta']); need combined_litert.tflite "
                "OR shared-enc.tflite + identity.tflite");

  // A valid model that declares no signatures offers none; it is not a load
  // failure, so the report names what is missing across both files.
  ModelMaker bare;
  k2test::add_chain_signatures(bare, ChainSpec{});
  bare.model.signature_defs.clear();
  const std::string unsigned_path = bare.write(dir.file("identity.tflite"));
  ChainSpec enc_only;
  enc_only.tok = enc_only.step = enc_only.dec16 = enc_only.dec8 = false;
  const std::string enc_path = write_chain(dir, "shared-enc.tflite", enc_only);
  EXPECT_EQ(construction_error({enc_path, unsigned_path}),
            "LiteRT chain missing signature(s) ['tok14', 'step', 'dec16', 'dec8'] across ['" +
                q(enc_path) + "', '" + q(unsigned_path) +
                "'] (have ['enc']); need combined_litert.tflite OR shared-enc.tflite + "
                "identity.tflite");
}

TEST(ChainBuild, RunsFromItsOwnCopyOnceTheStagedFilesAreReleased) {
  TempDir dir;
  ModelMaker mk;
  k2test::add_chain_signatures(mk, ChainSpec{});
  const auto bytes = mk.bytes();
  const std::string staged = bundle::detail::stage_tflite(
      dir.file("no-such-bundle"), "combined_litert.tflite",
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  ASSERT_TRUE(std::filesystem::exists(staged));
  bundle::StagedFiles files({staged});

  std::vector<float> canon = test_canon();
  LitertChain chain({staged}, canon, 1);
  files.release();
  EXPECT_FALSE(std::filesystem::exists(staged));
  const auto left = bundle::detail::staged_paths();
  EXPECT_EQ(std::count(left.begin(), left.end(), staged), 0);

  // The chain runs from its own copy of the bytes, and of canon.
  canon[0] = 12345.0f;
  EXPECT_EQ(chain.canon()[0], 0.0f);
  EXPECT_EQ(chain.new_hist()[0], 0.0f);
  EXPECT_EQ(chain.run_dec_frames(filled(DEC_ROW, 2.0f), 1).size(), 1u);
}

TEST(ChainBuild, BadModelsAndCanonFail) {
  TempDir dir;
  const std::string good = write_chain(dir, "good.tflite", ChainSpec{});
  EXPECT_THROW(LitertChain({good}, filled(LAT_SIZE + 1, 0.0f), 1), std::invalid_argument);
  EXPECT_THROW(LitertChain({good, dir.file("missing.tflite")}, test_canon(), 1),
               std::runtime_error);
}
