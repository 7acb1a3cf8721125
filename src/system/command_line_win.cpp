#include "system/command_line.hpp"

#include "system/utf16_win.hpp"

#include <shellapi.h>

namespace kinra2::system::detail {

std::vector<std::string> utf8_arguments(int argc, char** argv) {
  int n = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &n);
  if (!wide) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> out;
  out.reserve(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) out.push_back(narrow(wide[i]));
  LocalFree(wide);
  return out;
}

}  // namespace kinra2::system::detail
