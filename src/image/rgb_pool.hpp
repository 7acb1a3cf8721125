// The process-wide worker pool of the RGB conversion: created once, on first
// use, with a fixed worker count, and never shut down.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace kinra2::image::detail {

class RgbPool {
 public:
  // Starts `workers` threads (at least 1) named "k2-rgb-<i>".
  explicit RgbPool(int workers);
  RgbPool(const RgbPool&) = delete;
  RgbPool& operator=(const RgbPool&) = delete;

  int size() const { return static_cast<int>(threads_.size()); }
  // Queues `task`; the future reports its completion or its exception.
  std::future<void> submit(std::function<void()> task);

 private:
  void work();

  std::mutex lock_;
  std::condition_variable ready_;
  std::deque<std::packaged_task<void()>> queue_;
  std::vector<std::thread> threads_;
};

// The pool, created with `n` workers by the first call; later calls get the
// same pool whatever they ask for.
RgbPool& rgb_pool(int n);
// The pool if some call has created it, else nullptr.
RgbPool* rgb_pool_if_created();

// Runs fn(lo, hi) over [0, n) split into at most `threads` contiguous runs of
// ceil(n / nt) items. With one run (threads <= 1 or n <= 1) it runs on the
// calling thread and no pool is created; otherwise every run is a pool task,
// all are awaited, and the error of the lowest failed run is rethrown.
void run_ranges(std::size_t n, int threads,
                const std::function<void(std::size_t, std::size_t)>& fn);

}  // namespace kinra2::image::detail
