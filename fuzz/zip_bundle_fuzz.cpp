// A zip bundle through the same lookups as an IMX container.
#include "harness.hpp"

namespace kinra2::fuzz {

void read_bundle_file(const std::string& path);

int zip_bundle(const std::uint8_t* data, std::size_t size) {
  static const std::string path = scratch_dir() + "/bundle.zip";
  put_file(path, {reinterpret_cast<const char*>(data), size});
  read_bundle_file(path);
  return 0;
}

}  // namespace kinra2::fuzz
