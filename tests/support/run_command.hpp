// Running the project's programs through the shell, as a user would.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <utility>

namespace k2test {

// Runs a shell command; returns (exit status or -signal, combined output).
inline std::pair<int, std::string> run(const std::string& cmd) {
  std::string out;
  FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return {-1, ""};
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = ::pclose(p);
  if (WIFEXITED(st)) return {WEXITSTATUS(st), out};
  if (WIFSIGNALED(st)) return {-WTERMSIG(st), out};
  return {-1, out};
}

// A program of the build.
inline std::string bin(const std::string& prog) {
  return std::string(K2_BIN_DIR) + "/" + prog;
}

// `s` quoted for the shell.
inline std::string shq(const std::string& s) {
  std::string o = "'";
  for (char c : s) o += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return o + "'";
}

}  // namespace k2test
