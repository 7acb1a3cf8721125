// The program's own arguments as UTF-8 text. Linux hands them over as the
// bytes they are (command_line_posix.cpp); on Windows the narrow argv is in
// the ANSI code page and loses what that cannot spell, so they are taken from
// the wide command line instead (command_line_win.cpp).
#pragma once

#include <string>
#include <vector>

namespace kinra2::system {

class ProgramArguments {
 public:
  // `argc` and `argv` as main() received them.
  ProgramArguments(int argc, char** argv);
  int argc() const { return static_cast<int>(text_.size()); }
  // argc() pointers and a null one after them; valid while this lives.
  const char* const* argv() const { return ptrs_.data(); }

 private:
  std::vector<std::string> text_;
  std::vector<const char*> ptrs_;
};

}  // namespace kinra2::system
