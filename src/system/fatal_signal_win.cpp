#include "system/fatal_signal.hpp"

#include <windows.h>
#include <io.h>

#include <array>
#include <atomic>
#include <csignal>

#include "base/log.hpp"

namespace kinra2::system {

namespace {

struct Known {
  DWORD code;
  const char* name;
};
// The exceptions a fault in native code raises; others are named by code.
constexpr std::array<Known, 8> KNOWN = {{
    {EXCEPTION_ACCESS_VIOLATION, "access violation"},
    {EXCEPTION_STACK_OVERFLOW, "stack overflow"},
    {EXCEPTION_IN_PAGE_ERROR, "in-page error"},
    {EXCEPTION_ILLEGAL_INSTRUCTION, "illegal instruction"},
    {EXCEPTION_PRIV_INSTRUCTION, "privileged instruction"},
    {EXCEPTION_INT_DIVIDE_BY_ZERO, "integer division by zero"},
    {EXCEPTION_ARRAY_BOUNDS_EXCEEDED, "array bounds exceeded"},
    {EXCEPTION_DATATYPE_MISALIGNMENT, "misaligned data"},
}};

std::atomic<bool> g_installed{false};
std::atomic_flag g_reported = ATOMIC_FLAG_INIT;
LPTOP_LEVEL_EXCEPTION_FILTER g_previous_filter = nullptr;
using CrtHandler = void(__cdecl*)(int);
CrtHandler g_previous_abort = SIG_DFL;

// The stack overflow exception is handled on what is left of the faulting
// thread's stack; this much more is kept back for it on the thread that runs
// the host.
constexpr ULONG STACK_GUARANTEE = 64 * 1024;

void report(const char* fault) {
  if (g_reported.test_and_set()) return;
  char line[1024];
  detail::write_fault_line(line, detail::fault_line(line, sizeof line, fault));
}

// "exception 0xC0000005 (access violation)", without the C library.
void describe(DWORD code, char (&out)[80]) {
  std::size_t at = 0;
  for (const char* p = "exception 0x"; *p;) out[at++] = *p++;
  for (int shift = 28; shift >= 0; shift -= 4)
    out[at++] = "0123456789ABCDEF"[(code >> shift) & 0xF];
  for (const Known& k : KNOWN) {
    if (k.code != code) continue;
    out[at++] = ' ';
    out[at++] = '(';
    for (const char* p = k.name; *p && at + 2 < sizeof out;) out[at++] = *p++;
    out[at++] = ')';
  }
  out[at] = '\0';
}

// Only reached by exceptions nothing else handled: the process ends after it
// unless the previous filter says otherwise.
LONG WINAPI on_unhandled(EXCEPTION_POINTERS* info) {
  char fault[80];
  describe(info && info->ExceptionRecord ? info->ExceptionRecord->ExceptionCode : 0, fault);
  report(fault);
  return g_previous_filter ? g_previous_filter(info) : EXCEPTION_CONTINUE_SEARCH;
}

// abort() raises SIGABRT (and no exception) before it ends the process with
// status 3; the C runtime has already reset the action to the default.
void __cdecl on_abort(int sig) {
  report("signal SIGABRT");
  const CrtHandler previous = g_previous_abort;
  std::signal(sig, previous);
  if (previous != SIG_DFL && previous != SIG_IGN) previous(sig);
}

}  // namespace

namespace detail {

void write_fault_line(const char* line, std::size_t len) {
  // Straight to the handle: the C runtime's write takes a lock the faulting
  // thread may hold.
  const auto h = reinterpret_cast<HANDLE>(_get_osfhandle(base::log_fd()));
  if (h == INVALID_HANDLE_VALUE) return;
  while (len > 0) {
    DWORD w = 0;
    if (!WriteFile(h, line, static_cast<DWORD>(len), &w, nullptr) || w == 0) return;
    line += w;
    len -= w;
  }
}

}  // namespace detail

struct FatalSignalScope::Saved {
  bool installed = false;
};

FatalSignalScope::FatalSignalScope() : saved_(std::make_unique<Saved>()) {
  if (g_installed.exchange(true)) return;
  saved_->installed = true;
  g_reported.clear();
  ULONG guarantee = STACK_GUARANTEE;
  SetThreadStackGuarantee(&guarantee);
  g_previous_filter = SetUnhandledExceptionFilter(on_unhandled);
  g_previous_abort = std::signal(SIGABRT, on_abort);
  if (g_previous_abort == SIG_ERR) g_previous_abort = SIG_DFL;
}

FatalSignalScope::~FatalSignalScope() {
  if (!saved_->installed) return;
  // Put back only what is still ours: a filter or handler set after ours may
  // be passing on to it.
  const LPTOP_LEVEL_EXCEPTION_FILTER mine = SetUnhandledExceptionFilter(g_previous_filter);
  if (mine != on_unhandled) SetUnhandledExceptionFilter(mine);
  const CrtHandler abort_now = std::signal(SIGABRT, g_previous_abort);
  if (abort_now != on_abort && abort_now != SIG_ERR) std::signal(SIGABRT, abort_now);
  g_installed.store(false);
}

}  // namespace kinra2::system
