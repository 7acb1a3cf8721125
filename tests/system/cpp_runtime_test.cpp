// The C++ runtime surfaces the host relies on. On Linux they are the
// toolchain's own; the Windows build links Debian's msvcrt-built libstdc++ and
// winpthread against the universal CRT, a mix the toolchain does not promise
// to support, so these run under Wine to show that each one behaves there.
#include <gtest/gtest.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <fstream>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "support/temp_dir.hpp"

namespace {

TEST(CppRuntime, FloatingPointFormatsAndParsesExactly) {
  char buf[64];
  struct Row {
    double v;
    const char* shortest;
    const char* fixed3;
  } rows[] = {{0.1, "0.1", "0.100"}, {1e-7, "1e-07", "0.000"}, {123456789.0, "123456789", "123456789.000"},
              {-2.5, "-2.5", "-2.500"}, {0.0005, "5e-04", "0.001"}};
  for (const Row& r : rows) {
    auto res = std::to_chars(buf, buf + sizeof buf, r.v);
    EXPECT_EQ(std::string(buf, res.ptr), r.shortest);
    double back = 0;
    std::from_chars(buf, res.ptr, back);
    EXPECT_EQ(back, r.v);
    std::snprintf(buf, sizeof buf, "%.3f", r.v);
    EXPECT_STREQ(buf, r.fixed3);
  }
  EXPECT_EQ(std::to_string(1.5), "1.500000");
  std::ostringstream os;
  os << 0.1 << ' ' << 1e300 << ' ' << 42;
  EXPECT_EQ(os.str(), "0.1 1e+300 42");
}

TEST(CppRuntime, StreamsAreByteExactAndTheClassicLocaleHolds) {
  EXPECT_EQ(std::locale().name(), "C");
  k2test::TempDir dir{"k2crt"};
  const std::string bytes("a\r\nb\x1a\n\0c", 8);
  const auto path = dir.path() / "bytes.bin";
  std::ofstream(path, std::ios::binary) << bytes;
  std::ifstream in(path, std::ios::binary);
  std::string back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(back, bytes);
  std::istringstream lines("150000 100000\nmax\n");
  long long q = 0, p = 0;
  std::string word;
  lines >> q >> p >> word;
  EXPECT_EQ(q, 150000);
  EXPECT_EQ(p, 100000);
  EXPECT_EQ(word, "max");
}

TEST(CppRuntime, ClocksAdvanceAndAgree) {
  using namespace std::chrono;
  const auto t0 = steady_clock::now();
  std::this_thread::sleep_for(milliseconds(20));
  const auto waited = steady_clock::now() - t0;
  EXPECT_GE(waited, milliseconds(15));
  EXPECT_LT(waited, seconds(30));
  const auto wall = duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
  EXPECT_LE(std::abs(wall - static_cast<long long>(std::time(nullptr))), 2);
}

TEST(CppRuntime, ExceptionsCrossThreadsIntact) {
  std::vector<std::exception_ptr> caught(4);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&caught, i] {
      try {
        if (i % 2) throw std::runtime_error("run " + std::to_string(i));
        throw std::system_error(std::make_error_code(std::errc::broken_pipe), "write");
      } catch (...) {
        caught[i] = std::current_exception();
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < 4; ++i) {
    try {
      std::rethrow_exception(caught[i]);
    } catch (const std::system_error& e) {
      EXPECT_EQ(i % 2, 0);
      EXPECT_EQ(e.code(), std::errc::broken_pipe);
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "run " + std::to_string(i));
    }
  }
}

struct Counted {
  static std::atomic<int> destroyed;
  int value = 0;
  ~Counted() { destroyed.fetch_add(1); }
};
std::atomic<int> Counted::destroyed{0};
thread_local Counted per_thread;

TEST(CppRuntime, ThreadLocalsAreOwnedAndDestroyedPerThread) {
  per_thread.value = -1;
  std::atomic<int> sum{0};
  std::vector<std::thread> threads;
  for (int i = 1; i <= 3; ++i) {
    threads.emplace_back([&sum, i] {
      // As the pixel conversion keeps its scratch: a function's own.
      thread_local Counted local;
      local.value += i;
      per_thread.value += 10 * i;
      sum += local.value + per_thread.value;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(sum.load(), 66);
  EXPECT_EQ(per_thread.value, -1);
  EXPECT_EQ(Counted::destroyed.load(), 6) << "each thread's two thread_locals, destroyed at its exit";
}

}  // namespace
