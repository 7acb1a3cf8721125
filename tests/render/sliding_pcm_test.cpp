#include "render/sliding_pcm.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <limits>
#include <new>
#include <numeric>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

using kinra2::render::detail::SlidingPCM;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

// Matches a call that throws std::invalid_argument with exactly `message`.
auto refused_with(const char* message) {
  return ThrowsMessage<std::invalid_argument>(StrEq(message));
}

std::vector<float> ramp(std::int64_t n, float from = 0.0f) {
  std::vector<float> v(static_cast<std::size_t>(n));
  std::iota(v.begin(), v.end(), from);
  return v;
}

std::vector<float> live_copy(const SlidingPCM& p) {
  return {p.live().begin(), p.live().end()};
}

// Every observable field, for "nothing changed" checks.
struct State {
  std::vector<std::pair<std::string, std::int64_t>> counters;
  std::int64_t start, end, capacity, peak;
  std::vector<float> live;
  bool operator==(const State&) const = default;
};
State state_of(const SlidingPCM& p) {
  return {p.counters(), p.start(), p.end(), p.capacity(), p.peak_capacity(), live_copy(p)};
}

TEST(SlidingPCM, GrowsToMinimumOrToWhatTheFirstAppendNeeds) {
  SlidingPCM small;
  small.append(ramp(16000));
  EXPECT_EQ(small.capacity(), 51200);
  EXPECT_EQ(small.allocations(), 1);
  EXPECT_EQ(small.peak_capacity(), 51200);
  EXPECT_EQ(small.moved_samples(), 0);
  EXPECT_EQ(small.fed(), 16000);

  SlidingPCM big;
  big.append(ramp(60000));
  EXPECT_EQ(big.capacity(), 60000);
}

TEST(SlidingPCM, CompactsInPlaceWhenTheFrontRoomSuffices) {
  SlidingPCM p;
  p.append(ramp(51000));
  p.discard_before(10000);
  ASSERT_EQ(p.start(), 10000);
  ASSERT_EQ(p.capacity(), 51200);
  p.append(ramp(5000, 51000.0f));
  EXPECT_EQ(p.allocations(), 1);
  EXPECT_EQ(p.moved_samples(), 41000);
  EXPECT_EQ(p.start(), 0);
  EXPECT_EQ(p.end(), 46000);
  EXPECT_EQ(live_copy(p), ramp(46000, 10000.0f));
}

TEST(SlidingPCM, ReallocatesByDoublingAndShrinksWhenAQuarterFull) {
  SlidingPCM p;
  p.append(ramp(50000));
  p.append(ramp(5000, 50000.0f));
  EXPECT_EQ(p.capacity(), 102400);
  EXPECT_EQ(p.allocations(), 2);
  EXPECT_EQ(p.moved_samples(), 50000);

  p.discard_before(25000);  // 30000 live: more than a quarter, kept
  EXPECT_EQ(p.capacity(), 102400);
  p.discard_before(35000);  // 20000 live <= 25600
  EXPECT_EQ(p.capacity(), 51200);
  EXPECT_EQ(p.allocations(), 3);
  EXPECT_EQ(p.moved_samples(), 70000);
  EXPECT_EQ(p.peak_capacity(), 102400);
  EXPECT_EQ(p.base(), 35000);
  EXPECT_EQ(live_copy(p), ramp(20000, 35000.0f));
}

TEST(SlidingPCM, DiscardOutsideTheLiveRange) {
  SlidingPCM p;
  p.discard_before(0);
  EXPECT_EQ(p.allocations(), 0);
  EXPECT_EQ(p.capacity(), 0);

  p.append(ramp(1000));
  p.discard_before(300);
  p.discard_before(100);  // below base: nothing more goes
  EXPECT_EQ(p.base(), 300);
  p.discard_before(1'000'000);
  EXPECT_EQ(p.base(), 1000);
  EXPECT_EQ(p.fed(), 1000);
  EXPECT_TRUE(p.live().empty());
  p.append(ramp(10, 7.0f));
  EXPECT_EQ(p.base(), 1000);
  EXPECT_EQ(p.fed(), 1010);
  EXPECT_EQ(live_copy(p), ramp(10, 7.0f));
}

