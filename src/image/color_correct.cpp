#include "image/color_correct.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include <openssl/evp.h>

#include "bundle/container.hpp"
#include "base/constants.hpp"

namespace kinra2::image {

namespace {

constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";
// Deeper nesting than any sane table is refused before it costs recursion.
constexpr std::size_t MAX_DIMS = 32;

std::string member() { return std::string(COLOR_MEMBER); }

// The same two single-precision roundings as the arithmetic rule, clamped and
// truncated; NaN (impossible for finite gains, but never UB) lands on 0.
std::uint8_t gain_bias_byte(int v, float gain, float bias) {
  float t = static_cast<float>(v) * gain; // no contraction: the build forbids FMA
  float s = t + bias;
  s = s > 0.0f ? s : 0.0f;
  s = s < 255.0f ? s : 255.0f;
  return static_cast<std::uint8_t>(s);
}

void append_le_float(std::string& out, float v) {
  auto bits = std::bit_cast<std::uint32_t>(v);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xFFu));
}

std::string format_shape(const std::vector<std::size_t>& shape) {
  std::string s = "(";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(shape[i]);
  }
  if (shape.size() == 1) s += ",";
  return s + ")";
}

std::string type_name(const nlohmann::json& v) {
  switch (v.type()) {
    case nlohmann::json::value_t::array: return "list";
    case nlohmann::json::value_t::string: return "str";
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned: return "int";
    case nlohmann::json::value_t::number_float: return "float";
    case nlohmann::json::value_t::boolean: return "bool";
    case nlohmann::json::value_t::null: return "NoneType";
    case nlohmann::json::value_t::object: return "dict";
    default: return "bytes";
  }
}

// A quoted key as it reads in a Python list display: single quotes unless the
// text holds a single quote and no double quote; control bytes escaped.
std::string quoted_key(const std::string& k) {
  char q = (k.find('\'') != std::string::npos && k.find('"') == std::string::npos) ? '"' : '\'';
  std::string s(1, q);
  for (unsigned char c : k) {
    if (c == '\\' || c == static_cast<unsigned char>(q)) {
      s += '\\';
      s += static_cast<char>(c);
    } else if (c == '\n') {
      s += "\\n";
    } else if (c == '\r') {
      s += "\\r";
    } else if (c == '\t') {
      s += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      static constexpr char hex[] = "0123456789abcdef";
      s += "\\x";
      s += hex[c >> 4];
      s += hex[c & 15];
    } else {
      s += static_cast<char>(c);
    }
  }
  return s + q;
}

// Cuts a description meant for one log line to `max` bytes, at a UTF-8
// character boundary.
std::string clipped(std::string s, std::size_t max = 160) {
  if (s.size() <= max) return s;
  std::size_t cut = max;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  s.resize(cut);
  return s + "...";
}

// How an offending element reads in a message. Only scalars are shown: the
// JSON writer recurses, so a deeply nested object would overflow the stack.
std::string element_text(const nlohmann::json& node) {
  if (node.is_structured()) return type_name(node);
  return type_name(node) + " " + clipped(node.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), 40);
}

std::string index_text(const std::vector<std::size_t>& at) {
  std::string s = "[";
  for (std::size_t i = 0; i < at.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(at[i]);
  }
  return s + "]";
}

// Converts a JSON value into a rectangular array of numbers. `accept` checks
// one element and stores it (returning an error text, empty when fine). The
// shape is that of a nested list read as an n-dimensional array: a bare
// number has shape (), [] has shape (0,).
template <typename T, typename Accept>
std::string to_array(const nlohmann::json& value, Accept accept, std::vector<std::size_t>& shape,
                     std::vector<T>& flat) {
  shape.clear();
  flat.clear();
  const nlohmann::json* v = &value;
  while (v->is_array()) {
    if (shape.size() == MAX_DIMS) return "more than " + std::to_string(MAX_DIMS) + " nested levels";
    shape.push_back(v->size());
    if (v->empty()) break;
    v = &(*v)[0];
  }
  std::vector<std::size_t> at;
  // Depth-first walk; recursion depth is bounded by MAX_DIMS.
  auto walk = [&](auto&& self, const nlohmann::json& node) -> std::string {
    std::size_t d = at.size();
    if (d < shape.size()) {
      if (!node.is_array() || node.size() != shape[d])
        return "ragged nesting at " + index_text(at) + ": expected a list of " + std::to_string(shape[d]) +
               " elements, got " + (node.is_array() ? std::to_string(node.size()) + " elements" : type_name(node));
      for (std::size_t i = 0; i < node.size(); ++i) {
        at.push_back(i);
        std::string e = self(self, node[i]);
        at.pop_back();
        if (!e.empty()) return e;
      }
      return {};
    }
    if (node.is_array()) return "ragged nesting at " + index_text(at) + ": a list where a number was expected";
    if (!node.is_number())
      return "element " + index_text(at) + " is " + element_text(node) + ", not a number";
    T out{};
    std::string e = accept(node, out);
    if (!e.empty()) return "element " + index_text(at) + " " + e;
    flat.push_back(out);
    return {};
  };
  return walk(walk, value);
}

