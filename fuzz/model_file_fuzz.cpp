// A model file through verification and the signature layer, up to the views
// the runtime would be handed; the runtime's own kernels are not run.
#include "harness.hpp"

#include <stdexcept>

#include "chain/litert_runtime.hpp"

namespace kinra2::fuzz {

int model_file(const std::uint8_t* data, std::size_t size) {
  static const std::string path = scratch_dir() + "/model.tflite";
  put_file(path, {reinterpret_cast<const char*>(data), size});
  for (auto how : {chain::LitertModel::Load::Map, chain::LitertModel::Load::Read}) {
    try {
      chain::LitertModel model(path, 1, how);
      for (const auto& key : model.signature_keys()) {
        auto r = model.runner(key);
        (void)r->input_names();
        (void)r->output_names();
      }
    } catch (const std::runtime_error&) {
      // A refused model file is the defined outcome.
    }
  }
  return 0;
}

}  // namespace kinra2::fuzz
