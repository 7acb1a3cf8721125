#include "wav_reader.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

namespace kinra2::wav {
namespace {

constexpr std::uint32_t RATE = 16000;
constexpr std::uint16_t PCM = 1, IEEE_FLOAT = 3, EXTENSIBLE = 0xFFFE;
// The data size of a file written as a stream: the writer could not go back
// to fill it in, and the samples run to the end of the file.
constexpr std::uint32_t STREAMED_SIZE = 0xFFFFFFFF;

constexpr const char* EXPECTED_FORMAT =
    "expected a 16000 Hz mono WAV file, 16-bit PCM or 32-bit float (convert with: ffmpeg -i IN "
    "-ac 1 -ar 16000 OUT.wav)";
constexpr const char* EXPECTED_WHOLE = "expected a complete WAV file";

[[noreturn]] void refuse(const std::string& found, const char* expected) {
  throw Refused(found + "; " + expected);
}

std::uint16_t u16(std::string_view b, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) |
                                    static_cast<unsigned char>(b[at + 1]) << 8);
}

std::uint32_t u32(std::string_view b, std::size_t at) {
  return std::uint32_t{u16(b, at)} | std::uint32_t{u16(b, at + 2)} << 16;
}

// A four-byte tag as it can be printed: other bytes than printable ASCII as \xNN.
std::string tag_text(std::string_view tag) {
  std::string s = "\"";
  for (const char c : tag) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F && c != '"' && c != '\\') {
      s.push_back(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      s += hex;
    }
  }
  return s + "\"";
}

struct Format {
  std::uint16_t code = 0;  // the sub-format's code for an extensible header
  std::uint16_t channels = 0;
  std::uint32_t rate = 0;
  std::uint16_t block = 0;  // bytes per sample frame
  std::uint16_t bits = 0;
};

std::string encoding_name(std::uint16_t code) {
  switch (code) {
    case PCM: return "PCM";
    case 2: return "Microsoft ADPCM";
    case IEEE_FLOAT: return "float";
    case 6: return "A-law";
    case 7: return "mu-law";
    case 0x11: return "IMA ADPCM";
    case 0x55: return "MP3";
    default: return "encoding " + std::to_string(code);
  }
}

// What a format header says, as "44100 Hz stereo 16-bit PCM".
std::string describe(const Format& f) {
  const std::string channels = f.channels == 1   ? "mono"
                               : f.channels == 2 ? "stereo"
                                                 : std::to_string(f.channels) + " channels";
  return std::to_string(f.rate) + " Hz " + channels + " " + std::to_string(f.bits) + "-bit " +
         encoding_name(f.code);
}

Format read_format(std::string_view body) {
  if (body.size() < 16)
    refuse("has a fmt chunk of " + std::to_string(body.size()) + " bytes", "expected 16 or more");
  Format f{u16(body, 0), u16(body, 2), u32(body, 4), u16(body, 12), u16(body, 14)};
  if (f.code == EXTENSIBLE) {
    if (body.size() < 40 || u16(body, 16) < 22)
      refuse("has an extensible fmt chunk of " + std::to_string(body.size()) +
                 " bytes, too short for its sub-format",
             "expected 40 or more");
    // The sub-format is a GUID: a format code, then the same 14 bytes for
    // every code. The valid-bits field is not needed: narrower PCM samples
    // sit in the high bits of their container and scale the same way.
    static constexpr unsigned char CODE_GUID_TAIL[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                         0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    if (std::memcmp(body.data() + 26, CODE_GUID_TAIL, sizeof CODE_GUID_TAIL) != 0)
      refuse("is an extensible WAV file of a sub-format that is no format code", EXPECTED_FORMAT);
    f.code = u16(body, 24);
  }
  const bool takes = f.channels == 1 && f.rate == RATE &&
                     ((f.code == PCM && f.bits == 16) || (f.code == IEEE_FLOAT && f.bits == 32));
  if (!takes) refuse("is " + describe(f), EXPECTED_FORMAT);
  if (f.block != f.bits / 8)
    refuse("declares " + std::to_string(f.block) + "-byte sample frames for " + describe(f),
           f.bits == 16 ? "expected 2 bytes" : "expected 4 bytes");
  return f;
}

std::vector<float> read_samples(std::string_view data, const Format& f) {
  std::vector<float> out(data.size() / f.block);
  if (f.code == PCM) {
    // Full scale is 32768, so -32768 is exactly -1.
    for (std::size_t i = 0; i < out.size(); ++i)
      out[i] = static_cast<float>(static_cast<std::int16_t>(u16(data, 2 * i))) / 32768.0f;
    return out;
  }
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = std::bit_cast<float>(u32(data, 4 * i));
    if (!std::isfinite(out[i]))
      refuse("has a sample that is not a number (sample " + std::to_string(i) + ")",
             "expected finite float samples");
  }
  return out;
}

}  // namespace

std::vector<float> decode(std::string_view file) {
  if (file.empty()) refuse("is empty", EXPECTED_FORMAT);
  if (file.substr(0, 4) != "RIFF")
    refuse("is not a WAV file: it starts with " + tag_text(file.substr(0, 4)) + ", not \"RIFF\"",
           EXPECTED_FORMAT);
  if (file.size() < 12)
    refuse("ends after " + std::to_string(file.size()) + " bytes, inside its RIFF header",
           EXPECTED_WHOLE);
  if (file.substr(8, 4) != "WAVE")
    refuse("is a RIFF file of form " + tag_text(file.substr(8, 4)) + ", not \"WAVE\"",
           EXPECTED_FORMAT);
  // The RIFF size is not relied on: a file written as a stream leaves it unset.
  std::optional<Format> format;
  std::size_t at = 12;
  for (;;) {
    if (file.size() - at < 8) refuse("ends before its data chunk", EXPECTED_WHOLE);
    const std::string_view id = file.substr(at, 4);
    const std::uint32_t size = u32(file, at + 4);
    at += 8;
    const std::size_t left = file.size() - at;
    if (id == "data") {
      if (!format)
        refuse("has its data chunk before its fmt chunk", "expected the fmt chunk first");
      const std::size_t n = size == STREAMED_SIZE ? left : size;
      if (n > left)
        refuse("is cut short: its data chunk declares " + std::to_string(size) +
                   " bytes and the file holds " + std::to_string(left),
               EXPECTED_WHOLE);
      if (n % format->block != 0)
        refuse("has a data chunk of " + std::to_string(n) + " bytes, not a whole number of " +
                   std::to_string(format->block) + "-byte samples",
               EXPECTED_WHOLE);
      return read_samples(file.substr(at, n), *format);
    }
    if (size > left)
      refuse("ends inside its " + tag_text(id) + " chunk, before its data chunk", EXPECTED_WHOLE);
    if (id == "fmt ") {
      if (format) refuse("has two fmt chunks", "expected one");
      format = read_format(file.substr(at, size));
    }
    // A chunk of odd size is followed by a pad byte (which a file may lack
    // only at its very end, where no data chunk can follow).
    at += size + std::size_t{size % 2 != 0 && size < left};
  }
}

}  // namespace kinra2::wav
