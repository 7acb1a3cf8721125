#include "bundle/load_bundle.hpp"

#include "bundle/container.hpp"

#include "bundle/q8gd_internal.hpp"
#include "bundle/shared_enc_internal.hpp"
#include "bundle/staging_internal.hpp"

#include <gtest/gtest.h>

#include "support/bundle_files.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"
#include "system/files.hpp"

#include <nlohmann/json.hpp>

using namespace kinra2::bundle;
using k2test::ScopedEnv;
using k2test::TempDir;
using k2test::write_file;
namespace fs = std::filesystem;

namespace {

const std::string P = "[render-stream-host-litert] ";

// A path joined the way the host joins it (a backslash on Windows).
std::string J(const std::string& dir, const std::string& name) {
  return kinra2::system::join_path(dir, name);
}

// Every test gets its own home, content store and stage directory, no
// candidate variables, and the component built beside the tests.
class LoadBundle : public testing::Test {
 protected:
  TempDir t;
  ScopedEnv home{"HOME", t.file("home")};
  ScopedEnv profile{"USERPROFILE", t.file("home")};  // the home directory on Windows
  ScopedEnv store{"VELMORA_DEPS_DIR", t.file("store")};
  ScopedEnv stage{"KINRA2_STAGE_DIR", t.file("stage")};
  ScopedEnv e1{"KINRA2_SHARED_ENC", std::nullopt};
  ScopedEnv e2{"KINRA2_ENGINE_DIR", std::nullopt};
  ScopedEnv e3{"KINRA2_ANE_ENGINE", std::nullopt};
  ScopedEnv q8{"KINRA2_Q8GD", "off"};

  void SetUp() override {
    load_policy_component({K2_BIN_DIR});
    ASSERT_TRUE(detail::policy_component()) << detail::policy_component_why();
  }
  void TearDown() override { drop_staged(); }

  std::string dir(const std::string& name,
                  const std::vector<std::pair<std::string, std::string>>& members) {
    for (const auto& [n, d] : members) write_file(t.path() / name / n, d);
    fs::create_directories(t.path() / name);
    return t.file(name);
  }
  std::string sha(const std::string& bytes) {
    write_file(t.path() / "hash.tmp", bytes);
    return detail::sha256_file_hex(t.file("hash.tmp"));
  }
  static std::string deps(const std::string& h) {
    return nlohmann::json{{"dependencies", {{{"id", "kinra2-shared-enc"}, {"sha256", h}}}}}.dump();
  }

  // The log of a refused load as the host prints it: what the loader logged,
  // then the refusal's one FATAL line (which the loader never logs itself).
  std::string refused(const std::string& bundle,
                      const std::optional<std::string>& engine = std::nullopt) {
    testing::internal::CaptureStderr();
    std::string fatal;
    try {
      load_bundle(bundle, engine);
    } catch (const BundleRefused& e) {
      fatal = e.what();
    }
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(fatal.starts_with("FATAL: ")) << err;
    EXPECT_EQ(err.find("FATAL"), std::string::npos) << err;
    return err + P + fatal + "\n";
  }
  LoadedBundle loaded(const std::string& bundle, std::string& log,
                      const std::optional<std::string>& engine = std::nullopt) {
    testing::internal::CaptureStderr();
    LoadedBundle r;
    try {
      r = load_bundle(bundle, engine);
    } catch (...) {
      log = testing::internal::GetCapturedStderr();
      throw;
    }
    log = testing::internal::GetCapturedStderr();
    return r;
  }
};

const std::string CANON = k2test::canon_bytes();

}  // namespace

