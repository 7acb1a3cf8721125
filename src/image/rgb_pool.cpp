#include "image/rgb_pool.hpp"

#include <algorithm>
#include <string>
#include <system_error>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace kinra2::image::detail {

namespace {

// The pool is intentionally never destroyed: its workers wait on its condition
// variable until the process ends, so destroying it at exit would pull the
// mutex out from under them. Reachable from here, it is not a leak.
RgbPool* RGB_POOL = nullptr;
std::mutex RGB_POOL_LOCK;

}  // namespace

RgbPool::RgbPool(int workers) {
  workers = std::max(1, workers);
  threads_.reserve(static_cast<std::size_t>(workers));
  for (int i = 0; i < workers; ++i) {
    // The OS may refuse a thread; a smaller pool still works, an empty one not.
    try {
      threads_.emplace_back([this, i] {
#if defined(__linux__)
        std::string name = "k2-rgb-" + std::to_string(i);
        name.resize(std::min<std::size_t>(name.size(), 15));  // the kernel's limit
        pthread_setname_np(pthread_self(), name.c_str());
#else
        (void)i;
#endif
        work();
      });
    } catch (const std::system_error&) {
      if (threads_.empty()) throw;
      break;
    }
  }
}

std::future<void> RgbPool::submit(std::function<void()> task) {
  std::packaged_task<void()> job(std::move(task));
  std::future<void> done = job.get_future();
  {
    std::lock_guard<std::mutex> g(lock_);
    queue_.push_back(std::move(job));
  }
  ready_.notify_one();
  return done;
}

void RgbPool::work() {
  for (;;) {
    std::packaged_task<void()> job;
    {
      std::unique_lock<std::mutex> g(lock_);
      ready_.wait(g, [this] { return !queue_.empty(); });
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    job();  // a throwing task stores its exception in its future
  }
}

RgbPool& rgb_pool(int n) {
  std::lock_guard<std::mutex> g(RGB_POOL_LOCK);
  if (!RGB_POOL) RGB_POOL = new RgbPool(n);
  return *RGB_POOL;
}

RgbPool* rgb_pool_if_created() {
  std::lock_guard<std::mutex> g(RGB_POOL_LOCK);
  return RGB_POOL;
}

void run_ranges(std::size_t n, int threads,
                const std::function<void(std::size_t, std::size_t)>& fn) {
  std::size_t nt = std::min<std::size_t>(static_cast<std::size_t>(std::max(1, threads)), n);
  if (nt <= 1) {
    fn(0, n);
    return;
  }
  RgbPool& pool = rgb_pool(static_cast<int>(nt));
  std::size_t step = (n + nt - 1) / nt;
  std::vector<std::future<void>> handles;
  handles.reserve(nt);
  // Every queued task must be finished before anything is rethrown: they all
  // use `fn` and write into memory the caller is about to release.
  try {
    for (std::size_t lo = 0; lo < n; lo += step) {
      std::size_t hi = std::min(lo + step, n);
      handles.push_back(pool.submit([&fn, lo, hi] { fn(lo, hi); }));
    }
  } catch (...) {
    for (auto& h : handles) h.wait();
    throw;
  }
  for (auto& h : handles) h.wait();
  for (auto& h : handles) h.get();
}

}  // namespace kinra2::image::detail
