#include "image/color_correct.hpp"
#include "image/color_correct_internal.hpp"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numeric>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

using namespace kinra2::image;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

std::string identity_rows(int rows = 3, int len = 256, const std::string& suffix = "") {
  std::string row = "[";
  for (int v = 0; v < len; ++v) {
    if (v) row += ",";
    row += std::to_string(v);
    row += suffix;
  }
  row += "]";
  std::string s = "[";
  for (int r = 0; r < rows; ++r) {
    if (r) s += ",";
    s += row;
  }
  return s + "]";
}

std::string why(std::string_view json) {
  return parse_color_correct(json).note;
}

// A bundle directory holding color.json with `bytes`.
void write_color(const k2test::TempDir& dir, const std::string& bytes) {
  std::ofstream(dir.file("color.json"), std::ios::binary) << bytes;
}

}  // namespace

TEST(ColorParse, RefusesMalformedMembersWithExactReasons) {
  EXPECT_EQ(parse_color_correct(std::nullopt).note, "this container carries no color.json");
  for (auto [json, type] : std::vector<std::pair<std::string, std::string>>{{"[1, 2]", "list"},
                                                                            {"\"x\"", "str"},
                                                                            {"3", "int"},
                                                                            {"-3", "int"},
                                                                            {"3.5", "float"},
                                                                            {"1e3", "float"},
                                                                            {"true", "bool"},
                                                                            {"null", "NoneType"}})
    EXPECT_EQ(why(json), "color.json is present but is not a json object (got " + type + ")")
        << json;

  // Empty text, a byte-order mark (the reader would silently skip it), bad
  // UTF-8, a NUL after the value (the reader would stop there).
  for (std::string bad :
       {std::string(""), std::string("\xEF\xBB\xBF{}"), std::string("{\"a\": \"\xFF\"}"),
        std::string("{"), std::string("{\"gain\":[1,1,1],\"bias\":[0,0,0]}\0garbage", 40)}) {
    auto [cc, reason] = parse_color_correct(bad);
    EXPECT_FALSE(cc);
    EXPECT_THAT(reason, StartsWith("color.json is present but is not parsable json ("));
    EXPECT_THAT(reason, EndsWith(") — refusing to invent an identity LUT"));
  }

  std::string flat = "[";
  for (int i = 0; i < 768; ++i) {
    if (i) flat += ",";
    flat += std::to_string(i % 256);
  }
  flat += "]";
  EXPECT_EQ(why("{\"lut\": " + flat + "}"),
            "color.json: 'lut' has shape (768,), the contract is (3, 256) — refusing to apply a "
            "mis-shaped table");
  EXPECT_THAT(why("{\"lut\": " + identity_rows(3, 255) + "}"),
              HasSubstr("has shape (3, 255), the contract"));
  EXPECT_THAT(why("{\"lut\": 7}"), HasSubstr("has shape (), the contract"));
  EXPECT_THAT(why("{\"lut\": []}"), HasSubstr("has shape (0,), the contract"));

  for (std::string bad_lut :
       {"[[1, 2], [3]]", "[[1, \"a\"]]", "[[1, null]]", "[[256]]", "[[-1]]", "[[1.5]]", "[{}]"})
    EXPECT_THAT(why("{\"lut\": " + bad_lut + "}"),
                StartsWith("color.json: 'lut' is not a uint8 array ("))
        << bad_lut;

  EXPECT_EQ(why(R"({"gain": [1, 1, 1, 1], "bias": [0, 0, 0]})"),
            "color.json: gain(4,)/bias(3,), the contract is (3,)/(3,)");
  EXPECT_EQ(why(R"({"gain": 1, "bias": [[0, 0, 0]]})"),
            "color.json: gain()/bias(1, 3), the contract is (3,)/(3,)");
  for (std::string bad : {R"({"gain": [1, 1, "x"], "bias": [0, 0, 0]})",
                          R"({"gain": [1, 1, 1], "bias": [0, 0, 1e39]})",
                          R"({"gain": [1, [1], 1], "bias": [0, 0, 0]})"})
    EXPECT_THAT(why(bad), StartsWith("color.json: 'gain'/'bias' are not float arrays (")) << bad;

  EXPECT_EQ(
      why(R"({"gain": [1, 1, 1]})"),
      "color.json is present but carries neither a 'lut' nor a 'gain'+'bias' (keys: ['gain'])");
  EXPECT_THAT(why(R"({"gamma": 2, "Lut": 1})"), EndsWith("(keys: ['Lut', 'gamma'])"));
  EXPECT_THAT(why("{}"), EndsWith("(keys: [])"));
}