TEST_F(LoadBundle, CanonRules) {
  EXPECT_EQ(
      refused(dir("none", {{"combined_litert.tflite", "m"}})),
      P + "FATAL: no canon.bin in " + t.file("none") + " (per-identity canon latent required)\n");
  EXPECT_EQ(
      refused(dir("short", {{"canon.bin", CANON.substr(4)}, {"combined_litert.tflite", "m"}})),
      P + "FATAL: canon.bin has 74879 floats, expected 74880\n");
  // A container entry starting past the end of the file holds no bytes,
  // whatever size it declares.
  write_file(t.path() / "far.imx",
             k2test::imx_header({{"canon.bin", 1u << 30, ~std::uint64_t{0} - 7}}, 1));
  EXPECT_EQ(refused(t.file("far.imx")), P + "FATAL: canon.bin has 0 floats, expected 74880\n");
  // A ragged byte count is no contract violation but bad data: plain error.
  EXPECT_THROW(
      load_bundle(dir("ragged", {{"canon.bin", CANON + "x"}, {"combined_litert.tflite", "m"}}),
                  std::nullopt),
      std::invalid_argument);

  std::string log;
  auto r = loaded(dir("f32", {{"canon.f32", CANON}, {"combined_litert.tflite", "m"}}), log);
  ASSERT_EQ(r.canon.size(), 74880u);
  EXPECT_EQ(r.canon[0], 0.0f);
  EXPECT_EQ(r.canon[5], 1.25f);
  EXPECT_EQ(r.canon[74879], static_cast<float>(74879 % 97) * 0.25f);
}

TEST_F(LoadBundle, CombinedWinsWithoutThePolicyComponent) {
  detail::unload_policy_component("test");
  std::string log;
  const std::string d = dir("d", {{"canon.bin", CANON},
                                  {"combined_litert.tflite", "M"},
                                  {"identity.tflite", "I"},
                                  {"combined_litert_q8gd.tflite", "Q"}});
  auto r = loaded(d, log);
  EXPECT_EQ(r.tfl_paths,
            std::vector<std::string>{J(d, "combined_litert.tflite")});  // used in place
  EXPECT_EQ(r.model_label, "combined_litert.tflite");
  EXPECT_TRUE(detail::staged_paths().empty());
  EXPECT_EQ(log, P + "[q8gd] off (KINRA2_Q8GD=off) — serving combined_litert.tflite\n");

  write_file(t.path() / "b.imx", k2test::imx_of({{"canon.bin", CANON},
                                                 {"identity.tflite", "I"},
                                                 {"combined_litert.tflite", "M"}}));
  r = loaded(t.file("b.imx"), log);
  ASSERT_EQ(r.tfl_paths.size(), 1u);
  EXPECT_TRUE(r.tfl_paths[0].ends_with("_combined_litert.tflite"));
  EXPECT_EQ(k2test::read_file(r.tfl_paths[0]), "M");
  EXPECT_EQ(detail::staged_paths(), r.tfl_paths);
  EXPECT_EQ(log, "");
}

