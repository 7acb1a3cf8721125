#include "image/color_correct.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "base/constants.hpp"
#include "base/sha256.hpp"
#include "base/text.hpp"
#include "bundle/container.hpp"
#include "image/color_correct_internal.hpp"
#include "system/files.hpp"

namespace kinra2::image {

namespace {

std::string member() {
  return std::string(COLOR_MEMBER);
}

// The same two single-precision roundings as the arithmetic rule, clamped and
// truncated; NaN (impossible for finite gains, but never UB) lands on 0.
std::uint8_t gain_bias_byte(int v, float gain, float bias) {
  float t = static_cast<float>(v) * gain;  // no contraction: the build forbids FMA
  float s = t + bias;
  s = s > 0.0f ? s : 0.0f;
  s = s < 255.0f ? s : 255.0f;
  return static_cast<std::uint8_t>(s);
}

void append_le_float(std::string& out, float v) {
  auto bits = std::bit_cast<std::uint32_t>(v);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xFFu));
}

}  // namespace

ColorCorrect ColorCorrect::make_lut(const Lut& table, std::string source) {
  ColorCorrect cc;
  cc.kind_ = Kind::lut;
  cc.table_ = table;
  cc.source_ = std::move(source);
  cc.payload_.reserve(768);
  for (const auto& row : table)
    cc.payload_.append(reinterpret_cast<const char*>(row.data()), row.size());
  return cc;
}

ColorCorrect ColorCorrect::make_gain_bias(const Vec3& gain, const Vec3& bias, std::string source) {
  ColorCorrect cc;
  cc.kind_ = Kind::gain_bias;
  cc.gain_ = gain;
  cc.bias_ = bias;
  cc.source_ = std::move(source);
  for (int c = 0; c < 3; ++c)
    for (int v = 0; v < 256; ++v) cc.table_[c][v] = gain_bias_byte(v, gain[c], bias[c]);
  for (float g : gain) append_le_float(cc.payload_, g);
  for (float b : bias) append_le_float(cc.payload_, b);
  return cc;
}

void ColorCorrect::apply(const std::uint8_t* in, std::uint8_t* out, std::size_t pixels) const {
  const auto& r = table_[0];
  const auto& g = table_[1];
  const auto& b = table_[2];
  for (std::size_t i = 0; i < pixels; ++i) {
    std::uint8_t x0 = in[3 * i], x1 = in[3 * i + 1], x2 = in[3 * i + 2];
    out[3 * i] = r[x0];
    out[3 * i + 1] = g[x1];
    out[3 * i + 2] = b[x2];
  }
}

std::string ColorCorrect::describe() const {
  if (kind_ == Kind::lut) {
    static constexpr const char* letters[] = {"R", "G", "B"};
    std::string parts;
    for (int c = 0; c < 3; ++c) {
      std::int32_t mx = 0, sum = 0;
      for (int v = 0; v < 256; ++v) {
        std::int32_t d = std::abs(static_cast<std::int32_t>(table_[c][v]) - v);
        mx = std::max(mx, d);
        sum += d;
      }
      // mean = sum / 256 exactly; one decimal, ties to even, in integers.
      std::int32_t num = sum * 10, q = num / 256, r = num % 256;
      if (r > 128 || (r == 128 && (q & 1))) ++q;
      if (c) parts += "/";
      parts += std::string(letters[c]) + " max " + std::to_string(mx) + " mean " +
               std::to_string(q / 10) + "." + std::to_string(q % 10);
    }
    return "per-channel LUT (model->driver), deviation from identity: " + parts;
  }
  std::string out = "per-channel gain=";
  auto list = [&out](const Vec3& v) {
    out += '[';
    for (std::size_t i = 0; i < v.size(); ++i) {
      if (i) out += ", ";
      out += detail::float_repr(v[i]);
    }
    out += ']';
  };
  list(gain_);
  out += " bias=";
  list(bias_);
  return out;
}

ColorOutcome load_color_correct(const std::string& bundle) {
  const std::string prefix(COLOR_LOG_PREFIX);
  if (!detail::color_enabled())
    return ColorOutcome::none(
        prefix + " DISABLED by " + std::string(COLOR_ENV) +
        "=0 — the frames are the RAW model output and will NOT match a live session's colours. "
        "This switch "
        "exists to isolate the renderer for measurement; it is not a serving mode.");
  std::optional<std::string> raw = bundle::member_bytes(bundle, {COLOR_MEMBER});
  std::string source = bundle + "!" + member();
  ColorOutcome parsed = raw ? parse_color_correct(std::string_view(*raw), source)
                            : parse_color_correct(std::nullopt, source);
  if (!parsed)
    return ColorOutcome::none(prefix + " NOT APPLIED — " + parsed.note +
                              ". The frames are the raw model output. A container carries the "
                              "correction only if its producer packed "
                              "one, so this says nothing about whether the identity HAS one; it is "
                              "not an error and the render proceeds.");
  std::string line = prefix + " APPLIED — " + parsed.value->describe();
  return ColorOutcome::of(std::move(*parsed.value), std::move(line));
}

nlohmann::json color_descriptor(const ColorCorrect* cc) {
  if (!cc) return nullptr;
  return nlohmann::json{{"kind", std::string(cc->kind_name())},
                        {"sha256", base::sha256_hex(cc->payload())}};
}

nlohmann::json color_descriptor(const std::optional<ColorCorrect>& cc) {
  return color_descriptor(cc ? &*cc : nullptr);
}

// ---------------------------------------------------------------------------

namespace detail {

bool color_enabled() {
  const std::string low =
      base::setting_word(system::env_text(std::string(COLOR_ENV).c_str()).value_or(""));
  return !(low == "0" || low == "false" || low == "no" || low == "off");
}

std::string float_repr(float v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  // Shortest round-trip digits and the decimal exponent, then laid out the way
  // a Python-style repr does: positional within [1e-4, 1e16), else scientific.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  std::string sign;
  if (sci.front() == '-') {
    sign = "-";
    sci.remove_prefix(1);
  }
  std::size_t epos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, epos))
    if (c != '.') digits += c;
  int exp = std::atoi(std::string(sci.substr(epos + 1)).c_str());
  if (v == 0.0f) return sign + "0.0";
  if (exp < -4 || exp >= 16) {
    std::string m = digits.substr(0, 1);
    if (digits.size() > 1) m += "." + digits.substr(1);
    std::string e = std::to_string(exp < 0 ? -exp : exp);
    if (e.size() < 2) e = "0" + e;
    return sign + m + "e" + (exp < 0 ? "-" : "+") + e;
  }
  if (exp < 0) return sign + "0." + std::string(static_cast<std::size_t>(-exp - 1), '0') + digits;
  std::size_t int_len = static_cast<std::size_t>(exp) + 1;
  if (digits.size() <= int_len)
    return sign + digits + std::string(int_len - digits.size(), '0') + ".0";
  return sign + digits.substr(0, int_len) + "." + digits.substr(int_len);
}

}  // namespace detail

}  // namespace kinra2::image
