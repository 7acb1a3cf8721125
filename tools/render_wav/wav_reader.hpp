// The WAV files render_wav reads: 16 kHz mono, 16-bit PCM or 32-bit float.
#pragma once

#include <stdexcept>
#include <string_view>
#include <vector>

namespace kinra2::wav {

// A file that is not one of the WAV files we read, or is damaged. The text is
// one line: what the file is, and what is expected instead.
class Refused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The samples of a 16 kHz mono WAV file, given as the file's bytes: 16-bit
// PCM as x / 32768, 32-bit float as stored. Throws Refused for anything else,
// so that no file ever turns into other audio than it holds.
std::vector<float> decode(std::string_view file);

}  // namespace kinra2::wav
