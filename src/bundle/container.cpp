#include "bundle/container.hpp"

#include "base/text.hpp"
#include "system/files.hpp"

#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <unordered_map>

namespace kinra2::bundle::detail {

namespace {

namespace fs = std::filesystem;

using system::File;

// Opens `path` for reading only if it is a regular file. A FIFO or device
// named as a bundle must not stall start-up.
File open_regular(const std::string& path) {
  File f = File::open_read(path, /*no_wait=*/true);
  if (!f.ok()) return f;
  const auto st = f.stat();
  if (!st || !st->regular) return File();
  return f;
}

[[noreturn]] void throw_error(const std::error_code& ec, const std::string& what) {
  throw std::system_error(ec, what);
}

// Reads up to `n` bytes at `off`; fewer only at end of file.
std::size_t pread_full(File& f, char* buf, std::size_t n, std::uint64_t off,
                       const std::string& what) {
  std::size_t got = 0;
  while (got < n) {
    const std::ptrdiff_t r = f.pread(buf + got, n - got, off + got);
    if (r < 0) throw_error(f.error(), what);
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  return got;
}

std::string read_whole_file(const std::string& path) {
  File f = File::open_read(path);
  if (!f.ok()) throw_error(f.error(), "cannot open " + path);
  std::string out;
  if (const auto st = f.stat(); st && st->size > 0) out.reserve(static_cast<std::size_t>(st->size));
  char buf[1 << 16];
  for (;;) {
    const std::ptrdiff_t r = f.read(buf, sizeof buf);
    if (r < 0) throw_error(f.error(), "cannot read " + path);
    if (r == 0) break;
    out.append(buf, static_cast<std::size_t>(r));
  }
  return out;
}

std::uint16_t le16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint64_t le64(const unsigned char* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// The table read proper; returns nullopt on any short read or bad name.
std::optional<std::vector<TocEntry>> read_toc(File& fd) {
  unsigned char hdr[8];
  std::uint64_t pos = 0;
  if (pread_full(fd, reinterpret_cast<char*>(hdr), 8, pos, "imx header") < 8) return std::nullopt;
  if (std::memcmp(hdr, IMX_MAGIC.data(), 4) != 0) return std::nullopt;
  pos = 8;
  const unsigned count = le16(hdr + 6);
  std::vector<TocEntry> toc;
  toc.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    unsigned char lb[2];
    if (pread_full(fd, reinterpret_cast<char*>(lb), 2, pos, "imx toc") < 2) return std::nullopt;
    pos += 2;
    // At most 65535 bytes, so a hostile length cannot make this allocation big.
    std::string name(le16(lb), '\0');
    std::size_t got = pread_full(fd, name.data(), name.size(), pos, "imx toc");
    name.resize(got);
    pos += got;
    if (!base::valid_utf8(name)) return std::nullopt;
    unsigned char nums[16];
    if (pread_full(fd, reinterpret_cast<char*>(nums), 16, pos, "imx toc") < 16) return std::nullopt;
    pos += 16;
    toc.push_back({std::move(name), le64(nums), le64(nums + 8)});
  }
  return toc;
}

// Only the bytes that exist are read: the declared size never decides an
// allocation by itself, so a container claiming an exabyte costs nothing.
std::string read_span(File& fd, std::uint64_t offset, std::uint64_t size, const std::string& path) {
  const auto st = fd.stat();
  if (!st) throw_error(fd.error(), "cannot stat " + path);
  const std::uint64_t fsize = st->size;
  if (offset >= fsize) return {};
  const std::uint64_t n = std::min(size, fsize - offset);
  std::string out(static_cast<std::size_t>(n), '\0');
  out.resize(pread_full(fd, out.data(), out.size(), offset, "cannot read " + path));
  return out;
}

struct ZipCloser {
  void operator()(zip_t* z) const { zip_discard(z); }
};
using ZipPtr = std::unique_ptr<zip_t, ZipCloser>;

struct ZipFileCloser {
  void operator()(zip_file_t* f) const { zip_fclose(f); }
};

enum class ZipOpen { ok, not_zip, broken };

// A file without an end-of-central-directory record is simply not an archive;
// one whose directory cannot be read is a broken archive. No stricter
// consistency checks: they refuse archives that repeat an entry name, which
// are readable and resolve by the later-entry-wins rule; damaged entry data
// still fails its CRC check when read.
ZipOpen open_zip(const std::string& path, ZipPtr& out, std::string& why) {
  int err = 0;
  zip_t* z = zip_open(path.c_str(), ZIP_RDONLY, &err);
  if (z) {
    out.reset(z);
    return ZipOpen::ok;
  }
  if (err == ZIP_ER_NOZIP) return ZipOpen::not_zip;
  zip_error_t ze;
  zip_error_init_with_code(&ze, err);
  why = zip_error_strerror(&ze);
  zip_error_fini(&ze);
  return ZipOpen::broken;
}

std::string read_zip_entry(zip_t* z, zip_uint64_t idx, const std::string& path, const char* entry) {
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat_index(z, idx, 0, &st) != 0)
    throw std::runtime_error("zip archive " + path + ": cannot stat entry " + entry + ": " +
                             zip_strerror(z));
  std::unique_ptr<zip_file_t, ZipFileCloser> f(zip_fopen_index(z, idx, 0));
  if (!f)
    throw std::runtime_error("zip archive " + path + ": cannot open entry " + entry + ": " +
                             zip_strerror(z));
  std::string out;
  // The declared size only hints the first reservation, capped, so a forged
  // header cannot make us allocate what the archive does not really hold.
  if (st.valid & ZIP_STAT_SIZE)
    out.reserve(static_cast<std::size_t>(std::min<zip_uint64_t>(st.size, 64u << 20)));
  char buf[1 << 16];
  for (;;) {
    zip_int64_t r = zip_fread(f.get(), buf, sizeof buf);
    if (r < 0)
      throw std::runtime_error("zip archive " + path + ": damaged entry " + entry + ": " +
                               zip_file_strerror(f.get()));
    if (r == 0) break;
    out.append(buf, static_cast<std::size_t>(r));
    // Stop as soon as the data outgrows its header instead of inflating the
    // rest of a forged entry into memory first.
    if ((st.valid & ZIP_STAT_SIZE) && out.size() > st.size) break;
  }
  if ((st.valid & ZIP_STAT_SIZE) && out.size() != st.size)
    throw std::runtime_error("zip archive " + path + ": entry " + entry + " holds " +
                             std::to_string(out.size()) + " bytes, its header declares " +
                             std::to_string(st.size));
  return out;
}

}  // namespace

std::string_view base_name(std::string_view name) {
  auto p = name.rfind('/');
  return p == std::string_view::npos ? name : name.substr(p + 1);
}

std::string prefix_cp(std::string_view s, std::size_t n) {
  std::size_t i = 0, cp = 0;
  while (i < s.size() && cp < n) {
    ++i;
    while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
    ++cp;
  }
  return std::string(s.substr(0, i));
}

std::optional<std::vector<TocEntry>> imx_toc(const std::string& path) {
  try {
    File fd = open_regular(path);
    if (!fd.ok()) return std::nullopt;
    return read_toc(fd);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

namespace {

// The lookup shared by find_member and has_member; member bytes are read only
// when `with_data` is set.
std::optional<Member> lookup(const std::string& bundle, std::span<const std::string_view> names,
                             bool with_data) {
  if (is_directory(bundle)) {
    for (auto nm : names) {
      std::string p = system::join_path(bundle, nm);
      if (is_regular(p))
        return Member{std::string(nm), with_data ? read_whole_file(p) : std::string()};
    }
    return std::nullopt;
  }
  if (!is_regular(bundle)) return std::nullopt;

  {
    File fd = open_regular(bundle);
    if (!fd.ok()) return std::nullopt;
    std::optional<std::vector<TocEntry>> toc;
    try {
      toc = read_toc(fd);
    } catch (const std::exception&) {
      toc.reset();
    }
    if (toc) {
      std::unordered_map<std::string_view, const TocEntry*> by_base;
      for (const auto& e : *toc) by_base[base_name(e.name)] = &e;  // later entries win
      for (auto nm : names) {
        auto it = by_base.find(nm);
        if (it == by_base.end()) continue;
        const TocEntry& e = *it->second;
        return Member{std::string(nm),
                      with_data ? read_span(fd, e.offset, e.size, bundle) : std::string()};
      }
      return std::nullopt;  // a file with a table is never also a zip archive
    }
  }

  ZipPtr z;
  std::string why;
  switch (open_zip(bundle, z, why)) {
    case ZipOpen::not_zip: return std::nullopt;
    case ZipOpen::broken: throw std::runtime_error("zip archive " + bundle + " is damaged: " + why);
    case ZipOpen::ok: break;
  }
  std::unordered_map<std::string, zip_uint64_t> by_base;
  const zip_int64_t n = zip_get_num_entries(z.get(), 0);
  for (zip_int64_t i = 0; i < n; ++i) {
    const char* name = zip_get_name(z.get(), static_cast<zip_uint64_t>(i), ZIP_FL_ENC_GUESS);
    if (!name) continue;
    by_base[std::string(base_name(name))] = static_cast<zip_uint64_t>(i);
  }
  for (auto nm : names) {
    auto it = by_base.find(std::string(nm));
    if (it == by_base.end()) continue;
    if (!with_data) return Member{std::string(nm), {}};
    const char* full = zip_get_name(z.get(), it->second, ZIP_FL_ENC_GUESS);
    return Member{std::string(nm), read_zip_entry(z.get(), it->second, bundle, full ? full : "?")};
  }
  return std::nullopt;
}

}  // namespace

std::optional<Member> find_member(const std::string& bundle,
                                  std::span<const std::string_view> names) {
  return lookup(bundle, names, true);
}

bool has_member(const std::string& bundle, std::string_view name) {
  return lookup(bundle, std::span<const std::string_view>(&name, 1), false).has_value();
}

std::vector<std::string> listing(const std::string& bundle) {
  std::vector<std::string> out;
  if (is_directory(bundle)) {
    std::error_code ec;
    for (fs::directory_iterator it(system::fs_path(bundle), ec), end; !ec && it != end;
         it.increment(ec))
      out.push_back(system::path_text(it->path().filename()));
    return out;
  }
  if (!is_regular(bundle)) return out;
  if (auto toc = imx_toc(bundle)) {
    for (const auto& e : *toc) out.emplace_back(base_name(e.name));
    return out;
  }
  ZipPtr z;
  std::string why;
  // Only used to name members in an error message: a damaged archive lists as
  // empty rather than masking the real complaint.
  if (open_zip(bundle, z, why) != ZipOpen::ok) return out;
  const zip_int64_t n = zip_get_num_entries(z.get(), 0);
  for (zip_int64_t i = 0; i < n; ++i) {
    const char* name = zip_get_name(z.get(), static_cast<zip_uint64_t>(i), ZIP_FL_ENC_GUESS);
    out.emplace_back(name ? base_name(name) : std::string_view{});
  }
  return out;
}

bool is_regular(const std::string& path) {
  return system::path_kind(path) == system::PathKind::regular;
}

bool is_directory(const std::string& path) {
  return system::path_kind(path) == system::PathKind::directory;
}

}  // namespace kinra2::bundle::detail

namespace kinra2::bundle {

std::optional<std::string> member_bytes(const std::string& bundle,
                                        std::initializer_list<std::string_view> names) {
  auto m =
      detail::find_member(bundle, std::span<const std::string_view>(names.begin(), names.size()));
  if (!m) return std::nullopt;
  return std::move(m->data);
}

}  // namespace kinra2::bundle