TEST_F(LoadBundle, SplitRefusals) {
  const std::string d = dir("split", {{"canon.bin", CANON}, {"identity.tflite", "I"}});
  detail::unload_policy_component("dlopen says no");
  EXPECT_EQ(
      refused(d),
      P + "FATAL: " + d +
          " is a two-artifact split, but this engine has no shared_enc_dep (the base-verification "
          "policy) — searched the repo tools/ dir and this host's own directory (dlopen says no). "
          "Without it the base pairing cannot be verified, and an unverified pairing renders a "
          "different face with no error. Vendor tools/shared_enc_dep beside this host in the "
          "engine "
          "artifact. (The combined-member path does not need it and is unaffected.)\n");
  load_policy_component({K2_BIN_DIR});

  // No manifest, or one that is no JSON text as written (a byte-order mark
  // before it, a NUL after it): nothing is declared, so even the right
  // encoder cannot be told from a wrong one.
  const std::string h = sha("the right encoder");
  const std::string right = dir("right", {{"shared-enc.tflite", "the right encoder"}});
  for (const std::string& manifest :
       {std::string(), "\xEF\xBB\xBF" + deps(h), deps(h) + std::string("\0garbage", 8)}) {
    if (!manifest.empty()) write_file(fs::path(d) / "manifest.json", manifest);
    EXPECT_EQ(
        refused(d, right),
        P + "FATAL: " + d +
            " carries identity.tflite (the two-artifact split's DELTA half) and declares no "
            "'kinra2-shared-enc' base in its manifest dependencies[], and carries no "
            "shared-enc.tflite of its own. There is no way to tell which shared-enc.tflite it was "
            "cut against, and the wrong one renders a DIFFERENT FACE with no error (measured "
            "2026-09-01: 181 of 181 frames wrong, silently). Re-emit the container with "
            "tools/imx_from_bundle, which stamps the base content address.\n")
        << manifest;
  }

  write_file(fs::path(d) / "manifest.json", deps(h));
  const std::string tail =
      ". Put it in the content store (${VELMORA_DEPS_DIR} or ~/.velmora/deps, as <store>/" + h +
      " or <store>/" + h.substr(0, 2) + "/" + h +
      "), or pass --engine <dir|.engine> holding exactly that base. A base with the right NAME "
      "and the wrong CONTENT is refused here on purpose.\n";
  const std::string head = P + "FATAL: " + d + " was cut against shared-enc.tflite sha256=" + h +
                           " and that base is NOT on this machine. Resolution: ";
  EXPECT_EQ(refused(d), head + "no candidate found" + tail);

  // Wrong content under the right name, in every place it is looked for.
  write_file(fs::path(d) / "shared-enc.tflite", "an impostor");
  const std::string eng = dir("engine", {{"shared-enc.tflite", "another impostor"}});
  dir("emptyengine", {});
  write_file(t.path() / "engine.pack", k2test::imx_of({{"x/shared-enc.tflite", "packed impostor"}}));
  write_file(t.path() / "home/.velmora/engines/b/shared-enc.tflite", "b");
  write_file(t.path() / "home/.velmora/engines/a/shared-enc.tflite", "a");
  ScopedEnv se("KINRA2_SHARED_ENC", t.file("engine.pack"));
  ScopedEnv ed("KINRA2_ENGINE_DIR", t.file("emptyengine"));
  const std::string engines = J(t.file("home"), ".velmora/engines");
  const std::string log = refused(d, eng);
  // The container's encoder is checked as the staged copy it was read into.
  ASSERT_EQ(detail::staged_paths().size(), 1u) << log;
  EXPECT_EQ(log, head + J(d, "shared-enc.tflite") + " (co-located in the bundle): sha mismatch; " +
                     J(eng, "shared-enc.tflite") + " (engine dir): sha mismatch; " +
                     detail::staged_paths()[0] + " (container " + t.file("engine.pack") +
                     "): sha mismatch; " + J(J(engines, "a"), "shared-enc.tflite") +
                     " (explicit file): sha mismatch; " + J(J(engines, "b"), "shared-enc.tflite") +
                     " (explicit file): sha mismatch" + tail);
}

