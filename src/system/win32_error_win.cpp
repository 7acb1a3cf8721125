#include "system/utf16_win.hpp"

namespace kinra2::system::detail {

std::string win32_message(DWORD e) {
  wchar_t* buf = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, e, 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  std::string s = n && buf ? narrow(std::wstring_view(buf, n)) : std::string();
  if (buf) LocalFree(buf);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.'))
    s.pop_back();
  return s.empty() ? "error " + std::to_string(e) : s;
}

namespace {
class Win32Category : public std::error_category {
 public:
  const char* name() const noexcept override { return "win32"; }
  std::string message(int e) const override { return win32_message(static_cast<DWORD>(e)); }
};
}  // namespace

const std::error_category& win32_category() {
  static const Win32Category c;
  return c;
}

}  // namespace kinra2::system::detail
