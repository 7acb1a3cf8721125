// Mono audio addressed by absolute sample offsets since the start of a stream.
// New samples go on the end, old ones are discarded from the front, and the
// retained samples always sit contiguous in one backing buffer so a window of
// them can be read as a plain view.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace kinra2::render::detail {

class SlidingPCM {
 public:
  static constexpr std::int64_t DEFAULT_MINIMUM_CAPACITY = 51200;

  // Throws std::invalid_argument("positive capacity required") unless
  // minimum_capacity > 0.
  explicit SlidingPCM(std::int64_t minimum_capacity = DEFAULT_MINIMUM_CAPACITY);

  // A boolean or a fractional number is not a capacity; refuse it at compile
  // time instead of letting it convert silently.
  template <typename T>
  requires(std::same_as<T, bool> || std::is_floating_point_v<T>) explicit SlidingPCM(T) = delete;

  // A moved-from buffer is left empty with its counters at zero, never with
  // counters that describe storage it no longer has.
  SlidingPCM(SlidingPCM&& other) noexcept;
  SlidingPCM& operator=(SlidingPCM&& other) noexcept;
  SlidingPCM(const SlidingPCM&) = delete;
  SlidingPCM& operator=(const SlidingPCM&) = delete;

  // Appends the samples; an empty span changes nothing. Input that lies inside
  // the backing buffer (a view of live(), say) is appended with the values it
  // had before the call.
  void append(std::span<const float> pcm);

  // n-dimensional input described by its shape: an input with no elements is
  // a no-op whatever its shape; otherwise it must be one-dimensional, else
  // std::invalid_argument("one-dimensional PCM required"). A shape whose
  // element count differs from data.size() is refused as well.
  void append(std::span<const float> data, std::span<const std::size_t> shape);

  // Drops every retained sample whose absolute offset is below
  // absolute_sample. Throws std::invalid_argument(
  // "nonnegative absolute sample offset required") for a negative offset.
  void discard_before(std::int64_t absolute_sample);
  template <typename T>
  requires(std::same_as<T, bool> || std::is_floating_point_v<T>) void discard_before(T) = delete;

  // Zero-copy view of the retained samples, element i at absolute offset
  // base() + i. Valid until the next append or discard_before.
  std::span<const float> live() const noexcept {
    return {storage_.get() + start_, static_cast<std::size_t>(end_ - start_)};
  }

  std::int64_t minimum_capacity() const noexcept { return minimum_capacity_; }
  std::int64_t capacity() const noexcept { return capacity_; }
  std::int64_t start() const noexcept { return start_; }
  std::int64_t end() const noexcept { return end_; }
  std::int64_t live_samples() const noexcept { return end_ - start_; }
  std::int64_t base() const noexcept { return base_; }
  std::int64_t fed() const noexcept { return fed_; }
  std::int64_t appended_samples() const noexcept { return appended_samples_; }
  std::int64_t moved_samples() const noexcept { return moved_samples_; }
  std::int64_t allocations() const noexcept { return allocations_; }
  std::int64_t aliased_samples_snapshotted() const noexcept { return aliased_samples_snapshotted_; }
  std::int64_t peak_capacity() const noexcept { return peak_capacity_; }

  // live_samples, backing_bytes, peak_backing_bytes, input_samples_copied,
  // retained_samples_moved, aliased_samples_snapshotted, allocations,
  // absolute_base, absolute_fed — in that order.
  std::vector<std::pair<std::string, std::int64_t>> counters() const;

  // Largest backing buffer this class will ask for; anything larger is
  // reported as std::bad_alloc without trying, so sizes never overflow.
  static constexpr std::int64_t MAX_CAPACITY =
      static_cast<std::int64_t>(PTRDIFF_MAX / static_cast<std::ptrdiff_t>(sizeof(float)));

 private:
  // A buffer of `capacity` samples holding storage_[from, end_) at its front.
  // Nothing is changed here, so a failed allocation leaves *this untouched;
  // commit_buffer() installs the result once start_ == from.
  std::unique_ptr<float[]> fresh_buffer(std::int64_t capacity, std::int64_t from) const;
  void commit_buffer(std::unique_ptr<float[]> buffer, std::int64_t capacity) noexcept;
  bool overlaps_storage(const float* p, std::size_t n) const noexcept;

  std::int64_t minimum_capacity_;
  std::unique_ptr<float[]> storage_;
  std::int64_t capacity_ = 0;
  std::int64_t start_ = 0;
  std::int64_t end_ = 0;
  std::int64_t base_ = 0;
  std::int64_t fed_ = 0;
  std::int64_t appended_samples_ = 0;
  std::int64_t moved_samples_ = 0;
  std::int64_t allocations_ = 0;
  std::int64_t aliased_samples_snapshotted_ = 0;
  std::int64_t peak_capacity_ = 0;
};

}  // namespace kinra2::render::detail
