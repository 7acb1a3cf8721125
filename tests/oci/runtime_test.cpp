// The host inside its OCI image (scripts/image build): the thread count it
// settles on under real CPU limits, the stream it serves over the container's
// standard streams, its programs against the release archives the image is
// made from, and the arm64 image under emulation. Skipped, with the reason,
// where podman or the image is missing.
#ifdef _WIN32
#include <gtest/gtest.h>

// The image is a Linux one, run by podman on a Linux machine.
TEST(Oci, ThreadsFollowTheCpuLimit) {
  GTEST_SKIP() << "OCI containers are a Linux facility";
}

#else
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "host/host_process.hpp"
#include "support/bundle_files.hpp"
#include "support/run_command.hpp"
#include "support/temp_dir.hpp"

namespace {

using namespace k2test;

// The manifest list; podman picks this machine's architecture from it.
std::string image(const std::string& tag = "latest") {
  const char* e = std::getenv("K2_IMAGE");
  return std::string(e && *e ? e : "localhost/kinra2-host") + ":" + tag;
}

// podman with the project's settings, without the malloc checker the test
// launcher preloads (podman and the container runtime are not ours to check).
std::vector<std::string> podman(const std::vector<std::string>& args) {
  const char* conf = std::getenv("CONTAINERS_CONF");
  std::vector<std::string> v = {"/usr/bin/env", "-u", "LD_PRELOAD", "-u", "MALLOC_CHECK_"};
  v.push_back(std::string("CONTAINERS_CONF=") +
              (conf && *conf ? conf : K2_SOURCE_DIR "/oci/podman.conf"));
  v.push_back("podman");
  v.insert(v.end(), args.begin(), args.end());
  return v;
}

// Why the image cannot be run here; empty when it can.
const std::string& unavailable() {
  static const std::string why = []() -> std::string {
    if (run(podman({"--version"})).first != 0)
      return "podman is not installed (scripts/image installs it)";
    if (run(podman({"image", "exists", image()})).first != 0)
      return "image " + image() + " is not built (scripts/image build)";
    // 125 and 126 are podman's and the runtime's own failures, not the image's.
    auto [status, out] = run(podman({"run", "--rm", image()}));
    if (status == 125 || status == 126)
      return "podman cannot run containers here: " + out.substr(0, out.find('\n'));
    return {};
  }();
  return why;
}

const char* cgroup_layout() {
  struct statfs s {};
  if (::statfs("/sys/fs/cgroup", &s) != 0) return "none";
  return s.f_type == CGROUP2_SUPER_MAGIC ? "v2" : "v1";
}

class Oci : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!unavailable().empty()) GTEST_SKIP() << unavailable();
    ASSERT_FALSE(demo_bundle().empty()) << "make_demo_bundle failed";
    RecordProperty("cgroup", cgroup_layout());
  }

  // Serves `input` from the image with `options` before the image name, the
  // bundle at /bundle and `args` after the bundle.
  static HostRun serve(const std::string& bundle, const std::vector<std::string>& options,
                       const std::string& input, const std::vector<std::string>& args = {},
                       const std::string& img = image()) {
    std::vector<std::string> a = {"run", "--rm", "-i", "-v", bundle + ":/bundle:ro"};
    a.insert(a.end(), options.begin(), options.end());
    a.insert(a.end(), {img, "render-stream", "/bundle"});
    a.insert(a.end(), args.begin(), args.end());
    return run_peer(podman(a), input);
  }
};

