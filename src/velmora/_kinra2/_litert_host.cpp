#include "host/entry.hpp"

int main(int argc, char** argv) {
  return kinra2::host::main(argc, argv);
}