TEST(SlidingPCM, MovedFromBufferIsEmptyAndUsable) {
  SlidingPCM a;
  a.append(ramp(500));
  SlidingPCM b(std::move(a));
  EXPECT_EQ(live_copy(b), ramp(500));
  EXPECT_EQ(state_of(a), state_of(SlidingPCM{}));  // NOLINT(bugprone-use-after-move)
  a.append(ramp(3));
  EXPECT_EQ(live_copy(a), ramp(3));
  b = SlidingPCM(8);  // what a session reset does
  EXPECT_EQ(b.fed(), 0);
  EXPECT_TRUE(b.live().empty());
}

// A view of our own samples must be appended as it read before the call,
// whether the append has room, compacts or moves to a new buffer.
TEST(SlidingPCM, AppendingAViewOfItselfAppendsTheOldValues) {
  struct Case {
    std::int64_t fill, discard, view_from, view_len;
    std::int64_t expect_allocs;
  };
  const Case cases[] = {
      {1000, 0, 0, 1000, 1},        // room at the tail
      {51000, 30000, 0, 21000, 1},  // compaction moves the viewed samples
      {40000, 0, 5000, 30000, 2},   // reallocation frees the viewed buffer
  };
  for (const auto& c : cases) {
    SlidingPCM p;
    p.append(ramp(c.fill));
    p.discard_before(c.discard);
    const auto before = live_copy(p);
    const auto view = p.live().subspan(static_cast<std::size_t>(c.view_from),
                                       static_cast<std::size_t>(c.view_len));
    p.append(view);
    auto expected = before;
    expected.insert(expected.end(), before.begin() + c.view_from,
                    before.begin() + c.view_from + c.view_len);
    EXPECT_EQ(live_copy(p), expected) << "fill " << c.fill;
    EXPECT_EQ(p.aliased_samples_snapshotted(), c.view_len);
    EXPECT_EQ(p.allocations(), c.expect_allocs);
  }

  SlidingPCM p;
  const auto outside = ramp(100);
  p.append(outside);
  p.append(outside);
  EXPECT_EQ(p.aliased_samples_snapshotted(), 0);
}

TEST(SlidingPCM, BadArgumentsThrowAndChangeNothing) {
  for (std::int64_t cap : {std::int64_t{0}, std::int64_t{-5}})
    EXPECT_THAT([cap] { SlidingPCM bad(cap); }, refused_with("positive capacity required")) << cap;
  static_assert(!std::is_constructible_v<SlidingPCM, bool>);
  static_assert(!std::is_constructible_v<SlidingPCM, double>);
  EXPECT_NO_THROW(SlidingPCM{1});

  SlidingPCM p;
  p.append(ramp(3000));
  p.discard_before(1000);
  const State before = state_of(p);

  const std::vector<float> eight(8, 1.0f);
  const std::size_t two_by_four[] = {2, 4};
  const std::size_t wrong_count[] = {7};
  EXPECT_THAT([&] { p.append(eight, two_by_four); }, refused_with("one-dimensional PCM required"));
  EXPECT_THROW(p.append(eight, wrong_count), std::invalid_argument);
  EXPECT_THAT([&] { p.discard_before(-1); },
              refused_with("nonnegative absolute sample offset required"));
  const std::size_t zero_by_two[] = {0, 2};
  p.append(std::span<const float>{}, zero_by_two);
  p.append(std::span<const float>{});
  EXPECT_EQ(state_of(p), before);

  const std::size_t one_d[] = {8};
  p.append(eight, one_d);
  EXPECT_EQ(p.fed(), 3008);
}

