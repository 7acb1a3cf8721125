// How many processors the host may really use, and the thread counts it
// derives from that.
#pragma once

#include <filesystem>

namespace kinra2::system {

// Usable processor count (online processors, affinity set, cgroup v2 quota on
// every ancestor level, cgroup v1 fallback), at least 1.
int effective_cpu_count();
// Same, reading /proc and /sys/fs/cgroup below `root` instead of "/" so tests
// can build fake trees. Processor count and affinity still come from the OS.
int effective_cpu_count(const std::filesystem::path& root);

// Per-interpreter thread count. `requested` <= 0 means none was asked for.
// Throws std::invalid_argument when LIBSTREAM_THREADS is not an integer.
int default_threads(int n_interpreters = 1, long long requested = 0);

namespace detail {
// Overridable pieces, for tests.
struct CpuSources {
  int online = 0;          // processors online; 0 = unknown
  int affinity = 0;        // processors in the affinity set; 0 = unknown
  std::filesystem::path root = "/";
};
int effective_cpu_count(const CpuSources& src);
int default_threads(int n_interpreters, long long requested, int cpus);
// Parses a base-10 integer with optional sign and surrounding blanks.
// Throws std::invalid_argument with `what` in the message when it is not one.
long long parse_int(std::string_view text, std::string_view what);
} // namespace detail

} // namespace kinra2::system
