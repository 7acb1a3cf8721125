#include "system/cpu_budget_internal.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

namespace kinra2::system {

std::string kernel_files_root() {
  return "/";
}

namespace detail {

void processor_counts(int& online, int& affinity) {
  const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  online = n > 0 ? static_cast<int>(std::min<long>(n, std::numeric_limits<int>::max())) : 0;
  affinity = 0;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof(set), &set) == 0) affinity = CPU_COUNT(&set);
}

std::optional<double> job_cpu_limit() {
  return std::nullopt;
}

void remember_outer_job() {}

}  // namespace detail
}  // namespace kinra2::system
