#include "q8gd_regate/regate.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <tensorflow/lite/c/c_api.h>

#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bundle/q8gd_internal.hpp"
#include "demo_bundle_support.hpp"
#include "support/bundle_files.hpp"
#include "support/run_command.hpp"
#include "support/scoped_env.hpp"
#include "system/files_internal.hpp"

namespace fs = std::filesystem;
using kinra2::bundle::detail::select_q8gd;
using nlohmann::ordered_json;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

// A demo bundle with the int8 variant, and a processor that has the
// instruction set the gate asks for.
struct Q8Demo {
  k2test::TempDir t;
  std::string dir = t.file("bundle");
  std::string manifest = (t.path() / "bundle" / "manifest.json").string();
  std::string vnni = t.file("cpuinfo");

  explicit Q8Demo(const std::string& flags = "--q8gd") {
    EXPECT_EQ(k2test::run_tool(dir, flags), 0);
    k2test::write_file(vnni, "processor\t: 0\nflags\t\t: fpu sse2 avx2 avx512_vnni\n");
  }
  explicit Q8Demo(const Q8Demo& copy_of, int) { fs::copy(copy_of.dir, dir); }
  // Edits the manifest in the layout make_demo_bundle writes.
  void edit(const std::function<void(ordered_json&)>& change) const {
    auto m = ordered_json::parse(k2test::read_file(manifest));
    change(m);
    k2test::write_file(manifest, m.dump(2) + "\n");
  }
  void gate(const std::string& runtime) const {
    edit([&](ordered_json& m) { m["litert_q8gd"]["gate"]["runtime"] = runtime; });
  }
  std::pair<std::optional<std::string>, std::string> select() const {
    const auto o = select_q8gd(dir, vnni);
    return {o.value, o.note};
  }
  std::set<std::string> listing() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
  }
};

struct Ran {
  int status;
  std::string out, err;
};

Ran regate(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int status = kinra2::regate::run(args, out, err);
  return {status, out.str(), err.str()};
}

const std::string SERVING_COMBINED = " — serving combined_litert.tflite";

}  // namespace

TEST(Q8gdRegate, VariantGatedOnAnotherRuntimeIsServedOnceRegated) {
  k2test::ScopedEnv mode("KINRA2_Q8GD", std::nullopt);
  Q8Demo d("--q8gd --color");
  const std::string rt = *kinra2::bundle::litert_runtime_version();
  // This runtime's plain version number is another runtime's text now, like
  // any release of the Python package.
  for (const std::string& old : {std::string(TfLiteVersion()), std::string("2.3.0")}) {
    d.gate(old);
    EXPECT_EQ(d.select(),
              std::make_pair(std::optional<std::string>(),
                             "[q8gd] FALLBACK: gated on ai-edge-litert " + old +
                                 ", this process runs " + rt + " — re-gate it" + SERVING_COMBINED));
  }
  fs::permissions(d.manifest,
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const auto perms = fs::status(d.manifest).permissions();
  const std::string before = k2test::read_file(d.manifest);
  const auto names = d.listing();

  const Ran checked = regate({d.dir, "--check"});
  EXPECT_EQ(checked.status, 0) << checked.err;
  EXPECT_THAT(checked.out, HasSubstr("--check: gate runtime stays \"2.3.0\""));
  EXPECT_EQ(k2test::read_file(d.manifest), before);

  const auto [status, text] = k2test::run({k2test::bin("q8gd_regate"), d.dir});
  ASSERT_EQ(status, 0) << text;
  EXPECT_THAT(text, HasSubstr("after the colour correction (gain_bias)"));
  EXPECT_THAT(text, HasSubstr("dec16: 32 frames, worst difference "));
  EXPECT_THAT(text, HasSubstr("dec8: 32 frames, worst difference "));
  // Only the runtime's text changed, byte for byte, and nothing else in the
  // folder.
  std::string want = before;
  want.replace(want.find("\"2.3.0\""), 7, "\"" + rt + "\"");
  EXPECT_EQ(k2test::read_file(d.manifest), want);
  EXPECT_EQ(d.listing(), names);
  EXPECT_EQ(fs::status(d.manifest).permissions(), perms);
  const auto m = ordered_json::parse(want);
  const std::string q8_sha = m["litert_q8gd"]["sha256"], base_sha = m["litert_q8gd"]["base_sha256"];
  EXPECT_EQ(d.select().second,
            "[q8gd] SELECTED combined_litert_q8gd.tflite (int8 decoder; cpu avx512_vnni; sha " +
                q8_sha.substr(0, 12) + " bound; gated on this runtime (ai-edge-litert " + rt +
                "))");

  // A manifest in Python's one-line layout, a key of our own in it, keeps
  // that layout too.
  const auto python = [&](const std::string& runtime) {
    return R"({"members_sha256": {"combined_litert.tflite": ")" + base_sha +
           R"(", "combined_litert_q8gd.tflite": ")" + q8_sha +
           R"("}, "litert_q8gd": {"sha256": ")" + q8_sha +
           R"(", "base_member": "combined_litert.tflite", "base_sha256": ")" + base_sha +
           R"(", "gate": {"runtime": ")" + runtime +
           R"(", "by": "a 6\" tool, C:\\ too"}}, "z": [1, 2.5]})";
  };
  k2test::write_file(d.manifest, python("2.3.0"));
  const Ran again = regate({d.dir});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(k2test::read_file(d.manifest), python(rt));
}

