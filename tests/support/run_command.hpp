// Running the project's programs as a user would, the same way on Linux and
// on Windows (no shell in between).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "system/subprocess.hpp"

namespace k2test {

// Runs `argv` with `input` on standard input and `env` ("NAME=value")
// added; returns (exit status, standard output and error together), or
// (-1, the reason) when the program cannot be started.
inline std::pair<int, std::string> run(const std::vector<std::string>& argv,
                                       const std::vector<std::string>& env = {},
                                       const std::string& input = {}) {
  try {
    auto c = kinra2::system::run_captured(argv, input, env);
    return {c.status, std::move(c.out)};
  } catch (const std::exception& e) {
    return {-1, e.what()};
  }
}

// A program of the build.
inline std::string bin(const std::string& prog) {
  return std::string(K2_BIN_DIR) + "/" + prog + K2_EXE_SUFFIX;
}

}  // namespace k2test
