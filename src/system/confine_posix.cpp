#include "system/confine.hpp"

#include "system/dynamic_library.hpp"
#include "system/files.hpp"

#include <fcntl.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <system_error>

namespace kinra2::system {

namespace {

std::string errno_text(int e) {
  return std::generic_category().message(e);
}

// --- Landlock ------------------------------------------------------------
// Declared here rather than taken from <linux/landlock.h>: the release
// builds compile against headers older than the interface, and a newer
// kernel must still get what it offers.
#ifndef SYS_landlock_create_ruleset
#define SYS_landlock_create_ruleset 444
#define SYS_landlock_add_rule 445
#define SYS_landlock_restrict_self 446
#endif

constexpr std::uint32_t CREATE_RULESET_VERSION = 1u << 0;
constexpr int RULE_PATH_BENEATH = 1;

// File-system rights (the ABI that brought them in brackets).
constexpr std::uint64_t FS_EXECUTE = 1u << 0;       // [1]
constexpr std::uint64_t FS_WRITE_FILE = 1u << 1;    // [1]
constexpr std::uint64_t FS_REMOVE_DIR = 1u << 4;    // [1]
constexpr std::uint64_t FS_REMOVE_FILE = 1u << 5;   // [1]
constexpr std::uint64_t FS_MAKE_ALL = 0x7fu << 6;   // [1] char, dir, reg, sock, fifo, block, sym
constexpr std::uint64_t FS_REFER = 1u << 13;        // [2]
constexpr std::uint64_t FS_TRUNCATE = 1u << 14;     // [3]
constexpr std::uint64_t NET_BIND_TCP = 1u << 0;     // [4]
constexpr std::uint64_t NET_CONNECT_TCP = 1u << 1;  // [4]

struct RulesetAttr {
  std::uint64_t handled_access_fs = 0;
  std::uint64_t handled_access_net = 0;
};

struct __attribute__((packed)) PathBeneathAttr {
  std::uint64_t allowed_access;
  std::int32_t parent_fd;
};

// Reading stays unhandled, so the host reads whatever the user may read (the
// runtime library loaded with the chain, /proc and the control-group files
// of late CPU-budget reads); everything that changes the file system is
// handled, and only removal is granted back, in `removable_dirs`.
std::string landlock(const std::vector<std::string>& removable_dirs, int& abi) {
  abi =
      static_cast<int>(::syscall(SYS_landlock_create_ruleset, nullptr, 0, CREATE_RULESET_VERSION));
  if (abi < 0) {
    const int e = errno;
    if (e == ENOSYS) return "not in this kernel";
    if (e == EOPNOTSUPP) return "disabled in this kernel";
    return errno_text(e);
  }
  RulesetAttr attr;
  attr.handled_access_fs =
      FS_EXECUTE | FS_WRITE_FILE | FS_REMOVE_DIR | FS_REMOVE_FILE | FS_MAKE_ALL;
  if (abi >= 2) attr.handled_access_fs |= FS_REFER;
  if (abi >= 3) attr.handled_access_fs |= FS_TRUNCATE;
  if (abi >= 4) attr.handled_access_net = NET_BIND_TCP | NET_CONNECT_TCP;
  // A kernel before the network rights takes the file-system part alone.
  const std::size_t size = abi >= 4 ? sizeof attr : sizeof attr.handled_access_fs;
  const int ruleset = static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attr, size, 0u));
  if (ruleset < 0) return errno_text(errno);
  for (const auto& dir : removable_dirs) {
    const int fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) continue;  // nothing can be staged in what does not exist
    PathBeneathAttr rule{FS_REMOVE_FILE, fd};
    const long r = ::syscall(SYS_landlock_add_rule, ruleset, RULE_PATH_BENEATH, &rule, 0u);
    const int e = errno;
    ::close(fd);
    if (r != 0) {
      ::close(ruleset);
      return "rule for " + dir + ": " + errno_text(e);
    }
  }
  const long r = ::syscall(SYS_landlock_restrict_self, ruleset, 0u);
  const int e = errno;
  ::close(ruleset);
  return r == 0 ? std::string() : errno_text(e);
}

