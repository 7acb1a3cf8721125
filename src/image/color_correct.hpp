// The bundle's optional per-channel colour correction (model colours -> the
// driver's), its one-line verdict for the log and its header descriptor.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "base/outcome.hpp"

namespace kinra2::image {

using Lut = std::array<std::array<std::uint8_t, 256>, 3>;
using Vec3 = std::array<float, 3>;

// Immutable once built, so the conversion threads share one instance without
// locking. Only the two factories create instances, which keeps a "lut" without
// a table (or a gain/bias without vectors) unrepresentable.
class ColorCorrect {
 public:
  enum class Kind { lut, gain_bias };

  static ColorCorrect make_lut(const Lut& table, std::string source = {});
  static ColorCorrect make_gain_bias(const Vec3& gain, const Vec3& bias, std::string source = {});

  Kind kind() const { return kind_; }
  std::string_view kind_name() const { return kind_ == Kind::lut ? "lut" : "gain_bias"; }
  // The declared table (kind lut); for gain_bias it is the table derived from
  // gain and bias, which gives exactly the bytes of the arithmetic rule.
  const Lut& lut() const { return table_; }
  const Vec3& gain() const { return gain_; }  // kind gain_bias; zeros otherwise
  const Vec3& bias() const { return bias_; }  // kind gain_bias; zeros otherwise
  const std::string& source() const { return source_; }

  // The per-channel table every kind reduces to: a uint8 input sample has only
  // 256 values, so gain/bias is tabulated once at construction.
  const Lut& table() const { return table_; }

  // HWC uint8 in, HWC uint8 out, `pixels` pixels of three bytes; in == out is
  // allowed (each byte is read before it is written).
  void apply(const std::uint8_t* hwc_in, std::uint8_t* hwc_out, std::size_t pixels) const;
  std::string describe() const;
  // What the descriptor hashes: the 768 table bytes (lut), or gain then bias
  // as little-endian float32 (24 bytes).
  const std::string& payload() const { return payload_; }

 private:
  ColorCorrect() = default;

  Kind kind_ = Kind::lut;
  Lut table_{};
  Vec3 gain_{};
  Vec3 bias_{};
  std::string source_;
  std::string payload_;
};

// A correction, or none with the reason; the note is one line for the log.
using ColorOutcome = base::Outcome<ColorCorrect>;

// The member is absent.
ColorOutcome parse_color_correct(std::nullopt_t, std::string_view source = {});
// The member's bytes (UTF-8 JSON text). Faults in the content are refusals.
ColorOutcome parse_color_correct(std::string_view json_text, std::string_view source = {});

// The correction the bundle carries, or none; the note is the complete log
// line either way. Faults reading the bundle itself propagate.
ColorOutcome load_color_correct(const std::string& bundle);

// {"kind": ..., "sha256": ...}, or null for no correction.
nlohmann::json color_descriptor(const ColorCorrect* cc);
nlohmann::json color_descriptor(const std::optional<ColorCorrect>& cc);

}  // namespace kinra2::image
