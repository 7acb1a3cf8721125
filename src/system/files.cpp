#include "system/files.hpp"

#include <utility>

namespace kinra2::system {

// Both platforms keep an invalid handle as -1.
File::File(File&& o) noexcept : h_(std::exchange(o.h_, -1)), error_(o.error_) {}

File& File::operator=(File&& o) noexcept {
  if (this != &o) {
    close();
    h_ = std::exchange(o.h_, -1);
    error_ = o.error_;
  }
  return *this;
}

std::filesystem::path fs_path(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string path_text(const std::filesystem::path& p) {
  const std::u8string u = p.u8string();
  return std::string(u.begin(), u.end());
}

std::string join_path(std::string_view dir, std::string_view name) {
  return path_text(fs_path(dir) / fs_path(name));
}

}  // namespace kinra2::system
