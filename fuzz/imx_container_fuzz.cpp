// An IMX container file: the table, every listed member and the lookups the
// bundle loader makes.
#include "harness.hpp"

#include <stdexcept>
#include <string_view>

#include "bundle/container.hpp"

namespace kinra2::fuzz {

namespace {
// Every reader of a bundle path, as the loader and the colour step use them.
void read_everything(const std::string& path) {
  using namespace bundle::detail;
  using bundle::member_bytes;
  (void)imx_toc(path);
  for (const auto& name : listing(path)) {
    (void)has_member(path, name);
    try {
      const std::string_view one[] = {name};
      (void)find_member(path, one);
    } catch (const std::runtime_error&) {
      // A damaged member is a documented read error, not a finding.
    }
  }
  try {
    (void)member_bytes(path, {"canon.bin", "canon.f32"});
    (void)member_bytes(path, {"manifest.json"});
    (void)has_member(path, "combined_litert.tflite");
  } catch (const std::runtime_error&) {
  }
}
}  // namespace

void read_bundle_file(const std::string& path) {
  read_everything(path);
}

int imx_container(const std::uint8_t* data, std::size_t size) {
  static const std::string path = scratch_dir() + "/bundle.imx";
  put_file(path, {reinterpret_cast<const char*>(data), size});
  read_everything(path);
  return 0;
}

}  // namespace kinra2::fuzz
