#include "chain/model_bytes_internal.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <system_error>

namespace kinra2::chain::detail {

std::size_t page_size() {
  long p = sysconf(_SC_PAGESIZE);
  return p > 0 ? static_cast<std::size_t>(p) : 4096;
}

std::string quoted(const std::string& path) {
  return "'" + path + "'";
}

void bad_model(const std::string& path, const std::string& why) {
  throw std::runtime_error("LiteRT model " + quoted(path) + " " + why);
}

ModelBytes::~ModelBytes() {
  if (base == nullptr) return;
  if (mapped)
    munmap(base, region);
  else
    std::free(base);
}

std::shared_ptr<ModelBytes> load_model_bytes(const std::string& path, int fd, std::size_t file_size,
                                             std::size_t room, LitertModel::Load how) {
  auto mb = std::make_shared<ModelBytes>();
  mb->room = room;
  mb->file_size = file_size;
  if (how == LitertModel::Load::Map) {
    // Reserve the whole range anonymously, then lay the file over its tail, so
    // the prefixes end exactly where the file's first page begins.
    const std::size_t region = room + round_up(file_size, page_size());
    void* base = mmap(nullptr, region, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base != MAP_FAILED) {
      auto* b = static_cast<std::uint8_t*>(base);
      void* tail = mmap(b + room, file_size, PROT_READ, MAP_PRIVATE | MAP_FIXED, fd, 0);
      if (tail != MAP_FAILED) {
        mb->base = b;
        mb->region = region;
        mb->mapped = true;
        return mb;
      }
      munmap(base, region);
    }
    // Not mappable (some file systems): fall back to reading.
  }
  const std::size_t region = round_up(room + file_size, page_size());
  auto* b = static_cast<std::uint8_t*>(std::aligned_alloc(page_size(), region));
  if (b == nullptr) throw std::bad_alloc();
  mb->base = b;
  mb->region = region;
  std::size_t got = 0;
  while (got < file_size) {
    ssize_t r = pread(fd, b + room + got, file_size - got, static_cast<off_t>(got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0)
      throw std::system_error(errno, std::generic_category(),
                              "cannot read LiteRT model " + quoted(path));
    if (r == 0) bad_model(path, "was truncated while reading");
    got += static_cast<std::size_t>(r);
  }
  return mb;
}

}  // namespace kinra2::chain::detail