TEST_F(LoadBundle, SplitResolutionOrder) {
  const std::string enc = "the right encoder";
  const std::string h = sha(enc);
  const std::string d =
      dir("split", {{"canon.bin", CANON}, {"identity.tflite", "I"}, {"manifest.json", deps(h)}});
  std::string log;

  // Engines are tried in name order: a (wrong) then b (right).
  write_file(t.path() / "home/.velmora/engines/b/shared-enc.tflite", enc);
  write_file(t.path() / "home/.velmora/engines/a/shared-enc.tflite", "wrong");
  auto r = loaded(d, log);
  const std::string b_enc = J(J(J(t.file("home"), ".velmora/engines"), "b"), "shared-enc.tflite");
  EXPECT_EQ(r.tfl_paths, (std::vector<std::string>{b_enc, J(d, "identity.tflite")}));
  EXPECT_EQ(r.model_label, "shared-enc.tflite+identity.tflite");
  EXPECT_EQ(log, P + "two-artifact split: base sha256=" + h.substr(0, 12) +
                     "… VERIFIED (bytes hashed) via explicit file " + b_enc + "\n" + P +
                     "two-artifact split: enc=" + b_enc + " + id=" + J(d, "identity.tflite") +
                     "\n");

  // A variable naming some other file opens it as a container.
  write_file(t.path() / "engine.pack", k2test::imx_of({{"x/shared-enc.tflite", enc}}));
  {
    ScopedEnv se("KINRA2_SHARED_ENC", t.file("engine.pack"));
    r = loaded(d, log);
    EXPECT_TRUE(r.tfl_paths[0].ends_with("_shared-enc.tflite"));
    EXPECT_EQ(k2test::read_file(r.tfl_paths[0]), enc);
    EXPECT_NE(log.find("VERIFIED (bytes hashed) via container " + t.file("engine.pack") + "\n"),
              std::string::npos)
        << log;
  }

  // A content-store hit beats a co-located copy and is trusted by name.
  write_file(fs::path(d) / "shared-enc.tflite", enc);
  write_file(t.path() / "store" / h.substr(0, 2) / h, "not even the right bytes");
  r = loaded(d, log);
  const std::string stored = t.file("store") + "/" + h.substr(0, 2) + "/" + h;
  EXPECT_EQ(r.tfl_paths[0], stored);
  EXPECT_EQ(log.substr(0, log.find('\n') + 1),
            P + "two-artifact split: base sha256=" + h.substr(0, 12) +
                "… resolved by CONTENT ADDRESS (name-trusted, NOT re-hashed, per "
                "dependency_resolver) via "
                "name-trusted content store " +
                stored + "\n");
}

// An empty VELMORA_DEPS_DIR names no store: the default one under the home
// directory is searched, as when the variable is unset.
TEST_F(LoadBundle, EmptyStoreVariableMeansTheDefaultStore) {
  const std::string enc = "the right encoder";
  const std::string h = sha(enc);
  const std::string d =
      dir("split", {{"canon.bin", CANON}, {"identity.tflite", "I"}, {"manifest.json", deps(h)}});
  const std::string home_store = t.file("home") + "/.velmora/deps";
  write_file(fs::path(home_store) / h, enc);
  for (const auto& value : {std::optional<std::string>(), std::optional<std::string>("")}) {
    ScopedEnv unset_or_empty("VELMORA_DEPS_DIR", value);
    EXPECT_EQ(detail::policy_component()->dependency_store_dirs(),
              std::vector<std::string>{home_store});
    std::string log;
    EXPECT_EQ(loaded(d, log).tfl_paths[0], home_store + "/" + h) << log;
  }
}

TEST_F(LoadBundle, UndeclaredSplitUsesItsOwnCopyFirst) {
  const std::string d =
      dir("split", {{"canon.bin", CANON}, {"identity.tflite", "I"}, {"shared-enc.tflite", "own"}});
  const std::string eng = dir("engine", {{"shared-enc.tflite", "engine"}});
  std::string log;
  auto r = loaded(d, log, eng);
  EXPECT_EQ(r.tfl_paths,
            (std::vector<std::string>{J(d, "shared-enc.tflite"), J(d, "identity.tflite")}));
  EXPECT_EQ(log, P +
                     "two-artifact split: base UNVERIFIED (artifact declares no "
                     "'kinra2-shared-enc' dependency; using "
                     "the bundle's own copy) — re-emit with tools/imx_from_bundle to bind it\n" +
                     P + "two-artifact split: enc=" + J(d, "shared-enc.tflite") +
                     " + id=" + J(d, "identity.tflite") + "\n");
}