// A variant of another model, with every hash redone so that the gate's own
// checks pass: only its frames give it away.
TEST(Q8gdRegate, VariantThatIsNotTheCombinedModelsCutIsRefused) {
  Q8Demo d, other("--exact");
  const fs::path variant = fs::path(d.dir) / "combined_litert_q8gd.tflite";
  k2test::write_file(variant, k2test::read_file(fs::path(other.dir) / "combined_litert.tflite"));
  const std::string sha = k2test::sha256_hex(k2test::read_bytes(variant));
  d.edit([&](ordered_json& m) {
    m["members_sha256"]["combined_litert_q8gd.tflite"] = sha;
    m["litert_q8gd"]["sha256"] = sha;
    m["litert_q8gd"]["gate"]["runtime"] = "2.3.0";
  });
  const std::string before = k2test::read_file(d.manifest);
  const Ran r = regate({d.dir});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(
      r.err, StartsWith("q8gd_regate: " + d.dir + ": beyond the tolerance of 8 levels (dec16 by "));
  EXPECT_THAT(r.err, HasSubstr("the variant is not re-gated and manifest.json is unchanged\n"));
  EXPECT_EQ(k2test::read_file(d.manifest), before);
}

// Everything the tool cannot re-gate is one line and a status, before any
// model runs, and leaves the bundle as it was.
TEST(Q8gdRegate, EveryOtherInputIsOneLineAndChangesNothing) {
  const Q8Demo base;
  const std::string q8 = "combined_litert_q8gd.tflite";
  struct Row {
    std::function<std::vector<std::string>(const Q8Demo&)> spoil;  // the arguments
    int status;
    std::string says;
  };
  using Args = std::vector<std::string>;
  const auto edit = [](std::function<void(ordered_json&)> change) {
    return [change](const Q8Demo& d) {
      d.edit(change);
      return Args{d.dir};
    };
  };
  const std::vector<Row> rows = {
      {[](const Q8Demo& d) {
         return Args{d.dir, "--tolerance", "256"};
       },
       2, "q8gd_regate: --tolerance takes a whole number of levels, 0 to 255, not '256'\n"},
      {[](const Q8Demo& d) {
         return Args{d.dir, "other"};
       },
       2, "unexpected argument 'other'\n"},
      {[](const Q8Demo& d) { return Args{d.dir + "/nothing"}; }, 3, "nothing: no such bundle\n"},
      {[&](const Q8Demo& d) {
         const std::string imx = d.t.file("b.imx");
         k2test::write_file(imx, k2test::imx_of({{q8, k2test::read_file(fs::path(d.dir) / q8)}}));
         return Args{imx};
       },
       3, "b.imx is not a directory: the int8 variant is only served from a directory bundle"},
      {[&](const Q8Demo& d) {
         fs::remove(fs::path(d.dir) / q8);
         return Args{d.dir};
       },
       3, ": no combined_litert_q8gd.tflite to re-gate\n"},
      {edit([](ordered_json& m) { m.erase("litert_q8gd"); }), 3,
       ": the variant is not re-gated: the header does not bind it (no members_sha256 entry / "
       "litert_q8gd block)\n"},
      {edit([](ordered_json& m) { m["litert_q8gd"]["base_sha256"] = "0123456789abcdef"; }), 3,
       ": the variant is not re-gated: STALE: cut from combined_litert.tflite 0123456789ab, the "
       "header declares "},
      {[&](const Q8Demo& d) {
         k2test::write_file(fs::path(d.dir) / q8, "other");
         return Args{d.dir};
       },
       3, ": the variant is not re-gated: combined_litert_q8gd.tflite has bytes "},
      {[&](const Q8Demo& d) {
         k2test::write_file(fs::path(d.dir) / "combined_litert.tflite", "other");
         return Args{d.dir};
       },
       3, ": the variant is not re-gated: combined_litert.tflite has bytes "},
      {[](const Q8Demo& d) {
         fs::remove(d.manifest);
         return Args{d.dir};
       },
       3, ": manifest.json cannot be read: cannot open "},
      {[](const Q8Demo& d) {
         k2test::write_file(d.manifest, "{not json");
         return Args{d.dir};
       },
       3, ": manifest.json is not valid JSON: "},
      {[](const Q8Demo& d) {
         k2test::write_file(d.manifest, "[]");
         return Args{d.dir};
       },
       3, ": manifest.json is malformed: manifest.json is not a JSON object\n"},
      {edit([](ordered_json& m) { m["litert_q8gd"]["gate"]["runtime"] = 2.3; }), 3,
       ": manifest.json is malformed: litert_q8gd.gate.runtime is not text\n"},
      {edit([](ordered_json& m) { m["litert_q8gd"]["gate"] = "2.3.0"; }), 3,
       ": manifest.json is malformed: litert_q8gd.gate is not a JSON object\n"},
  };
  for (const Row& row : rows) {
    const Q8Demo d(base, 0);
    const Args args = row.spoil(d);
    const bool has_manifest = fs::exists(d.manifest);
    const std::string before = has_manifest ? k2test::read_file(d.manifest) : "";
    const auto names = fs::exists(d.dir) ? d.listing() : std::set<std::string>{};
    const Ran r = regate(args);
    EXPECT_EQ(r.status, row.status) << row.says;
    EXPECT_EQ(r.out, "") << row.says;
    EXPECT_THAT(r.err, HasSubstr(row.says));
    EXPECT_THAT(r.err, StartsWith("q8gd_regate: "));
    // One line, but for the usage line that follows a command-line error.
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), row.status == 2 ? 2 : 1) << r.err;
    if (has_manifest) {
      EXPECT_EQ(k2test::read_file(d.manifest), before) << row.says;
    }
    if (!names.empty()) {
      EXPECT_EQ(d.listing(), names) << row.says;
    }
  }
}

// The new manifest cannot be made (a non-empty directory takes every name
// the writer tries, which stops root too): the old one stands, and no file
// is left behind.
TEST(Q8gdRegate, FailedWriteLeavesTheOldManifest) {
  Q8Demo d;
  d.gate("2.3.0");
  const std::string before = k2test::read_file(d.manifest);
  const auto names = d.listing();
  std::vector<std::string> blocked;
  kinra2::system::detail::set_before_create_hook([&](const std::string& p) {
    fs::create_directories(fs::path(p) / "in");
    blocked.push_back(p);
  });
  struct Unhook {
    ~Unhook() { kinra2::system::detail::set_before_create_hook({}); }
  } unhook;
  const Ran r = regate({d.dir});
  EXPECT_EQ(r.status, 4);
  EXPECT_THAT(r.err, StartsWith("q8gd_regate: " + d.manifest + " cannot be replaced ("));
  EXPECT_THAT(r.err, HasSubstr("); the old one stands and the variant is not re-gated\n"));
  EXPECT_EQ(k2test::read_file(d.manifest), before);
  ASSERT_FALSE(blocked.empty());
  for (const auto& p : blocked) fs::remove_all(p);
  EXPECT_EQ(d.listing(), names);
}
