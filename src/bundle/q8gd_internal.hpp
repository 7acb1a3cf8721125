// The int8 decoder gate's parts, for the bundle loader and the tests.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

#include "base/outcome.hpp"
#include "bundle/q8gd.hpp"

namespace kinra2::bundle {

namespace detail {

// Chunk size of the variant hash: bounded memory for any model size.
inline constexpr std::size_t HASH_CHUNK = 4u << 20;

// The declared variant hash (note "bound"), or none and why. A null manifest
// counts as {}. Throws (std::invalid_argument, nlohmann::json::exception) on a
// manifest shaped unlike the contract.
base::Outcome<std::string> q8gd_bound(const nlohmann::json& manifest);

// (ok, reason) for the runtime the variant was gated on vs `running`.
std::pair<bool, std::string> q8gd_runtime_ok(const nlohmann::json& manifest,
                                             const std::optional<std::string>& running);

// bundle/combined_litert_q8gd.tflite or none; the note is the log text (empty
// when there is nothing to say: no directory bundle or no variant in it).
base::Outcome<std::string> select_q8gd(const std::string& bundle,
                                       const std::string& cpuinfo = default_cpuinfo());

// Lowercase hex SHA-256 of a file, read in HASH_CHUNK pieces. Throws
// std::system_error when the file cannot be read.
std::string sha256_file_hex(const std::string& path);

}  // namespace detail
}  // namespace kinra2::bundle
