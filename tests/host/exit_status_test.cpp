// The real host, refusing a bundle after it has already staged a file, must
// exit with status 3 and leave nothing behind in the stage directory.
#include "bundle/q8gd_internal.hpp"

#include "fixtures.hpp"

#include <nlohmann/json.hpp>

using k2test::shq;
using k2test::TempDir;
using k2test::write_file;
namespace fs = std::filesystem;

TEST(HostExit, RefusedBundleLeavesNoStagedFiles) {
  TempDir t;
  write_file(t.path() / "right", "the right encoder");
  const std::string h = kinra2::bundle::detail::sha256_file_hex(t.str("right"));
  const std::string manifest =
      nlohmann::json{{"dependencies", {{{"id", "kinra2-shared-enc"}, {"sha256", h}}}}}.dump();
  // The co-located impostor is staged out of the container, then rejected.
  write_file(t.path() / "b.imx", k2test::imx_of({{"canon.bin", k2test::canon_bytes()},
                                                 {"identity.tflite", "I"},
                                                 {"shared-enc.tflite", "an impostor"},
                                                 {"manifest.json", manifest}}));
  fs::create_directories(t.path() / "stage");
  const std::string env = "env -u KINRA2_SHARED_ENC -u KINRA2_ENGINE_DIR -u KINRA2_ANE_ENGINE HOME=" +
                          shq(t.str("home")) + " VELMORA_DEPS_DIR=" + shq(t.str("store")) +
                          " KINRA2_STAGE_DIR=" + shq(t.str("stage")) + " ";
  auto [st, out] = k2test::run(env + shq(k2test::bin("render_stream_host_litert")) + " render-stream " +
                               shq(t.str("b.imx")) + " </dev/null");
  EXPECT_EQ(st, 3) << out;
  EXPECT_NE(out.find("(co-located in the bundle): sha mismatch"), std::string::npos) << out;
  EXPECT_TRUE(fs::is_empty(t.path() / "stage")) << out;
}
