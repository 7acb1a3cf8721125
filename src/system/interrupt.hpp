// The ways a running host is told to stop from outside: SIGTERM and SIGINT
// on Linux (interrupt_posix.cpp); Ctrl-C, Ctrl-Break and closing the console
// (or logging off, shutting down) on Windows, through a console control
// handler (interrupt_win.cpp). Either way the process runs one hook, logs
// "SIGTERM received — exiting" or "SIGINT received — exiting" (Ctrl-C plays
// SIGINT's part, the others SIGTERM's) and ends the way it was asked to.
#pragma once

#include <memory>

namespace kinra2::system {

// Runs in a signal handler (Linux) or on the console-control thread while the
// rest of the process goes on (Windows): it may only use what is safe in a
// signal handler.
using InterruptHook = void (*)();

// Installs the handlers around `hook`. Signals the process ignores stay
// ignored. Not once per process: an embedding host puts its own handlers
// back between runs, so every run installs them again.
void install_interrupt_handlers(InterruptHook hook);

// For the length of one run: remembers how the process reacted to being
// stopped (and to a peer closing a pipe) and puts that back at the end. A
// peer that closes its end meanwhile shows as a failed write, not a signal.
class InterruptScope {
 public:
  InterruptScope();
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  struct Saved;
  std::unique_ptr<Saved> saved_;
};

}  // namespace kinra2::system
