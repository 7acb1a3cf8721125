// Crafted model files, one per hazard the runtime would meet with them: a
// crash, a read or write outside a tensor, unbounded recursion, a silent or
// vague refusal. The admission tests run each through the host; the fuzz
// seeds are made from the same table.
#pragma once

#include <functional>
#include <ostream>
#include <vector>

#include "tiny_models.hpp"

namespace k2test {

struct Crafted {
  const char* name;
  std::function<void(ModelMaker&)> edit;  // applied to the chain's five signatures
  const char* signature;                  // the signature the host's line names
  const char* phrase;                     // and what it says
  const char* input = "";                 // "flush": the fault needs a chunk to run
  bool memory_cap = false;                // needs an address-space limit to show
};

const std::vector<Crafted>& crafted_models();

inline void PrintTo(const Crafted& c, std::ostream* os) {
  *os << c.name;
}

// The chain model (add_chain_signatures) with the hazard of `c` in it.
ModelMaker crafted_model(const Crafted& c);

}  // namespace k2test