// --- seccomp -------------------------------------------------------------
// libseccomp is loaded at run time rather than linked: the release archives
// keep their short list of system libraries and carry a copy beside the host
// (a bare system or container has none), which is looked for first; the
// system's serves a build tree. Without either the host still runs, saying
// so.
struct Libseccomp {
  decltype(&seccomp_init) init = nullptr;
  decltype(&seccomp_attr_set) attr_set = nullptr;
  decltype(&seccomp_syscall_resolve_name) resolve = nullptr;
  decltype(&seccomp_rule_add_array) rule_add = nullptr;
  decltype(&seccomp_load) load = nullptr;
  decltype(&seccomp_release) release = nullptr;
};

// AddressSanitizer's leak check at exit stops the world from a helper
// process (clone with CLONE_UNTRACED, never CLONE_THREAD) that ptraces the
// threads; those builds let exactly that through.
#if defined(__SANITIZE_ADDRESS__)
#define K2_LEAK_CHECK_AT_EXIT 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define K2_LEAK_CHECK_AT_EXIT 1
#endif
#endif
#ifdef K2_LEAK_CHECK_AT_EXIT
constexpr std::uint64_t CLONE_ALLOWED = CLONE_THREAD | CLONE_UNTRACED;
constexpr bool TRACING_ALLOWED = true;
#else
constexpr std::uint64_t CLONE_ALLOWED = CLONE_THREAD;
constexpr bool TRACING_ALLOWED = false;
#endif

class Filter {
 public:
  Filter(const Libseccomp& lib, scmp_filter_ctx ctx) : lib_(lib), ctx_(ctx) {}
  ~Filter() { lib_.release(ctx_); }
  Filter(const Filter&) = delete;
  Filter& operator=(const Filter&) = delete;

  // Fails `name` with `err` when every comparison holds; a call this
  // architecture does not have is skipped.
  void fail(const char* name, int err, std::initializer_list<scmp_arg_cmp> when = {}) {
    if (!why_.empty()) return;
    const int nr = lib_.resolve(name);
    if (nr < 0) return;
    const int rc = lib_.rule_add(ctx_, SCMP_ACT_ERRNO(static_cast<std::uint32_t>(err)), nr,
                                 static_cast<unsigned>(when.size()), when.begin());
    if (rc < 0) why_ = std::string("rule for ") + name + ": " + errno_text(-rc);
  }
  // Fails `name` with EPERM when flags argument `arg` has any of the bits
  // that open a file for writing or create one.
  void fail_writing_open(const char* name, unsigned arg) {
    for (std::uint64_t bit : {O_WRONLY, O_RDWR, O_CREAT, O_TRUNC})
      fail(name, EPERM, {{arg, SCMP_CMP_MASKED_EQ, bit, bit}});
  }
  std::string load() {
    if (!why_.empty()) return why_;
    const int rc = lib_.load(ctx_);
    return rc < 0 ? errno_text(-rc) : std::string();
  }
  std::string& why() { return why_; }

 private:
  const Libseccomp& lib_;
  scmp_filter_ctx ctx_;
  std::string why_;
};

std::unique_ptr<DynamicLibrary> open_libseccomp(const std::string& library_dir, std::string& why) {
  const std::string file = "libseccomp.so.2";
  const std::string own = library_dir.empty() ? std::string() : join_path(library_dir, file);
  // One that is there but does not load is named rather than passed over:
  // the system's copy may be missing too, and the release's is the one to mend.
  return DynamicLibrary::open(!own.empty() && path_kind(own) == PathKind::regular ? own : file,
                              why);
}

