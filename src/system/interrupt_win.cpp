#include "system/interrupt.hpp"

#include "base/log.hpp"

#include <windows.h>
#include <io.h>

#include <atomic>

namespace kinra2::system {

namespace {

std::atomic<InterruptHook> g_hook{nullptr};
std::atomic<bool> g_installed{false};

BOOL WINAPI on_console_event(DWORD event) {
  const bool interrupt = event == CTRL_C_EVENT;
  if (!interrupt && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT &&
      event != CTRL_LOGOFF_EVENT && event != CTRL_SHUTDOWN_EVENT)
    return FALSE;
  if (InterruptHook hook = g_hook.load()) hook();
  static constexpr char TERM_LINE[] = "[render-stream-host-litert] SIGTERM received — exiting\n";
  static constexpr char INT_LINE[] = "[render-stream-host-litert] SIGINT received — exiting\n";
  const char* line = interrupt ? INT_LINE : TERM_LINE;
  const unsigned len = interrupt ? sizeof INT_LINE - 1 : sizeof TERM_LINE - 1;
  _write(base::log_fd(), line, len);
  // Ends the process as the system's own handler would. Not left to the
  // handlers after this one: an embedding interpreter's would only set a
  // flag for a main thread that is blocked reading the peer's records.
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace

void install_interrupt_handlers(InterruptHook hook) {
  g_hook.store(hook);
  // A console whose Ctrl-C the process was told to ignore keeps ignoring it:
  // the system does not call handlers then.
  if (!g_installed.exchange(true)) SetConsoleCtrlHandler(on_console_event, TRUE);
}

struct InterruptScope::Saved {};

InterruptScope::InterruptScope() : saved_(std::make_unique<Saved>()) {}

InterruptScope::~InterruptScope() {
  // Windows has no SIGPIPE: a closed pipe is already a failed write.
  if (g_installed.exchange(false)) SetConsoleCtrlHandler(on_console_event, FALSE);
}

}  // namespace kinra2::system
