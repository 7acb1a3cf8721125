// Known faults of the XNNPACK kernels inside the shipped runtime, and the
// decision, per signature, to run on the runtime's built-in kernels instead.
//
// The library cannot be replaced, so the host must recognise the processors
// and operators on which its XNNPACK damages memory or computes wrong values,
// and keep the delegate off exactly those signatures. The decision is taken
// from the model file before any interpreter exists: the damage happens while
// the delegate prepares the graph, long before anything would notice it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "system/cpu_identity.hpp"
#include "tflite_schema_generated.h"

namespace kinra2::chain {

// Why XNNPACK must stay off a view made of the subgraphs `graphs` of `model`
// on processor `cpu`, or nullopt when it may be used.
std::optional<std::string> xnnpack_hazard(const kinra2::fmt::Model& model,
                                          std::span<const std::uint32_t> graphs,
                                          const system::CpuIdentity& cpu);

// The delegate's 8-bit option flags a view made of `graphs` asks for:
// XNNPACK_FLAG_QS8 when it computes on quantised int8 activations,
// XNNPACK_FLAG_QU8 on quantised uint8 ones. Float views, and views that
// merely store weights as int8 behind DEQUANTIZE, get 0 and so the delegate
// they had before.
std::uint32_t xnnpack_8bit_flags(const kinra2::fmt::Model& model,
                                 std::span<const std::uint32_t> graphs);

}  // namespace kinra2::chain
