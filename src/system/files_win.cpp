#include "system/files.hpp"

#include "system/utf16_win.hpp"


#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace kinra2::system {

using detail::narrow;
using detail::widen;
using detail::win_error;

namespace {

HANDLE handle_of(std::intptr_t h) {
  return reinterpret_cast<HANDLE>(h);
}
std::intptr_t value_of(HANDLE h) {
  return h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<std::intptr_t>(h);
}
// Every file is opened so that others may read it and remove it meanwhile:
// a staged file must be removable while a reader still holds it.
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

File::~File() {
  if (h_ != -1) CloseHandle(handle_of(h_));
}

bool File::ok() const {
  return h_ != -1;
}

File File::open_read(const std::string& path, bool /*no_wait*/) {
  // Opening a named pipe or device for reading does not wait on Windows.
  File f;
  f.h_ = value_of(CreateFileW(widen(path).c_str(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (f.h_ == -1) f.error_ = win_error();
  return f;
}

File File::create_new(const std::string& path) {
  File f;
  f.h_ = value_of(CreateFileW(widen(path).c_str(), GENERIC_WRITE, SHARE_ALL, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (f.h_ == -1) f.error_ = win_error();
  return f;
}

bool File::name_taken() const {
  return error_.value() == ERROR_FILE_EXISTS || error_.value() == ERROR_ALREADY_EXISTS;
}

std::optional<FileStat> File::stat() {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle_of(h_), &info)) {
    error_ = win_error();
    return std::nullopt;
  }
  const bool regular = GetFileType(handle_of(h_)) == FILE_TYPE_DISK &&
                       !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  return FileStat{regular, (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow};
}

std::ptrdiff_t File::read(void* buf, std::size_t n) {
  DWORD got = 0;
  const DWORD want = static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30));
  if (!ReadFile(handle_of(h_), buf, want, &got, nullptr)) {
    const DWORD e = GetLastError();
    if (e == ERROR_BROKEN_PIPE || e == ERROR_HANDLE_EOF) return 0;
    error_ = win_error(e);
    return -1;
  }
  return static_cast<std::ptrdiff_t>(got);
}

std::ptrdiff_t File::pread(void* buf, std::size_t n, std::uint64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  const DWORD want = static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30));
  if (!ReadFile(handle_of(h_), buf, want, &got, &at)) {
    const DWORD e = GetLastError();
    if (e == ERROR_HANDLE_EOF) return 0;
    error_ = win_error(e);
    return -1;
  }
  return static_cast<std::ptrdiff_t>(got);
}

bool File::write_all(std::string_view data) {
  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    DWORD put = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(left, 1u << 30));
    if (!WriteFile(handle_of(h_), p, want, &put, nullptr)) {
      error_ = win_error();
      return false;
    }
    p += put;
    left -= put;
  }
  return true;
}

bool File::sync() {
  if (FlushFileBuffers(handle_of(h_))) return true;
  error_ = win_error();
  return false;
}

bool File::copy_permissions_from(const std::string& /*path*/) {
  return true;
}

bool File::close() {
  if (h_ == -1) return true;
  if (!CloseHandle(handle_of(std::exchange(h_, -1)))) {
    error_ = win_error();
    return false;
  }
  return true;
}

PathKind path_kind(const std::string& path) {
  const DWORD a = GetFileAttributesW(widen(path).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return PathKind::missing;
  if (a & FILE_ATTRIBUTE_DIRECTORY) return PathKind::directory;
  if (a & FILE_ATTRIBUTE_DEVICE) return PathKind::other;
  return PathKind::regular;
}

bool remove_file(const std::string& path, std::error_code* why) {
  if (DeleteFileW(widen(path).c_str())) return true;
  if (why) *why = win_error();
  return false;
}

void remove_file_signal_safe(const char* path) {
  // Runs on the console-control thread, not in a signal handler: the
  // conversion may use the stack.
  wchar_t wide[4096];
  const int n = MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, 4096);
  if (n > 0) DeleteFileW(wide);
}

bool rename_over(const std::string& from, const std::string& to, std::error_code* why) {
  // rename() refuses an existing target on Windows; MoveFileEx replaces it.
  if (MoveFileExW(widen(from).c_str(), widen(to).c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  if (why) *why = win_error();
  return false;
}

std::optional<std::string> env_text(const char* name) {
  const wchar_t* v = _wgetenv(widen(name).c_str());
  if (!v) return std::nullopt;
  return narrow(v);
}

std::string home_dir() {
  // Where Windows keeps the user's files; HOME means nothing there.
  if (auto p = env_text("USERPROFILE"); p && !p->empty()) return *p;
  auto drive = env_text("HOMEDRIVE"), dir = env_text("HOMEPATH");
  if (dir && !dir->empty()) return (drive ? *drive : std::string()) + *dir;
  return "~";
}

std::string default_temp_dir() {
  wchar_t buf[MAX_PATH + 2];
  const DWORD n = GetTempPathW(MAX_PATH + 2, buf);
  if (n == 0 || n > MAX_PATH + 1) return ".";
  std::wstring w(buf, n);
  while (w.size() > 3 && (w.back() == L'\\' || w.back() == L'/')) w.pop_back();
  return narrow(w);
}

}  // namespace kinra2::system
