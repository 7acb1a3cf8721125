// What the host checks of a model file before the runtime is handed any view
// of it.
//
// The shipped runtime trusts its model: a negative or vast dimension wraps its
// size arithmetic, control flow that calls itself recurses until the stack is
// gone, and some kernels index with whatever the model says. The host cannot
// mend the library, so it refuses what would reach those faults, in one pass
// over the flatbuffer that needs nothing but the verified file. Index values
// computed at run time cannot be seen here; those operators run on the host's
// own bounds-checked kernels instead (checked_kernels.hpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tflite_schema_generated.h"

namespace kinra2::chain {

// Element count the runtime's kernels can index: they count in int.
inline constexpr std::uint64_t MAX_TENSOR_ELEMENTS = 2147483647;
// Control flow nested deeper than this is refused: each level costs the
// runtime a few stack frames while it prepares the graph.
inline constexpr int MAX_CALL_DEPTH = 64;

// The verdict on one signature's view.
struct Admission {
  std::optional<std::string> refusal;  // what is wrong, naming operator or tensor
  std::string largest_tensor;          // the view's largest computed tensor
  std::uint64_t largest_bytes = 0;
  std::uint64_t computed_bytes = 0;  // all computed tensors of the view, summed
};

class ModelAdmission {
 public:
  // Checks every subgraph of `model` once; `entries[j]` marks the subgraphs
  // some signature enters (each view blanks those of the others).
  ModelAdmission(const kinra2::fmt::Model& model, std::vector<bool> entries);

  // The view whose primary subgraph is `entry`: the entry, every subgraph no
  // signature enters, and the control flow reachable from the entry.
  Admission view(std::uint32_t entry) const;

 private:
  struct Graph {
    std::optional<std::string> fault;
    std::vector<std::int64_t> calls;   // subgraph indices its operators name
    std::vector<std::string> callers;  // the operator naming each, for the refusal
    std::string largest_tensor;
    std::uint64_t largest_bytes = 0, computed_bytes = 0;
  };
  std::vector<bool> entries_;
  std::vector<Graph> graphs_;
};

// The operator's name as the format spells it ("GATHER_ND"), or its code.
std::string operator_name(const kinra2::fmt::Model& model, const kinra2::fmt::Operator& op);

}  // namespace kinra2::chain
