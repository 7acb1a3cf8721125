// Subprocess on POSIX systems: fork, then exec in the child.
#ifndef _WIN32

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "system/subprocess.hpp"

extern char** environ;

namespace kinra2::system {

namespace {

void close_fd(int& fd) {
  if (fd >= 0) ::close(std::exchange(fd, -1));
}

std::size_t name_length(const std::string& entry) {
  const auto eq = entry.find('=');
  return eq == std::string::npos ? entry.size() : eq;
}

// The parent's environment with `add` laid over it.
std::vector<std::string> merged_env(const std::vector<std::string>& add) {
  std::vector<std::string> out;
  for (char** e = environ; e && *e; ++e) {
    const std::string cur = *e;
    bool replaced = false;
    for (const auto& a : add)
      if (name_length(a) == name_length(cur) &&
          a.compare(0, name_length(a), cur, 0, name_length(cur)) == 0)
        replaced = true;
    if (!replaced) out.push_back(cur);
  }
  for (const auto& a : add)
    if (a.find('=') != std::string::npos) out.push_back(a);
  return out;
}

}  // namespace

struct Subprocess::Impl {
  pid_t pid = -1;
  int in = -1, out = -1, err = -1;
  int status = -1;
};

Subprocess::Subprocess(const std::vector<std::string>& argv, const SpawnOptions& opt)
    : impl_(std::make_unique<Impl>()) {
  if (argv.empty()) throw std::system_error(EINVAL, std::generic_category(), "no program");
  // Pipe ends are close-on-exec; dup2 clears that on the copies the child keeps.
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1}, report[2] = {-1, -1};
  auto fail = [&](const char* what) {
    const int e = errno;
    for (int* p : {in, out, err, report}) {
      close_fd(p[0]);
      close_fd(p[1]);
    }
    throw std::system_error(e, std::generic_category(), what);
  };
  if ((opt.in == ChildStream::pipe && ::pipe2(in, O_CLOEXEC) != 0) ||
      (opt.out == ChildStream::pipe && ::pipe2(out, O_CLOEXEC) != 0) ||
      (!opt.err_to_out && opt.err == ChildStream::pipe && ::pipe2(err, O_CLOEXEC) != 0) ||
      ::pipe2(report, O_CLOEXEC) != 0)
    fail("pipe");
  const int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  // Everything the child touches is made before fork: only async-signal-safe
  // calls happen between fork and exec.
  std::vector<std::string> env = merged_env(opt.env);
  std::vector<char*> envp, args;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_copy = argv;
  for (auto& a : argv_copy) args.push_back(a.data());
  args.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    auto place = [&](ChildStream how, int pipe_end, int target) {
      if (how == ChildStream::pipe)
        ::dup2(pipe_end, target);
      else if (how == ChildStream::null && devnull >= 0)
        ::dup2(devnull, target);
    };
    place(opt.in, in[0], 0);
    place(opt.out, out[1], 1);
    if (opt.err_to_out)
      ::dup2(1, 2);
    else
      place(opt.err, err[1], 2);
    if (opt.before_exec) opt.before_exec();
    ::execve(args[0], args.data(), envp.data());
    const int e = errno;
    (void)!::write(report[1], &e, sizeof e);
    ::_exit(127);
  }
  if (devnull >= 0) ::close(devnull);
  close_fd(in[0]);
  close_fd(out[1]);
  close_fd(err[1]);
  close_fd(report[1]);
  impl_->pid = pid;
  impl_->in = in[1];
  impl_->out = out[0];
  impl_->err = err[0];
  // The report pipe closes at exec; an errno on it means exec failed.
  int e = 0;
  ssize_t r;
  while ((r = ::read(report[0], &e, sizeof e)) < 0 && errno == EINTR) {
  }
  close_fd(report[0]);
  if (r == static_cast<ssize_t>(sizeof e)) {
    wait();
    close_in();
    close_out();
    close_fd(impl_->err);
    throw std::system_error(e, std::generic_category(), "cannot start " + argv[0]);
  }
}

Subprocess::~Subprocess() {
  if (impl_->pid > 0 && impl_->status < 0) {
    kill();
    wait();
  }
  close_in();
  close_out();
  close_fd(impl_->err);
}

bool Subprocess::write_in(const void* data, std::size_t n) {
  // A child that closed its end raises SIGPIPE in this thread: it is held
  // back here and consumed, so the write just fails with EPIPE.
  sigset_t pipe_sig, old;
  sigemptyset(&pipe_sig);
  sigaddset(&pipe_sig, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe_sig, &old);
  sigset_t pending;
  ::sigpending(&pending);
  const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  auto p = static_cast<const char*>(data);
  bool ok = true;
  while (n > 0 && ok) {
    const ssize_t w = impl_->in < 0 ? -1 : ::write(impl_->in, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      ok = false;
      if (errno == EPIPE && !was_pending) {
        const timespec none{0, 0};
        while (::sigtimedwait(&pipe_sig, nullptr, &none) < 0 && errno == EINTR) {
        }
      }
      break;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return ok;
}

void Subprocess::close_in() {
  close_fd(impl_->in);
}

namespace {
std::size_t read_some(int fd, void* data, std::size_t n) {
  if (fd < 0) return 0;
  for (;;) {
    const ssize_t r = ::read(fd, data, n);
    if (r < 0 && errno == EINTR) continue;
    return r > 0 ? static_cast<std::size_t>(r) : 0;
  }
}
}  // namespace

std::size_t Subprocess::read_out(void* data, std::size_t n) {
  return read_some(impl_->out, data, n);
}

std::size_t Subprocess::read_err(void* data, std::size_t n) {
  return read_some(impl_->err, data, n);
}

void Subprocess::close_out() {
  close_fd(impl_->out);
}

std::size_t Subprocess::out_pending() const {
  int n = 0;
  if (impl_->out < 0 || ::ioctl(impl_->out, FIONREAD, &n) != 0) return 0;
  return static_cast<std::size_t>(n);
}

std::size_t Subprocess::out_capacity() const {
  const int cap = impl_->out < 0 ? -1 : ::fcntl(impl_->out, F_GETPIPE_SZ);
  return cap > 0 ? static_cast<std::size_t>(cap) : 0;
}

int Subprocess::wait() {
  if (impl_->status >= 0 || impl_->pid <= 0) return impl_->status;
  int st = 0;
  while (::waitpid(impl_->pid, &st, 0) < 0 && errno == EINTR) {
  }
  impl_->status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return impl_->status;
}

void Subprocess::kill() {
  if (impl_->pid > 0 && impl_->status < 0) ::kill(impl_->pid, SIGKILL);
}

std::int64_t Subprocess::id() const {
  return impl_->pid;
}

}  // namespace kinra2::system

#endif  // !_WIN32
