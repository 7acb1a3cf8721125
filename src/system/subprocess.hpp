// A program started as a child process with pipes on its standard streams,
// the same way on Linux (fork/exec) and Windows (CreateProcessW). The tools
// and the tests drive the host through it as a peer does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kinra2::system {

// What one standard stream of the child is connected to.
enum class ChildStream {
  pipe,     // a pipe the parent reads or writes through the Subprocess
  inherit,  // the parent's own stream
  null,     // the null device
};

struct SpawnOptions {
  // "NAME=value" entries set in the child's environment on top of the
  // parent's (an entry replaces a variable of the same name); a bare "NAME"
  // removes that variable.
  std::vector<std::string> env;
  ChildStream in = ChildStream::pipe;
  ChildStream out = ChildStream::pipe;
  ChildStream err = ChildStream::pipe;
  // Standard error goes into standard output's pipe (err is then ignored).
  bool err_to_out = false;
  // Windows: the child leads a process group of its own, so a console
  // control event can be sent to it alone. Ignored elsewhere.
  bool new_process_group = false;
  // Linux: runs in the child between fork and exec, after its standard
  // streams are in place (test seams: resource limits, a terminal on
  // standard input). Ignored elsewhere.
  std::function<void()> before_exec;
};

class Subprocess {
 public:
  // argv[0] is the program's path; every text is UTF-8. On Windows a path
  // without an extension gets ".exe". Throws std::system_error when the
  // program cannot be started.
  explicit Subprocess(const std::vector<std::string>& argv, const SpawnOptions& opt = {});
  // Closes the pipes; a child still running is ended outright and waited for.
  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  // Writes all `n` bytes to the child's standard input; false once the
  // child has closed its end (never a SIGPIPE).
  bool write_in(const void* data, std::size_t n);
  void close_in();
  // Reads at most `n` bytes; 0 at the end of the stream or on an error.
  std::size_t read_out(void* data, std::size_t n);
  std::size_t read_err(void* data, std::size_t n);
  // Reads exactly `n` bytes; false when the stream ends first.
  bool read_out_exact(void* data, std::size_t n);
  void close_out();
  // Bytes waiting unread in the output pipe, and what the pipe holds at most.
  std::size_t out_pending() const;
  std::size_t out_capacity() const;

  // Exit status; on Linux 128 + the signal for a child a signal ended.
  // Waits only once: later calls return the same value.
  int wait();
  // Ends the child at once (SIGKILL; TerminateProcess with status 1).
  void kill();
  // The operating system's process id.
  std::int64_t id() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Runs argv to its end with `input` on standard input; returns the exit
// status and everything it wrote to standard output and standard error.
struct Captured {
  int status = -1;
  std::string out;
};
Captured run_captured(const std::vector<std::string>& argv, const std::string& input = {},
                      const std::vector<std::string>& env = {});

}  // namespace kinra2::system
