#include "system/files.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace kinra2::system {

namespace {
std::error_code last_error() {
  return {errno, std::generic_category()};
}
int fd_of(std::intptr_t h) {
  return static_cast<int>(h);
}
}  // namespace

File::~File() {
  if (h_ >= 0) ::close(fd_of(h_));
}

bool File::ok() const {
  return h_ >= 0;
}

File File::open_read(const std::string& path, bool no_wait) {
  File f;
  f.h_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (no_wait ? O_NONBLOCK : 0));
  if (f.h_ < 0) {
    f.error_ = last_error();
    return f;
  }
  if (no_wait) {
    // O_NONBLOCK means nothing for regular files; cleared so reads block as usual.
    const int fl = ::fcntl(fd_of(f.h_), F_GETFL);
    if (fl >= 0) ::fcntl(fd_of(f.h_), F_SETFL, fl & ~O_NONBLOCK);
  }
  return f;
}

File File::create_new(const std::string& path) {
  File f;
  f.h_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (f.h_ < 0) f.error_ = last_error();
  return f;
}

bool File::name_taken() const {
  return error_.value() == EEXIST;
}

std::optional<FileStat> File::stat() {
  struct stat st {};
  if (::fstat(fd_of(h_), &st) != 0) {
    error_ = last_error();
    return std::nullopt;
  }
  return FileStat{S_ISREG(st.st_mode), static_cast<std::uint64_t>(st.st_size > 0 ? st.st_size : 0)};
}

std::ptrdiff_t File::read(void* buf, std::size_t n) {
  for (;;) {
    const ssize_t r = ::read(fd_of(h_), buf, n);
    if (r >= 0) return r;
    if (errno == EINTR) continue;
    error_ = last_error();
    return -1;
  }
}

std::ptrdiff_t File::pread(void* buf, std::size_t n, std::uint64_t offset) {
  for (;;) {
    const ssize_t r = ::pread(fd_of(h_), buf, n, static_cast<off_t>(offset));
    if (r >= 0) return r;
    if (errno == EINTR) continue;
    error_ = last_error();
    return -1;
  }
}

bool File::write_all(std::string_view data) {
  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t w = ::write(fd_of(h_), p, left);
    if (w < 0) {
      if (errno == EINTR) continue;
      error_ = last_error();
      return false;
    }
    p += w;
    left -= static_cast<std::size_t>(w);
  }
  return true;
}

bool File::sync() {
  if (::fsync(fd_of(h_)) == 0) return true;
  error_ = last_error();
  return false;
}

bool File::copy_permissions_from(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || ::fchmod(fd_of(h_), st.st_mode & 07777) != 0) {
    error_ = last_error();
    return false;
  }
  return true;
}

bool File::close() {
  if (h_ < 0) return true;
  const int fd = fd_of(std::exchange(h_, -1));
  if (::close(fd) != 0) {
    error_ = last_error();
    return false;
  }
  return true;
}

PathKind path_kind(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return PathKind::missing;
  if (S_ISREG(st.st_mode)) return PathKind::regular;
  if (S_ISDIR(st.st_mode)) return PathKind::directory;
  return PathKind::other;
}

bool remove_file(const std::string& path, std::error_code* why) {
  if (::unlink(path.c_str()) == 0) return true;
  if (why) *why = last_error();
  return false;
}

void remove_file_signal_safe(const char* path) {
  ::unlink(path);
}

bool rename_over(const std::string& from, const std::string& to, std::error_code* why) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  if (why) *why = last_error();
  return false;
}

std::optional<std::string> env_text(const char* name) {
  const char* v = std::getenv(name);
  if (!v) return std::nullopt;
  return std::string(v);
}

std::string home_dir() {
  if (const char* h = std::getenv("HOME"); h && *h) return h;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "~";
}

std::string default_temp_dir() {
  std::error_code ec;
  std::string dir = std::filesystem::temp_directory_path(ec).string();
  return ec || dir.empty() ? std::string("/tmp") : dir;
}

}  // namespace kinra2::system