TEST(SlidingPCM, FailedAllocationChangesNothing) {
  // Too large to even ask for: refused before any allocation is tried.
  SlidingPCM huge(std::numeric_limits<std::int64_t>::max());
  const State before = state_of(huge);
  const std::vector<float> one{1.0f};
  EXPECT_THROW(huge.append(one), std::bad_alloc);
  EXPECT_EQ(state_of(huge), before);
#if !defined(__SANITIZE_ADDRESS__)
  // Representable but far beyond any address space: the allocator refuses.
  SlidingPCM vast(std::int64_t{1} << 50);
  EXPECT_THROW(vast.append(one), std::bad_alloc);
  EXPECT_EQ(state_of(vast), before);
#endif
}

// A model of absolute offsets driven through random appends (some of them
// views of the buffer itself) and discards, checking values and counters.
TEST(SlidingPCM, RandomOperationsKeepValuesAndCountersConsistent) {
  std::mt19937_64 rng(20240611);
  for (std::int64_t min_cap : {std::int64_t{1}, std::int64_t{7}, std::int64_t{51200}}) {
    SlidingPCM p(min_cap);
    std::deque<float> model;
    std::int64_t model_base = 0;
    float next = 0.0f;
    for (int step = 0; step < 400; ++step) {
      const std::int64_t cap_before = p.capacity(), live_before = p.live_samples();
      const std::int64_t allocs_before = p.allocations(), moved_before = p.moved_samples();
      std::int64_t n = 0;
      if (rng() % 3 != 0) {
        n = static_cast<std::int64_t>(rng() % 9000);
        if (rng() % 4 == 0 && live_before > 0) {
          n = std::min<std::int64_t>(n, live_before);
          const auto view = p.live().subspan(static_cast<std::size_t>(live_before - n));
          const std::vector<float> copy(view.begin(), view.end());
          p.append(view);
          model.insert(model.end(), copy.begin(), copy.end());
        } else {
          const auto fresh = ramp(n, next);
          next += static_cast<float>(n);
          p.append(fresh);
          model.insert(model.end(), fresh.begin(), fresh.end());
        }
        if (p.allocations() > allocs_before) {
          EXPECT_TRUE(p.capacity() >= 2 * cap_before || p.capacity() == live_before + n);
          EXPECT_GE(p.capacity(), min_cap);
        }
        if (p.moved_samples() != moved_before) {
          EXPECT_EQ(p.moved_samples() - moved_before, live_before);
        }
      } else {
        const std::int64_t to = p.base() + static_cast<std::int64_t>(rng() % 12000) - 1000;
        p.discard_before(std::max<std::int64_t>(0, to));
        while (model_base < to && !model.empty()) {
          model.pop_front();
          ++model_base;
        }
        if (p.allocations() > 0) {
          EXPECT_GE(p.capacity(), min_cap);
        }
      }
      ASSERT_EQ(p.base(), model_base);
      ASSERT_EQ(p.live_samples(), static_cast<std::int64_t>(model.size()));
      ASSERT_TRUE(std::equal(model.begin(), model.end(), p.live().begin()));
      const auto c = p.counters();
      ASSERT_EQ(c.size(), 9u);
      EXPECT_EQ(c[8].second - c[7].second, c[0].second);
      EXPECT_EQ(c[3].second, c[8].second);
      EXPECT_LE(p.end(), p.capacity());
      EXPECT_LE(p.start(), p.end());
    }
  }
}

TEST(SlidingPCM, CountersAreTheNineKeysInOrder) {
  SlidingPCM p;
  p.append(ramp(100));
  p.append(p.live());
  p.discard_before(50);
  const std::vector<std::pair<std::string, std::int64_t>> expected = {
      {"live_samples", 150},
      {"backing_bytes", 204800},
      {"peak_backing_bytes", 204800},
      {"input_samples_copied", 200},
      {"retained_samples_moved", 0},
      {"aliased_samples_snapshotted", 100},
      {"allocations", 1},
      {"absolute_base", 50},
      {"absolute_fed", 200}};
  EXPECT_EQ(p.counters(), expected);
}

}  // namespace
