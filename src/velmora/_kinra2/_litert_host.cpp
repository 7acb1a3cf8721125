#include "host/entry.hpp"
#include "system/command_line.hpp"

int main(int argc, char** argv) {
  const kinra2::system::ProgramArguments args(argc, argv);
  return kinra2::host::main(args.argc(), args.argv());
}
