// Staging container members as temporary model files. The interpreter only
// loads from a path, so members of IMX and zip bundles are written out; the
// registry below guarantees they are removed again, by the chain once it has
// loaded them or, failing that, at process exit (normal exit, or SIGTERM /
// SIGINT from the peer that started us; Ctrl-C, Ctrl-Break or a closed
// console on Windows).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kinra2::bundle {

// The files one bundle load staged: removed by release() once the models are
// open, or at the latest when this is destroyed (or by the exit sweep if the
// process ends first). Paths it was given that were not staged (directory
// members used in place) are never touched.
class StagedFiles {
 public:
  StagedFiles() = default;
  explicit StagedFiles(std::vector<std::string> paths) : paths_(std::move(paths)) {}
  StagedFiles(StagedFiles&& o) noexcept : paths_(std::exchange(o.paths_, {})) {}
  StagedFiles& operator=(StagedFiles&& o) noexcept;
  StagedFiles(const StagedFiles&) = delete;
  StagedFiles& operator=(const StagedFiles&) = delete;
  ~StagedFiles() { release(); }
  void release() noexcept;

 private:
  std::vector<std::string> paths_;
};

// Registers the exit sweep with atexit (once per process) and installs
// SIGTERM/SIGINT handlers (console control events on Windows) that remove
// still-registered staged files before dying with the default action. Signals the process already ignores stay
// ignored. Idempotent; the host calls it at the start of every run, since an
// embedding process may have restored its own handlers after the last one.
void install_exit_sweep();

// Removes every registered file, newest first; errors are ignored. The host
// calls it at the end of every run.
void drop_staged();

// The directories that hold registered files, each once: where removing
// must stay possible once the process confines itself.
std::vector<std::string> staged_dirs();

namespace detail {

inline constexpr std::string_view STAGE_DIR_ENV = "KINRA2_STAGE_DIR";

// KINRA2_STAGE_DIR (trimmed), created with its parents; nullopt means the
// system default temporary directory. An unusable setting is logged and
// yields nullopt. Evaluated on every call.
std::optional<std::string> stage_dir();

// Path of a file holding `data`. For a directory bundle that holds `nm` the
// member's own path is returned (not copied, not registered); otherwise a new
// exclusively created file named "..._<base name of nm>" is written and
// registered. Creation/write failures throw std::system_error.
std::string stage_tflite(const std::string& bundle, std::string_view nm, std::string_view data);

// Member `nm` of `bundle` as a model file: a directory member in place (its
// bytes are never read here), a container member read and staged as above.
// nullopt when the bundle does not hold it.
std::optional<std::string> stage_member(const std::string& bundle, std::string_view nm);

// Removes the given files if (and only if) this process staged them and has
// not yet removed them. A failed removal keeps the path registered for the
// exit sweep.
void release_staged(const std::vector<std::string>& paths);

}  // namespace detail
}  // namespace kinra2::bundle
