// Writes the seed models of the model_run harness into a directory: the
// chain model of the tests and one crafted model per hazard the admission
// tests refuse.  usage: fuzz_model_seeds <out-dir>
#include <cstdio>
#include <string>

#include "crafted_models.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_model_seeds <out-dir>\n");
    return 2;
  }
  const std::string out = argv[1];
  // Large constants (the decoders' frame pattern) become computed tensors:
  // the fuzzer mutates a few kilobytes instead of megabytes.
  auto small = [](k2test::ModelMaker mk) {
    for (auto& b : mk.model.buffers)
      if (b->data.size() > 65536) b->data.clear();
    return mk;
  };
  k2test::ModelMaker plain;
  k2test::add_chain_signatures(plain, {});
  small(std::move(plain)).write(out + "/chain.tflite");
  for (const k2test::Crafted& c : k2test::crafted_models())
    small(k2test::crafted_model(c)).write(out + "/" + c.name + ".tflite");
  return 0;
}
