// q8gd_regate <bundle-dir> [--check] [--tolerance LEVELS]
//
// Checks a directory bundle's int8-decoder variant on the LiteRT runtime this
// build ships, and records that runtime in the variant's gate when its frames
// stay within the tolerance of the combined model's. The host serves a
// variant only on the runtime it was checked on; one checked elsewhere falls
// back to the float decoder until it is re-gated here.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace kinra2::regate {

// Exit statuses.
inline constexpr int STATUS_OK = 0;  // within the tolerance (recorded, or --check)
inline constexpr int STATUS_BEYOND =
    1;                                  // frames beyond the tolerance, or an error; nothing changed
inline constexpr int STATUS_USAGE = 2;  // the command line
inline constexpr int STATUS_REFUSED = 3;      // no variant that can be re-gated; nothing changed
inline constexpr int STATUS_NOT_WRITTEN = 4;  // manifest.json could not be replaced; it stands

// Worst difference, in 8-bit levels of any byte of any frame, that a variant
// may show against the combined model. The demo's variants stay within 2.
inline constexpr int DEFAULT_TOLERANCE = 8;

// Runs the tool with `args` (without the program name). The report goes to
// `out`; a refusal, a usage error or a failed write is one line on `err`.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace kinra2::regate
