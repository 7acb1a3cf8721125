// A process that faults leaves one line on the real standard error, naming
// the fault and what it was busy with, even while descriptor 2 is captured,
// and then dies exactly as it would have: of the same signal (Linux) or with
// the same status (Windows), after any handler that was there before.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "base/log.hpp"
#include "system/fatal_signal.hpp"
#include "system/std_streams.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#endif

namespace {

namespace sys = kinra2::system;

constexpr const char* SUBJECT = "signature 'enc' of '/models/m.tflite'";

// Into the first page, which is never mapped; not through null itself, which
// the sanitizers would report before it faulted.
void wild_write() {
  volatile int* volatile p = reinterpret_cast<int*>(64);
  *p = 1;
}

volatile int g_depth_limit = 1 << 30;
int recurse(int depth) {
  volatile char pad[4096];
  pad[0] = static_cast<char>(depth);
  if (depth == g_depth_limit) return pad[0];
  return recurse(depth + 1) + pad[0];
}
void overflow_stack() {
  recurse(0);
}

void fault_on_other_thread() {
  std::thread(wild_write).join();
}

[[noreturn]] void abort_now() {
  std::abort();
}

void previous_line() {
  constexpr char line[] = "previous handler ran\n";
  sys::detail::write_fault_line(line, sizeof line - 1);
}

#ifdef _WIN32
void divide_by_zero() {
  // Both volatile: 1 / x compiles to a comparison, not a division.
  volatile int one = 1, zero = 0;
  volatile int q = one / zero;
  (void)q;
}

LONG WINAPI previous_filter(EXCEPTION_POINTERS*) {
  previous_line();
  return EXCEPTION_CONTINUE_SEARCH;
}

void install_previous() {
  SetUnhandledExceptionFilter(previous_filter);
}

void plain_process() {}

// How the process ends: the exception's code, or 3 for abort() (unless the C
// runtime fails fast).
::testing::ExitedWithCode dies_with(long long status) {
  return ::testing::ExitedWithCode(static_cast<int>(status));
}
#else
template <int Sig>
void send() {
  ::raise(Sig);
}

// As Python's fault handler does: its own line, then the default action.
extern "C" void previous_handler(int sig) {
  previous_line();
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

void install_previous() {
  ::signal(SIGSEGV, previous_handler);
}

// What a process starts with: no handler (a sanitizer's would take over the
// death) and no alternate stack, so that ours is the one used.
void plain_process() {
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) ::signal(sig, SIG_DFL);
  stack_t off{};
  off.ss_flags = SS_DISABLE;
  ::sigaltstack(&off, nullptr);
}

::testing::KilledBySignal dies_with(int sig) {
  return ::testing::KilledBySignal(sig);
}
#endif

// Descriptor 2 pointed at an anonymous file, the log at the real one, as
// while the runtime is set up or first run.
void capture_stderr() {
  const int saved = sys::duplicate_fd(2);
  kinra2::base::set_log_fd(saved);
  sys::redirect_fd(sys::capture_file(), 2);
}

struct Row {
  const char* name;
  void (*fault)();
  long long dies_of;  // signal (Linux), exit status (Windows)
  const char* named;  // the fault as the line names it
  bool busy = true;   // in a context
  bool chained = false;
};

void PrintTo(const Row& r, std::ostream* os) {
  *os << r.name;
}

class FatalSignal : public ::testing::TestWithParam<Row> {};

void fault_in_scope(const Row& r) {
  plain_process();
  if (r.chained) install_previous();
  sys::FatalSignalScope scope;
  std::optional<sys::FaultContext> busy;
  if (r.busy) busy.emplace("running", SUBJECT);
  capture_stderr();
  r.fault();
}

TEST_P(FatalSignal, OneLineThenTheSameDeath) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const Row& r = GetParam();
  std::string line = std::string(kinra2::base::LOG_PREFIX) + " fatal " + r.named;
  if (r.busy) line += std::string(" while running ") + SUBJECT;
  line += '\n';
  const std::string expected = r.chained ? line + "previous handler ran\n" : line;
  EXPECT_EXIT(fault_in_scope(r), dies_with(r.dies_of),
              ::testing::AllOf(::testing::HasSubstr(expected),
                               ::testing::Not(::testing::HasSubstr(line + line))));
}

#ifdef _WIN32
constexpr long long AV = 0xC0000005LL;
constexpr const char* AV_NAMED = "exception 0xC0000005 (access violation)";
INSTANTIATE_TEST_SUITE_P(
    Faults, FatalSignal,
    ::testing::Values(Row{"wild_write", wild_write, AV, AV_NAMED},
                      Row{"stack_overflow", overflow_stack, 0xC00000FDLL,
                          "exception 0xC00000FD (stack overflow)"},
                      Row{"other_thread", fault_on_other_thread, AV, AV_NAMED},
                      Row{"divide_by_zero", divide_by_zero, 0xC0000094LL,
                          "exception 0xC0000094 (integer division by zero)"},
                      Row{"abort", abort_now, 3, "signal SIGABRT"},
                      Row{"outside_any_context", wild_write, AV, AV_NAMED, false},
                      Row{"after_previous_handler", wild_write, AV, AV_NAMED, true, true}),
    [](const auto& info) { return std::string(info.param.name); });
#else
INSTANTIATE_TEST_SUITE_P(
    Faults, FatalSignal,
    ::testing::Values(Row{"wild_write", wild_write, SIGSEGV, "signal SIGSEGV"},
                      Row{"stack_overflow", overflow_stack, SIGSEGV, "signal SIGSEGV"},
                      Row{"other_thread", fault_on_other_thread, SIGSEGV, "signal SIGSEGV"},
                      Row{"abort", abort_now, SIGABRT, "signal SIGABRT"},
                      Row{"bus", send<SIGBUS>, SIGBUS, "signal SIGBUS"},
                      Row{"fpe", send<SIGFPE>, SIGFPE, "signal SIGFPE"},
                      Row{"ill", send<SIGILL>, SIGILL, "signal SIGILL"},
                      Row{"outside_any_context", wild_write, SIGSEGV, "signal SIGSEGV", false},
                      Row{"after_previous_handler", wild_write, SIGSEGV, "signal SIGSEGV", true,
                          true}),
    [](const auto& info) { return std::string(info.param.name); });
#endif

std::string line_now() {
  char buf[96];
  return std::string(buf, sys::detail::fault_line(buf, sizeof buf, "signal SIGSEGV"));
}

// The innermost context is named, the outer one comes back after it, and a
// long text is cut to the buffer rather than overrunning it.
TEST(FatalSignal, LineNamesTheInnermostContext) {
  const std::string prefix = std::string(kinra2::base::LOG_PREFIX) + " fatal signal SIGSEGV";
  EXPECT_EQ(line_now(), prefix + "\n");
  {
    const sys::FaultContext outer("setting up", "A");
    {
      const sys::FaultContext inner("running", "B");
      EXPECT_EQ(line_now(), prefix + " while running B\n");
    }
    EXPECT_EQ(line_now(), prefix + " while setting up A\n");
    const std::string subject(300, 'x');
    const sys::FaultContext busy("running", subject.c_str());
    const std::string cut = line_now();
    EXPECT_EQ(cut, prefix + " while running " + std::string(95 - prefix.size() - 15, 'x') + "\n");
  }
  EXPECT_EQ(line_now(), prefix + "\n");
}

}  // namespace
