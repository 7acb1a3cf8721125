// The monotonic clock every timing in the host is read from.
#pragma once

#include <chrono>

namespace kinra2::base {

inline double monotonic_seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace kinra2::base
