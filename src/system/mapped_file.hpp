// Page-granular memory for model files: a file's bytes laid behind writable
// room in one contiguous range, mapped where the platform allows it
// (mapped_file_posix.cpp) and otherwise left to the caller to read into
// pages of its own. On Windows nothing is mapped (mapped_file_win.cpp): a
// mapped file cannot be removed there, and a staged model must go as soon as
// the interpreters are built.
#pragma once

#include <cstddef>
#include <cstdint>

#include "system/files.hpp"

namespace kinra2::system {

std::size_t page_size();

// `room` writable bytes (a multiple of the page size) directly followed by
// the first `size` bytes of `file`, read-only and private. The whole range
// is `region` bytes long. nullptr when the file cannot be mapped that way.
std::uint8_t* map_file_behind(const File& file, std::size_t size, std::size_t room,
                              std::size_t& region);
void unmap_region(std::uint8_t* base, std::size_t region);
// Makes [p, p + n) read-only; p and n page-aligned, within a mapped region.
void protect_read_only(std::uint8_t* p, std::size_t n);

// n bytes (a multiple of the page size), page-aligned; nullptr when out of memory.
std::uint8_t* alloc_pages(std::size_t n);
void free_pages(std::uint8_t* p, std::size_t n);

}  // namespace kinra2::system
