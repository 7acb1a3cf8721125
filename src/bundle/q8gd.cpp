#include "bundle/q8gd_internal.hpp"

#include "bundle/container.hpp"
#include "bundle/json_text.hpp"
#include "base/constants.hpp"
#include "base/sha256.hpp"
#include "base/text.hpp"
#include "litert/runtime_library.hpp"
#include "system/cpu_budget.hpp"
#include "system/files.hpp"

#include <nlohmann/json.hpp>
#include <tensorflow/lite/c/c_api.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace kinra2::bundle {

namespace {

using detail::is_directory;
using detail::is_regular;
using nlohmann::json;

// Closes every fallback line: what is served instead.
const std::string SERVING_COMBINED = " — serving " + std::string(COMBINED_MEMBER);

// Python-like truthiness: the manifest format treats null, "", {}, [], 0 and
// false all as "not given".
bool falsy(const json* v) {
  if (!v || v->is_null()) return true;
  if (v->is_string())
    return v->get_ref<const std::string&>().empty();  // json::empty() is false for any string
  if (v->is_object() || v->is_array()) return v->empty();
  if (v->is_boolean()) return !v->get<bool>();
  if (v->is_number()) return v->get<double>() == 0.0;
  return false;
}

const json* member(const json* obj, std::string_view key) {
  if (!obj || !obj->is_object()) return nullptr;
  auto it = obj->find(key);
  return it == obj->end() ? nullptr : &*it;
}

bool same(const json* a, const json* b) {
  if (!a || a->is_null()) return !b || b->is_null();
  if (!b) return false;
  return *a == *b;
}

// First 12 characters of a hash field as the log texts show it; an absent
// value reads "None".
std::string first12(const json* v) {
  if (!v || v->is_null()) return "None";
  if (!v->is_string()) throw std::invalid_argument("hash value " + v->dump() + " is not text");
  return detail::prefix_cp(v->get<std::string>(), 12);
}

}  // namespace

std::string default_cpuinfo() {
  const std::string root = system::kernel_files_root();
  return root.empty() ? std::string() : system::join_path(root, "proc/cpuinfo");
}

std::optional<std::string> int8_dot_isa(const std::string& cpuinfo) {
  if (cpuinfo.empty()) return std::nullopt;
  std::ifstream in(cpuinfo);
  if (!in) return std::nullopt;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!base::valid_utf8(line))
      throw UndecodableText(cpuinfo + ": line " + std::to_string(number) + " is not UTF-8");
    if (line.rfind("flags", 0) != 0) continue;
    auto colon = line.find(':');
    if (colon == std::string::npos) return std::nullopt;  // a flags line that lists nothing
    std::istringstream words(line.substr(colon + 1));
    std::vector<std::string> flags;
    for (std::string w; words >> w;) flags.push_back(w);
    for (auto want : INT8_DOT_FLAGS)
      if (std::find(flags.begin(), flags.end(), want) != flags.end()) return std::string(want);
    return std::nullopt;
  }
  return std::nullopt;
}

std::optional<std::string> litert_runtime_version() noexcept {
  // The gate asks before the chain first needs the runtime. One that cannot be
  // loaded has no version to read; the chain then says what is missing.
  try {
    litert::require_runtime();
    const char* v = TfLiteVersion();
    if (!v || !*v) return std::nullopt;
    return std::string(v) + "+" + std::string(litert::RUNTIME_BUILD);
  } catch (...) {
    return std::nullopt;
  }
}

