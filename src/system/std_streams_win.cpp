#include "system/std_streams.hpp"

#include "system/files.hpp"
#include "system/utf16_win.hpp"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <system_error>

namespace kinra2::system {

namespace {
// The C runtime takes counts as unsigned int.
unsigned int chunk(std::size_t n) {
  return static_cast<unsigned int>(std::min<std::size_t>(n, INT_MAX));
}
}  // namespace

int standard_stream(int fd, bool for_writing) {
  if (_get_osfhandle(fd) == -1) {
    const int held = _open("NUL", (for_writing ? _O_WRONLY : _O_RDONLY) | _O_BINARY);
    if (held >= 0 && held != fd) _close(held);
    return -1;
  }
  // Before any byte passes: text mode would turn 0A into 0D 0A on the way
  // out and stop reading at the first 1A.
  if (_setmode(fd, _O_BINARY) == -1)
    throw std::system_error(errno, std::generic_category(), "setmode");
  return fd;
}

// Reads and writes go to the descriptor's handle directly (binary mode
// makes that the same bytes), and the few Win32 errors a stream meets are
// given as the errno values Linux would give: a peer that closed its end is
// a broken pipe, as there.
namespace {
std::error_code stream_error(DWORD e) {
  int code = EIO;
  switch (e) {
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED: code = EPIPE; break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: code = ENOSPC; break;
    case ERROR_INVALID_HANDLE: code = EBADF; break;
    case ERROR_ACCESS_DENIED: code = EACCES; break;
    default: break;
  }
  return {code, std::generic_category()};
}
HANDLE handle_of(int fd) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}
}  // namespace

std::ptrdiff_t read_some(int fd, void* buf, std::size_t n, std::error_code& why) {
  const HANDLE h = handle_of(fd);
  if (h == INVALID_HANDLE_VALUE) {
    why = stream_error(ERROR_INVALID_HANDLE);
    return -1;
  }
  DWORD got = 0;
  if (!ReadFile(h, buf, chunk(n), &got, nullptr)) {
    const DWORD e = GetLastError();
    if (e == ERROR_BROKEN_PIPE || e == ERROR_HANDLE_EOF) return 0;  // the writer is gone: end of input
    why = stream_error(e);
    return -1;
  }
  return static_cast<std::ptrdiff_t>(got);
}

std::ptrdiff_t write_some(int fd, std::span<const std::byte> a, std::span<const std::byte> b,
                          std::error_code& why) {
  const std::span<const std::byte> part = a.empty() ? b : a;
  const HANDLE h = handle_of(fd);
  if (h == INVALID_HANDLE_VALUE) {
    why = stream_error(ERROR_INVALID_HANDLE);
    return -1;
  }
  DWORD put = 0;
  if (!WriteFile(h, part.data(), chunk(part.size()), &put, nullptr)) {
    why = stream_error(GetLastError());
    return -1;
  }
  return static_cast<std::ptrdiff_t>(put);
}

bool is_terminal(int fd) {
  return fd >= 0 && _isatty(fd) != 0;
}

int open_null_device(bool for_writing) {
  return _open("NUL", (for_writing ? _O_WRONLY : _O_RDONLY) | _O_BINARY | _O_NOINHERIT);
}

int capture_file() {
  // A temporary file that goes away with its last handle; nothing else in
  // Windows gives a descriptor of the C runtime that a library's writes
  // reach and that can be read back.
  const std::wstring dir = detail::widen(default_temp_dir());
  wchar_t name[MAX_PATH + 16];
  if (dir.size() >= MAX_PATH - 14 || GetTempFileNameW(dir.c_str(), L"k2e", 0, name) == 0) return -1;
  HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DeleteFileW(name);
    return -1;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY);
  if (fd < 0) CloseHandle(h);
  return fd;
}

int duplicate_fd(int fd) {
  // Descriptors of the C runtime are not inherited by CreateProcess children
  // unless asked for.
  return _dup(fd);
}

bool redirect_fd(int from, int to) {
  return _dup2(from, to) == 0;
}

std::string read_back(int fd, std::size_t max) {
  const long long end = _lseeki64(fd, 0, SEEK_END);
  std::string text(end > 0 ? std::min<std::size_t>(static_cast<std::size_t>(end), max) : 0, '\0');
  if (_lseeki64(fd, 0, SEEK_SET) != 0) return {};
  std::size_t got = 0;
  while (got < text.size()) {
    const int r = _read(fd, text.data() + got, chunk(text.size() - got));
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  text.resize(got);
  return text;
}

}  // namespace kinra2::system