std::string seccomp(const std::string& library_dir) {
  std::string why;
  static std::unique_ptr<DynamicLibrary> so = open_libseccomp(library_dir, why);
  if (!so) return why.empty() ? "libseccomp.so.2 cannot be loaded" : why;
  Libseccomp lib;
  lib.init = reinterpret_cast<decltype(lib.init)>(so->symbol("seccomp_init"));
  lib.attr_set = reinterpret_cast<decltype(lib.attr_set)>(so->symbol("seccomp_attr_set"));
  lib.resolve = reinterpret_cast<decltype(lib.resolve)>(so->symbol("seccomp_syscall_resolve_name"));
  lib.rule_add = reinterpret_cast<decltype(lib.rule_add)>(so->symbol("seccomp_rule_add_array"));
  lib.load = reinterpret_cast<decltype(lib.load)>(so->symbol("seccomp_load"));
  lib.release = reinterpret_cast<decltype(lib.release)>(so->symbol("seccomp_release"));
  if (!lib.init || !lib.attr_set || !lib.resolve || !lib.rule_add || !lib.load || !lib.release)
    return "libseccomp.so.2 lacks the functions it should have";

  // A list of what is refused, not of what is allowed: whatever a library
  // does that is not below keeps working, and a refused call returns an
  // error the caller can handle instead of killing the process.
  scmp_filter_ctx ctx = lib.init(SCMP_ACT_ALLOW);
  if (!ctx) return "libseccomp could not start a filter";
  Filter f(lib, ctx);
  // Every thread, including those the runtime may already have started.
  if (int rc = lib.attr_set(ctx, SCMP_FLTATR_CTL_TSYNC, 1); rc < 0)
    return "thread synchronisation: " + errno_text(-rc);
  // A call through another architecture's entry (32-bit calls on x86-64)
  // would pass a filter written for this one's numbers.
  if (int rc = lib.attr_set(ctx, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_ERRNO(EPERM)); rc < 0)
    return "foreign architectures: " + errno_text(-rc);

  // Other programs and processes.
  for (const char* name : {"execve", "execveat", "fork", "vfork", "process_vm_readv",
                           "process_vm_writev", "unshare", "setns"})
    f.fail(name, EPERM);
  f.fail("clone", EPERM, {{0, SCMP_CMP_MASKED_EQ, CLONE_ALLOWED, 0}});
  // Its flags sit in memory a filter cannot read; "not implemented" sends
  // the C library back to clone, whose flags it can.
  f.fail("clone3", ENOSYS);
  if (!TRACING_ALLOWED) f.fail("ptrace", EPERM);
  // Sockets of every family: the host talks only through the descriptors it
  // was given.
  f.fail("socket", EPERM);
  // Writing files, opening or not. Removal (unlink) stays for the sweep of
  // staged files; Landlock narrows it to the stage directory.
  f.fail_writing_open("open", 1);
  f.fail_writing_open("openat", 2);
  f.fail("openat2", ENOSYS);  // flags behind a pointer again: back to openat
  for (const char* name :
       {"creat", "truncate", "open_by_handle_at", "mknod", "mknodat", "mkdir", "mkdirat", "rmdir",
        "link", "linkat", "symlink", "symlinkat", "rename", "renameat", "renameat2"})
    f.fail(name, EPERM);
  // Ways around the checks above: a ring that opens files for the process,
  // and changes to what the file system looks like.
  for (const char* name : {"io_uring_setup", "mount", "umount2", "pivot_root", "chroot",
                           "open_tree", "move_mount", "fsopen", "fsmount", "bpf"})
    f.fail(name, EPERM);
  return f.load();
}

}  // namespace

namespace detail {

std::string confine_platform(const std::vector<std::string>& removable_dirs,
                             const std::string& library_dir) {
  std::string done, missing;
  auto note = [&done](const std::string& item) { done += (done.empty() ? "" : ", ") + item; };
  // Landlock needs it, and it keeps an exec'd set-uid program (should one
  // ever get through) from gaining anything.
  const bool nnp = ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
  const std::string nnp_why = nnp ? std::string() : errno_text(errno);
  int abi = 0;
  const std::string landlock_why = nnp ? landlock(removable_dirs, abi) : "needs no_new_privs";
  const std::string seccomp_why = seccomp(library_dir);
  if (seccomp_why.empty()) note("seccomp");
  if (landlock_why.empty()) note("landlock ABI " + std::to_string(abi));
  if (nnp) note("no_new_privs");
  if (!seccomp_why.empty()) missing += "; seccomp unavailable (" + seccomp_why + ")";
  if (!landlock_why.empty()) missing += "; landlock unavailable (" + landlock_why + ")";
  if (!nnp) missing += "; no_new_privs unavailable (" + nnp_why + ")";
  return "confine: " + (done.empty() ? std::string("nothing") : done) + missing;
}

}  // namespace detail
}  // namespace kinra2::system
