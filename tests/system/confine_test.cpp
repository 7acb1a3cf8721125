#include "system/confine.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

using kinra2::system::confine_process;

int errno_of(long r) {
  return r < 0 ? errno : 0;
}

int open_errno(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);
  return errno_of(fd);
}

struct Attempt {
  const char* what;
  int (*run)(const std::string& stage, const std::string& elsewhere);
};

// What a subverted host would try, and what it still has to do.
const Attempt ATTEMPTS[] = {
    {"exec",
     [](const std::string&, const std::string&) {
       return errno_of(::execl("/bin/true", "true", static_cast<char*>(nullptr)));
     }},
    {"fork",
     [](const std::string&, const std::string&) {
       const pid_t pid = ::fork();
       if (pid == 0) ::_exit(0);
       if (pid > 0) ::waitpid(pid, nullptr, 0);
       return errno_of(pid);
     }},
    {"inet socket",
     [](const std::string&, const std::string&) {
       const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
       if (fd >= 0) ::close(fd);
       return errno_of(fd);
     }},
    {"unix socket",
     [](const std::string&, const std::string&) {
       const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
       if (fd >= 0) ::close(fd);
       return errno_of(fd);
     }},
    {"create",
     [](const std::string& stage, const std::string&) {
       return open_errno(stage + "/new", O_WRONLY | O_CREAT | O_EXCL);
     }},
    {"open for writing", [](const std::string& stage,
                            const std::string&) { return open_errno(stage + "/staged", O_RDWR); }},
    {"truncate on open",
     [](const std::string& stage, const std::string&) {
       return open_errno(stage + "/staged", O_RDONLY | O_TRUNC);
     }},
    {"read", [](const std::string&,
                const std::string&) { return open_errno("/proc/self/status", O_RDONLY); }},
    {"thread",
     [](const std::string&, const std::string&) {
       pthread_t t;
       const int e = ::pthread_create(
           &t, nullptr, [](void*) -> void* { return nullptr; }, nullptr);
       if (e == 0) ::pthread_join(t, nullptr);
       return e;
     }},
    {"remove in the stage directory",
     [](const std::string& stage, const std::string&) {
       return errno_of(::unlink((stage + "/staged").c_str()));
     }},
    {"remove elsewhere",
     [](const std::string&, const std::string& elsewhere) {
       return errno_of(::unlink((elsewhere + "/kept").c_str()));
     }},
};

struct ChildReport {
  std::string line;
  std::vector<int>
      errnos;  // ATTEMPTS in order, then a socket from a thread older than the confinement
};

// Confines a child (`stage` removable) and makes every attempt there.
ChildReport confined_child(const std::string& stage, const std::string& elsewhere,
                           const std::string& library_dir = {}) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    // A runtime may have started its threads before the process confines
    // itself; they must be confined all the same.
    std::atomic<bool> go{false};
    int older = -1;
    std::thread before([&] {
      while (!go.load()) std::this_thread::yield();
      const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      older = errno_of(fd);
    });
    const std::string line = confine_process({stage}, library_dir) + "\n";
    go.store(true);
    before.join();
    [[maybe_unused]] ssize_t w = ::write(fds[1], line.data(), line.size());
    for (const auto& a : ATTEMPTS) {
      const int e = a.run(stage, elsewhere);
      w = ::write(fds[1], &e, sizeof e);
    }
    w = ::write(fds[1], &older, sizeof older);
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string got;
  char buf[512];
  for (ssize_t r; (r = ::read(fds[0], buf, sizeof buf)) > 0;)
    got.append(buf, static_cast<std::size_t>(r));
  ::close(fds[0]);
  ::waitpid(pid, nullptr, 0);
  ChildReport rep;
  const auto nl = got.find('\n');
  if (nl == std::string::npos) return rep;
  rep.line = got.substr(0, nl);
  for (std::size_t at = nl + 1; at + sizeof(int) <= got.size(); at += sizeof(int)) {
    int e;
    std::memcpy(&e, got.data() + at, sizeof e);
    rep.errnos.push_back(e);
  }
  return rep;
}

class Confine : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(stage.file("staged")) << "model";
    std::ofstream(elsewhere.file("kept")) << "data";
  }
  k2test::TempDir stage{"k2stage"};
  k2test::TempDir elsewhere{"k2kept"};
};

