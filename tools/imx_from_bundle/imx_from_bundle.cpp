// Packs a bundle directory into an IMX container (or a zip archive), and
// binds a two-artifact split to its shared encoder by stamping the encoder's
// content address into the manifest's "dependencies", so the host can verify
// the pairing instead of trusting a file name.
#include "base/constants.hpp"
#include "base/text.hpp"
#include "bundle/container.hpp"
#include "bundle/shared_enc_dep_abi.h"
#include "system/command_line.hpp"
#include "system/files.hpp"

#include <nlohmann/json.hpp>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>  // getpid

namespace {

namespace fs = std::filesystem;
using ojson = nlohmann::ordered_json;

// Paths are UTF-8 text throughout (Windows included, where a narrow
// std::filesystem path would go through the ANSI code page).
fs::path P(const std::string& utf8) {
  return kinra2::system::fs_path(utf8);
}
std::string T(const fs::path& p) {
  return kinra2::system::path_text(p);
}

constexpr const char* USAGE =
    "usage: imx_from_bundle <bundle-dir> <out> [--zip] [--base <shared-enc.tflite>] "
    "[--stamp-in-place]";
constexpr const char* IDENTITY = "identity.tflite";
constexpr const char* SHARED_ENC = "shared-enc.tflite";
constexpr const char* MANIFEST = "manifest.json";

struct Fail : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Entry {
  std::string name;                 // path inside the container, '/'-separated
  std::string file;                 // source file, or empty when `data` holds the bytes
  std::optional<std::string> data;  // in-memory member (the stamped manifest)
  std::uint64_t size = 0;
};

std::string read_file(const std::string& path) {
  std::ifstream in(P(path), std::ios::binary);
  if (!in) throw Fail("cannot open " + path + ": " + std::strerror(errno));
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) throw Fail("cannot read " + path);
  return ss.str();
}

void put16(std::string& s, std::uint64_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>((v >> 8) & 0xFF);
}

void put64(std::string& s, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// Readers look members up by base name and let a later entry win, while the
// directory form only ever sees its top level. Putting nested files first
// keeps a top-level member from being shadowed by a same-named file deeper
// down (models/canon.bin sorting after canon.bin would otherwise replace it).
// Within each group, name order makes the same directory pack to the same
// bytes every time.
bool pack_order(const Entry& a, const Entry& b) {
  const bool a_top = a.name.find('/') == std::string::npos;
  const bool b_top = b.name.find('/') == std::string::npos;
  if (a_top != b_top) return b_top;
  return a.name < b.name;
}

std::vector<Entry> collect(const fs::path& dir, const fs::path& out_abs) {
  std::vector<Entry> v;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
       ++it) {
    if (!it->is_regular_file()) continue;
    std::error_code ec;
    if (fs::equivalent(it->path(), out_abs, ec)) continue;  // never pack the output into itself
    Entry e;
    const std::u8string rel = it->path().lexically_relative(dir).generic_u8string();
    e.name.assign(rel.begin(), rel.end());
    // A reader refuses the whole table over one name that is not UTF-8, so
    // packing it would make every member unreachable.
    if (!kinra2::base::valid_utf8(e.name))
      throw Fail(T(it->path()) +
                 ": the file name is not UTF-8; rename it or move it out of the bundle");
    e.file = T(it->path());
    e.size = it->file_size();
    v.push_back(std::move(e));
  }
  std::sort(v.begin(), v.end(), pack_order);
  return v;
}

// Adds or replaces the shared-encoder entry, keeping every other key and
// dependency as it was.
std::string stamp_manifest(const std::optional<std::string>& text, const std::string& id,
                           const std::string& sha) {
  ojson m = ojson::object();
  if (text) {
    try {
      m = ojson::parse(*text);
    } catch (const std::exception& e) {
      throw Fail(std::string("manifest.json is not valid JSON: ") + e.what());
    }
    if (!m.is_object()) throw Fail("manifest.json is not a JSON object");
  }
  ojson deps = ojson::array();
  if (m.contains("dependencies") && !m["dependencies"].is_null()) {
    if (!m["dependencies"].is_array()) throw Fail("manifest.json: \"dependencies\" is not a list");
    bool placed = false;
    for (auto& d : m["dependencies"]) {
      const bool ours = d.is_object() && d.contains("id") && d["id"] == id;
      if (!ours) {
        deps.push_back(d);
      } else if (!placed) {
        ojson entry = d;
        entry["sha256"] = sha;
        deps.push_back(std::move(entry));
        placed = true;
      }
    }
    if (!placed) deps.push_back(ojson{{"id", id}, {"sha256", sha}});
  } else {
    deps.push_back(ojson{{"id", id}, {"sha256", sha}});
  }
  m["dependencies"] = std::move(deps);
  return m.dump(2) + "\n";
}

