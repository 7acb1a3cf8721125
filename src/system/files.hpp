// Files by UTF-8 path: what the bundle readers, the staging registry and the
// model loader need from the file system. Linux passes paths through as
// bytes (files_posix.cpp); Windows converts them to UTF-16 and uses the wide
// API, so that no path goes through the ANSI code page (files_win.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace kinra2::system {

// A UTF-8 path as std::filesystem takes it, and back. (A narrow std::string
// would be read in the ANSI code page on Windows.)
std::filesystem::path fs_path(std::string_view utf8);
std::string path_text(const std::filesystem::path& p);
// `dir` joined with `name`, as text.
std::string join_path(std::string_view dir, std::string_view name);

enum class PathKind { missing, regular, directory, other };
// What `path` names, following links.
PathKind path_kind(const std::string& path);

struct FileStat {
  bool regular = false;
  std::uint64_t size = 0;
};

// One open file, closed on destruction. Calls that fail return -1 (or
// nullopt/false) and leave the reason in error(): errno on Linux, the Win32
// error on Windows.
class File {
 public:
  File() = default;
  File(File&& o) noexcept;
  File& operator=(File&& o) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // For reading. `no_wait` keeps a FIFO or device from blocking the open.
  static File open_read(const std::string& path, bool no_wait = false);
  // A new file created exclusively in `dir` for writing, named `prefix`, a
  // unique part, then `suffix`. Its path is left in `path`. Each name tried
  // is handed to `claim` before a file of that name can exist, and to
  // `unclaim` when it was taken or could not be created: a registry that an
  // interrupt sweeps then never misses a file that was made.
  using NameHook = std::function<void(const std::string&)>;
  static File create_unique(const std::string& dir, std::string_view prefix, std::string_view suffix,
                            std::string& path, const NameHook& claim = {}, const NameHook& unclaim = {});
  // For writing, only when nothing of that name exists yet.
  static File create_new(const std::string& path);
  // Whether the last call failed because the name was taken.
  bool name_taken() const;

  bool ok() const;
  const std::error_code& error() const { return error_; }
  std::optional<FileStat> stat();
  // What is there, up to n bytes; 0 at end of file. Interrupted calls are retried.
  std::ptrdiff_t read(void* buf, std::size_t n);
  std::ptrdiff_t pread(void* buf, std::size_t n, std::uint64_t offset);
  // All of `data`, or false.
  bool write_all(std::string_view data);
  // What was written, on the disk (not just in the system's cache).
  bool sync();
  // Gives the file the permission bits of the file at `path` (Linux; on
  // Windows a new file takes its access rules from its folder, as the old
  // one did, and this does nothing).
  bool copy_permissions_from(const std::string& path);
  bool close();

  // The descriptor (Linux) or HANDLE (Windows) as an integer, for the
  // platform's own mapping call.
  std::intptr_t native() const { return h_; }

 private:
  std::intptr_t h_ = -1;
  std::error_code error_;
};

// Removes a file; false (with the reason) when it cannot be removed. On
// Windows a file this process still holds open is removed once the last
// handle closes (every file here is opened so that it may be).
bool remove_file(const std::string& path, std::error_code* why = nullptr);
// The same from a signal handler or the console-control thread: no
// allocation, no locks.
void remove_file_signal_safe(const char* path);

// Renames `from` to `to`, replacing a file of that name in one step: anyone
// opening `to` meanwhile gets the old file or the new one, never neither.
bool rename_over(const std::string& from, const std::string& to, std::error_code* why = nullptr);

// Replaces the content of the file at `path` by `bytes` in one step: a new
// file is written beside it under a unique name, flushed to the disk, given
// the old file's permissions and renamed over it. Readers, and a crash at any
// point, see the old content or the new. false (with the reason) when it
// cannot be done; the old file is then untouched and the new one gone.
bool replace_file_contents(const std::string& path, std::string_view bytes,
                           std::error_code* why = nullptr);

// An environment variable as UTF-8 text, or nullopt when it is not set.
std::optional<std::string> env_text(const char* name);
// The user's home directory ("~" when none can be found).
std::string home_dir();
// The system's temporary directory (TMPDIR or /tmp; the user's temp folder on Windows).
std::string default_temp_dir();

}  // namespace kinra2::system
