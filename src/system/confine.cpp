#include "system/confine.hpp"

#include "base/text.hpp"
#include "system/files.hpp"

namespace kinra2::system {

std::string confine_process(const std::vector<std::string>& removable_dirs,
                            const std::string& library_dir) {
  const auto raw = env_text(std::string(CONFINE_ENV).c_str()).value_or("");
  const std::string low = base::setting_word(raw);
  if (low == "0" || low == "false" || low == "no" || low == "off")
    return "confine: off (" + std::string(CONFINE_ENV) + "=" + std::string(base::trimmed(raw)) +
           ")";
  return detail::confine_platform(removable_dirs, library_dir);
}

}  // namespace kinra2::system