void write_atomically(const std::string& path, const std::string& bytes) {
  const std::string tmp = path + ".tmp." + std::to_string(::getpid());
  {
    std::ofstream o(P(tmp), std::ios::binary | std::ios::trunc);
    if (!o) throw Fail("cannot create " + tmp + ": " + std::strerror(errno));
    o.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    o.close();
    if (!o) {
      fs::remove(P(tmp));
      throw Fail("cannot write " + tmp);
    }
  }
  fs::rename(P(tmp), P(path));
}

void write_imx(const std::string& out, const std::vector<Entry>& members) {
  if (members.size() > 0xFFFF)
    throw Fail("too many members for an IMX container (" + std::to_string(members.size()) + ")");
  std::string head("IMX\0", 4);
  put16(head, 1);  // format revision; readers ignore it
  put16(head, members.size());
  std::uint64_t toc = 0;
  for (const auto& m : members) {
    if (m.name.size() > 0xFFFF) throw Fail("member name too long: " + m.name.substr(0, 80) + "...");
    toc += 2 + m.name.size() + 16;
  }
  std::uint64_t off = head.size() + toc;
  for (const auto& m : members) {
    put16(head, m.name.size());
    head += m.name;
    put64(head, off);
    put64(head, m.size);
    off += m.size;
  }
  const std::string tmp = out + ".tmp." + std::to_string(::getpid());
  std::ofstream o(P(tmp), std::ios::binary | std::ios::trunc);
  if (!o) throw Fail("cannot create " + tmp + ": " + std::strerror(errno));
  o.write(head.data(), static_cast<std::streamsize>(head.size()));
  std::vector<char> buf(1 << 20);
  for (const auto& m : members) {
    if (m.data) {
      o.write(m.data->data(), static_cast<std::streamsize>(m.data->size()));
      continue;
    }
    std::ifstream in(P(m.file), std::ios::binary);
    if (!in) {
      fs::remove(P(tmp));
      throw Fail("cannot open " + m.file);
    }
    std::uint64_t copied = 0;
    while (in) {
      in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
      o.write(buf.data(), in.gcount());
      copied += static_cast<std::uint64_t>(in.gcount());
    }
    if (copied != m.size) {
      fs::remove(P(tmp));
      throw Fail(m.file + " changed size while being packed");
    }
  }
  o.close();
  if (!o) {
    fs::remove(P(tmp));
    throw Fail("cannot write " + tmp);
  }
  fs::rename(P(tmp), P(out));
}

