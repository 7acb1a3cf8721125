// The exit statuses of the real host program, and what it leaves behind.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "bundle/q8gd_internal.hpp"
#include "support/bundle_files.hpp"
#include "support/run_command.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using k2test::shq;

struct Outcome {
  int status;
  std::string out;
};

// Runs the real host with stdin closed, capturing stdout; stderr is dropped.
Outcome host(const std::string& args) {
  std::string cmd =
      k2test::bin("render_stream_host_litert") + " " + args + " </dev/null 2>/dev/null";
  FILE* f = ::popen(cmd.c_str(), "r");
  std::string out;
  std::array<char, 4096> buf;
  std::size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0) out.append(buf.data(), n);
  int st = ::pclose(f);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

TEST(ExitStatus, UsageAndErrors) {
  EXPECT_EQ(host("").status, 2);
  EXPECT_EQ(host("render-stream").status, 2);
  EXPECT_EQ(host("render-stream '' -v").status, 2);
  auto bad = host("render-stream /nonexistent --threads many");
  EXPECT_EQ(bad.status, 1);
  EXPECT_TRUE(bad.out.empty()) << "nothing reaches standard output before the header";
  EXPECT_TRUE(host("").out.empty());
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
  const std::string env =
      "env -u KINRA2_SHARED_ENC -u KINRA2_ENGINE_DIR -u KINRA2_ANE_ENGINE HOME=" +
      shq(t.file("home")) + " VELMORA_DEPS_DIR=" + shq(t.file("store")) +
      " KINRA2_STAGE_DIR=" + shq(t.file("stage")) + " ";
  auto [st, out] = k2test::run(env + shq(k2test::bin("render_stream_host_litert")) +
                               " render-stream " + shq(t.file("b.imx")) + " </dev/null");
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