TEST(ColorParse, LutWinsAndNotesNameTheSource) {
  std::string both = "{\"gain\": [2, 2, 2], \"bias\": [0, 0, 0], \"lut\": " + identity_rows() + "}";
  auto [cc, note] = parse_color_correct(both, "b.imx!color.json");
  ASSERT_TRUE(cc);
  EXPECT_EQ(cc->kind_name(), "lut");
  EXPECT_EQ(note, "per-channel LUT (model->driver) from b.imx!color.json");
  EXPECT_EQ(parse_color_correct(R"({"gain": [1, 1, 1], "bias": [0, 0, 0]})").note,
            "per-channel gain/bias from color.json");
  // Entries written as whole floats are still integers 0..255.
  auto floats = parse_color_correct("{\"lut\": " + identity_rows(3, 256, ".0") + "}").value;
  ASSERT_TRUE(floats);
  EXPECT_EQ(floats->lut()[2][255], 255);
}

TEST(ColorCorrect, DescribeFormats) {
  auto identity = parse_color_correct("{\"lut\": " + identity_rows() + "}").value;
  ASSERT_TRUE(identity);
  EXPECT_EQ(identity->describe(),
            "per-channel LUT (model->driver), deviation from identity: R max 0 mean 0.0/G max 0 "
            "mean 0.0/B max 0 mean 0.0");

  // Means 64/256 = 0.25 and 192/256 = 0.75 are ties and go to even.
  Lut t{};
  for (int c = 0; c < 3; ++c) std::iota(t[c].begin(), t[c].end(), 0);
  for (int v = 0; v < 64; ++v) t[0][v] = static_cast<std::uint8_t>(v + 1);
  for (int v = 0; v < 192; ++v) t[1][v] = static_cast<std::uint8_t>(v + 1);
  t[2][0] = 255;
  EXPECT_EQ(ColorCorrect::make_lut(t).describe(),
            "per-channel LUT (model->driver), deviation from identity: R max 1 mean 0.2/G max 1 "
            "mean 0.8/B max 255 mean 1.0");

  auto gb = parse_color_correct(R"({"gain": [1.02, 0.98, 1], "bias": [-2.5, 0, 1.5]})").value;
  ASSERT_TRUE(gb);
  EXPECT_EQ(gb->describe(), "per-channel gain=[1.02, 0.98, 1.0] bias=[-2.5, 0.0, 1.5]");

  using detail::float_repr;
  EXPECT_EQ(float_repr(0.1f), "0.1");
  EXPECT_EQ(float_repr(-0.0f), "-0.0");
  EXPECT_EQ(float_repr(123456.0f), "123456.0");
  EXPECT_EQ(float_repr(1e-4f), "0.0001");
  EXPECT_EQ(float_repr(1e-5f), "1e-05");
  EXPECT_EQ(float_repr(1e16f), "1e+16");
  EXPECT_EQ(float_repr(-3.4028235e38f), "-3.4028235e+38");
}

