#include "system/files.hpp"
#include "system/files_internal.hpp"

#include <random>
#include <utility>

namespace kinra2::system {

namespace {

std::function<void(const std::string&)>& before_create() {
  static std::function<void(const std::string&)> hook;
  return hook;
}

}  // namespace

void detail::set_before_create_hook(std::function<void(const std::string&)> hook) {
  before_create() = std::move(hook);
}

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

File File::create_unique(const std::string& dir, std::string_view prefix, std::string_view suffix,
                         std::string& path, const NameHook& claim, const NameHook& unclaim) {
  static constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device rnd;
  File f;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string unique;
    for (int i = 0; i < 8; ++i) unique += alphabet[rnd() % 36];
    path = join_path(dir, std::string(prefix) + unique + std::string(suffix));
    if (claim) claim(path);
    if (const auto& hook = before_create()) hook(path);
    f = create_new(path);
    if (f.ok()) return f;
    if (unclaim) unclaim(path);
    if (!f.name_taken()) break;
  }
  return f;
}

bool replace_file_contents(const std::string& path, std::string_view bytes, std::error_code* why) {
  const std::filesystem::path target = fs_path(path);
  const std::string dir = path_text(target.parent_path().empty() ? "." : target.parent_path());
  // A dot name beside the file: the rename stays within one file system.
  std::string prefix = ".";
  prefix += path_text(target.filename());
  prefix += '.';
  std::string tmp;
  File f = File::create_unique(dir, prefix, ".tmp", tmp);
  if (!f.ok()) {
    if (why) *why = f.error();
    return false;
  }
  std::error_code ec;
  if (f.write_all(bytes) && f.copy_permissions_from(path) && f.sync() && f.close()) {
    if (rename_over(tmp, path, &ec)) return true;
  } else {
    ec = f.error();
    f.close();
  }
  remove_file(tmp);
  if (why) *why = ec;
  return false;
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
