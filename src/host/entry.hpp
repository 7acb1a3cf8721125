// Command line and run set-up of the host process.
#pragma once

#include <optional>
#include <string>

namespace kinra2::host {

inline constexpr const char* USAGE =
    "usage: render_stream_host_litert render-stream <bundle> [--engine <dir|.engine>] [--threads N]";

// Exit statuses of the process.
inline constexpr int EXIT_EOF = 0;     // standard input ended
inline constexpr int EXIT_ERROR = 1;   // protocol desync or an uncaught error
inline constexpr int EXIT_USAGE = 2;   // no bundle on the command line
inline constexpr int EXIT_REFUSED = 3; // the bundle was refused

struct RunParams {
  std::string bundle;
  std::optional<std::string> engine;
  long long threads = 0; // requested per interpreter; 0 = none asked for
};

// Full process entry: module set-up, command line, run; returns the exit status.
int main(int argc, const char* const* argv);

namespace detail {
// The left-to-right scan. Throws std::invalid_argument for a --threads value
// that is not an integer.
RunParams scan_args(int argc, const char* const* argv);
int run(const std::string& bundle, const std::optional<std::string>& engine, int threads);
} // namespace detail

} // namespace kinra2::host
