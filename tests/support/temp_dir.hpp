// A fresh directory below the system temp dir, removed with everything in it
// when the object goes.
#pragma once

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace k2test {

class TempDir {
 public:
  explicit TempDir(std::string_view tag = "k2test") {
    const auto base = std::filesystem::temp_directory_path();
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
      // create_directory is false when the name exists: then another name.
      auto p = base / (std::string(tag) + "-" + std::to_string(rd() % 100000000u));
      std::error_code ec;
      if (std::filesystem::create_directory(p, ec)) {
        path_ = p;
        return;
      }
      if (ec) break;
    }
    throw std::runtime_error("cannot create a temporary directory");
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  // The path of `name` inside the directory.
  std::string file(std::string_view name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace k2test
