#include "bundle/container.hpp"
#include "bundle/load_bundle.hpp"
#include "bundle/q8gd_internal.hpp"
#include "bundle/shared_enc_internal.hpp"
#include "bundle/staging.hpp"

#include <gtest/gtest.h>

#include "support/bundle_files.hpp"
#include "support/run_command.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

#include <nlohmann/json.hpp>

using namespace kinra2::bundle;
using k2test::run;
using k2test::ScopedEnv;
using k2test::TempDir;
using k2test::write_file;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

std::string tool() {
  return k2test::bin("imx_from_bundle");
}

}  // namespace

TEST(ImxFromBundle, UsageAndErrors) {
  auto [st, out] = run({tool()});
  EXPECT_EQ(st, 2);
  EXPECT_NE(out.find("usage: imx_from_bundle <bundle-dir> <out>"), std::string::npos) << out;

  TempDir t;
  write_file(t.path() / "b" / "identity.tflite", "I");
  std::tie(st, out) = run({tool(), t.file("b"), t.file("o.imx")});
  EXPECT_EQ(st, 1);
  EXPECT_NE(out.find("--base"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(t.path() / "o.imx"));
  std::tie(st, out) = run({tool(), t.file("missing"), t.file("o.imx")});
  EXPECT_EQ(st, 1);
}

TEST(ImxFromBundle, PackedSplitIsBoundAndLoads) {
  TempDir t;
  ScopedEnv home("HOME", t.file("home"));
  ScopedEnv store("VELMORA_DEPS_DIR", t.file("store"));
  ScopedEnv stage("KINRA2_STAGE_DIR", t.file("stage"));
  load_policy_component({K2_BIN_DIR});
  ASSERT_TRUE(detail::policy_component()) << detail::policy_component_why();

  const fs::path b = t.path() / "b";
  write_file(b / "canon.bin", k2test::canon_bytes());
  write_file(b / "identity.tflite", "identity delta");
  write_file(b / "shared-enc.tflite", "the encoder");
  const json original = {{"name", "someone"},
                         {"dependencies",
                          {{{"id", "other-dep"}, {"sha256", "keep"}},
                           {{"id", "kinra2-shared-enc"}, {"sha256", "stale"}, {"note", "n"}}}}};
  write_file(b / "manifest.json", original.dump());
  const std::string h = detail::sha256_file_hex((b / "shared-enc.tflite").string());

  for (const std::string form : {"imx", "zip"}) {
    SCOPED_TRACE(form);
    const std::string out = t.file("packed." + form);
    auto [st, log] = run(form == "zip" ? std::vector<std::string>{tool(), b.string(), out, "--zip"}
                                       : std::vector<std::string>{tool(), b.string(), out});
    ASSERT_EQ(st, 0) << log;
    const json m = json::parse(*member_bytes(out, {"manifest.json"}));
    EXPECT_EQ(m["name"], "someone");
    EXPECT_EQ(m["dependencies"][0], original["dependencies"][0]);
    EXPECT_EQ(m["dependencies"][1],
              (json{{"id", "kinra2-shared-enc"}, {"sha256", h}, {"note", "n"}}));
    EXPECT_EQ(m["dependencies"].size(), 2u);
    EXPECT_EQ(member_bytes(out, {"identity.tflite"}), "identity delta");

    testing::internal::CaptureStderr();
    LoadedBundle r = load_bundle(out, std::nullopt);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("two-artifact split: base sha256=" + h.substr(0, 12) +
                       "… VERIFIED (bytes hashed) via co-located in " + out + "\n"),
              std::string::npos)
        << err;
    ASSERT_EQ(r.tfl_paths.size(), 2u);
    EXPECT_EQ(k2test::read_file(r.tfl_paths[0]), "the encoder");
    EXPECT_EQ(k2test::read_file(r.tfl_paths[1]), "identity delta");
    detail::release_staged(r.tfl_paths);
    EXPECT_FALSE(fs::exists(r.tfl_paths[0]));
  }
  EXPECT_EQ(json::parse(k2test::read_file(b / "manifest.json")),
            original);  // packing leaves the source alone

  // --base from elsewhere, stamped into the directory as well.
  fs::remove(b / "shared-enc.tflite");
  write_file(t.path() / "engine" / "shared-enc.tflite", "engine encoder");
  const std::string h2 = detail::sha256_file_hex(t.file("engine/shared-enc.tflite"));
  auto [st, log] = run({tool(), b.string(), t.file("p2.imx"), "--base",
                        t.file("engine/shared-enc.tflite"), "--stamp-in-place"});
  ASSERT_EQ(st, 0) << log;
  EXPECT_EQ(json::parse(k2test::read_file(b / "manifest.json"))["dependencies"][1]["sha256"], h2);
  testing::internal::CaptureStderr();
  LoadedBundle r = load_bundle(t.file("p2.imx"), t.file("engine"));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("VERIFIED (bytes hashed) via engine dir " + t.file("engine") + "\n"),
            std::string::npos)
      << err;
  drop_staged();
}

TEST(ImxFromBundle, TopLevelMembersWinOverNestedNamesakes) {
  // Containers are read by base name with the later entry winning; the
  // directory form only sees its top level. The packed copy must serve the
  // same canon and the stamped manifest, whatever sits in subdirectories.
  TempDir t;
  const fs::path b = t.path() / "b";
  write_file(b / "canon.bin", "top canon");
  write_file(b / "zz" / "canon.bin", "a stray copy");
  write_file(b / "identity.tflite", "I");
  write_file(b / "shared-enc.tflite", "E");
  write_file(b / "zz" / "manifest.json", "{}");
  const std::string h = detail::sha256_file_hex((b / "shared-enc.tflite").string());
  for (const std::string form : {"imx", "zip"}) {
    SCOPED_TRACE(form);
    const std::string out = t.file("packed." + form);
    auto [st, log] = run(form == "zip" ? std::vector<std::string>{tool(), b.string(), out, "--zip"}
                                       : std::vector<std::string>{tool(), b.string(), out});
    ASSERT_EQ(st, 0) << log;
    EXPECT_EQ(member_bytes(out, {"canon.bin"}), "top canon");
    const json m = json::parse(*member_bytes(out, {"manifest.json"}));
    EXPECT_EQ(m["dependencies"][0]["sha256"], h);
  }
}

TEST(ImxFromBundle, RefusesNamesReadersCannotDecode) {
#ifdef _WIN32
  GTEST_SKIP()
      << "Windows file names are UTF-16: no file can be named with bytes that are not UTF-8";
#endif
  // One Latin-1 file name would turn the whole table into no table at all.
  TempDir t;
  write_file(t.path() / "b" / "canon.bin", "C");
  write_file(t.path() / "b" / "combined_litert.tflite", "M");
  write_file(t.path() / "b" / "caf\xe9.txt", "x");
  for (const std::string flag : {"", "--zip"}) {
    std::vector<std::string> argv = {tool(), t.file("b"), t.file("o")};
    if (!flag.empty()) argv.push_back(flag);
    auto [st, out] = run(argv);
    EXPECT_EQ(st, 1) << out;
    EXPECT_NE(out.find("is not UTF-8"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(t.path() / "o"));
  }
}
