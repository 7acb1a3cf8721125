#include <iostream>
#include <string>
#include <vector>

#include "q8gd_regate/regate.hpp"
#include "system/command_line.hpp"

int main(int raw_argc, char** raw_argv) {
  // UTF-8 arguments on every platform (the wide command line on Windows).
  const kinra2::system::ProgramArguments args(raw_argc, raw_argv);
  std::vector<std::string> rest(args.argv() + (args.argc() > 0 ? 1 : 0), args.argv() + args.argc());
  return kinra2::regate::run(rest, std::cout, std::cerr);
}
