// The prefix that turns a model file into one signature's view of it: a
// small flatbuffer written in front of the file's bytes whose root Model
// reuses every field of the file's own except the subgraph list, where the
// signature's entry becomes subgraph 0 and the other signatures' entries are
// replaced by one empty subgraph. Private to the runtime layer (and its tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tflite_schema_generated.h"

namespace kinra2::chain::detail {

// Bytes one prefix takes for a file of `subgraphs` subgraphs; a multiple of
// 64, so every view keeps the file's own alignment.
std::size_t prefix_size(std::size_t subgraphs);

// Writes, at `prefix`, a prefix that lies `distance` bytes before the file
// `file` (whose root table is `model`) and whose primary subgraph is `entry`;
// `blank[j]` marks subgraphs to replace by the empty one.
void write_prefix(std::uint8_t* prefix, std::size_t distance, const std::uint8_t* file,
                  const kinra2::fmt::Model* model, std::uint32_t entry,
                  const std::vector<bool>& blank);

}  // namespace kinra2::chain::detail
