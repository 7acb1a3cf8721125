// What a reader of optional data or an optional optimisation returns: the
// value, or none, and in both cases one line for the log (why it is absent,
// or what was chosen). Such outcomes are never faults; faults are exceptions.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace kinra2::base {

template <typename T>
struct Outcome {
  std::optional<T> value;
  std::string note;  // may be empty: nothing worth a log line

  static Outcome of(T v, std::string note = {}) { return {std::move(v), std::move(note)}; }
  static Outcome none(std::string why = {}) { return {std::nullopt, std::move(why)}; }
  explicit operator bool() const { return value.has_value(); }
};

}  // namespace kinra2::base
