// The base-verification policy: how a two-artifact bundle declares the shared
// encoder it was cut against, where content-addressed bases are stored, and
// what "the same base" means (identical bytes, by SHA-256). Kept out of the
// host so the policy can be vendored and updated beside an engine.
#include "bundle/shared_enc_dep_abi.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "base/sha256.hpp"
#include "system/files.hpp"

namespace {

using nlohmann::json;

constexpr const char* SHARED_ENC_ID = "kinra2-shared-enc";
constexpr std::size_t CHUNK = 4u << 20;

bool is_hex64(const std::string& s) {
  if (s.size() != 64) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

char* dup_text(const std::string& s) {
  char* p = static_cast<char*>(std::malloc(s.size() + 1));
  if (p) std::memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

// False on any read error.
bool sha256_hex(const char* path, std::string& out) {
  try {
    // Opened as the host opens files: a UTF-8 path, wide on Windows.
    auto f = kinra2::system::File::open_read(path);
    if (!f.ok()) return false;
    kinra2::base::Sha256 digest;
    std::vector<char> buf(CHUNK);
    std::ptrdiff_t n;
    while ((n = f.read(buf.data(), buf.size())) > 0)
      digest.update(buf.data(), static_cast<std::size_t>(n));
    if (n < 0) return false;
    out = digest.hex_digest();
  } catch (...) {
    return false;
  }
  return true;
}

}  // namespace

extern "C" {

int k2sed_abi_version(void) {
  return K2SED_ABI_VERSION;
}

const char* k2sed_id(void) {
  return SHARED_ENC_ID;
}

char* k2sed_base_sha256_of(const char* dependencies_json) {
  if (!dependencies_json) return nullptr;
  try {
    const json deps = json::parse(dependencies_json);
    if (!deps.is_array()) return nullptr;
    for (const auto& d : deps) {
      if (!d.is_object()) continue;
      auto id = d.find("id");
      if (id == d.end() || !id->is_string() || id->get<std::string>() != SHARED_ENC_ID) continue;
      auto sha = d.find("sha256");
      if (sha == d.end() || sha->is_null()) return nullptr;
      // Handed back even when it is no digest: verification then fails,
      // and k2sed_store_candidates keeps it out of store paths.
      return dup_text(sha->is_string() ? sha->get<std::string>() : sha->dump());
    }
  } catch (...) {
  }
  return nullptr;
}

char* k2sed_dependency_store_dirs(void) {
  try {
    json dirs = json::array();
    // Read as UTF-8 on every platform: a user folder with non-ASCII letters
    // must not fail every two-artifact bundle.
    const auto env = kinra2::system::env_text("VELMORA_DEPS_DIR");
    if (env && !env->empty())
      dirs.push_back(*env);
    else
      dirs.push_back(kinra2::system::home_dir() + "/.velmora/deps");
    return dup_text(dirs.dump());
  } catch (...) {
    return nullptr;
  }
}

char* k2sed_store_candidates(const char* want_sha, const char* dirs_json) {
  if (!want_sha || !dirs_json) return nullptr;
  try {
    const json dirs = json::parse(dirs_json);
    if (!dirs.is_array()) return nullptr;
    json out = json::array();
    const std::string want = want_sha;
    if (is_hex64(want)) {
      for (const auto& d : dirs) {
        if (!d.is_string()) continue;
        const std::string store = d.get<std::string>();
        out.push_back(store + "/" + want);
        out.push_back(store + "/" + want.substr(0, 2) + "/" + want);
      }
    }
    return dup_text(out.dump());
  } catch (...) {
    return nullptr;
  }
}

int k2sed_verify_base(const char* path, const char* want_sha) {
  if (!path || !want_sha) return -1;
  std::string got;
  if (!sha256_hex(path, got)) return -1;
  return got == want_sha ? 1 : 0;
}

int k2sed_content_address(const char* path, char out[K2SED_HEX_BUF]) {
  if (!path || !out) return 0;
  std::string got;
  if (!sha256_hex(path, got)) return 0;
  std::memcpy(out, got.c_str(), K2SED_HEX_BUF);
  return 1;
}

void k2sed_free(char* p) {
  std::free(p);
}

}  // extern "C"