namespace detail {

base::Outcome<std::string> q8gd_bound(const json& manifest) {
  using Result = base::Outcome<std::string>;
  static const json empty = json::object();
  const json* m = manifest.is_null() ? &empty : &manifest;
  if (!m->is_object()) throw std::invalid_argument("manifest.json is not a JSON object");
  const json* ms = member(m, "members_sha256");
  if (falsy(ms)) ms = &empty;
  if (!ms->is_object()) throw std::invalid_argument("members_sha256 is not a JSON object");
  const json* blk = member(m, Q8GD_HEADER_KEY);
  const json* want = member(ms, Q8GD_MEMBER);

  if (!blk || !blk->is_object() || falsy(want))
    return Result::none(
        "the header does not bind it (no members_sha256 entry / litert_q8gd block)");
  if (!same(member(blk, "sha256"), want))
    return Result::none("litert_q8gd.sha256 disagrees with members_sha256");
  const json* base_ms = member(ms, COMBINED_MEMBER);
  const json* base_member = member(blk, "base_member");
  const json* base_sha = member(blk, "base_sha256");
  const bool base_ok =
      base_member && base_member->is_string() && base_member->get<std::string>() == COMBINED_MEMBER;
  if (!base_ok || falsy(base_ms) || !same(base_sha, base_ms))
    return Result::none("STALE: cut from " + std::string(COMBINED_MEMBER) + " " +
                        first12(base_sha) + ", the header declares " + first12(base_ms));
  if (!want->is_string())
    throw std::invalid_argument("members_sha256 entry of " + std::string(Q8GD_MEMBER) +
                                " is not text");
  return Result::of(want->get<std::string>(), "bound");
}

std::pair<bool, std::string> q8gd_runtime_ok(const json& manifest,
                                             const std::optional<std::string>& running) {
  const json* blk = member(&manifest, Q8GD_HEADER_KEY);
  const json* gate = member(blk, "gate");
  const json* rt = member(gate, "runtime");
  if (falsy(rt)) return {true, "gate runtime not recorded (published before 2026-10-05)"};
  if (!rt->is_string()) throw std::invalid_argument("litert_q8gd.gate.runtime is not text");
  const std::string want_rt = rt->get<std::string>();
  if (!running)
    return {false, "gated on ai-edge-litert " + want_rt + ", this process's runtime is unreadable"};
  if (*running != want_rt)
    return {false, "gated on ai-edge-litert " + want_rt + ", this process runs " + *running +
                       " — re-gate it"};
  return {true, "gated on this runtime (ai-edge-litert " + *running + ")"};
}

std::string sha256_file_hex(const std::string& path) {
  system::File file = system::File::open_read(path);
  if (!file.ok()) throw std::system_error(file.error(), "cannot open " + path);
  base::Sha256 digest;
  std::vector<unsigned char> buf(HASH_CHUNK);
  for (;;) {
    const std::ptrdiff_t r = file.read(buf.data(), buf.size());
    if (r < 0) throw std::system_error(file.error(), "cannot read " + path);
    if (r == 0) break;
    digest.update(buf.data(), static_cast<std::size_t>(r));
  }
  return digest.hex_digest();
}

base::Outcome<std::string> select_q8gd(const std::string& bundle, const std::string& cpuinfo) {
  using Result = base::Outcome<std::string>;
  const std::string log(Q8GD_LOG);
  try {
    if (!is_directory(bundle)) return Result::none();
    const std::string q8 = bundle + (bundle.ends_with('/') ? "" : "/") + std::string(Q8GD_MEMBER);
    if (!is_regular(q8)) return Result::none();

    const std::string mode = base::setting_word(system::env_text(Q8GD_ENV.data()).value_or(""));
    if (mode == "0" || mode == "off" || mode == "false" || mode == "no")
      return Result::none(log + " off (" + std::string(Q8GD_ENV) + "=" + mode + ") — serving " +
                          std::string(COMBINED_MEMBER));

    const auto isa = int8_dot_isa(cpuinfo);
    if (!isa)
      return Result::none(
          log +
          " FALLBACK: this CPU has no int8 dot product (no avx512_vnni / avx_vnni; int8 measured "
          "0.88-0.93x on AVX2) — serving " +
          std::string(COMBINED_MEMBER));

    const std::string mpath = bundle + (bundle.ends_with('/') ? "" : "/") + "manifest.json";
    const json manifest = parse_json_text(read_regular_file(mpath));

    const auto bound = q8gd_bound(manifest);
    if (!bound) return Result::none(log + " FALLBACK: " + bound.note + SERVING_COMBINED);
    const std::string& want = *bound.value;

    const auto [rt_ok, why_rt] = q8gd_runtime_ok(manifest, litert_runtime_version());
    if (!rt_ok) return Result::none(log + " FALLBACK: " + why_rt + SERVING_COMBINED);

    const std::string digest = sha256_file_hex(q8);
    if (digest != want)
      return Result::none(log + " FALLBACK: bytes " + digest.substr(0, 12) + " != declared " +
                          detail::prefix_cp(want, 12) + SERVING_COMBINED);

    return Result::of(q8, log + " SELECTED " + std::string(Q8GD_MEMBER) + " (int8 decoder; cpu " +
                              *isa + "; sha " + detail::prefix_cp(want, 12) + " bound; " + why_rt +
                              ")");
  } catch (const UndecodableText& e) {
    return Result::none(log + " FALLBACK: undecodable text: " + e.what() + SERVING_COMBINED);
  } catch (const json::parse_error& e) {
    return Result::none(log + " FALLBACK: invalid JSON: " + e.what() + SERVING_COMBINED);
  } catch (const json::exception& e) {
    return Result::none(log + " FALLBACK: malformed manifest: " + e.what() + SERVING_COMBINED);
  } catch (const std::invalid_argument& e) {
    return Result::none(log + " FALLBACK: malformed manifest: " + e.what() + SERVING_COMBINED);
  } catch (const std::system_error& e) {
    return Result::none(log + " FALLBACK: I/O error: " + e.what() + SERVING_COMBINED);
  } catch (const std::exception& e) {
    return Result::none(log + " FALLBACK: error: " + e.what() + SERVING_COMBINED);
  }
}

}  // namespace detail
}  // namespace kinra2::bundle
