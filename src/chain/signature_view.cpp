#include "chain/signature_view_internal.hpp"

#include <cstring>

#include <flatbuffers/flatbuffers.h>

#include "chain/model_bytes_internal.hpp"

namespace kinra2::chain::detail {

namespace fmt = kinra2::fmt;

namespace {

constexpr std::size_t kAlign = 64;  // keeps the file's own alignment in every view
constexpr std::uint32_t kSchemaVersion = 3;

// Slot of a field in a table, from its vtable offset.
constexpr std::size_t slot(flatbuffers::voffset_t vt) {
  return (vt - 4u) / 2u;
}

void put16(std::uint8_t* p, std::uint16_t v) {
  flatbuffers::WriteScalar(p, v);
}
void put32(std::uint8_t* p, std::uint32_t v) {
  flatbuffers::WriteScalar(p, v);
}

// Layout of one signature prefix, in bytes from its start:
//   0 root offset, 4 file identifier, 8 Model vtable, 28 Model table,
//   64 subgraph vector, then an empty SubGraph (vtable, table) and the empty
//   vector its fields share.
constexpr std::size_t kModelFields = 8;  // version .. signature_defs
constexpr std::size_t kModelVt = 8;
constexpr std::size_t kModelTable = kModelVt + 4 + 2 * kModelFields;  // 28
constexpr std::size_t kSubVec = kModelTable + 4 + 4 * kModelFields;   // 64
constexpr std::size_t kEmptyFields = 4;  // tensors, inputs, outputs, operators

}  // namespace

std::size_t prefix_size(std::size_t n_sub) {
  const std::size_t empty_vt = kSubVec + 4 + 4 * n_sub;
  const std::size_t empty_tab = empty_vt + 4 + 2 * kEmptyFields;
  const std::size_t empty_vec = empty_tab + 4 + 4 * kEmptyFields;
  return round_up(empty_vec + 4, kAlign);
}

void write_prefix(std::uint8_t* p, std::size_t dist, const std::uint8_t* f, const fmt::Model* model,
                  std::uint32_t entry, const std::vector<bool>& blank) {
  static_assert(slot(fmt::Model::VT_SIGNATURE_DEFS) + 1 == kModelFields);
  const auto* subs = model->subgraphs();
  const std::size_t n = subs->size();
  std::memset(p, 0, prefix_size(n));
  // Forward offset from prefix position `at` to byte `target` of the file.
  auto to_file = [&](std::size_t at, const std::uint8_t* target) {
    return static_cast<std::uint32_t>(dist + static_cast<std::size_t>(target - f) - at);
  };

  put32(p, static_cast<std::uint32_t>(kModelTable));
  std::memcpy(p + 4, fmt::ModelIdentifier(), 4);

  put16(p + kModelVt, static_cast<std::uint16_t>(4 + 2 * kModelFields));
  put16(p + kModelVt + 2, static_cast<std::uint16_t>(4 + 4 * kModelFields));
  put32(p + kModelTable, static_cast<std::uint32_t>(kModelTable - kModelVt));
  const auto* orig = reinterpret_cast<const flatbuffers::Table*>(model);
  for (std::size_t i = 0; i < kModelFields; ++i) {
    const auto vt = static_cast<flatbuffers::voffset_t>(4 + 2 * i);
    const std::size_t at = kModelTable + 4 + 4 * i;
    if (vt == fmt::Model::VT_VERSION) {
      put32(p + at, kSchemaVersion);
    } else if (vt == fmt::Model::VT_SUBGRAPHS) {
      put32(p + at, static_cast<std::uint32_t>(kSubVec - at));
    } else {
      // Every other Model field is an offset into the original file.
      const auto fo = orig->GetOptionalFieldOffset(vt);
      if (fo == 0) continue;
      const std::uint8_t* field = reinterpret_cast<const std::uint8_t*>(orig) + fo;
      put32(p + at, to_file(at, field + flatbuffers::ReadScalar<flatbuffers::uoffset_t>(field)));
    }
    put16(p + kModelVt + 4 + 2 * i, static_cast<std::uint16_t>(at - kModelTable));
  }

  const std::size_t empty_vt = kSubVec + 4 + 4 * n;
  const std::size_t empty_tab = empty_vt + 4 + 2 * kEmptyFields;
  const std::size_t empty_vec = empty_tab + 4 + 4 * kEmptyFields;
  put32(p + kSubVec, static_cast<std::uint32_t>(n));
  for (std::size_t j = 0; j < n; ++j) {
    const std::size_t at = kSubVec + 4 + 4 * j;
    if (j == 0) {
      put32(p + at, to_file(at, reinterpret_cast<const std::uint8_t*>(subs->Get(entry))));
    } else if (blank[j]) {
      put32(p + at, static_cast<std::uint32_t>(empty_tab - at));
    } else {
      put32(p + at, to_file(at, reinterpret_cast<const std::uint8_t*>(subs->Get(j))));
    }
  }
  put16(p + empty_vt, static_cast<std::uint16_t>(4 + 2 * kEmptyFields));
  put16(p + empty_vt + 2, static_cast<std::uint16_t>(4 + 4 * kEmptyFields));
  put32(p + empty_tab, static_cast<std::uint32_t>(empty_tab - empty_vt));
  static_assert(slot(fmt::SubGraph::VT_TENSORS) < kEmptyFields &&
                slot(fmt::SubGraph::VT_INPUTS) < kEmptyFields &&
                slot(fmt::SubGraph::VT_OUTPUTS) < kEmptyFields &&
                slot(fmt::SubGraph::VT_OPERATORS) < kEmptyFields);
  for (std::size_t i = 0; i < kEmptyFields; ++i) {
    const std::size_t at = empty_tab + 4 + 4 * i;
    put32(p + at, static_cast<std::uint32_t>(empty_vec - at));
    put16(p + empty_vt + 4 + 2 * i, static_cast<std::uint16_t>(at - empty_tab));
  }
  put32(p + empty_vec, 0);
}

}  // namespace kinra2::chain::detail
