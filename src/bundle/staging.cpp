#include "bundle/staging_internal.hpp"

#include "bundle/container.hpp"
#include "base/log.hpp"
#include "base/text.hpp"
#include "system/files.hpp"
#include "system/interrupt.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>

namespace kinra2::bundle {

namespace {

namespace fs = std::filesystem;
using detail::is_directory;
using detail::is_regular;

// Signal handlers may not take locks or touch std::string, so every
// registered path is mirrored into a fixed slot of plain bytes that the
// handler can walk with a bare file removal alone. A start-up stages at most
// a few files; paths that do not fit are swept only at normal exit.
constexpr std::size_t SIG_SLOTS = 64;
constexpr std::size_t SIG_PATH_MAX = 4096;

struct SigSlot {
  std::atomic<bool> live{false};
  char path[SIG_PATH_MAX]{};
};
static_assert(std::atomic<bool>::is_always_lock_free);

std::array<SigSlot, SIG_SLOTS> g_sig_slots;
// Set by the handler before it walks the slots, so a thread that is still
// staging stops reusing them under its feet.
std::atomic<bool> g_sweeping{false};

struct Registry {
  std::mutex mu;
  std::vector<std::string> staged;  // oldest first
};

// Never destroyed: the atexit sweep may run after static destructors began.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

// Both helpers run with the registry mutex held.
void sig_add(const std::string& path) {
  if (path.size() >= SIG_PATH_MAX || g_sweeping.load()) return;
  for (auto& s : g_sig_slots) {
    if (s.live.load()) continue;
    std::memcpy(s.path, path.c_str(), path.size() + 1);
    s.live.store(true);
    return;
  }
}

void sig_remove(const std::string& path) {
  for (auto& s : g_sig_slots) {
    if (s.live.load() && path == s.path) {
      s.live.store(false);
      return;
    }
  }
}

// The interrupt hook: what a stopped process must not leave behind.
void sweep_on_interrupt() {
  g_sweeping.store(true);
  for (auto& s : g_sig_slots)
    if (s.live.load()) system::remove_file_signal_safe(s.path);
}

extern "C" void drop_staged_at_exit() {
  drop_staged();
}

void register_path(const std::string& p) {
  auto& r = registry();
  std::lock_guard lk(r.mu);
  r.staged.push_back(p);
  sig_add(p);
}

void unregister_first(const std::string& p) {
  auto& r = registry();
  std::lock_guard lk(r.mu);
  auto it = std::find(r.staged.begin(), r.staged.end(), p);
  if (it != r.staged.end()) r.staged.erase(it);
  if (std::find(r.staged.begin(), r.staged.end(), p) == r.staged.end()) sig_remove(p);
}

}  // namespace

void install_exit_sweep() {
  static std::once_flag once;
  std::call_once(once, [] {
    registry();
    std::atexit(drop_staged_at_exit);
  });
  // Not once per process: an embedding host puts its own dispositions back
  // between runs, so every run installs the handlers again.
  system::install_interrupt_handlers(sweep_on_interrupt);
}

namespace detail {

std::optional<std::string> stage_dir() {
  std::string d(base::trimmed(system::env_text(STAGE_DIR_ENV.data()).value_or("")));
  if (d.empty()) return std::nullopt;
  std::error_code ec;
  fs::create_directories(system::fs_path(d), ec);
  if (!ec && !is_directory(d)) ec = std::make_error_code(std::errc::not_a_directory);
  if (ec) {
    base::elog("KINRA2_STAGE_DIR=" + base::literal(d) + " unusable ([Errno " +
               std::to_string(ec.value()) + "] " + ec.message() +
               ") — staging in the default temp dir instead");
    return std::nullopt;
  }
  return d;
}

std::string stage_tflite(const std::string& bundle, std::string_view nm, std::string_view data) {
  if (is_directory(bundle)) {
    std::string own = system::join_path(bundle, nm);
    if (is_regular(own)) return own;
  }
  const std::string dir = stage_dir().value_or(system::default_temp_dir());
  const std::string base = std::string(detail::base_name(nm));
  std::string path;
  // Each name is registered before a file of that name can exist, so an
  // interrupt at any moment finds every file this made (removing a name
  // not yet created is harmless), and an interrupted write leaves nothing
  // behind either.
  system::File file = system::File::create_unique(dir, "k2stage_", "_" + base, path, register_path, unregister_first);
  if (!file.ok()) throw std::system_error(file.error(), "cannot create a staged file in " + dir);
  std::error_code err;
  if (!file.write_all(data)) err = file.error();
  if (!file.close() && !err) err = file.error();
  if (err) {
    system::remove_file(path);
    unregister_first(path);
    throw std::system_error(err, "cannot write staged file " + path);
  }
  return path;
}

std::optional<std::string> stage_member(const std::string& bundle, std::string_view nm) {
  if (is_directory(bundle)) {
    std::string own = system::join_path(bundle, nm);
    if (!is_regular(own)) return std::nullopt;
    return own;
  }
  auto bytes = member_bytes(bundle, {nm});
  if (!bytes) return std::nullopt;
  return stage_tflite(bundle, nm, *bytes);
}

void release_staged(const std::vector<std::string>& paths) {
  const std::vector<std::string> snapshot(paths);
  auto& r = registry();
  for (const auto& p : snapshot) {
    {
      std::lock_guard lk(r.mu);
      if (std::find(r.staged.begin(), r.staged.end(), p) == r.staged.end()) continue;
    }
    if (!system::remove_file(p)) continue;  // the exit sweep tries again
    unregister_first(p);
  }
}

std::vector<std::string> staged_paths() {
  auto& r = registry();
  std::lock_guard lk(r.mu);
  return r.staged;
}

}  // namespace detail
void drop_staged() {
  auto& r = registry();
  std::lock_guard lk(r.mu);
  while (!r.staged.empty()) {
    std::string p = std::move(r.staged.back());
    r.staged.pop_back();
    system::remove_file(p);
    if (std::find(r.staged.begin(), r.staged.end(), p) == r.staged.end()) sig_remove(p);
  }
}

std::vector<std::string> staged_dirs() {
  std::vector<std::string> dirs;
  for (const auto& p : detail::staged_paths()) {
    std::string d = system::path_text(system::fs_path(p).parent_path());
    if (std::find(dirs.begin(), dirs.end(), d) == dirs.end()) dirs.push_back(std::move(d));
  }
  return dirs;
}

StagedFiles& StagedFiles::operator=(StagedFiles&& o) noexcept {
  if (this != &o) {
    release();
    paths_ = std::exchange(o.paths_, {});
  }
  return *this;
}

void StagedFiles::release() noexcept {
  if (paths_.empty()) return;
  try {
    detail::release_staged(paths_);
  } catch (const std::exception&) {
    // Still registered: the exit sweep removes them.
  }
  paths_.clear();
}

}  // namespace kinra2::bundle
