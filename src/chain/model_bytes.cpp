#include "chain/model_bytes_internal.hpp"

#include "base/text.hpp"
#include "system/files.hpp"
#include "system/mapped_file.hpp"

#include <new>
#include <stdexcept>
#include <system_error>

namespace kinra2::chain::detail {

std::size_t page_size() {
  return system::page_size();
}

void bad_model(const std::string& path, const std::string& why) {
  throw std::runtime_error("LiteRT model " + base::quoted(path) + " " + why);
}

ModelBytes::~ModelBytes() {
  if (base == nullptr) return;
  if (mapped)
    system::unmap_region(base, region);
  else
    system::free_pages(base, region);
}

std::shared_ptr<ModelBytes> load_model_bytes(const std::string& path, system::File& file,
                                             std::size_t file_size, std::size_t room,
                                             LitertModel::Load how) {
  auto mb = std::make_shared<ModelBytes>();
  mb->room = room;
  mb->file_size = file_size;
  if (how == LitertModel::Load::Map) {
    std::size_t region = 0;
    if (std::uint8_t* b = system::map_file_behind(file, file_size, room, region)) {
      mb->base = b;
      mb->region = region;
      mb->mapped = true;
      return mb;
    }
    // Not mappable (some file systems, or the platform): fall back to reading.
  }
  const std::size_t region = round_up(room + file_size, page_size());
  std::uint8_t* b = system::alloc_pages(region);
  if (b == nullptr) throw std::bad_alloc();
  mb->base = b;
  mb->region = region;
  std::size_t got = 0;
  while (got < file_size) {
    const std::ptrdiff_t r = file.pread(b + room + got, file_size - got, got);
    if (r < 0)
      throw std::system_error(file.error(), "cannot read LiteRT model " + base::quoted(path));
    if (r == 0) bad_model(path, "was truncated while reading");
    got += static_cast<std::size_t>(r);
  }
  return mb;
}

}  // namespace kinra2::chain::detail
