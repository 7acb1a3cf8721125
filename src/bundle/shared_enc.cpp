#include "bundle/shared_enc_internal.hpp"

#include "bundle/container.hpp"
#include "bundle/json_text.hpp"
#include "bundle/shared_enc_dep_abi.h"
#include "bundle/staging.hpp"

#include <nlohmann/json.hpp>

#include "system/files.hpp"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace kinra2::bundle {

namespace {

namespace fs = std::filesystem;
using detail::is_directory;
using detail::is_regular;
using nlohmann::json;

using system::home_dir;

std::string join(const std::string& a, const std::string& b) {
  return system::join_path(a, b);
}

// Texts the component hands out; released with its own free function.
std::string take_text(char* p, void (*release)(char*), const char* what) {
  if (!p) throw std::runtime_error(std::string("shared_enc_dep: ") + what + " failed");
  std::string s(p);
  release(p);
  return s;
}

std::vector<std::string> text_list(const std::string& js, const char* what) {
  const json v = json::parse(js, nullptr, false);
  if (!v.is_array())
    throw std::runtime_error(std::string("shared_enc_dep: ") + what + " returned no list");
  std::vector<std::string> out;
  for (const auto& e : v)
    if (e.is_string()) out.push_back(e.get<std::string>());
  return out;
}

// The process-wide policy component and where it came from (or why it is
// missing); reached through detail::policy_component() and friends.
std::unique_ptr<detail::PolicyComponent> SED;
std::string SED_WHY = "not loaded";

}  // namespace

