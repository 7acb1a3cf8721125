// An environment variable set (or unset) for one scope, restored after.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "system/files.hpp"

namespace k2test {

// Sets (or, with nullopt, removes) one variable of this process.
inline void set_env(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
  // Both of the C runtime's copies (the host reads the wide one) and the
  // process environment; an empty value removes the variable.
  auto wide = [](const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end())).wstring();
  };
  ::_putenv_s(name.c_str(), value ? value->c_str() : "");
  ::_wputenv_s(wide(name).c_str(), value ? wide(*value).c_str() : L"");
#else
  if (value)
    ::setenv(name.c_str(), value->c_str(), 1);
  else
    ::unsetenv(name.c_str());
#endif
}

class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
    old_ = kinra2::system::env_text(name_.c_str());
    set_env(name_, value);
  }
  ~ScopedEnv() { set_env(name_, old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace k2test