std::string accept_u8(const nlohmann::json& n, std::uint8_t& out) {
  double d = n.get<double>();
  if (n.is_number_integer() || n.is_number_unsigned()) {
    if (n.is_number_unsigned() ? n.get<std::uint64_t>() <= 255 : (n.get<std::int64_t>() >= 0 && n.get<std::int64_t>() <= 255)) {
      out = static_cast<std::uint8_t>(n.get<std::int64_t>());
      return {};
    }
  } else if (d >= 0.0 && d <= 255.0 && std::floor(d) == d) {
    out = static_cast<std::uint8_t>(d);
    return {};
  }
  return "= " + n.dump() + " is not an integer in 0..255";
}

std::string accept_f32(const nlohmann::json& n, float& out) {
  if (n.is_number_float()) {
    double d = n.get<double>();
    // Beyond the rounding midpoint above FLT_MAX a float32 would be infinite;
    // casting such a double is undefined, so it is refused first.
    if (!(std::fabs(d) < 0x1.ffffffp127)) return "= " + n.dump() + " is not a finite float32";
    out = std::fabs(d) > FLT_MAX ? std::copysign(FLT_MAX, static_cast<float>(d > 0 ? 1 : -1)) : static_cast<float>(d);
  } else {
    out = n.is_number_unsigned() ? static_cast<float>(n.get<std::uint64_t>()) : static_cast<float>(n.get<std::int64_t>());
  }
  return {};
}

std::string source_or_member(std::string_view source) {
  return source.empty() ? member() : std::string(source);
}

} // namespace

// ---------------------------------------------------------------------------

