// A model file's bytes with room in front of them for the signature prefixes,
// all in one contiguous region so that every signature's view is one range.
// Private to the runtime layer (and its tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "chain/litert_runtime.hpp"

namespace kinra2::system {
class File;
}

namespace kinra2::chain::detail {

std::size_t page_size();
constexpr std::size_t round_up(std::size_t v, std::size_t a) {
  return (v + a - 1) / a * a;
}

// Throws the runtime_error of a model file that cannot be used: "LiteRT model
// '<path>' <why>".
[[noreturn]] void bad_model(const std::string& path, const std::string& why);

struct ModelBytes {
  std::uint8_t* base = nullptr;
  std::size_t region = 0;
  std::size_t room = 0;
  std::size_t file_size = 0;
  bool mapped = false;

  const std::uint8_t* file() const { return base + room; }
  ModelBytes() = default;
  ModelBytes(const ModelBytes&) = delete;
  ModelBytes& operator=(const ModelBytes&) = delete;
  ~ModelBytes();
};

// The first `file_size` bytes of `file` (the file at `path`) behind `room`
// bytes of writable space. `room` is a multiple of the page size. A file that
// cannot be mapped is read, whatever `how` asks for.
std::shared_ptr<ModelBytes> load_model_bytes(const std::string& path, system::File& file,
                                             std::size_t file_size,
                                             std::size_t room, LitertModel::Load how);

}  // namespace kinra2::chain::detail
