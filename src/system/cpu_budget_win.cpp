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

}  // namespace detail
}  // namespace kinra2::system
