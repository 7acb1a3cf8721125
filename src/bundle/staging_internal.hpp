// The staged-file registry as it stands, for the tests.
#pragma once

#include <string>
#include <vector>

#include "bundle/staging.hpp"

namespace kinra2::bundle::detail {

// Snapshot of the registry, oldest first.
std::vector<std::string> staged_paths();

}  // namespace kinra2::bundle::detail
