#include "system/mapped_file.hpp"

#include <windows.h>

namespace kinra2::system {

std::size_t page_size() {
  SYSTEM_INFO si{};
  GetSystemInfo(&si);
  return si.dwPageSize > 0 ? si.dwPageSize : 4096;
}

std::uint8_t* map_file_behind(const File&, std::size_t, std::size_t, std::size_t&) {
  return nullptr;  // read instead: see the header
}

void unmap_region(std::uint8_t*, std::size_t) {}

void protect_read_only(std::uint8_t* p, std::size_t n) {
  DWORD old = 0;
  VirtualProtect(p, n, PAGE_READONLY, &old);
}

std::uint8_t* alloc_pages(std::size_t n) {
  return static_cast<std::uint8_t*>(VirtualAlloc(nullptr, n, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
}

void free_pages(std::uint8_t* p, std::size_t) {
  VirtualFree(p, 0, MEM_RELEASE);
}

}  // namespace kinra2::system
