#include "render/sliding_pcm.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>
#include <utility>

namespace kinra2::render::detail {

SlidingPCM::SlidingPCM(std::int64_t minimum_capacity) : minimum_capacity_(minimum_capacity) {
  if (minimum_capacity <= 0) throw std::invalid_argument("positive capacity required");
}

SlidingPCM::SlidingPCM(SlidingPCM&& other) noexcept
    : minimum_capacity_(other.minimum_capacity_),
      storage_(std::move(other.storage_)),
      capacity_(std::exchange(other.capacity_, 0)),
      start_(std::exchange(other.start_, 0)),
      end_(std::exchange(other.end_, 0)),
      base_(std::exchange(other.base_, 0)),
      fed_(std::exchange(other.fed_, 0)),
      appended_samples_(std::exchange(other.appended_samples_, 0)),
      moved_samples_(std::exchange(other.moved_samples_, 0)),
      allocations_(std::exchange(other.allocations_, 0)),
      aliased_samples_snapshotted_(std::exchange(other.aliased_samples_snapshotted_, 0)),
      peak_capacity_(std::exchange(other.peak_capacity_, 0)) {}

SlidingPCM& SlidingPCM::operator=(SlidingPCM&& other) noexcept {
  if (this != &other) {
    SlidingPCM taken(std::move(other));
    minimum_capacity_ = taken.minimum_capacity_;
    storage_ = std::move(taken.storage_);
    capacity_ = taken.capacity_;
    start_ = taken.start_;
    end_ = taken.end_;
    base_ = taken.base_;
    fed_ = taken.fed_;
    appended_samples_ = taken.appended_samples_;
    moved_samples_ = taken.moved_samples_;
    allocations_ = taken.allocations_;
    aliased_samples_snapshotted_ = taken.aliased_samples_snapshotted_;
    peak_capacity_ = taken.peak_capacity_;
  }
  return *this;
}

std::unique_ptr<float[]> SlidingPCM::fresh_buffer(std::int64_t capacity, std::int64_t from) const {
  if (capacity <= 0 || capacity > MAX_CAPACITY) throw std::bad_alloc();
  // Not value-initialised: the region past the live samples is never read
  // before it is written, and zeroing a growing buffer would double its cost.
  std::unique_ptr<float[]> buffer(new float[static_cast<std::size_t>(capacity)]);
  const std::int64_t live = end_ - from;
  if (live > 0) {
    std::memcpy(buffer.get(), storage_.get() + from,
                static_cast<std::size_t>(live) * sizeof(float));
  }
  return buffer;
}

void SlidingPCM::commit_buffer(std::unique_ptr<float[]> buffer, std::int64_t capacity) noexcept {
  const std::int64_t live = end_ - start_;
  moved_samples_ += live;
  storage_ = std::move(buffer);
  capacity_ = capacity;
  start_ = 0;
  end_ = live;
  allocations_ += 1;
  peak_capacity_ = std::max(peak_capacity_, capacity);
}

bool SlidingPCM::overlaps_storage(const float* p, std::size_t n) const noexcept {
  if (!storage_ || n == 0) return false;
  // std::less gives a total order even for pointers into unrelated objects,
  // which the built-in comparison does not promise.
  const float* lo = storage_.get();
  const float* hi = lo + capacity_;
  const float* last = p + n;
  return std::less<const float*>{}(p, hi) && std::less<const float*>{}(lo, last);
}

void SlidingPCM::append(std::span<const float> pcm) {
  if (pcm.empty()) return;
  const std::int64_t live = end_ - start_;
  if (pcm.size() > static_cast<std::size_t>(MAX_CAPACITY - live)) throw std::bad_alloc();
  const auto n = static_cast<std::int64_t>(pcm.size());

  // The input may be a view of our own samples, which a compaction or a new
  // buffer would move or free under it: take a private copy first.
  std::vector<float> snapshot;
  const bool aliased = overlaps_storage(pcm.data(), pcm.size());
  if (aliased) {
    snapshot.assign(pcm.begin(), pcm.end());
    pcm = snapshot;
  }

  if (capacity_ - end_ < n) {
    if (capacity_ >= live + n) {
      // Enough room once the discarded front is reclaimed.
      std::memmove(storage_.get(), storage_.get() + start_,
                   static_cast<std::size_t>(live) * sizeof(float));
      moved_samples_ += live;
      start_ = 0;
      end_ = live;
    } else {
      // Doubling keeps appends amortised constant time per sample.
      const std::int64_t doubled = capacity_ > MAX_CAPACITY / 2 ? MAX_CAPACITY : 2 * capacity_;
      const std::int64_t target = std::max({live + n, doubled, minimum_capacity_});
      auto buffer = fresh_buffer(target, start_);
      commit_buffer(std::move(buffer), target);
    }
  }

  std::memcpy(storage_.get() + end_, pcm.data(), pcm.size() * sizeof(float));
  end_ += n;
  fed_ += n;
  appended_samples_ += n;
  if (aliased) aliased_samples_snapshotted_ += n;
}

void SlidingPCM::append(std::span<const float> data, std::span<const std::size_t> shape) {
  std::size_t count = 1;
  for (std::size_t extent : shape) {
    if (extent != 0 && count > SIZE_MAX / extent) {
      throw std::invalid_argument("PCM shape does not match its data");
    }
    count *= extent;
  }
  if (count != data.size()) throw std::invalid_argument("PCM shape does not match its data");
  if (count == 0) return;
  if (shape.size() != 1) throw std::invalid_argument("one-dimensional PCM required");
  append(data);
}

void SlidingPCM::discard_before(std::int64_t absolute_sample) {
  if (absolute_sample < 0) {
    throw std::invalid_argument("nonnegative absolute sample offset required");
  }
  const std::int64_t live_before = end_ - start_;
  // base_ <= fed_ and absolute_sample >= 0, so the difference cannot overflow.
  const std::int64_t drop =
      std::min(std::max<std::int64_t>(0, absolute_sample - base_), live_before);
  const std::int64_t live = live_before - drop;

  if (capacity_ > minimum_capacity_ && live <= capacity_ / 4) {
    // Going to twice the live size rather than to the live size keeps a
    // buffer whose fill hovers around the threshold from bouncing.
    const std::int64_t target = std::max(minimum_capacity_, 2 * live);
    // Build the smaller buffer before changing anything, so an allocation
    // failure leaves the discard undone as well.
    auto buffer = fresh_buffer(target, start_ + drop);
    start_ += drop;
    base_ += drop;
    commit_buffer(std::move(buffer), target);
    return;
  }
  start_ += drop;
  base_ += drop;
}

std::vector<std::pair<std::string, std::int64_t>> SlidingPCM::counters() const {
  return {
      {"live_samples", end_ - start_},
      {"backing_bytes", 4 * capacity_},
      {"peak_backing_bytes", 4 * peak_capacity_},
      {"input_samples_copied", appended_samples_},
      {"retained_samples_moved", moved_samples_},
      {"aliased_samples_snapshotted", aliased_samples_snapshotted_},
      {"allocations", allocations_},
      {"absolute_base", base_},
      {"absolute_fed", fed_},
  };
}

}  // namespace kinra2::render::detail
