// The bytes a peer writes to the host, assembled record by record.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "host/serve.hpp"

namespace k2test {

struct Records {
  std::string bytes;
  Records& word(std::uint32_t w) {
    bytes.append(reinterpret_cast<const char*>(&w), 4);
    return *this;
  }
  Records& audio(std::span<const float> samples) {
    word(static_cast<std::uint32_t>(samples.size()));
    bytes.append(reinterpret_cast<const char*>(samples.data()), samples.size() * 4);
    return *this;
  }
  Records& flush() { return word(kinra2::host::FLUSH_WORD); }
  Records& reset() { return word(kinra2::host::RESET_WORD); }
};

}  // namespace k2test
