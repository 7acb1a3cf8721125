// Whether a directory bundle's int8-decoder variant is served. The variant
// only pays off with an int8 dot-product instruction set, and it must be
// bound (by hash) to the very combined model it was cut from and validated on
// the runtime in use; anything less falls back to the combined model with one
// explanatory log text.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace kinra2::bundle {

// The processor flags file: /proc/cpuinfo, or empty where the platform has
// none (Windows), so that the gate falls back.
std::string default_cpuinfo();

// A processor flags file whose text is not UTF-8.
struct UndecodableText : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The first of INT8_DOT_FLAGS listed on the first "flags" line of `cpuinfo`,
// or nullopt (also when the file cannot be read). Throws UndecodableText when
// a line up to that one is not UTF-8.
std::optional<std::string> int8_dot_isa(const std::string& cpuinfo = default_cpuinfo());

// Version text of the LiteRT runtime in use, the form recorded in the
// variant's gate.runtime: the library's version with this build's local label
// ("2.9.0+tfjs.tflite.node.0.0.2"). A variant checked on a release of the
// Python package records a plain release number, which this text never
// equals, even where the version numbers agree. Loads the runtime if need be;
// nullopt when it cannot be loaded or read. Never throws.
std::optional<std::string> litert_runtime_version() noexcept;

}  // namespace kinra2::bundle
