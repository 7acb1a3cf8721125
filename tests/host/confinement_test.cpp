// The host confines itself once its bundle is staged, and serves on as before.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>

#include "host_process.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using namespace k2test;

#ifdef __linux__
// The value of `key` in /proc/<pid>/status ("" when there is none).
std::string proc_status(std::int64_t pid, const std::string& key) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(f, line);)
    if (line.rfind(key + ":", 0) == 0) {
      const auto v = line.find_first_not_of(" \t", key.size() + 1);
      return v == std::string::npos ? std::string() : line.substr(v);
    }
  return {};
}
#endif

// One chunk and a flush from an IMX bundle, the process looked at while it
// waits for more: staged members must go although the process may no
// longer write, and the frames must not change.
TEST(Confinement, ServingHostIsConfinedAndSweepsItsStagedFiles) {
  ASSERT_FALSE(demo_bundle().empty());
  TempDir t("k2_confine");
  const std::string imx = t.file("demo.imx");
  const auto packed = run({bin("imx_from_bundle"), demo_bundle(), imx});
  ASSERT_EQ(packed.first, 0) << packed.second;
  fs::create_directories(t.path() / "stage");
  const std::string stage_env = "KINRA2_STAGE_DIR=" + t.file("stage");
  const std::string in = Records().audio(speech_like(25600, 3)).flush().bytes;

  kinra2::system::SpawnOptions opt;
  opt.env = {stage_env};
  kinra2::system::Subprocess host(host_argv(imx), opt);
  std::string log;
  std::thread logger([&] {
    char buf[4096];
    for (std::size_t r; (r = host.read_err(buf, sizeof buf)) > 0;) log.append(buf, r);
  });
  // (No ASSERT until the logger is joined.)
  EXPECT_TRUE(host.write_in(in.data(), in.size()));
  std::vector<std::string> frames;
  for (char c; host.read_out_exact(&c, 1) && c != '\n';) {
  }
  for (std::int32_t idx; host.read_out_exact(&idx, 4) && idx >= 0;) {
    frames.emplace_back(kinra2::RGB_FRAME_BYTES, '\0');
    if (!host.read_out_exact(frames.back().data(), frames.back().size())) break;
  }
  // Seen while it waits for more input; compared once its log is complete.
#ifdef __linux__
  const std::string seccomp_status = proc_status(host.id(), "Seccomp");
  const std::string nnp_status = proc_status(host.id(), "NoNewPrivs");
#endif
  host.close_in();
  EXPECT_EQ(host.wait(), 0);
  host.close_out();
  logger.join();
  // What the line names as applied (before any "; ... unavailable") must show.
  const std::size_t at = log.find("] confine: ");
  ASSERT_NE(at, std::string::npos) << log;
  const std::string line = log.substr(at, log.find('\n', at) - at);
  const std::string applied = line.substr(0, line.find(';'));
  const bool seccomp = applied.find("seccomp") != std::string::npos;
  const bool nnp = applied.find("no_new_privs") != std::string::npos;
#if defined(__x86_64__) && defined(__linux__)
  EXPECT_TRUE(seccomp && nnp) << line;  // a native kernel with libseccomp
#endif
#ifdef __linux__
  EXPECT_EQ(seccomp_status, seccomp ? "2" : "0") << line;
  EXPECT_EQ(nnp_status, nnp ? "1" : "0") << line;
#endif
  EXPECT_TRUE(fs::is_empty(t.path() / "stage")) << log;

  const HostRun free = run_host(imx, in, {stage_env, "KINRA2_CONFINE=0"});
  // (Up to the line's end, which Windows' standard error may write as CR LF.)
  const std::size_t off = free.log.find("] confine: off (KINRA2_CONFINE=0)");
  ASSERT_NE(off, std::string::npos) << free.log;
  EXPECT_NE(std::string("\r\n").find(free.log[off + 33]), std::string::npos) << free.log;
  ASSERT_EQ(free.records.size(), frames.size() + 1);  // and the marker
  for (std::size_t i = 0; i < frames.size(); ++i)
    EXPECT_TRUE(free.records[i].bytes == frames[i]) << "frame " << i;
}

}  // namespace
