// Reading bundles: a directory, an IMX container file or a zip archive, all
// addressed by member base name. Nothing here caches: every call reopens the
// bundle, so a bundle rewritten between calls is always seen as it is now.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kinra2::bundle::detail {

// "IMX" followed by a zero byte.
inline constexpr std::string_view IMX_MAGIC{"IMX\0", 4};

struct TocEntry {
  std::string name;        // as stored; may hold '/'
  std::uint64_t offset{};  // absolute, from the start of the file
  std::uint64_t size{};
};

// The container's table of contents in file order, or nullopt when the file
// is not an IMX container (unreadable, bad magic, truncated table, a name that
// is not UTF-8). A container with count 0 gives an empty vector.
std::optional<std::vector<TocEntry>> imx_toc(const std::string& path);

struct Member {
  std::string name;  // the candidate that matched, as the caller wrote it
  std::string data;
};

// The first candidate present in the bundle, with its full bytes; nullopt when
// none is present. Read errors after a member was found (I/O, a damaged zip
// entry) throw std::runtime_error.
std::optional<Member> find_member(const std::string& bundle,
                                  std::span<const std::string_view> names);

// Same lookup for one name, without reading the member: for callers that
// only decide by presence, or that use a directory member by its path.
bool has_member(const std::string& bundle, std::string_view name);

// Member base names: directory order for a directory, table order for IMX,
// archive order for zip, empty for anything else (including a missing path).
std::vector<std::string> listing(const std::string& bundle);

// Text after the last '/' (the whole text when there is none).
std::string_view base_name(std::string_view name);

// stat(2) tests that follow symlinks; false for anything missing.
bool is_regular(const std::string& path);
bool is_directory(const std::string& path);

// The first `n` characters (code points) of UTF-8 text, so that a message
// quoting the start of a declared value never cuts a character in half.
std::string prefix_cp(std::string_view s, std::size_t n);

}  // namespace kinra2::bundle::detail

namespace kinra2::bundle {

// The bytes of the first of `names` that the bundle holds (looked up as
// detail::find_member does), nullopt when it holds none. Read errors after a
// member was found throw std::runtime_error.
std::optional<std::string> member_bytes(const std::string& bundle,
                                        std::initializer_list<std::string_view> names);

}  // namespace kinra2::bundle
