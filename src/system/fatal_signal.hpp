// The last word of a process that faults. When the host dies of a fault (a
// bad model driving the runtime out of bounds, a recursion that overflows the
// stack), the peer would otherwise see nothing but a dead pipe, and standard
// error may be captured at that very moment. So one log line goes to the real
// standard error (base::log_fd()) naming the fault and what the host was
// doing, and then the process ends exactly as it would have without us: the
// handler that was there before (an embedding interpreter's fault handler,
// say) runs, or the system's default with its core dump and signal status.
//
// Linux: SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT, on an alternate signal
// stack for the thread that installs them, so that a stack overflow of the
// control thread still gets its line (fatal_signal_posix.cpp). Windows: an
// unhandled exception (top-level exception filter) and abort()
// (fatal_signal_win.cpp).
//
//   … fatal signal SIGSEGV while running signature 'enc' of '…/m.tflite'
//   … fatal exception 0xC00000FD (stack overflow) while setting up signature 'enc' of '…'
#pragma once

#include <cstddef>
#include <memory>

namespace kinra2::system {

// What the process is busy with, named in the line of a fault that strikes
// meanwhile, on whatever thread. Set around calls into code a crafted input
// can drive astray; the innermost one is named. Neither text is copied: both
// must outlive the context. Only the thread that runs the host sets them.
class FaultContext {
 public:
  // E.g. ("running", "signature 'enc' of '/x/m.tflite'").
  FaultContext(const char* doing, const char* subject) noexcept;
  ~FaultContext();
  FaultContext(const FaultContext&) = delete;
  FaultContext& operator=(const FaultContext&) = delete;

  const char* doing() const { return doing_; }
  const char* subject() const { return subject_; }
  // The innermost context in force, or nullptr. Safe in a signal handler.
  static const FaultContext* current() noexcept;

 private:
  const char* doing_;
  const char* subject_;
  const FaultContext* outer_;
};

// For the length of one run: the fault handlers installed, and what was there
// before put back at the end (unless someone replaced ours meanwhile). A scope
// inside another one changes nothing.
class FatalSignalScope {
 public:
  FatalSignalScope();
  ~FatalSignalScope();
  FatalSignalScope(const FatalSignalScope&) = delete;
  FatalSignalScope& operator=(const FatalSignalScope&) = delete;

 private:
  struct Saved;
  std::unique_ptr<Saved> saved_;
};

namespace detail {

// Shared by the platform sources. Both are safe in a signal handler: no
// allocation, no locks.
// The line for `fault` ("signal SIGSEGV"), naming the current context, in
// `buf` (line feed included, cut to fit); returns its length.
std::size_t fault_line(char* buf, std::size_t size, const char* fault);
// Writes as much of the line as the log's descriptor takes.
void write_fault_line(const char* line, std::size_t len);

}  // namespace detail

}  // namespace kinra2::system
