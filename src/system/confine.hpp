// Giving up, once a run is set up, every right its remaining work never
// needs, so that a model that subverts the runtime can still only read,
// compute and write the streams it was given. Linux: no_new_privs, a seccomp
// filter (libseccomp, loaded at run time) and a Landlock ruleset where the
// kernel has one (confine_posix.cpp). Windows: a job that admits no second
// process, and the mitigation policies a running process may still take
// (confine_win.cpp).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kinra2::system {

// "0", "false", "no" or "off" (any case, blanks around) leaves the process
// as it is, for debugging.
inline constexpr std::string_view CONFINE_ENV = "KINRA2_CONFINE";

// Confines the whole process, every thread it has and will have, for the
// rest of its life; nothing can undo it. Files may still be read wherever
// the user may read them, and removed in `removable_dirs` and below (the
// stage directory, for the staged-file sweep). The libraries it takes
// (libseccomp) are looked for in `library_dir`, the host's own folder where
// a release keeps them, before the library path. What cannot be had on this
// system is left out and named. Returns the log line ("confine: ...").
std::string confine_process(const std::vector<std::string>& removable_dirs,
                            const std::string& library_dir);

namespace detail {
// The platform's part, without the switch.
std::string confine_platform(const std::vector<std::string>& removable_dirs,
                             const std::string& library_dir);
}  // namespace detail

}  // namespace kinra2::system
