// UTF-8 <-> UTF-16 for the Windows implementations (*_win.cpp) of this
// layer: the host's text is UTF-8 everywhere, the wide Win32 API takes UTF-16.
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

// A Win32 error code as an error_code whose message() is the system's text.
inline std::error_code win_error(DWORD e = GetLastError()) {
  return {static_cast<int>(e), std::system_category()};
}

}  // namespace kinra2::system::detail