TEST_F(Confine, ChildCanOnlyReadComputeAndRemoveStagedFiles) {
  const ChildReport rep = confined_child(stage.str(), elsewhere.str());
  if (rep.line.find("seccomp unavailable") != std::string::npos) {
#if defined(__x86_64__)
    FAIL() << "a native Linux host has seccomp: " << rep.line;
#else
    GTEST_SKIP() << rep.line;  // an emulator without seccomp
#endif
  }
  ASSERT_EQ(rep.errnos.size(), std::size(ATTEMPTS) + 1) << rep.line;
  const bool landlock = rep.line.find("landlock ABI") != std::string::npos;
  const std::vector<int> expected = {
      EPERM, EPERM, EPERM, EPERM, EPERM, EPERM, EPERM, 0, 0, 0, landlock ? EACCES : 0};
  for (std::size_t i = 0; i < std::size(ATTEMPTS); ++i)
    EXPECT_EQ(rep.errnos[i], expected[i]) << ATTEMPTS[i].what << "; " << rep.line;
  EXPECT_EQ(rep.errnos.back(), EPERM) << "socket from an older thread; " << rep.line;
  EXPECT_EQ(rep.line.rfind("confine: seccomp, ", 0), 0u) << rep.line;
  EXPECT_NE(rep.line.find("no_new_privs"), std::string::npos) << rep.line;
}

// A release's own copy comes before the system's: one that cannot load is
// named, though the system's would have done.
TEST_F(Confine, TakesLibseccompFromTheHostFolderFirst) {
  std::ofstream(elsewhere.file("libseccomp.so.2")) << "not a library";
  const ChildReport rep = confined_child(stage.str(), elsewhere.str(), elsewhere.str());
  EXPECT_NE(rep.line.find("seccomp unavailable (" + elsewhere.file("libseccomp.so.2")),
            std::string::npos)
      << rep.line;
}

TEST_F(Confine, SwitchedOffLeavesTheProcessAsItWas) {
  const k2test::ScopedEnv off("KINRA2_CONFINE", " Off ");
  const ChildReport rep = confined_child(stage.str(), elsewhere.str());
  EXPECT_EQ(rep.line, "confine: off (KINRA2_CONFINE=Off)");
  EXPECT_TRUE(rep.errnos.empty()) << "the first attempt, exec, replaces an unconfined child";
}

}  // namespace
#endif

#ifdef _WIN32
#include <windows.h>

#include <cstdlib>
#include <iostream>
#include <system_error>

#include "system/cpu_budget_internal.hpp"
#include "system/dynamic_library.hpp"
#include "system/subprocess.hpp"

namespace {

const std::string CHILD_ENV = "K2_CONFINE_TEST_CHILD";

bool under_wine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

std::string own_program() {
  return kinra2::system::program_dir() + "\\test_system.exe";
}

// The child side: confines itself, then tries to start a program.
TEST(ConfineWin, ChildSide) {
  if (!std::getenv(CHILD_ENV.c_str())) GTEST_SKIP() << "runs as the child of CannotStartPrograms";
  // Already in a job with a CPU cap (as under a service manager): the cap
  // must still count once the process has nested itself a job of its own.
  HANDLE outer = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_CPU_RATE_CONTROL_INFORMATION rate{};
  rate.ControlFlags = JOB_OBJECT_CPU_RATE_CONTROL_ENABLE | JOB_OBJECT_CPU_RATE_CONTROL_HARD_CAP;
  rate.CpuRate = 5000;
  if (outer &&
      SetInformationJobObject(outer, JobObjectCpuRateControlInformation, &rate, sizeof rate) &&
      AssignProcessToJobObject(outer, GetCurrentProcess()))
    std::cout << "outer cap=" << kinra2::system::detail::job_cpu_limit().value_or(0) << "\n";
  std::cout << "line=" << kinra2::system::confine_process({}, {}) << "\n";
  std::cout << "cap=" << kinra2::system::detail::job_cpu_limit().value_or(0) << "\n";
  try {
    kinra2::system::Subprocess child({own_program(), "--gtest_list_tests"});
    std::cout << "start=ok status " << child.wait() << "\n";
  } catch (const std::system_error& e) {
    std::cout << "start=refused " << e.what() << "\n";
  }
}

// A confined process cannot start another; where the platform lacks the
// means (Wine does not enforce a job's process limit), the line still
// names the job and the test says what it saw.
TEST(ConfineWin, CannotStartPrograms) {
  const auto r = kinra2::system::run_captured(
      {own_program(), "--gtest_filter=ConfineWin.ChildSide"}, {}, {CHILD_ENV + "=1"});
  ASSERT_NE(r.out.find("line=confine: job of one process"), std::string::npos) << r.out;
  if (r.out.find("start=ok") != std::string::npos && under_wine())
    GTEST_SKIP() << "Wine does not enforce the job's process limit: " << r.out;
  EXPECT_NE(r.out.find("start=refused"), std::string::npos) << r.out;
  // Where the outer cap was readable, it still is.
  const auto outer = r.out.find("outer cap=");
  if (outer != std::string::npos && r.out.compare(outer, 12, "outer cap=0\n") != 0) {
    const std::string cap = r.out.substr(outer + 6, r.out.find('\n', outer) - outer - 6);
    EXPECT_NE(r.out.find("\n" + cap + "\n"), std::string::npos) << r.out;
  }
}

}  // namespace
#endif
