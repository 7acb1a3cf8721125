// Finding the shared encoder of a two-artifact bundle and binding it to the
// base the identity was cut against. The binding policy itself lives in the
// separately shipped component libshared_enc_dep.so; this side only loads it
// and walks the candidate locations in their fixed order.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kinra2::bundle {

inline constexpr const char* POLICY_LIBRARY = "libshared_enc_dep.so";

// Where the host looks for the component, in order: the repository's tools
// directory seen from an in-tree build (<exe dir>/../../tools, e.g. build/bin
// -> <repo>/tools, where a vendored prebuilt copy may be dropped), then the
// host executable's own directory (where the build puts it, and where an
// engine artifact vendors it).
std::vector<std::string> default_policy_dirs();

// Loads the component once at start-up from default_policy_dirs(); logs
// nothing. Afterwards detail::SED is set, or detail::SED_WHY says why not.
void load_policy_component();
// Same, from the given directories (tests point it elsewhere with this).
void load_policy_component(const std::vector<std::string>& dirs);
// Drops the component (SED becomes empty, SED_WHY = `why`).
void unload_policy_component(const std::string& why = "unloaded");

namespace detail {

inline constexpr const char* SHARED_ENC_MEMBER = "shared-enc.tflite";

// Typed calls into the loaded component. Failures inside the component that
// the interface reports (unreadable file, malformed list) throw
// std::runtime_error.
class PolicyComponent {
public:
  ~PolicyComponent();
  PolicyComponent(const PolicyComponent&) = delete;
  PolicyComponent& operator=(const PolicyComponent&) = delete;

  // nullptr with `why` set when `file` cannot be loaded or is not the component.
  static std::unique_ptr<PolicyComponent> open(const std::string& file, std::string& why);

  std::string shared_enc_id() const;
  // `dependencies_json`: JSON text of the manifest's "dependencies", or nullopt.
  std::optional<std::string> base_sha256_of(const std::optional<std::string>& dependencies_json) const;
  std::vector<std::string> dependency_store_dirs() const;
  std::vector<std::string> store_candidates(const std::string& want_sha, const std::vector<std::string>& dirs) const;
  bool verify_base(const std::string& path, const std::string& want_sha) const;

private:
  struct Api;
  PolicyComponent(void* handle, std::unique_ptr<Api> api);
  void* handle_;
  std::unique_ptr<Api> api_;
};

// The loaded component, or empty; SED_WHY holds the directory it came from,
// or the last load error.
extern std::unique_ptr<PolicyComponent> SED;
extern std::string SED_WHY;

// The base hash the bundle's manifest declares, or nullopt (no component, no
// manifest, anything unreadable or malformed). Never throws.
std::optional<std::string> declared_base_sha(const std::string& bundle);

// (encoder path or nullopt, how it was found / why nothing was). With
// `want_sha` nullopt the first candidate found is taken unhashed; any declared
// text, even one that is no digest, must be matched by the file's bytes.
std::pair<std::optional<std::string>, std::string> resolve_shared_enc(const std::string& bundle,
                                                                      const std::optional<std::string>& engine,
                                                                      const std::optional<std::string>& want_sha);

} // namespace detail
} // namespace kinra2::bundle
