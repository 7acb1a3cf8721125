// color.json text: the parser, the verdict line and the header descriptor.
#include "harness.hpp"

#include <cstdlib>

#include <nlohmann/json.hpp>

#include "image/color_correct.hpp"

namespace kinra2::fuzz {

int color_json(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto [cc, line] = image::parse_color_correct(text, "color.json");
  if (line.empty() || line.find('\n') != std::string::npos) std::abort();
  const auto desc = image::color_descriptor(cc);
  (void)desc.dump(-1, ' ', true);
  if (cc) {
    std::uint8_t px[3 * 4] = {0, 1, 2, 127, 128, 129, 253, 254, 255, 9, 99, 199};
    cc->apply(px, px, 4);
    (void)cc->describe();
  }
  return 0;
}

}  // namespace kinra2::fuzz
