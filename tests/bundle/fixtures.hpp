// Helpers shared by the bundle tests: scratch directories, hand-made
// containers and scoped environment settings.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/wait.h>

namespace k2test {

namespace fs = std::filesystem;

class TempDir {
public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "k2bundle_test_XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  std::string str(const std::string& sub = "") const { return sub.empty() ? path_.string() : (path_ / sub).string(); }

private:
  fs::path path_;
};

inline void write_file(const fs::path& p, const std::string& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream o(p, std::ios::binary | std::ios::trunc);
  o.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A canon latent of `floats` little-endian float32 values.
inline std::string canon_bytes(std::size_t floats = 16 * 4680) {
  std::string s(floats * 4, '\0');
  for (std::size_t i = 0; i < floats; ++i) {
    float f = static_cast<float>(i % 97) * 0.25f;
    std::memcpy(s.data() + 4 * i, &f, 4);
  }
  return s;
}

struct RawEntry {
  std::string name;
  std::uint64_t offset;
  std::uint64_t size;
};

inline void put16(std::string& s, std::uint64_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>((v >> 8) & 0xFF);
}
inline void put64(std::string& s, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// An IMX header and table with arbitrary (possibly lying) entries.
inline std::string imx_header(const std::vector<RawEntry>& entries, std::uint16_t count, std::uint16_t rev = 1) {
  std::string s("IMX\0", 4);
  put16(s, rev);
  put16(s, count);
  for (const auto& e : entries) {
    put16(s, e.name.size());
    s += e.name;
    put64(s, e.offset);
    put64(s, e.size);
  }
  return s;
}

// A well-formed IMX container of (name, data) members in the given order.
inline std::string imx_of(const std::vector<std::pair<std::string, std::string>>& members) {
  std::uint64_t off = 8;
  for (const auto& [n, d] : members) off += 2 + n.size() + 16;
  std::vector<RawEntry> toc;
  std::string body;
  for (const auto& [n, d] : members) {
    toc.push_back({n, off + body.size(), d.size()});
    body += d;
  }
  return imx_header(toc, static_cast<std::uint16_t>(toc.size())) + body;
}

class ScopedEnv {
public:
  ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
    if (const char* v = std::getenv(name_.c_str())) old_ = v;
    if (value)
      ::setenv(name_.c_str(), value->c_str(), 1);
    else
      ::unsetenv(name_.c_str());
  }
  ~ScopedEnv() {
    if (old_)
      ::setenv(name_.c_str(), old_->c_str(), 1);
    else
      ::unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
  std::string name_;
  std::optional<std::string> old_;
};

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

inline std::string bin(const std::string& prog) { return std::string(K2_BIN_DIR) + "/" + prog; }

inline std::string shq(const std::string& s) {
  std::string o = "'";
  for (char c : s) o += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return o + "'";
}

} // namespace k2test
