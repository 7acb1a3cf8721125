// What the serving loop needs of a renderer: audio in, numbered frames out.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "base/constants.hpp"

namespace kinra2::image {
class ColorCorrect;
}

namespace kinra2::render {

// One frame record: its index and a read-only view of RGB888_FRAME bytes that
// stay valid as long as the FrameBatch holding the record lives.
struct FrameRecord {
  std::int32_t index;
  std::span<const std::uint8_t> bytes;
};

// Records in output order plus whatever owns their pixel memory.
struct FrameBatch {
  std::vector<FrameRecord> records;
  std::vector<std::shared_ptr<const void>> owners;

  bool empty() const { return records.empty(); }
  std::size_t size() const { return records.size(); }
  void append(FrameBatch&& more) {
    records.insert(records.end(), more.records.begin(), more.records.end());
    owners.insert(owners.end(), std::make_move_iterator(more.owners.begin()),
                  std::make_move_iterator(more.owners.end()));
  }
};

class FrameSource {
 public:
  virtual ~FrameSource() = default;
  virtual const image::ColorCorrect* cc() const = 0;
  virtual void feed(std::span<const float> pcm) = 0;
  // The next chunk the fed audio completes, rendered; empty when none is
  // complete. One chunk at a time, so that a caller can write each chunk's
  // frames before the next one is rendered.
  virtual FrameBatch next_ready_chunk() = 0;
  // Every chunk the fed audio completes, their frames all held at once.
  FrameBatch ready_chunks() {
    FrameBatch out;
    for (FrameBatch b; !(b = next_ready_chunk()).empty();) out.append(std::move(b));
    return out;
  }
  virtual FrameBatch flush_chunks() = 0;
  virtual void reset() = 0;
  virtual std::optional<double> rtf() const = 0;
  virtual std::int64_t chunks_rendered() const = 0;  // chunks rendered since the last reset
  virtual double render_seconds() const = 0;         // seconds spent rendering them
};

}  // namespace kinra2::render
