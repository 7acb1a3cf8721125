// Subprocess on Windows: CreateProcessW with anonymous pipes, handing the
// child exactly its three standard handles and nothing else the parent holds.
#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <system_error>
#include <utility>
#include <vector>

#include "system/subprocess.hpp"
#include "system/utf16_win.hpp"

namespace kinra2::system {

namespace {

constexpr DWORD PIPE_BYTES = 64 * 1024;

[[noreturn]] void fail(const std::string& what, DWORD code = ::GetLastError()) {
  throw std::system_error(detail::win_error(code), what);
}

void close_handle(HANDLE& h) {
  if (h) ::CloseHandle(std::exchange(h, nullptr));
}

// One argument quoted the way the C runtime's command-line parser reads it
// back: backslashes count only in front of a quote.
void append_quoted(std::wstring& cmd, const std::wstring& arg) {
  if (!cmd.empty()) cmd += L' ';
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    cmd += arg;
    return;
  }
  cmd += L'"';
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') backslashes = backslashes * 2 + 1;
    cmd.append(backslashes, L'\\');
    backslashes = 0;
    cmd += c;
  }
  cmd.append(backslashes * 2, L'\\');
  cmd += L'"';
}

std::wstring env_name(const std::wstring& entry) {
  // Entries such as "=C:=C:\dir" keep their leading '='.
  const auto eq = entry.find(L'=', 1);
  std::wstring name = entry.substr(0, eq);
  for (auto& c : name) c = static_cast<wchar_t>(std::towupper(c));
  return name;
}

// The parent's environment block with `add` laid over it (names compare
// without case, as Windows does).
std::wstring env_block(const std::vector<std::string>& add) {
  std::vector<std::wstring> extra;
  for (const auto& a : add) extra.push_back(detail::widen(a));
  std::wstring block;
  if (wchar_t* env = ::GetEnvironmentStringsW()) {
    for (const wchar_t* p = env; *p; p += std::wcslen(p) + 1) {
      const std::wstring cur = p;
      bool replaced = false;
      for (const auto& e : extra) replaced = replaced || env_name(e) == env_name(cur);
      if (!replaced) block.append(cur).push_back(L'\0');
    }
    ::FreeEnvironmentStringsW(env);
  }
  for (const auto& e : extra)
    if (e.find(L'=', 1) != std::wstring::npos) block.append(e).push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

// A pipe whose parent end stays private and whose child end is inheritable.
void make_pipe(HANDLE& parent_end, HANDLE& child_end, bool child_reads) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE r = nullptr, w = nullptr;
  if (!::CreatePipe(&r, &w, &sa, PIPE_BYTES)) fail("CreatePipe");
  parent_end = child_reads ? w : r;
  child_end = child_reads ? r : w;
  ::SetHandleInformation(parent_end, HANDLE_FLAG_INHERIT, 0);
}

HANDLE open_null() {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  return ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       &sa, OPEN_EXISTING, 0, nullptr);
}

// The parent's own standard handle, made inheritable for the child.
HANDLE inherited(DWORD which) {
  HANDLE h = ::GetStdHandle(which);
  HANDLE dup = nullptr;
  if (h && h != INVALID_HANDLE_VALUE)
    ::DuplicateHandle(::GetCurrentProcess(), h, ::GetCurrentProcess(), &dup, 0, TRUE,
                      DUPLICATE_SAME_ACCESS);
  return dup;
}

}  // namespace

struct Subprocess::Impl {
  HANDLE process = nullptr;
  DWORD pid = 0;
  HANDLE in = nullptr, out = nullptr, err = nullptr;
  int status = -1;
  bool waited = false;
};