void write_zip(const std::string& out, const std::vector<Entry>& members) {
  const std::string tmp = out + ".tmp." + std::to_string(::getpid());
  int err = 0;
  zip_t* z = zip_open(tmp.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
  if (!z) throw Fail("cannot create " + tmp + " (libzip error " + std::to_string(err) + ")");
  auto fail = [&](const std::string& what) {
    std::string msg = what + ": " + zip_strerror(z);
    zip_discard(z);
    fs::remove(P(tmp));
    throw Fail(msg);
  };
  for (const auto& m : members) {
    zip_source_t* src = m.data ? zip_source_buffer(z, m.data->data(), m.data->size(), 0)
                               : zip_source_file(z, m.file.c_str(), 0, -1);
    if (!src) fail("cannot read " + (m.data ? m.name : m.file));
    if (zip_file_add(z, m.name.c_str(), src, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE) < 0) {
      zip_source_free(src);
      fail("cannot add " + m.name);
    }
  }
  if (zip_close(z) != 0) fail("cannot write " + tmp);
  fs::rename(P(tmp), P(out));
}

int run(int argc, const char* const* argv) {
  std::vector<std::string> pos;
  std::optional<std::string> base;
  bool zip = false, in_place = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--zip") {
      zip = true;
    } else if (a == "--stamp-in-place") {
      in_place = true;
    } else if (a == "--base") {
      if (i + 1 >= argc) {
        std::cerr << "imx_from_bundle: --base needs a file\n" << USAGE << "\n";
        return 2;
      }
      base = argv[++i];
    } else if (a == "-h" || a == "--help") {
      std::cout << USAGE << "\n";
      return 0;
    } else if (a.starts_with("-") && a != "-") {
      std::cerr << "imx_from_bundle: unknown option " << a << "\n" << USAGE << "\n";
      return 2;
    } else {
      pos.push_back(a);
    }
  }
  if (pos.size() != 2) {
    std::cerr << USAGE << "\n";
    return 2;
  }
  const fs::path dir = P(pos[0]);
  const std::string out = pos[1];
  if (!fs::is_directory(dir)) throw Fail(pos[0] + " is not a bundle directory");
  if (fs::is_directory(P(out))) throw Fail(out + " is a directory");

  std::vector<Entry> members = collect(dir, fs::absolute(P(out)));
  auto top = [&](std::string_view n) { return fs::is_regular_file(dir / n); };

  const bool split = top(IDENTITY) && !top(kinra2::COMBINED_MEMBER);
  if (split) {
    std::string base_file;
    if (base) {
      base_file = *base;
      if (!fs::is_regular_file(P(base_file))) throw Fail("--base " + base_file + " is not a file");
    } else if (top(SHARED_ENC)) {
      base_file = T(dir / SHARED_ENC);
    } else {
      throw Fail(
          pos[0] + " is a two-artifact split (identity.tflite, no " +
          std::string(kinra2::COMBINED_MEMBER) + ") without a " + SHARED_ENC +
          " of its own; pass --base <shared-enc.tflite> (the encoder it was cut against) so its "
          "content address can be stamped");
    }
    char hex[K2SED_HEX_BUF] = {};
    if (k2sed_content_address(base_file.c_str(), hex) != 1) throw Fail("cannot read " + base_file);
    const std::string sha(hex);
    if (base && top(SHARED_ENC)) {
      char own[K2SED_HEX_BUF] = {};
      if (k2sed_content_address(T(dir / SHARED_ENC).c_str(), own) == 1 && sha != own)
        std::cerr << "imx_from_bundle: warning: the bundle's own " << SHARED_ENC
                  << " differs from --base; the host will not accept it as the base\n";
    }
    std::optional<std::string> old;
    if (top(MANIFEST)) old = read_file(T(dir / MANIFEST));
    std::string stamped = stamp_manifest(old, k2sed_id(), sha);

    members.erase(std::remove_if(members.begin(), members.end(),
                                 [](const Entry& e) { return e.name == MANIFEST; }),
                  members.end());
    Entry m;
    m.name = MANIFEST;
    m.size = stamped.size();
    m.data = stamped;
    members.push_back(std::move(m));
    std::sort(members.begin(), members.end(), pack_order);
    if (in_place) write_atomically(T(dir / MANIFEST), stamped);
    std::cout << "stamped " << k2sed_id() << " sha256=" << sha << " (from " << base_file << ")"
              << (in_place ? " into the packed copy and " + T(dir / MANIFEST)
                           : " into the packed copy")
              << "\n";
  } else if (base) {
    std::cerr << "imx_from_bundle: note: " << pos[0]
              << " is not a two-artifact split; --base ignored\n";
  }

  if (zip)
    write_zip(out, members);
  else
    write_imx(out, members);
  std::cout << "packed " << members.size() << " member(s) into " << out
            << (zip ? " (zip)" : " (IMX)") << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    // UTF-8 arguments on every platform (the wide command line on Windows).
    const kinra2::system::ProgramArguments args(argc, argv);
    return run(args.argc(), args.argv());
  } catch (const std::exception& e) {
    std::cerr << "imx_from_bundle: " << e.what() << "\n";
    return 1;
  }
}
