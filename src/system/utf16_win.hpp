// UTF-8 <-> UTF-16 and Win32 errors for the Windows implementations
// (*_win.cpp) of this layer: the host's text is UTF-8 everywhere, the wide
// Win32 API takes UTF-16.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <system_error>

namespace kinra2::system::detail {

inline std::wstring widen(std::string_view s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

inline std::string narrow(std::wstring_view w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0)
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                        nullptr);
  return s;
}

// The system's text for a Win32 error code, on one line (win32_error_win.cpp).
std::string win32_message(DWORD e);
// Win32 error codes with the system's texts (the C++ runtime here would
// read them as errno values).
const std::error_category& win32_category();

inline std::error_code win_error(DWORD e = GetLastError()) {
  return {static_cast<int>(e), win32_category()};
}

}  // namespace kinra2::system::detail
