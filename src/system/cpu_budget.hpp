// How many processors the host may really use, and the thread counts it
// derives from that.
#pragma once

#include <string>
#include <string_view>

namespace kinra2::system {

// Usable processor count (online processors, affinity set, cgroup v2 quota on
// every ancestor level, cgroup v1 fallback), at least 1.
int effective_cpu_count();

// Where the Linux kernel's processor and control-group files (/proc, /sys)
// are read from: "/" on Linux; empty on Windows, which has none (and where,
// under Wine, "/" would reach the Linux machine's own files).
std::string kernel_files_root();

// Per-interpreter thread count. `requested` <= 0 means none was asked for.
// Throws std::invalid_argument when LIBSTREAM_THREADS is not an integer.
int default_threads(int n_interpreters = 1, long long requested = 0);

}  // namespace kinra2::system
