#include "base/text.hpp"

#include <charconv>
#include <stdexcept>

namespace kinra2::base {

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view blanks = " \t\n\r\v\f";
  const auto b = text.find_first_not_of(blanks);
  if (b == std::string_view::npos) return {};
  return text.substr(b, text.find_last_not_of(blanks) - b + 1);
}

std::string setting_word(std::string_view text) {
  std::string word(trimmed(text));
  for (char& c : word)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return word;
}

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '\'';
  out += text;
  out += '\'';
  return out;
}

std::string literal(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (u < 0x20 || u == 0x7F) {
      static constexpr char hex[] = "0123456789abcdef";
      out += "\\x";
      out += hex[u >> 4];
      out += hex[u & 15];
    } else {
      out += c;
    }
  }
  return out + "'";
}

std::string literal_list(std::span<const std::string> items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    out += literal(items[i]);
  }
  return out + "]";
}

bool valid_utf8(std::string_view text) {
  std::size_t i = 0;
  const auto* u = reinterpret_cast<const unsigned char*>(text.data());
  while (i < text.size()) {
    const unsigned c = u[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
    } else {
      return false;
    }
    if (i + len > text.size()) return false;
    if (u[i + 1] < lo || u[i + 1] > hi) return false;
    for (std::size_t k = 2; k < len; ++k)
      if (u[i + k] < 0x80 || u[i + k] > 0xBF) return false;
    i += len;
  }
  return true;
}

std::optional<long long> to_int(std::string_view text) {
  text = trimmed(text);
  // One sign at most: from_chars takes a '-' but no '+', so a '+' is dropped
  // here only when a digit follows it ("+-5" is no integer).
  if (text.size() > 1 && text.front() == '+' && text[1] >= '0' && text[1] <= '9')
    text.remove_prefix(1);
  long long v = 0;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || ec != std::errc() || p != text.data() + text.size()) return std::nullopt;
  return v;
}

long long parse_int(std::string_view text, std::string_view what) {
  if (auto v = to_int(text)) return *v;
  throw std::invalid_argument(std::string(what) + ": '" + std::string(text) +
                              "' is not an integer");
}

}  // namespace kinra2::base
