// The bytes a peer writes to the host, assembled record by record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace k2test {

struct Records {
  std::string bytes;
  Records& word(std::uint32_t w) {
    bytes.append(reinterpret_cast<const char*>(&w), 4);
    return *this;
  }
  Records& audio(const std::vector<float>& samples) {
    word(static_cast<std::uint32_t>(samples.size()));
    bytes.append(reinterpret_cast<const char*>(samples.data()), samples.size() * 4);
    return *this;
  }
  Records& flush() { return word(0xFFFFFFFFu); }
  Records& reset() { return word(0xFFFFFFFEu); }
};

}  // namespace k2test
