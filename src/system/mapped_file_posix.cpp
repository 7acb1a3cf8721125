#include "system/mapped_file.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

namespace kinra2::system {

std::size_t page_size() {
  long p = sysconf(_SC_PAGESIZE);
  return p > 0 ? static_cast<std::size_t>(p) : 4096;
}

std::uint8_t* map_file_behind(const File& file, std::size_t size, std::size_t room,
                              std::size_t& region) {
  // Reserve the whole range anonymously, then lay the file over its tail, so
  // the room ends exactly where the file's first page begins.
  const std::size_t want = room + (size + page_size() - 1) / page_size() * page_size();
  void* base = mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return nullptr;
  auto* b = static_cast<std::uint8_t*>(base);
  void* tail = mmap(b + room, size, PROT_READ, MAP_PRIVATE | MAP_FIXED,
                    static_cast<int>(file.native()), 0);
  if (tail == MAP_FAILED) {
    munmap(base, want);
    return nullptr;
  }
  region = want;
  return b;
}

void unmap_region(std::uint8_t* base, std::size_t region) {
  munmap(base, region);
}

void protect_read_only(std::uint8_t* p, std::size_t n) {
  mprotect(p, n, PROT_READ);
}

std::uint8_t* alloc_pages(std::size_t n) {
  return static_cast<std::uint8_t*>(std::aligned_alloc(page_size(), n));
}

void free_pages(std::uint8_t* p, std::size_t) {
  std::free(p);
}

}  // namespace kinra2::system