namespace detail {

const PolicyComponent* policy_component() {
  return SED.get();
}
const std::string& policy_component_why() {
  return SED_WHY;
}

struct PolicyComponent::Api {
  int (*abi_version)();
  const char* (*id)();
  char* (*base_sha256_of)(const char*);
  char* (*dependency_store_dirs)();
  char* (*store_candidates)(const char*, const char*);
  int (*verify_base)(const char*, const char*);
  void (*release)(char*);
};

PolicyComponent::PolicyComponent(std::unique_ptr<system::DynamicLibrary> lib,
                                 std::unique_ptr<Api> api)
    : lib_(std::move(lib)), api_(std::move(api)) {}

PolicyComponent::~PolicyComponent() = default;

std::unique_ptr<PolicyComponent> PolicyComponent::open(const std::string& file, std::string& why) {
  auto lib = system::DynamicLibrary::open(file, why);
  if (!lib) return nullptr;
  auto api = std::make_unique<Api>();
  bool missing = false;
  auto sym = [&](auto& fn, const char* name) {
    fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(lib->symbol(name));
    if (!fn && !missing) {
      missing = true;
      why = file + ": undefined symbol " + name;
    }
  };
  sym(api->abi_version, "k2sed_abi_version");
  sym(api->id, "k2sed_id");
  sym(api->base_sha256_of, "k2sed_base_sha256_of");
  sym(api->dependency_store_dirs, "k2sed_dependency_store_dirs");
  sym(api->store_candidates, "k2sed_store_candidates");
  sym(api->verify_base, "k2sed_verify_base");
  sym(api->release, "k2sed_free");
  if (!missing && api->abi_version() != K2SED_ABI_VERSION) {
    missing = true;
    why = file + ": interface version " + std::to_string(api->abi_version()) +
          ", this host needs " + std::to_string(K2SED_ABI_VERSION);
  }
  if (missing) return nullptr;
  return std::unique_ptr<PolicyComponent>(new PolicyComponent(std::move(lib), std::move(api)));
}

std::string PolicyComponent::shared_enc_id() const {
  const char* id = api_->id();
  return id ? id : "";
}

std::optional<std::string> PolicyComponent::base_sha256_of(
    const std::optional<std::string>& deps) const {
  char* p = api_->base_sha256_of(deps ? deps->c_str() : nullptr);
  if (!p) return std::nullopt;
  return take_text(p, api_->release, "base_sha256_of");
}

std::vector<std::string> PolicyComponent::dependency_store_dirs() const {
  return text_list(take_text(api_->dependency_store_dirs(), api_->release, "dependency_store_dirs"),
                   "dependency_store_dirs");
}

std::vector<std::string> PolicyComponent::store_candidates(
    const std::string& want_sha, const std::vector<std::string>& dirs) const {
  const std::string dj = json(dirs).dump();
  return text_list(take_text(api_->store_candidates(want_sha.c_str(), dj.c_str()), api_->release,
                             "store_candidates"),
                   "store_candidates");
}

bool PolicyComponent::verify_base(const std::string& path, const std::string& want_sha) const {
  int r = api_->verify_base(path.c_str(), want_sha.c_str());
  if (r < 0) throw std::runtime_error("shared_enc_dep: cannot read " + path + " to verify it");
  return r == 1;
}

base::Outcome<std::string> declared_base_sha(const std::string& bundle) {
  using Result = base::Outcome<std::string>;
  if (!SED) return Result::none("no shared_enc_dep loaded");
  // An unreadable or malformed manifest declares nothing; the loader then
  // decides from whether the bundle carries its own encoder.
  try {
    auto bytes = member_bytes(bundle, {"manifest.json"});
    if (!bytes) return Result::none("no manifest.json");
    const json m = parse_json_text(*bytes);
    if (!m.is_object()) return Result::none("manifest.json is not a JSON object");
    auto it = m.find("dependencies");
    std::optional<std::string> deps;
    if (it != m.end()) deps = it->dump();
    auto sha = SED->base_sha256_of(deps);
    if (!sha) return Result::none("no base declared");
    return Result::of(std::move(*sha));
  } catch (const json::exception& e) {
    return Result::none(std::string("manifest.json: ") + e.what());
  } catch (const std::runtime_error& e) {
    return Result::none(e.what());
  }
}

base::Outcome<std::string> resolve_shared_enc(const std::string& bundle,
                                              const std::optional<std::string>& engine,
                                              const std::optional<std::string>& want_sha) {
  using Result = base::Outcome<std::string>;
  if (!SED) throw std::runtime_error("shared_enc_dep is not loaded (" + SED_WHY + ")");
  std::vector<std::string> checked;
  // Only a bundle that declares nothing skips verification; a declared text
  // that no file can hash to (empty, not a digest) refuses every candidate.
  auto ok = [&](const std::string& path, const std::string& label) {
    if (!want_sha) return true;
    if (SED->verify_base(path, *want_sha)) return true;
    checked.push_back(path + " (" + label + "): sha mismatch");
    return false;
  };

  // A content-addressed store file is named by its hash; rehashing a model
  // of hundreds of MB at every start would buy nothing the name does not say.
  if (want_sha && !want_sha->empty()) {
    for (const auto& p : SED->store_candidates(*want_sha, SED->dependency_store_dirs()))
      if (is_regular(p)) return Result::of(p, "name-trusted content store " + p);
  }

  if (auto staged = stage_member(bundle, SHARED_ENC_MEMBER)) {
    if (ok(*staged, "co-located in the bundle"))
      return Result::of(*staged, "co-located in " + bundle);
  }

  std::vector<std::string> cands;
  if (engine && !engine->empty()) cands.push_back(*engine);
  for (const char* var : {"KINRA2_SHARED_ENC", "KINRA2_ENGINE_DIR", "KINRA2_ANE_ENGINE"})
    if (auto v = system::env_text(var); v && !v->empty()) cands.push_back(*v);
  const std::string engines = join(home_dir(), ".velmora/engines");
  if (is_directory(engines)) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(system::fs_path(engines), ec), end; !ec && it != end;
         it.increment(ec))
      names.push_back(system::path_text(it->path().filename()));
    std::sort(names.begin(), names.end());  // byte order of UTF-8 is code-point order
    for (const auto& n : names) {
      std::string p = join(join(engines, n), SHARED_ENC_MEMBER);
      if (is_regular(p)) cands.push_back(p);
    }
  }

  for (const auto& c : cands) {
    if (is_directory(c)) {
      std::string p = join(c, SHARED_ENC_MEMBER);
      if (is_regular(p) && ok(p, "engine dir")) return Result::of(p, "engine dir " + c);
    } else if (is_regular(c)) {
      if (system::path_text(system::fs_path(c).filename()) == SHARED_ENC_MEMBER) {
        if (ok(c, "explicit file")) return Result::of(c, "explicit file " + c);
      } else if (auto data = member_bytes(c, {SHARED_ENC_MEMBER})) {
        std::string staged = stage_tflite(c, SHARED_ENC_MEMBER, *data);
        if (ok(staged, "container " + c)) return Result::of(staged, "container " + c);
      }
    }
  }

  if (checked.empty()) return Result::none("no candidate found");
  std::string how;
  for (std::size_t i = 0; i < checked.size(); ++i) how += (i ? "; " : "") + checked[i];
  return Result::none(how);
}

}  // namespace detail

std::string policy_library_file() {
  return system::shared_library_file("shared_enc_dep");
}

std::vector<std::string> default_policy_dirs() {
  const std::string here = system::program_dir();
  return {system::path_text((system::fs_path(here) / ".." / ".." / "tools").lexically_normal()),
          here};
}

void load_policy_component() {
  load_policy_component(default_policy_dirs());
}

void load_policy_component(const std::vector<std::string>& dirs) {
  SED.reset();
  std::string why = "no directory to search";
  for (const auto& d : dirs) {
    if (auto c = detail::PolicyComponent::open(join(d, policy_library_file()), why)) {
      SED = std::move(c);
      SED_WHY = d;
      return;
    }
  }
  SED_WHY = why;
}

namespace detail {

void unload_policy_component(const std::string& why) {
  SED.reset();
  SED_WHY = why;
}

}  // namespace detail

}  // namespace kinra2::bundle
