#include "system/fatal_signal.hpp"

#include <atomic>

#include "base/log.hpp"

namespace kinra2::system {

namespace {

// Read by a handler on any thread, so lock-free by construction.
std::atomic<const FaultContext*> g_context{nullptr};
static_assert(std::atomic<const FaultContext*>::is_always_lock_free);

// Appends what fits of `text`; the last byte of the buffer stays free for the
// line feed.
void append(char* buf, std::size_t size, std::size_t& at, const char* text) {
  for (; text && *text && at + 1 < size; ++text) buf[at++] = *text;
}

}  // namespace

FaultContext::FaultContext(const char* doing, const char* subject) noexcept
    : doing_(doing), subject_(subject), outer_(g_context.load(std::memory_order_relaxed)) {
  g_context.store(this, std::memory_order_release);
}

FaultContext::~FaultContext() {
  g_context.store(outer_, std::memory_order_release);
}

const FaultContext* FaultContext::current() noexcept {
  return g_context.load(std::memory_order_acquire);
}

namespace detail {

std::size_t fault_line(char* buf, std::size_t size, const char* fault) {
  if (size == 0) return 0;
  std::size_t at = 0;
  char prefix[base::LOG_PREFIX.size() + 1] = {};
  base::LOG_PREFIX.copy(prefix, base::LOG_PREFIX.size());
  append(buf, size, at, prefix);
  append(buf, size, at, " fatal ");
  append(buf, size, at, fault);
  if (const FaultContext* c = FaultContext::current()) {
    append(buf, size, at, " while ");
    append(buf, size, at, c->doing());
    append(buf, size, at, " ");
    append(buf, size, at, c->subject());
  }
  buf[at++] = '\n';
  return at;
}

}  // namespace detail

}  // namespace kinra2::system