TEST_F(LoadBundle, NoRenderer) {
  EXPECT_EQ(
      refused(dir("enc_only", {{"canon.bin", CANON}, {"shared-enc.tflite", "E"}})),
      P + "FATAL: no LiteRT tflite member in " + t.file("enc_only") +
          " (expected combined_litert.tflite, OR identity.tflite + an engine shared-enc.tflite; "
          "convert-on-first-run from onnx/ckpt is not wired in v1)\n");
  write_file(t.path() / "u.imx", k2test::imx_of({{"canon.bin", CANON},
                                                 {"z/combined_litert_q8gd.tflite", "Q"},
                                                 {"Model.tflite", "A"},
                                                 {"shared-enc.tflite", "E"},
                                                 {"y/combined_litert_q8gd.tflite", "Q"}}));
  EXPECT_EQ(
      refused(t.file("u.imx")),
      P + "FATAL: " + t.file("u.imx") +
          " carries UNEXPECTED tflite member(s) ['Model.tflite', 'combined_litert_q8gd.tflite', "
          "'combined_litert_q8gd.tflite'] and none of the contract renderers. kinra-2 names "
          "exactly two renderer "
          "shapes: combined_litert.tflite, OR identity.tflite + an engine shared-enc.tflite. Other "
          ".tflite names "
          "are not loaded: re-pack the member under its contract name.\n");
}

TEST_F(LoadBundle, DeclaredHashNoFileCanMatchRefusesEveryCandidate) {
  // Each declaration below names a base, just not as a digest. Treating it
  // as "nothing declared" would take the bundle's own copy unhashed; a text
  // that reaches a file through the store path must not be trusted by name.
  const std::string enc = "the encoder";
  const std::string h = sha(enc);
  std::string upper = h;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  write_file(t.path() / "escape", enc);
  fs::create_directories(t.path() / "store");  // so that <store>/../escape names that file
  const std::string d =
      dir("split", {{"canon.bin", CANON}, {"identity.tflite", "I"}, {"shared-enc.tflite", enc}});
  const std::string eng = dir("engine", {{"shared-enc.tflite", enc}});

  for (const std::string& declared :
       {std::string("../escape"), upper, std::string("\xc3\xa9t\xc3\xa9")}) {
    SCOPED_TRACE(declared);
    write_file(fs::path(d) / "manifest.json", deps(declared));
    const std::string log = refused(d, eng);
    EXPECT_TRUE(log.starts_with(
        P + "FATAL: " + d + " was cut against shared-enc.tflite sha256=" + declared +
        " and that base is NOT on this machine. Resolution: " + J(d, "shared-enc.tflite") +
        " (co-located in the bundle): sha mismatch; " + J(eng, "shared-enc.tflite") +
        " (engine dir): sha mismatch. Put it in the content store"))
        << log;
    // The store layout quotes the first two characters, never half of one.
    EXPECT_NE(
        log.find(" or <store>/" + detail::prefix_cp(declared, 2) + "/" + declared + "), or pass"),
        std::string::npos)
        << log;
  }
  // An empty declaration is no hash either, so the refusal cannot quote one.
  write_file(fs::path(d) / "manifest.json", deps(""));
  EXPECT_EQ(
      refused(d, eng),
      P + "FATAL: " + d +
          " carries identity.tflite (two-artifact split) but no engine shared-enc.tflite was "
          "found. Provide it via --engine <dir|.engine>, KINRA2_SHARED_ENC=<file>, or install "
          "the linux engine (`velmora engine install linux`) into ~/.velmora/engines/.\n");

  // Only a manifest that declares nothing lets the bundle's own copy through.
  write_file(fs::path(d) / "manifest.json",
             nlohmann::json{{"dependencies", {{{"id", "kinra2-shared-enc"}, {"sha256", nullptr}}}}}
                 .dump());
  std::string log;
  EXPECT_EQ(loaded(d, log, eng).tfl_paths[0], J(d, "shared-enc.tflite"));
  EXPECT_NE(log.find("base UNVERIFIED"), std::string::npos) << log;
}
