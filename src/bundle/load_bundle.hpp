// Turning the bundle path of the command line into model files, a label and
// the identity's canon latent, under the bundle contract: a canon latent plus
// either one combined model or an identity delta paired with a shared encoder
// whose content is bound by hash.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/staging.hpp"

namespace kinra2::bundle {

struct LoadedBundle {
  std::vector<std::string> tfl_paths;  // one combined model, or shared encoder then identity
  std::string model_label;             // names the model in the ready log line
  std::vector<float> canon;            // LC x PLANE values, member order
  StagedFiles staged;                  // the container members staged for tfl_paths
};

// The bundle breaks the contract; what() is the one FATAL line that says why.
// The entry point logs it and exits with status 3 (the exit sweep still runs).
struct BundleRefused : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Throws BundleRefused on a contract violation; other failures (a canon whose
// byte length is not a multiple of 4, unreadable members, staging errors)
// throw ordinary exceptions.
LoadedBundle load_bundle(const std::string& bundle, const std::optional<std::string>& engine);

namespace detail {
// Little-endian float32 values of a canon member; throws std::invalid_argument
// when the byte length is not a multiple of 4.
std::vector<float> decode_canon(const std::string& bytes);
}  // namespace detail

}  // namespace kinra2::bundle
