#include "system/cpu_budget_internal.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;
using kinra2::system::detail::CpuSources;
namespace sysd = kinra2::system::detail;

namespace {

// A throw-away fake root with /proc/self/cgroup and /sys/fs/cgroup files.
class FakeRoot : public ::testing::Test {
 protected:
  void put(const std::string& abs, const std::string& text) {
    fs::path p = root / fs::path(abs).relative_path();
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
  }
  int count(int online, int affinity = 0) {
    return sysd::effective_cpu_count(CpuSources{online, affinity, root, std::nullopt});
  }

  k2test::TempDir scratch{"k2cpu"};
  fs::path root = scratch.path();
};

TEST_F(FakeRoot, WithoutCgroupFilesOnlyProcessorsAndAffinityCount) {
  EXPECT_EQ(count(16), 16);
  EXPECT_EQ(count(16, 4), 4);
  EXPECT_EQ(count(0), 8) << "an unknown processor count falls back to 8";
  EXPECT_EQ(count(0, 3), 3);
}

TEST_F(FakeRoot, V2QuotaRoundsUpAndMaxImposesNothing) {
  put("/proc/self/cgroup", "1:cpu:/other\n0::/svc/app/\n");
  put("/sys/fs/cgroup/svc/app/cpu.max", "150000 100000\n");
  EXPECT_EQ(count(16), 2);
  put("/proc/self/cgroup", "0::/svc/app\t\n");  // blanks around the path are no part of it
  EXPECT_EQ(count(16), 2);
  put("/sys/fs/cgroup/svc/app/cpu.max", "220000 100000\n");
  EXPECT_EQ(count(16), 3);
  put("/sys/fs/cgroup/svc/app/cpu.max", "50000 100000\n");
  EXPECT_EQ(count(16), 1);
  put("/sys/fs/cgroup/svc/app/cpu.max", "max 100000\n");
  put("/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "100000");
  put("/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000");
  EXPECT_EQ(count(16), 16) << "a readable cpu.max means the v1 files are not consulted";
}

TEST_F(FakeRoot, TightestAncestorWins) {
  put("/proc/self/cgroup", "0::/a/b\n");
  put("/sys/fs/cgroup/a/b/cpu.max", "200000 100000");
  put("/sys/fs/cgroup/a/cpu.max", "100000 100000");
  EXPECT_EQ(count(16), 1);
  put("/sys/fs/cgroup/cpu.max", "max 100000");
  put("/sys/fs/cgroup/a/cpu.max", "max 100000");
  EXPECT_EQ(count(16), 2);
  EXPECT_EQ(count(16, 1), 1) << "affinity below the quota still caps";
}

TEST_F(FakeRoot, RootCgroupAndMissingUnifiedLineReadOnlyTheTopLevel) {
  put("/proc/self/cgroup", "0::/\n");
  put("/sys/fs/cgroup/cpu.max", "300000 100000");
  EXPECT_EQ(count(16), 3);
  put("/proc/self/cgroup", "4:cpu,cpuacct:/x\n");
  put("/sys/fs/cgroup/x/cpu.max", "100000 100000");
  EXPECT_EQ(count(16), 3) << "without a 0:: line the process path is not known";
}

TEST_F(FakeRoot, BrokenLevelsAndV1Fallback) {
  put("/proc/self/cgroup", "0::/s\n");
  // Period 0 counts as found: nothing imposed, and v1 is not read.
  put("/sys/fs/cgroup/s/cpu.max", "100000 0");
  put("/sys/fs/cgroup/cpu/cpu.cfs_quota_us", " 100000 \n");
  put("/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(count(8), 8);
  // One field is not found: v1 decides.
  put("/sys/fs/cgroup/s/cpu.max", "100000");
  EXPECT_EQ(count(8), 1);
  put("/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "-1");
  EXPECT_EQ(count(8), 8) << "v1 quota -1 is unlimited";
  put("/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "abc");
  EXPECT_EQ(count(8), 8);
  put("/sys/fs/cgroup/s/cpu.max", "lots 100000");
  put("/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "100000");
  EXPECT_EQ(count(8), 8) << "a level with two fields is found even when they do not parse";
}

class EnvThreads : public ::testing::Test {
 protected:
  k2test::ScopedEnv unset{"LIBSTREAM_THREADS", std::nullopt};
};

TEST_F(EnvThreads, RequestEnvironmentAndCpuDefaults) {
  EXPECT_EQ(sysd::default_threads(1, 0, 32), 24);
  EXPECT_EQ(sysd::default_threads(2, 0, 32), 16);
  EXPECT_EQ(sysd::default_threads(2, 20, 8), 4)
      << "the two-interpreter cap applies to requests too";
  EXPECT_EQ(sysd::default_threads(2, 0, 1), 1);
  k2test::set_env("LIBSTREAM_THREADS", " 5 ");
  EXPECT_EQ(sysd::default_threads(1, 6, 32), 6);
  EXPECT_EQ(sysd::default_threads(1, -2, 32), 5);
  k2test::set_env("LIBSTREAM_THREADS", "0");
  EXPECT_EQ(sysd::default_threads(1, 0, 4), 4);
  k2test::set_env("LIBSTREAM_THREADS", "");
  EXPECT_EQ(sysd::default_threads(1, 0, 4), 4);
  k2test::set_env("LIBSTREAM_THREADS", " \t");  // blanks alone are as empty
  EXPECT_EQ(sysd::default_threads(1, 0, 4), 4);
  for (const char* bad : {"many", "+-5", "-+5", "++5", "+ 5"}) {
    k2test::set_env("LIBSTREAM_THREADS", bad);
    EXPECT_THROW(sysd::default_threads(1, 0, 4), std::invalid_argument) << bad;
  }
  EXPECT_EQ(sysd::default_threads(1, 3, 4), 3) << "an explicit request never reads the environment";
}

TEST(CpuBudget, JobObjectCapRoundsUpWithinTheAffinitySet) {
  struct Row {
    int online, affinity;
    std::optional<double> limit;
    int want;
  } rows[] = {
      {16, 0, std::nullopt, 16}, {16, 0, 1.5, 2}, {16, 0, 0.25, 1}, {16, 4, 6.0, 4},
      {16, 0, 40.0, 16},         {16, 0, 3.0, 3}, {0, 0, 2.2, 3},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(sysd::effective_cpu_count(CpuSources{r.online, r.affinity, {}, r.limit}), r.want) << r.online << " " << r.affinity << " " << r.limit.value_or(-1);
  }
  EXPECT_EQ(sysd::effective_cpu_count(CpuSources{16, 0, "/nonexistent-root", 1.0}), 16) << "with kernel files to read the control group decides";
}

#ifdef _WIN32
// The real query, inside a job with a hard cap of half the processors.
TEST(CpuBudget, ReadsTheHardCapOfItsOwnJob) {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  ASSERT_NE(job, nullptr);
  JOBOBJECT_CPU_RATE_CONTROL_INFORMATION info{};
  info.ControlFlags = JOB_OBJECT_CPU_RATE_CONTROL_ENABLE | JOB_OBJECT_CPU_RATE_CONTROL_HARD_CAP;
  info.CpuRate = 5000;
  if (!SetInformationJobObject(job, JobObjectCpuRateControlInformation, &info, sizeof info) ||
      !AssignProcessToJobObject(job, GetCurrentProcess())) {
    const DWORD e = GetLastError();
    CloseHandle(job);
    GTEST_SKIP() << "this Windows (or Wine) cannot cap a job's CPU rate (error " << e << ")";
  }
  const auto limit = sysd::job_cpu_limit();
  if (!limit) GTEST_SKIP() << "this Windows (or Wine) sets a job's CPU rate but does not report it";
  const int all = static_cast<int>(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
  EXPECT_DOUBLE_EQ(*limit, all * 0.5);
  EXPECT_LE(kinra2::system::effective_cpu_count(), std::max(1, (all + 1) / 2));
}
#endif

TEST(CpuBudget, RealMachineIsAtLeastOne) {
  EXPECT_GE(kinra2::system::effective_cpu_count(), 1);
  EXPECT_GE(kinra2::system::default_threads(), 1);
}

}  // namespace
