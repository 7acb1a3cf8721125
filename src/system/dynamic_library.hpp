// Loading a shared library at run time (dlopen on Linux, LoadLibraryW on
// Windows), and where the running program's own file lies, which is where
// such a library is looked for.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace kinra2::system {

class DynamicLibrary {
 public:
  ~DynamicLibrary();
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // nullptr with `why` set (the loader's own message) when `file` cannot be loaded.
  static std::unique_ptr<DynamicLibrary> open(const std::string& file, std::string& why);
  // The address of an exported symbol, or nullptr.
  void* symbol(const char* name) const;

 private:
  explicit DynamicLibrary(void* handle) : handle_(handle) {}
  void* handle_;
};

// The file name of shared library `stem` on this platform: libstem.so, stem.dll.
std::string shared_library_file(std::string_view stem);

// The directory of the running program's executable file ("." when unknown).
std::string program_dir();

// When `file` exists but cannot be loaded: the libraries it needs itself that
// cannot be loaded either (their file names as `file` records them, joined by
// ", "), or empty when the platform's loader message already names them
// (Linux) or none is missing.
std::string missing_dependency(const std::string& file);

}  // namespace kinra2::system