ColorCorrect ColorCorrect::make_lut(const Lut& table, std::string source) {
  ColorCorrect cc;
  cc.kind_ = Kind::lut;
  cc.table_ = table;
  cc.source_ = std::move(source);
  cc.payload_.reserve(768);
  for (const auto& row : table) cc.payload_.append(reinterpret_cast<const char*>(row.data()), row.size());
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
      parts += std::string(letters[c]) + " max " + std::to_string(mx) + " mean " + std::to_string(q / 10) + "." +
               std::to_string(q % 10);
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

// ---------------------------------------------------------------------------

ColorResult parse_color_correct(std::nullopt_t, std::string_view) {
  return {std::nullopt, "this container carries no " + member()};
}

ColorResult parse_color_correct(std::string_view text, std::string_view source) {
  auto refuse = [](const std::string& why) -> ColorResult {
    return {std::nullopt, member() + " is present but is not parsable json (" + why + ") — refusing to invent an identity LUT"};
  };
  // The JSON reader would skip a byte-order mark silently; a plain UTF-8
  // decode keeps it as text, which is not JSON.
  if (text.starts_with(UTF8_BOM)) return refuse("unexpected UTF-8 byte-order mark at the start");
  if (!bundle::detail::valid_utf8(text)) return refuse("the bytes are not valid UTF-8");
  nlohmann::json value;
  try {
    value = nlohmann::json::parse(text.begin(), text.end());
  } catch (const nlohmann::json::exception& e) {
    // The reader quotes the offending token, which can be the rest of the member.
    return refuse(clipped(e.what()));
  }
  // An integer too large for 64 bits is held as a float, but it was written
  // as an integer, and that is the type the refusal names.
  if (value.is_number_float() && text.find_first_of(".eE") == std::string_view::npos)
    return {std::nullopt, member() + " is present but is not a json object (got int)"};
  return parse_color_correct_value(value, source);
}

ColorResult parse_color_correct_value(const nlohmann::json& value, std::string_view source) {
  if (!value.is_object()) return {std::nullopt, member() + " is present but is not a json object (got " + type_name(value) + ")"};

  if (auto it = value.find("lut"); it != value.end()) {
    std::vector<std::size_t> shape;
    std::vector<std::uint8_t> flat;
    if (std::string e = to_array<std::uint8_t>(*it, accept_u8, shape, flat); !e.empty())
      return {std::nullopt, member() + ": 'lut' is not a uint8 array (" + e + ")"};
    if (shape != std::vector<std::size_t>{3, 256})
      return {std::nullopt, member() + ": 'lut' has shape " + format_shape(shape) +
                                ", the contract is (3, 256) — refusing to apply a mis-shaped table"};
    Lut table{};
    for (int c = 0; c < 3; ++c) std::copy_n(flat.begin() + c * 256, 256, table[c].begin());
    return {ColorCorrect::make_lut(table, std::string(source)), "per-channel LUT (model->driver) from " + source_or_member(source)};
  }

  auto g = value.find("gain");
  auto b = value.find("bias");
  if (g != value.end() && b != value.end()) {
    std::vector<std::size_t> gs, bs;
    std::vector<float> gf, bf;
    std::string e = to_array<float>(*g, accept_f32, gs, gf);
    if (e.empty()) e = to_array<float>(*b, accept_f32, bs, bf);
    if (!e.empty()) return {std::nullopt, member() + ": 'gain'/'bias' are not float arrays (" + e + ")"};
    if (gs != std::vector<std::size_t>{3} || bs != std::vector<std::size_t>{3})
      return {std::nullopt, member() + ": gain" + format_shape(gs) + "/bias" + format_shape(bs) + ", the contract is (3,)/(3,)"};
    return {ColorCorrect::make_gain_bias({gf[0], gf[1], gf[2]}, {bf[0], bf[1], bf[2]}, std::string(source)),
            "per-channel gain/bias from " + source_or_member(source)};
  }

  // Object keys are held sorted by their UTF-8 bytes, which is code point order.
  std::string keys = "[";
  bool first = true;
  for (const auto& [k, v] : value.items()) {
    (void)v;
    if (!first) keys += ", ";
    first = false;
    keys += quoted_key(k);
  }
  keys += "]";
  return {std::nullopt, member() + " is present but carries neither a 'lut' nor a 'gain'+'bias' (keys: " + keys + ")"};
}

ColorResult load_color_correct(const std::string& bundle) {
  const std::string prefix(COLOR_LOG_PREFIX);
  if (!detail::color_enabled())
    return {std::nullopt,
            prefix + " DISABLED by " + std::string(COLOR_ENV) +
                "=0 — the frames are the RAW model output and will NOT match a live session's colours. This switch "
                "exists to isolate the renderer for measurement; it is not a serving mode."};
  std::optional<std::string> raw = bundle::detail::member_bytes(bundle, {COLOR_MEMBER});
  std::string source = bundle + "!" + member();
  auto [cc, why] = raw ? parse_color_correct(std::string_view(*raw), source) : parse_color_correct(std::nullopt, source);
  if (!cc)
    return {std::nullopt,
            prefix + " NOT APPLIED — " + why +
                ". The frames are the raw model output. A container carries the correction only if its producer packed "
                "one, so this says nothing about whether the identity HAS one; it is not an error and the render proceeds."};
  std::string line = prefix + " APPLIED — " + cc->describe();
  return {std::move(cc), std::move(line)};
}

nlohmann::json color_descriptor(const ColorCorrect* cc) {
  if (!cc) return nullptr;
  return nlohmann::json{{"kind", std::string(cc->kind_name())}, {"sha256", detail::sha256_hex(cc->payload())}};
}

// ---------------------------------------------------------------------------

namespace detail {

bool color_enabled() {
  const char* env = std::getenv(std::string(COLOR_ENV).c_str());
  std::string_view v = env ? env : "";
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
  while (!v.empty() && blank(v.front())) v.remove_prefix(1);
  while (!v.empty() && blank(v.back())) v.remove_suffix(1);
  std::string low(v);
  for (char& c : low)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
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
  if (digits.size() <= int_len) return sign + digits + std::string(int_len - digits.size(), '0') + ".0";
  return sign + digits.substr(0, int_len) + "." + digits.substr(int_len);
}

std::string sha256_hex(std::string_view bytes) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size()) != 1 || EVP_DigestFinal_ex(ctx.get(), md, &len) != 1)
    throw std::runtime_error("SHA-256 digest failed");
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * len);
  for (unsigned int i = 0; i < len; ++i) {
    out += hex[md[i] >> 4];
    out += hex[md[i] & 15];
  }
  return out;
}

} // namespace detail

} // namespace kinra2::image
