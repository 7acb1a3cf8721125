#include "system/cpu_budget_internal.hpp"

#include <windows.h>

#include <bit>

namespace kinra2::system {

std::string kernel_files_root() {
  return {};
}

namespace detail {

void processor_counts(int& online, int& affinity) {
  const DWORD n = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  online = n > 0 ? static_cast<int>(n) : 0;
  affinity = 0;
  DWORD_PTR process = 0, system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0)
    affinity = std::popcount(static_cast<unsigned long long>(process));
}

// JOB_OBJECT_CPU_RATE_CONTROL_MIN_MAX_RATE, which mingw-w64's headers lack.
constexpr DWORD CPU_RATE_MIN_MAX = 0x10;

// The innermost job's rate control; none when not in a job.
std::optional<JOBOBJECT_CPU_RATE_CONTROL_INFORMATION> own_job_rate() {
  JOBOBJECT_CPU_RATE_CONTROL_INFORMATION info{};
  if (!QueryInformationJobObject(nullptr, JobObjectCpuRateControlInformation, &info, sizeof info,
                                 nullptr))
    return std::nullopt;
  return info;
}

// Set once, on the control thread, before any late read can happen.
std::optional<JOBOBJECT_CPU_RATE_CONTROL_INFORMATION> g_outer_rate;

std::optional<double> rate_limit(const JOBOBJECT_CPU_RATE_CONTROL_INFORMATION& info) {
  // Rates are in hundredths of a percent of all the machine's processors.
  const DWORD flags = info.ControlFlags;
  if (!(flags & JOB_OBJECT_CPU_RATE_CONTROL_ENABLE)) return std::nullopt;
  DWORD rate = 0;
  if (flags & JOB_OBJECT_CPU_RATE_CONTROL_HARD_CAP) {
    rate = info.CpuRate;
  } else if (flags & CPU_RATE_MIN_MAX) {
    rate = HIWORD(info.CpuRate);  // MaxRate, the upper half of the union
  } else {
    return std::nullopt;  // a weight shares the processors out; it caps nothing
  }
  const DWORD all = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  if (rate == 0 || all == 0) return std::nullopt;
  return static_cast<double>(rate) / 10000.0 * static_cast<double>(all);
}

void remember_outer_job() {
  if (!g_outer_rate) g_outer_rate = own_job_rate();
}

std::optional<double> job_cpu_limit() {
  // Not in a job, or a job without rate control: then the cap of the job
  // that held the process before it nested itself, if any.
  const auto own = own_job_rate();
  if (auto cap = own ? rate_limit(*own) : std::nullopt) return cap;
  return g_outer_rate ? rate_limit(*g_outer_rate) : std::nullopt;
}

}  // namespace detail
}  // namespace kinra2::system
