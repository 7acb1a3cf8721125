#include "system/dynamic_library.hpp"

#include "system/utf16_win.hpp"

#include <string>

namespace kinra2::system {

DynamicLibrary::~DynamicLibrary() {
  if (handle_) FreeLibrary(static_cast<HMODULE>(handle_));
}

std::unique_ptr<DynamicLibrary> DynamicLibrary::open(const std::string& file, std::string& why) {
  // The library's own dependencies are looked for beside it too, and no
  // "cannot find DLL" box ever waits for a click.
  // That search needs an absolute path.
  const std::wstring wide = detail::widen(file);
  std::wstring full(GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr) + 1, L'\0');
  const DWORD n = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  full.resize(n > 0 && n < full.size() ? n : 0);
  DWORD old_mode = 0;
  SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &old_mode);
  HMODULE h = LoadLibraryExW(full.empty() ? wide.c_str() : full.c_str(), nullptr,
                             LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  const DWORD e = GetLastError();
  SetThreadErrorMode(old_mode, nullptr);
  if (!h) {
    why = file + ": " + detail::win32_message(e);
    return nullptr;
  }
  return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(h));
}

void* DynamicLibrary::symbol(const char* name) const {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

std::string shared_library_file(std::string_view stem) {
  return std::string(stem) + ".dll";
}

std::string program_dir() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return ".";
    if (n < buf.size()) {
      buf.resize(n);
      break;
    }
    buf.resize(buf.size() * 2);
  }
  const auto cut = buf.find_last_of(L"\\/");
  if (cut == std::wstring::npos) return ".";
  return detail::narrow(std::wstring_view(buf).substr(0, cut));
}

}  // namespace kinra2::system
