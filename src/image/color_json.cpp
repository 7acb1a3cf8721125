// The bundle's color.json member read into a correction, and the one-line
// reasons a member is refused with.
#include <algorithm>

#include "base/constants.hpp"
#include "base/text.hpp"
#include "bundle/container.hpp"
#include "bundle/json_text.hpp"
#include "image/color_correct_internal.hpp"
#include "image/json_array.hpp"

namespace kinra2::image {

namespace {

constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";

std::string member() {
  return std::string(COLOR_MEMBER);
}

std::string source_or_member(std::string_view source) {
  return source.empty() ? member() : std::string(source);
}

ColorOutcome refuse(std::string why) {
  return ColorOutcome::none(std::move(why));
}

std::string not_parsable(const std::string& why) {
  return member() + " is present but is not parsable json (" + why +
         ") — refusing to invent an identity LUT";
}

std::string not_an_object(const std::string& type) {
  return member() + " is present but is not a json object (got " + type + ")";
}

std::string neither_kind(const nlohmann::json& object) {
  // Object keys are held sorted by their UTF-8 bytes, which is code point order.
  std::vector<std::string> keys;
  for (const auto& [k, v] : object.items()) keys.push_back(k);
  return member() + " is present but carries neither a 'lut' nor a 'gain'+'bias' (keys: " +
         base::literal_list(keys) + ")";
}

}  // namespace

ColorOutcome parse_color_correct(std::nullopt_t, std::string_view) {
  return refuse("this container carries no " + member());
}

ColorOutcome parse_color_correct(std::string_view text, std::string_view source) {
  // The JSON reader would skip a byte-order mark silently; a plain UTF-8
  // decode keeps it as text, which is not JSON.
  if (text.starts_with(UTF8_BOM))
    return refuse(not_parsable("unexpected UTF-8 byte-order mark at the start"));
  if (!base::valid_utf8(text)) return refuse(not_parsable("the bytes are not valid UTF-8"));
  nlohmann::json value;
  try {
    value = bundle::parse_json_text(text);
  } catch (const nlohmann::json::exception& e) {
    // The reader quotes the offending token, which can be the rest of the member.
    return refuse(not_parsable(detail::clipped(e.what())));
  }
  // An integer too large for 64 bits is held as a float, but it was written
  // as an integer, and that is the type the refusal names.
  if (value.is_number_float() && text.find_first_of(".eE") == std::string_view::npos)
    return refuse(not_an_object("int"));
  return parse_color_correct_value(value, source);
}

ColorOutcome parse_color_correct_value(const nlohmann::json& value, std::string_view source) {
  if (!value.is_object()) return refuse(not_an_object(detail::json_type_name(value)));

  if (auto it = value.find("lut"); it != value.end()) {
    std::vector<std::size_t> shape;
    std::vector<std::uint8_t> flat;
    if (std::string e = detail::read_u8_array(*it, shape, flat); !e.empty())
      return refuse(member() + ": 'lut' is not a uint8 array (" + e + ")");
    if (shape != std::vector<std::size_t>{3, 256})
      return refuse(member() + ": 'lut' has shape " + detail::tuple_text(shape) +
                    ", the contract is (3, 256) — refusing to apply a mis-shaped table");
    Lut table{};
    for (int c = 0; c < 3; ++c) std::copy_n(flat.begin() + c * 256, 256, table[c].begin());
    return ColorOutcome::of(ColorCorrect::make_lut(table, std::string(source)),
                            "per-channel LUT (model->driver) from " + source_or_member(source));
  }

  auto g = value.find("gain");
  auto b = value.find("bias");
  if (g != value.end() && b != value.end()) {
    std::vector<std::size_t> gs, bs;
    std::vector<float> gf, bf;
    std::string e = detail::read_f32_array(*g, gs, gf);
    if (e.empty()) e = detail::read_f32_array(*b, bs, bf);
    if (!e.empty()) return refuse(member() + ": 'gain'/'bias' are not float arrays (" + e + ")");
    if (gs != std::vector<std::size_t>{3} || bs != std::vector<std::size_t>{3})
      return refuse(member() + ": gain" + detail::tuple_text(gs) + "/bias" +
                    detail::tuple_text(bs) + ", the contract is (3,)/(3,)");
    return ColorOutcome::of(ColorCorrect::make_gain_bias(
                                {gf[0], gf[1], gf[2]}, {bf[0], bf[1], bf[2]}, std::string(source)),
                            "per-channel gain/bias from " + source_or_member(source));
  }

  return refuse(neither_kind(value));
}

}  // namespace kinra2::image