Subprocess::Subprocess(const std::vector<std::string>& argv, const SpawnOptions& opt)
    : impl_(std::make_unique<Impl>()) {
  if (argv.empty()) fail("no program", ERROR_INVALID_PARAMETER);
  HANDLE child[3] = {nullptr, nullptr, nullptr};
  struct Cleanup {
    HANDLE* h;
    ~Cleanup() {
      for (int i = 0; i < 3; ++i) close_handle(h[i]);
    }
  } cleanup{child};

  auto connect = [&](ChildStream how, HANDLE& parent_end, HANDLE& child_end, bool child_reads,
                     DWORD std_which) {
    if (how == ChildStream::pipe)
      make_pipe(parent_end, child_end, child_reads);
    else if (how == ChildStream::null)
      child_end = open_null();
    else
      child_end = inherited(std_which);
  };
  connect(opt.in, impl_->in, child[0], true, STD_INPUT_HANDLE);
  connect(opt.out, impl_->out, child[1], false, STD_OUTPUT_HANDLE);
  if (opt.err_to_out) {
    ::DuplicateHandle(::GetCurrentProcess(), child[1], ::GetCurrentProcess(), &child[2], 0, TRUE,
                      DUPLICATE_SAME_ACCESS);
  } else {
    connect(opt.err, impl_->err, child[2], false, STD_ERROR_HANDLE);
  }

  // Only these handles reach the child: a pipe end inherited by some other
  // child started at the same time would keep that pipe open.
  HANDLE list[3];
  DWORD listed = 0;
  for (HANDLE h : child)
    if (h && h != INVALID_HANDLE_VALUE) {
      bool seen = false;
      for (DWORD i = 0; i < listed; ++i) seen = seen || list[i] == h;
      if (!seen) list[listed++] = h;
    }
  SIZE_T attr_bytes = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &attr_bytes);
  std::vector<unsigned char> attr_mem(attr_bytes);
  auto attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attr_mem.data());
  if (!::InitializeProcThreadAttributeList(attrs, 1, 0, &attr_bytes))
    fail("InitializeProcThreadAttributeList");
  struct AttrGuard {
    LPPROC_THREAD_ATTRIBUTE_LIST a;
    ~AttrGuard() { ::DeleteProcThreadAttributeList(a); }
  } attr_guard{attrs};
  if (listed > 0 && !::UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, list,
                                                 listed * sizeof(HANDLE), nullptr, nullptr))
    fail("UpdateProcThreadAttribute");

  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdInput = child[0];
  si.StartupInfo.hStdOutput = child[1];
  si.StartupInfo.hStdError = child[2];
  si.lpAttributeList = attrs;

  std::wstring cmd;
  for (const auto& a : argv) append_quoted(cmd, detail::widen(a));
  std::wstring env = env_block(opt.env);
  DWORD flags = CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT;
  if (opt.new_process_group) flags |= CREATE_NEW_PROCESS_GROUP;
  PROCESS_INFORMATION pi{};
  // No application name: the search then adds ".exe" to a bare program path.
  if (!::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, flags, env.data(), nullptr,
                        &si.StartupInfo, &pi)) {
    const DWORD e = ::GetLastError();
    close_handle(impl_->in);
    close_handle(impl_->out);
    close_handle(impl_->err);
    fail("cannot start " + argv[0], e);
  }
  ::CloseHandle(pi.hThread);
  impl_->process = pi.hProcess;
  impl_->pid = pi.dwProcessId;
}

Subprocess::~Subprocess() {
  if (impl_->process && !impl_->waited) {
    kill();
    wait();
  }
  close_in();
  close_out();
  close_handle(impl_->err);
  close_handle(impl_->process);
}

bool Subprocess::write_in(const void* data, std::size_t n) {
  auto p = static_cast<const char*>(data);
  while (n > 0) {
    if (!impl_->in) return false;
    DWORD w = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(n, 1u << 20));
    if (!::WriteFile(impl_->in, p, want, &w, nullptr) || w == 0) return false;
    p += w;
    n -= w;
  }
  return true;
}

void Subprocess::close_in() {
  close_handle(impl_->in);
}

namespace {
std::size_t read_some(HANDLE h, void* data, std::size_t n) {
  if (!h) return 0;
  DWORD r = 0;
  const DWORD want = static_cast<DWORD>(std::min<std::size_t>(n, 1u << 20));
  // A broken pipe is the end of the stream: the child closed its end.
  if (!::ReadFile(h, data, want, &r, nullptr)) return 0;
  return r;
}
}  // namespace

std::size_t Subprocess::read_out(void* data, std::size_t n) {
  return read_some(impl_->out, data, n);
}

std::size_t Subprocess::read_err(void* data, std::size_t n) {
  return read_some(impl_->err, data, n);
}

void Subprocess::close_out() {
  close_handle(impl_->out);
}

std::size_t Subprocess::out_pending() const {
  DWORD avail = 0;
  if (!impl_->out || !::PeekNamedPipe(impl_->out, nullptr, 0, nullptr, &avail, nullptr)) return 0;
  return avail;
}

std::size_t Subprocess::out_capacity() const {
  return impl_->out ? PIPE_BYTES : 0;
}

int Subprocess::wait() {
  if (impl_->waited || !impl_->process) return impl_->status;
  ::WaitForSingleObject(impl_->process, INFINITE);
  DWORD code = 1;
  ::GetExitCodeProcess(impl_->process, &code);
  impl_->status = static_cast<int>(code);
  impl_->waited = true;
  return impl_->status;
}

void Subprocess::kill() {
  if (impl_->process && !impl_->waited) ::TerminateProcess(impl_->process, 1);
}

std::int64_t Subprocess::id() const {
  return impl_->pid;
}

}  // namespace kinra2::system

#endif  // _WIN32