TEST_F(Oci, ThreadsFollowTheCpuLimit) {
  std::printf("cgroup hierarchy under test: %s\n", cgroup_layout());
  // A container starts in a cgroup of its own with every processor: it is not
  // bound by whatever quota or affinity this test process may have.
  const int cpus = static_cast<int>(std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN)));
  struct Case {
    std::vector<std::string> limit;
    int threads;
  };
  // A quota rounds up to whole processors.
  const std::vector<Case> cases = {
      {{}, std::min(24, cpus)},
      {{"--cpus", "0.5"}, 1},
      {{"--cpus", "1"}, 1},
      {{"--cpus", "1.5"}, std::min(2, cpus)},
      {{"--cpus", "2"}, std::min(2, cpus)},
      {{"--cpuset-cpus", "0"}, 1},
  };
  for (const auto& c : cases) {
    if (c.limit.size() == 2 && c.limit[0] == "--cpus" && std::atof(c.limit[1].c_str()) > cpus)
      continue;  // podman refuses a quota above the machine's processors
    const std::string label = c.limit.empty() ? "no limit" : c.limit[0] + " " + c.limit[1];
    const HostRun r = serve(demo_bundle(), c.limit, "");
    EXPECT_EQ(r.status, 0) << label << "\n" << r.log;
    EXPECT_NE(
        r.log.find("warming up identity=/bundle threads=" + std::to_string(c.threads) + " ..."),
        std::string::npos)
        << label << ": expected threads=" << c.threads << "\n"
        << r.log;
  }
}

TEST_F(Oci, ServesTheStreamAsTheBareHostDoes) {
  // The usage without arguments: the runtime image's default command.
  const auto [status, usage] = run(podman({"run", "--rm", image()}));
  EXPECT_EQ(status, 2);
  EXPECT_NE(usage.find("usage: render_stream_host_litert render-stream <bundle>"),
            std::string::npos)
      << usage;

  // A container bundle is staged as files: with the root file system
  // read-only, the staging directory is the one writable mount, here a
  // directory of ours so that what the host leaves in it can be seen. The
  // pod's restrictions as well: no capabilities, no privilege escalation.
  const TempDir stage("k2_oci_stage");
  std::filesystem::permissions(stage.path(),
                               std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
  const std::string imx =
      std::filesystem::temp_directory_path() / ("k2_oci_" + std::to_string(::getpid()) + ".imx");
  const AdoptedDir cleanup{imx};
  ASSERT_EQ(run({bin("imx_from_bundle"), demo_bundle(), imx}).first, 0);
  const std::string input = Records().audio(tone(16800)).flush().bytes;
  const std::vector<std::string> threads = {"--threads", "1"};
  const HostRun bare = run_host(imx, input, {}, false, threads);
  const HostRun boxed = serve(imx,
                              {"--read-only", "--read-only-tmpfs=false", "--cap-drop=all",
                               "--security-opt=no-new-privileges", "-v", stage.str() + ":/stage",
                               "-e", "KINRA2_STAGE_DIR=/stage/host"},
                              input, threads);
  ASSERT_EQ(bare.status, 0) << bare.log;
  ASSERT_EQ(boxed.status, 0) << boxed.log;
  EXPECT_EQ(boxed.header, bare.header);
  ASSERT_EQ(boxed.records.size(), bare.records.size()) << boxed.log;
  EXPECT_EQ(boxed.records.size(), 23u) << "22 frames and a flush marker";
  for (std::size_t i = 0; i < bare.records.size(); ++i) {
    EXPECT_EQ(boxed.records[i].index, bare.records[i].index) << "record " << i;
    EXPECT_TRUE(boxed.records[i].bytes == bare.records[i].bytes) << "frame bytes of record " << i;
  }
  // The host made its stage directory itself: it belongs to the image's
  // user (root in the container would map to our own uid), and it is empty,
  // since the staged models were removed once loaded.
  struct stat st {};
  ASSERT_EQ(::stat(stage.file("host").c_str(), &st), 0) << boxed.log;
  EXPECT_NE(st.st_uid, ::getuid()) << "the host ran as root in its container";
  EXPECT_TRUE(std::filesystem::is_empty(stage.file("host"))) << "staged files were left behind";
  const auto [ustatus, user] =
      run(podman({"image", "inspect", "--format", "{{.Config.User}}", image()}));
  EXPECT_EQ(ustatus, 0);
  EXPECT_NE(user.substr(0, 2), "0:") << user;
  EXPECT_NE(user.substr(0, user.find('\n')), "") << "the image must name a non-root user";
}

// Each image's programs are its release archive's, byte for byte: the
// binaries the install tests checked are the ones a pod runs.
TEST_F(Oci, HoldsTheReleaseArchivePrograms) {
  std::ifstream v(K2_SOURCE_DIR "/VERSION");
  std::string version;
  ASSERT_TRUE(std::getline(v, version));
  const char* d = std::getenv("K2_DIST");
  const std::string dist = d && *d ? d : K2_SOURCE_DIR "/dist";
  for (const auto& [arch, machine] :
       {std::pair{"amd64", "x86_64"}, std::pair{"arm64", "aarch64"}}) {
    if (run(podman({"image", "exists", image(arch)})).first != 0) continue;  // one was built
    const std::string tgz = dist + "/kinra2-host-" + version + "-linux-" + machine + ".tar.gz";
    const TempDir t("k2_oci_archive");
    ASSERT_EQ(
        run({"/usr/bin/env", "tar", "-xzf", tgz, "-C", t.str(), "--strip-components=1"}).first, 0)
        << tgz << ": the image is made from it (scripts/release --linux)";
    const std::string box = "k2_oci_archive_" + std::to_string(::getpid()) + "_" + arch;
    ASSERT_EQ(run(podman({"create", "--name", box, image(arch)})).first, 0);
    const auto copied = run(podman({"cp", box + ":/opt/kinra2/bin", t.file("image")}));
    run(podman({"rm", box}));
    ASSERT_EQ(copied.first, 0) << copied.second;
    const std::filesystem::path boxed = t.file("image");
    std::size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(t.file("bin"))) {
      ++files;
      const auto name = e.path().filename().string();
      EXPECT_TRUE(read_file(e.path()) == read_file(boxed / name))
          << arch << ": " << name << " differs from the archive's";
    }
    EXPECT_GE(files, 6u) << arch << ": the host, three tools, the policy component, the runtime";
    EXPECT_EQ(files, static_cast<std::size_t>(
                         std::distance(std::filesystem::directory_iterator(boxed), {})))
        << arch << ": the image's /opt/kinra2/bin holds files the archive does not";
  }
}

