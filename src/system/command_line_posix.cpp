#include "system/command_line.hpp"

namespace kinra2::system::detail {

std::vector<std::string> utf8_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace kinra2::system::detail
