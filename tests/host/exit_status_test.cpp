// The exit statuses of the real host program, and what it leaves behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bundle/q8gd_internal.hpp"
#include "support/bundle_files.hpp"
#include "support/run_command.hpp"
#include "support/temp_dir.hpp"
#include "system/subprocess.hpp"

namespace {

namespace fs = std::filesystem;
using kinra2::system::ChildStream;

struct Outcome {
  int status;
  std::string out;
};

// Runs the real host with `args`, standard input at the null device,
// capturing standard output; standard error is dropped.
Outcome host(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {k2test::bin("render_stream_host_litert")};
  argv.insert(argv.end(), args.begin(), args.end());
  kinra2::system::SpawnOptions opt;
  opt.in = ChildStream::null;
  opt.err = ChildStream::null;
  kinra2::system::Subprocess p(argv, opt);
  std::string out;
  char buf[4096];
  for (std::size_t n; (n = p.read_out(buf, sizeof buf)) > 0;) out.append(buf, n);
  return {p.wait(), out};
}

TEST(ExitStatus, UsageAndErrors) {
  EXPECT_EQ(host({}).status, 2);
  EXPECT_EQ(host({"render-stream"}).status, 2);
  EXPECT_EQ(host({"render-stream", "", "-v"}).status, 2);
  auto bad = host({"render-stream", "/nonexistent", "--threads", "many"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_TRUE(bad.out.empty()) << "nothing reaches standard output before the header";
  EXPECT_TRUE(host({}).out.empty());
}

// A bundle refused after a file was already staged: status 3, the refusal's
// FATAL line exactly once, and nothing left in the stage directory.
TEST(ExitStatus, RefusedBundleLeavesNoStagedFiles) {
  k2test::TempDir t;
  k2test::write_file(t.path() / "right", "the right encoder");
  const std::string h = kinra2::bundle::detail::sha256_file_hex(t.file("right"));
  const std::string manifest =
      nlohmann::json{{"dependencies", {{{"id", "kinra2-shared-enc"}, {"sha256", h}}}}}.dump();
  // The co-located impostor is staged out of the container, then rejected.
  k2test::write_file(t.path() / "b.imx", k2test::imx_of({{"canon.bin", k2test::canon_bytes()},
                                                         {"identity.tflite", "I"},
                                                         {"shared-enc.tflite", "an impostor"},
                                                         {"manifest.json", manifest}}));
  fs::create_directories(t.path() / "stage");
  const std::vector<std::string> env = {"KINRA2_SHARED_ENC",
                                        "KINRA2_ENGINE_DIR",
                                        "KINRA2_ANE_ENGINE",
                                        "HOME=" + t.file("home"),
                                        "USERPROFILE=" + t.file("home"),
                                        "VELMORA_DEPS_DIR=" + t.file("store"),
                                        "KINRA2_STAGE_DIR=" + t.file("stage")};
  auto [st, out] = k2test::run(
      {k2test::bin("render_stream_host_litert"), "render-stream", t.file("b.imx")}, env);
  EXPECT_EQ(st, 3) << out;
  const std::string fatal =
      "\n[render-stream-host-litert] FATAL: " + t.file("b.imx") + " was cut against";
  const auto at = out.find(fatal);
  EXPECT_NE(at, std::string::npos) << out;
  EXPECT_EQ(out.find("FATAL", at + fatal.size()), std::string::npos) << "one FATAL line: " << out;
  EXPECT_NE(out.find("(co-located in the bundle): sha mismatch"), std::string::npos) << out;
  EXPECT_TRUE(fs::is_empty(t.path() / "stage")) << out;
}

}  // namespace