// The arm64 image, run under emulation (QEMU through binfmt_misc, which
// `scripts/setup --arm64` registers), serves the exact demo bundle with the
// bytes of the bare host of this machine.
TEST_F(Oci, Arm64ImageServesTheSameBytesUnderEmulation) {
  const std::string arm = image("arm64");
  if (run(podman({"image", "exists", arm})).first != 0)
    GTEST_SKIP() << "image " << arm << " is not built (scripts/image build)";
#if !defined(__aarch64__)
  std::ifstream binfmt("/proc/sys/fs/binfmt_misc/qemu-aarch64");
  std::string state;
  if (!std::getline(binfmt, state) || state != "enabled")
    GTEST_SKIP() << "no arm64 emulation registered with binfmt_misc (scripts/setup --arm64)";
#endif
  const auto [status, arch] =
      run(podman({"image", "inspect", "--format", "{{.Architecture}}", arm}));
  ASSERT_EQ(status, 0) << arch;
  EXPECT_EQ(arch.substr(0, arch.find('\n')), "arm64");
  const TempDir t("k2_oci_exact");
  ASSERT_EQ(run({bin("make_demo_bundle"), t.file("exact"), "--exact"}).first, 0);
  const std::string input = Records().audio(tone(16800)).flush().bytes;
  const std::vector<std::string> threads = {"--threads", "1"};
  const HostRun bare = run_host(t.file("exact"), input, {}, false, threads);
  const HostRun boxed = serve(t.file("exact"), {"--platform", "linux/arm64"}, input, threads, arm);
  ASSERT_EQ(bare.status, 0) << bare.log;
  ASSERT_EQ(boxed.status, 0) << boxed.log;
  EXPECT_EQ(boxed.header, bare.header);
  ASSERT_EQ(boxed.records.size(), bare.records.size()) << boxed.log;
  for (std::size_t i = 0; i < bare.records.size(); ++i) {
    EXPECT_EQ(boxed.records[i].index, bare.records[i].index) << "record " << i;
    EXPECT_TRUE(boxed.records[i].bytes == bare.records[i].bytes) << "frame bytes of record " << i;
  }
}

}  // namespace

#endif
