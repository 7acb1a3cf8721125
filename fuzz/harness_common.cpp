#include "harness.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#include "system/files.hpp"

namespace kinra2::fuzz {

namespace {
struct Scratch {
  std::string path;
  Scratch() {
    std::string base = std::filesystem::is_directory("/dev/shm")
                           ? "/dev/shm"
                           : std::filesystem::temp_directory_path().string();
    std::random_device rd;
    for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
      std::string p = base + "/k2fuzz_" + std::to_string(rd()) + std::to_string(rd());
      std::error_code ec;
      if (std::filesystem::create_directory(p, ec)) path = p;  // false: it exists
    }
    if (path.empty()) throw std::runtime_error("cannot create a scratch directory in " + base);
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};
}  // namespace

const std::string& scratch_dir() {
  static Scratch s;
  return s.path;
}

void put_file(const std::string& path, std::string_view bytes) {
  std::ofstream f(system::fs_path(path), std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("cannot create " + path);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!f.flush()) throw std::runtime_error("cannot write " + path);
}

}  // namespace kinra2::fuzz
