#include "system/cpu_budget_internal.hpp"

#include "base/text.hpp"
#include "system/files.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kinra2::system {

namespace {

using base::to_int;

constexpr std::string_view CGROUP_ROOT = "/sys/fs/cgroup";

std::optional<std::string> read_file(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  if (!f) return std::nullopt;
  std::ostringstream s;
  s << f.rdbuf();
  if (f.bad()) return std::nullopt;
  return s.str();
}

// The path below "/" of a file under `root` ("/proc/self/cgroup" -> root/proc/self/cgroup).
std::filesystem::path under(const std::filesystem::path& root, std::string_view abs) {
  return root / std::filesystem::path(std::string(abs)).relative_path();
}

std::string cgroup_rel(const std::filesystem::path& root) {
  std::ifstream f(under(root, "/proc/self/cgroup"));
  std::string line;
  while (f && std::getline(f, line)) {
    if (line.rfind("0::", 0) == 0) {
      std::string rel(base::trimmed(line));
      rel.erase(0, 3);
      while (!rel.empty() && rel.back() == '/') rel.pop_back();
      return rel;
    }
  }
  return {};
}

std::optional<double> cgroup_quota(const std::filesystem::path& root) {
  std::optional<double> quota;
  bool found = false;
  std::string d = std::string(CGROUP_ROOT) + cgroup_rel(root);
  for (;;) {
    if (auto text = read_file(under(root, d + "/cpu.max"))) {
      std::istringstream fields(*text);
      std::string q, p;
      if (fields >> q >> p) {
        found = true;
        auto pi = to_int(p);
        if (q != "max" && pi && *pi > 0) {
          if (auto qi = to_int(q)) {
            double v = static_cast<double>(*qi) / static_cast<double>(*pi);
            quota = quota ? std::min(*quota, v) : v;
          }
        }
      }
    }
    if (d.size() <= CGROUP_ROOT.size()) break;
    d.erase(d.rfind('/'));
  }
  if (!found) {
    auto q = read_file(under(root, "/sys/fs/cgroup/cpu/cpu.cfs_quota_us"));
    auto p = read_file(under(root, "/sys/fs/cgroup/cpu/cpu.cfs_period_us"));
    long long qv = 0, pv = 0;
    if (q && p) {
      if (auto v = to_int(*q)) qv = *v;
      if (auto v = to_int(*p)) pv = *v;
    }
    if (qv > 0 && pv > 0) quota = static_cast<double>(qv) / static_cast<double>(pv);
  }
  return quota;
}

detail::CpuSources os_sources(const std::filesystem::path& root) {
  detail::CpuSources src;
  detail::processor_counts(src.online, src.affinity);
  src.root = root;
  src.job_limit = detail::job_cpu_limit();
  return src;
}

}  // namespace

namespace detail {

int effective_cpu_count(const CpuSources& src) {
  long long n = src.online > 0 ? src.online : 8;
  if (src.affinity > 0) n = std::min<long long>(n, src.affinity);
  // A cap on CPU time, rounded up to whole processors: the control group's
  // quota where there are kernel files to read (Linux), else a job object's.
  const std::optional<double> quota = src.root.empty() ? src.job_limit : cgroup_quota(src.root);
  if (quota && *quota > 0) {
    double up = std::ceil(*quota);
    long long cap = up >= static_cast<double>(n) ? n : static_cast<long long>(up);
    n = std::min(n, std::max(1LL, cap));
  }
  return static_cast<int>(std::max(1LL, n));
}

int default_threads(int n_interpreters, long long requested, int cpus) {
  long long t = requested;
  if (t <= 0) {
    const std::string raw = env_text("LIBSTREAM_THREADS").value_or("0");
    t = base::trimmed(raw).empty() ? 0 : base::parse_int(raw, "LIBSTREAM_THREADS");
  }
  if (t <= 0) t = std::min(24, cpus);
  if (n_interpreters > 1) t = std::min<long long>(t, std::max(1, cpus / 2));
  return static_cast<int>(std::clamp<long long>(t, 1, std::numeric_limits<int>::max()));
}

}  // namespace detail

int effective_cpu_count(const std::filesystem::path& root) {
  return detail::effective_cpu_count(os_sources(root));
}

int effective_cpu_count() {
  return effective_cpu_count(std::filesystem::path(kernel_files_root()));
}

int default_threads(int n_interpreters, long long requested) {
  return detail::default_threads(n_interpreters, requested, effective_cpu_count());
}

}  // namespace kinra2::system
