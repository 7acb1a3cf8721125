// The CPU budget's pieces with their sources passed in, for tests.
#pragma once

#include <filesystem>
#include <optional>

#include "system/cpu_budget.hpp"

namespace kinra2::system {

// Same as effective_cpu_count(), reading /proc and /sys/fs/cgroup below
// `root` instead of "/" so tests can build fake trees. Processor count and
// affinity still come from the OS.
int effective_cpu_count(const std::filesystem::path& root);

namespace detail {
struct CpuSources {
  int online = 0;                    // processors online; 0 = unknown
  int affinity = 0;                  // processors in the affinity set; 0 = unknown
  std::filesystem::path root = "/";  // empty: no kernel files to read
  // A job object's hard cap on CPU time, in processors' worth (Windows; the
  // control group's quota plays this part on Linux, read below `root`).
  std::optional<double> job_limit;
};
// The platform's processor count and affinity-set size, each 0 when unknown
// (cpu_budget_posix.cpp: sysconf and sched_getaffinity; cpu_budget_win.cpp:
// the active processor count and the process affinity mask).
void processor_counts(int& online, int& affinity);
// The hard CPU-rate cap of the job object the process runs in, in
// processors' worth, or none (cpu_budget_win.cpp; always none on Linux).
// Without a cap of its own, a job the process nested itself into answers
// with the cap its outer job had then.
std::optional<double> job_cpu_limit();
// Records the rate control of the job the process is in, right before it
// nests itself into a job of its own (Windows only).
void remember_outer_job();
int effective_cpu_count(const CpuSources& src);
int default_threads(int n_interpreters, long long requested, int cpus);
}  // namespace detail

}  // namespace kinra2::system
