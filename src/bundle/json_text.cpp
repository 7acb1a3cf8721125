#include "bundle/json_text.hpp"

#include "system/files.hpp"

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>
#include <system_error>

namespace kinra2::bundle {

nlohmann::json parse_json_text(std::string_view text) {
  using nlohmann::json;
  if (text.starts_with("\xEF\xBB\xBF"))
    throw json::parse_error::create(
        101, 1, "syntax error while parsing value - a UTF-8 byte-order mark is no JSON text",
        nullptr);
  json value = json::parse(text.begin(), text.end());
  // A NUL inside or before the value is refused by the reader; one that it
  // accepted can only follow the value, with whatever comes after it unread.
  if (const auto nul = text.find('\0'); nul != std::string_view::npos)
    throw json::parse_error::create(
        101, nul + 1,
        "syntax error while parsing value - unexpected NUL byte; expected end of input", nullptr);
  return value;
}

std::string read_regular_file(const std::string& path) {
  system::File file = system::File::open_read(path, /*no_wait=*/true);
  if (!file.ok()) throw std::system_error(file.error(), "cannot open " + path);
  const auto st = file.stat();
  if (!st) throw std::system_error(file.error(), "cannot stat " + path);
  if (!st->regular) throw std::runtime_error(path + " is not a regular file");
  std::string out;
  out.reserve(static_cast<std::size_t>(st->size));
  char buf[1 << 16];
  for (;;) {
    const std::ptrdiff_t r = file.read(buf, sizeof buf);
    if (r < 0) throw std::system_error(file.error(), "cannot read " + path);
    if (r == 0) break;
    out.append(buf, static_cast<std::size_t>(r));
  }
  return out;
}

}  // namespace kinra2::bundle
