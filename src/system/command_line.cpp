#include "system/command_line.hpp"

namespace kinra2::system {

namespace detail {
std::vector<std::string> utf8_arguments(int argc, char** argv);
}

ProgramArguments::ProgramArguments(int argc, char** argv)
    : text_(detail::utf8_arguments(argc, argv)) {
  for (const auto& a : text_) ptrs_.push_back(a.c_str());
  ptrs_.push_back(nullptr);
}

}  // namespace kinra2::system
