#include "base/text.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using namespace kinra2::base;

// Settings are compared trimmed of every ASCII white-space byte, vertical tab
// and form feed included, and lowered in ASCII only.
TEST(Text, TrimAndSettingWords) {
  const std::vector<std::pair<std::string, std::string>> trims = {
      {"", ""},         {" \t\n\r\v\f", ""}, {"\voff\f", "off"}, {"\f \tx\r\n\v", "x"},
      {" a b ", "a b"}, {"x", "x"},          {"xy", "xy"},
  };
  for (const auto& [in, out] : trims) EXPECT_EQ(trimmed(in), out) << literal(in);

  EXPECT_EQ(setting_word("\v OfF\f"), "off");
  // The neighbours of A-Z and the letters beyond ASCII stay as they are.
  EXPECT_EQ(setting_word("@AZ[\xC3\x84"), "@az[\xC3\x84");
}

TEST(Text, QuotedAndLiteral) {
  EXPECT_EQ(quoted("C:\\a b'c"), "'C:\\a b'c'");  // as given, to be copied out
  EXPECT_EQ(literal("a\\b\nc\rd\te\x01\x1f\x7f \xC3\xA9"),
            "'a\\\\b\\nc\\rd\\te\\x01\\x1f\\x7f \xC3\xA9'");
  EXPECT_EQ(literal_list({}), "[]");
  EXPECT_EQ(literal_list(std::vector<std::string>{"a"}), "['a']");
  EXPECT_EQ(literal_list(std::vector<std::string>{"a", "b\\"}), "['a', 'b\\\\']");
}

TEST(Text, Utf8) {
  const std::vector<std::pair<std::string, bool>> rows = {
      {"", true},
      {"ascii\x7f", true},
      {"caf\xC3\xA9!", true},
      {"\xC2\x80", true},  // the smallest and largest of each length
      {"\xDF\xBF", true},
      {"\xE0\xA0\x80", true},
      {"\xEF\xBF\xBF", true},
      {"\xF0\x90\x80\x80", true},
      {"\xF4\x8F\xBF\xBF", true},
      {"\xED\x9F\xBF", true},
      {"\xC0\x80", false},  // overlong forms
      {"\xC1\xBF", false},
      {"\xE0\x9F\xBF", false},
      {"\xF0\x8F\xBF\xBF", false},
      {"\xED\xA0\x80", false},      // a surrogate
      {"\xF4\x90\x80\x80", false},  // past U+10FFFF
      {"\xF5\x80\x80\x80", false},
      {"\xFF", false},
      {"\x80", false},   // a continuation byte alone
      {"x\xC3", false},  // cut short
      {"\xE2\x82", false},
      {"\xF0\x90\x80", false},
      {"\xC2\xC0", false},  // a byte that cannot continue, in every position
      {"\xE2\x28\xA1", false},
      {"\xE2\x82\x28", false},
      {"\xE2\x82\xC0", false},
      {"\xF0\x90\x80\x28", false},
      {"\xF0\x90\x28\x80", false},
  };
  for (const auto& [text, ok] : rows) EXPECT_EQ(valid_utf8(text), ok) << literal(text);
}

TEST(Text, Integers) {
  const std::vector<std::pair<std::string, std::optional<long long>>> rows = {
      {"42", 42},
      {"0", 0},
      {" -7\t", -7},
      {"\v+5\f", 5},
      {"-9223372036854775808", -9223372036854775807LL - 1},
      {"9223372036854775808", std::nullopt},
      {"+-5", std::nullopt},
      {"-+5", std::nullopt},
      {"++5", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"", std::nullopt},
      {" \t", std::nullopt},
      {"5x", std::nullopt},
      {"4.5", std::nullopt},
      {"4 5", std::nullopt},
  };
  for (const auto& [text, value] : rows) EXPECT_EQ(to_int(text), value) << literal(text);

  EXPECT_EQ(parse_int(" 12 ", "N"), 12);
  try {
    parse_int("four", "LIBSTREAM_THREADS");
    ADD_FAILURE() << "no error";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "LIBSTREAM_THREADS: 'four' is not an integer");
  }
}
