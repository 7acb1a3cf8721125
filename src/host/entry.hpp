// Command line and run set-up of the host process.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kinra2::host {

inline constexpr const char* USAGE =
    "usage: render_stream_host_litert render-stream <bundle> [--engine <dir|.engine>] [--threads "
    "N]";

// Exit statuses of the process.
inline constexpr int EXIT_EOF = 0;      // standard input ended
inline constexpr int EXIT_ERROR = 1;    // protocol desync or an uncaught error
inline constexpr int EXIT_USAGE = 2;    // no bundle on the command line
inline constexpr int EXIT_REFUSED = 3;  // the bundle was refused

struct RunParams {
  std::string bundle;
  std::optional<std::string> engine;
  long long threads = 0;  // requested per interpreter; 0 = none asked for
};

// Full process entry: module set-up, command line, run; returns the exit
// status. It may be called again in the same process (a host loaded into an
// interpreter is entered that way): every call reads and writes descriptors
// 0 and 1 afresh, removes what it staged before returning, and puts back the
// SIGPIPE, SIGTERM and SIGINT dispositions it found. Calls must not overlap.
// This form is the program's: once the bundle is staged it confines the
// process (system/confine.hpp) for the rest of its life.
int main(int argc, const char* const* argv);
// Same, looking for the policy component in `policy_dirs`, and for the LiteRT
// runtime in the last of them before the platform's own search (a host loaded
// as a module keeps both beside the module, not beside the interpreter).
// `confine` only where the process is the host's alone: confining an
// application that calls in would break the application.
int main(int argc, const char* const* argv, const std::vector<std::string>& policy_dirs,
         bool confine = false);

namespace detail {
// The left-to-right scan. Throws std::invalid_argument for a --threads value
// that is not an integer.
RunParams scan_args(int argc, const char* const* argv);
int run(const std::string& bundle, const std::optional<std::string>& engine, int threads,
        bool confine = false);
}  // namespace detail

}  // namespace kinra2::host