TEST(ColorCorrect, GainBiasArithmeticAndDescriptor) {
  auto apply1 = [](const Vec3& g, const Vec3& b, std::uint8_t v) {
    std::uint8_t px[3] = {v, v, v};
    ColorCorrect::make_gain_bias(g, b).apply(px, px, 1);
    return px[0];
  };
  EXPECT_EQ(apply1({1.1f, 1, 1}, {0, 0, 0}, 200), 220);
  EXPECT_EQ(apply1({0.995f, 1, 1}, {0, 0, 0}, 100), 99);  // 99.5 truncates
  EXPECT_EQ(apply1({2, 1, 1}, {0, 0, 0}, 200), 255);
  EXPECT_EQ(apply1({1, 1, 1}, {-10, 0, 0}, 5), 0);
  auto unit = ColorCorrect::make_gain_bias({1, 1, 1}, {0, 0, 0});
  for (int v = 0; v < 256; ++v) {
    std::uint8_t px[3] = {std::uint8_t(v), std::uint8_t(255 - v), std::uint8_t(v / 2)}, out[3];
    unit.apply(px, out, 1);
    EXPECT_EQ(0, std::memcmp(px, out, 3));
  }

  auto identity = parse_color_correct("{\"lut\": " + identity_rows() + "}").value;
  EXPECT_EQ(
      color_descriptor(identity).dump(),
      R"({"kind":"lut","sha256":"f3a25aa93aa2fbba28d79260535bbd6a5eb0fc1c24a8b0f04e12b484c1dfe363"})");
  auto gb = parse_color_correct(R"({"gain": [1.02, 0.98, 1], "bias": [-2.5, 0, 1.5]})").value;
  EXPECT_EQ(gb->payload().size(), 24u);
  EXPECT_EQ(
      color_descriptor(gb).dump(),
      R"({"kind":"gain_bias","sha256":"bb58035a8bd05007e09cbd02100c1c12bc3e92b2638afce601512bde247cef9e"})");
  EXPECT_TRUE(color_descriptor(nullptr).is_null());
}

TEST(ColorLoad, LogLinesForEveryVerdict) {
  const std::string not_applied = "colour-correct: NOT APPLIED — ";
  const auto proceeds = EndsWith("it is not an error and the render proceeds.");
  k2test::TempDir empty;
  {
    k2test::ScopedEnv env("KINRA2_COLOR_CORRECT", std::nullopt);
    auto [cc, line] = load_color_correct(empty.str());
    EXPECT_FALSE(cc);
    EXPECT_THAT(line, StartsWith(not_applied +
                                 "this container carries no color.json. The frames are the raw"));
    EXPECT_THAT(line, proceeds);
  }

  k2test::TempDir broken;
  write_color(broken, "[1]");
  const std::string line = load_color_correct(broken.str()).note;
  EXPECT_THAT(line, StartsWith(not_applied +
                               "color.json is present but is not a json object (got list). "));
  EXPECT_THAT(line, proceeds);

  k2test::TempDir good;
  write_color(good, R"({"gain": [1.02, 0.98, 1], "bias": [-2.5, 0, 1.5]})");
  for (const char* on : {"1", "disable", ""}) {
    k2test::ScopedEnv env("KINRA2_COLOR_CORRECT", on);
    auto [cc, line] = load_color_correct(good.str());
    ASSERT_TRUE(cc) << on;
    EXPECT_EQ(cc->source(), good.str() + "!color.json");
    EXPECT_EQ(line,
              "colour-correct: APPLIED — per-channel gain=[1.02, 0.98, 1.0] bias=[-2.5, 0.0, 1.5]");
  }
  for (const char* off : {" OFF ", "0", "False", "no"}) {
    k2test::ScopedEnv env("KINRA2_COLOR_CORRECT", off);
    auto [cc, line] = load_color_correct(broken.str());
    EXPECT_FALSE(cc);
    EXPECT_THAT(
        line,
        StartsWith("colour-correct: DISABLED by KINRA2_COLOR_CORRECT=0 — the frames are the RAW"));
  }
}

TEST(ColorParse, HostileMembersAreRefusedWithoutHarm) {
  // The offending element is a deeply nested object: describing it must not
  // recurse through it.
  const std::size_t depth = 100000;
  std::string deep =
      "{\"lut\": [[{\"a\": " + std::string(depth, '[') + std::string(depth, ']') + "}]]}";
  EXPECT_EQ(why(deep),
            "color.json: 'lut' is not a uint8 array (element [0, 0] is dict, not a number)");

  // Long offending text is cut short in the one-line reason.
  const std::string long_text(100000, 'x');
  for (const std::string& member :
       {"{\"lut\": [[\"" + long_text + "\"]]}", "{\"lut\": \"" + long_text})
    EXPECT_LT(why(member).size(), 400u) << member.substr(0, 12);

  // An integer beyond 64 bits is still an int, however the reader holds it.
  EXPECT_EQ(why("123456789012345678901234567890"),
            "color.json is present but is not a json object (got int)");
  EXPECT_EQ(why(" -98765432109876543210987 "),
            "color.json is present but is not a json object (got int)");
  EXPECT_EQ(why("1.5e300"), "color.json is present but is not a json object (got float)");
}
