// The shared-encoder side the bundle loader (and the tests) reach into: the
// loaded policy component and the candidate walk.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/outcome.hpp"
#include "bundle/shared_enc.hpp"
#include "system/dynamic_library.hpp"

namespace kinra2::bundle::detail {

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
  std::optional<std::string> base_sha256_of(
      const std::optional<std::string>& dependencies_json) const;
  std::vector<std::string> dependency_store_dirs() const;
  std::vector<std::string> store_candidates(const std::string& want_sha,
                                            const std::vector<std::string>& dirs) const;
  bool verify_base(const std::string& path, const std::string& want_sha) const;

 private:
  struct Api;
  PolicyComponent(std::unique_ptr<system::DynamicLibrary> lib, std::unique_ptr<Api> api);
  std::unique_ptr<system::DynamicLibrary> lib_;
  std::unique_ptr<Api> api_;
};

// Drops the component; `why` is what a bundle that needs it is told.
void unload_policy_component(const std::string& why = "unloaded");

// The loaded component, or nullptr.
const PolicyComponent* policy_component();
// The directory the component came from, or why it is not loaded.
const std::string& policy_component_why();

// The base hash the bundle's manifest declares; none (with the reason) when
// there is no component, no manifest, or it cannot be read or parsed.
base::Outcome<std::string> declared_base_sha(const std::string& bundle);

// The encoder path and how it was found, or none and why nothing was. With
// `want_sha` nullopt the first candidate found is taken unhashed; any declared
// text, even one that is no digest, must be matched by the file's bytes.
// Throws std::runtime_error when no component is loaded.
base::Outcome<std::string> resolve_shared_enc(const std::string& bundle,
                                              const std::optional<std::string>& engine,
                                              const std::optional<std::string>& want_sha);

}  // namespace kinra2::bundle::detail
