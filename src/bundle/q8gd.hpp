// Whether a directory bundle's int8-decoder variant is served. The variant
// only pays off with an int8 dot-product instruction set, and it must be
// bound (by hash) to the very combined model it was cut from and validated on
// the runtime in use; anything less falls back to the combined model with one
// explanatory log text. Nothing here throws.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string>
#include <utility>

namespace kinra2::bundle {

inline constexpr const char* DEFAULT_CPUINFO = "/proc/cpuinfo";

// The first of INT8_DOT_FLAGS listed on the first "flags" line of `cpuinfo`,
// or nullopt (also when the file cannot be read).
std::optional<std::string> int8_dot_isa(const std::string& cpuinfo = DEFAULT_CPUINFO);

// Version text of the linked LiteRT runtime (the form recorded in the
// variant's gate.runtime), nullopt when it cannot be read.
std::optional<std::string> litert_runtime_version();

namespace detail {

// Chunk size of the variant hash: bounded memory for any model size.
inline constexpr std::size_t HASH_CHUNK = 4u << 20;

// (declared variant hash or nullopt, reason). A null manifest counts as {}.
// Throws (std::invalid_argument, nlohmann::json::exception) on a manifest
// shaped unlike the contract.
std::pair<std::optional<std::string>, std::string> q8gd_bound(const nlohmann::json& manifest);

// (ok, reason) for the runtime the variant was gated on vs `running`.
std::pair<bool, std::string> q8gd_runtime_ok(const nlohmann::json& manifest, const std::optional<std::string>& running);

// (bundle/combined_litert_q8gd.tflite or nullopt, log text or empty).
std::pair<std::optional<std::string>, std::string> select_q8gd(const std::string& bundle,
                                                               const std::string& cpuinfo = DEFAULT_CPUINFO);

// Lowercase hex SHA-256 of a file, read in HASH_CHUNK pieces. Throws
// std::system_error when the file cannot be read.
std::string sha256_file_hex(const std::string& path);

} // namespace detail
} // namespace kinra2::bundle
