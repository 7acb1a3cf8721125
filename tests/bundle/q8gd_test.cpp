#include "bundle/q8gd_internal.hpp"

#include <gtest/gtest.h>

#include "support/bundle_files.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

#include <nlohmann/json.hpp>
#include <tensorflow/lite/c/c_api.h>

#include <regex>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace kinra2::bundle;
using k2test::ScopedEnv;
using k2test::TempDir;
using k2test::write_file;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

const std::string SERVING_COMBINED = " — serving combined_litert.tflite";

// An outcome as (value, note), so that whole outcomes compare in one line.
using Seen = std::pair<std::optional<std::string>, std::string>;
Seen seen(const kinra2::base::Outcome<std::string>& o) {
  return {o.value, o.note};
}

struct Q8Bundle {
  TempDir t;
  std::string dir = t.file("bundle");
  std::string vnni = t.file("cpuinfo_vnni");
  std::string plain = t.file("cpuinfo_plain");
  // An arm64 server core (Neoverse N1) as its kernel lists it: "Features", not
  // "flags", and its int8 dot product is "asimddp".
  std::string arm64 = t.file("cpuinfo_arm64");
  std::string q8_sha, base_sha;

  Q8Bundle() {
    write_file(t.path() / "bundle" / "combined_litert.tflite", "float model");
    write_file(t.path() / "bundle" / "combined_litert_q8gd.tflite", "int8 model");
    q8_sha = detail::sha256_file_hex(dir + "/combined_litert_q8gd.tflite");
    base_sha = detail::sha256_file_hex(dir + "/combined_litert.tflite");
    write_file(
        vnni,
        "processor\t: 0\nflags\t\t: fpu sse2 avx_vnni avx2 avx512_vnni\nflags\t\t: nothing\n");
    write_file(plain, "processor\t: 0\nvmx flags\t: avx512_vnni\nflags\t\t: fpu sse2 avx2\n");
    write_file(arm64,
               "processor\t: 0\nBogoMIPS\t: 243.75\nFeatures\t: fp asimd evtstrm aes pmull sha1 "
               "sha2 crc32 atomics fphp asimdhp cpuid asimdrdm lrcpc dcpop asimddp ssbs\n"
               "CPU implementer\t: 0x41\nCPU architecture: 8\nCPU part\t: 0xd0c\n");
  }

  json good() const {
    return {{"members_sha256",
             {{"combined_litert_q8gd.tflite", q8_sha}, {"combined_litert.tflite", base_sha}}},
            {"litert_q8gd",
             {{"sha256", q8_sha},
              {"base_member", "combined_litert.tflite"},
              {"base_sha256", base_sha}}}};
  }
  void manifest(const json& m) const { write_file(fs::path(dir) / "manifest.json", m.dump()); }
  Seen select() const { return seen(detail::select_q8gd(dir, vnni)); }
};

}  // namespace

TEST(Q8gd, Int8DotIsa) {
  Q8Bundle b;
  EXPECT_EQ(int8_dot_isa(b.vnni), "avx512_vnni");  // preference order, not line order
  EXPECT_EQ(int8_dot_isa(b.plain), std::nullopt);  // "vmx flags" is not the flags line
  EXPECT_EQ(int8_dot_isa(b.arm64), std::nullopt);  // no flags line at all
  write_file(b.t.path() / "avx", "flags : sse avx_vnni\n");
  EXPECT_EQ(int8_dot_isa(b.t.file("avx")), "avx_vnni");
  EXPECT_EQ(int8_dot_isa(b.t.file("absent")), std::nullopt);
  write_file(b.t.path() / "nocolon", "flags avx512_vnni\n");
  EXPECT_EQ(int8_dot_isa(b.t.file("nocolon")), std::nullopt);
}

TEST(Q8gd, BoundReasons) {
  Q8Bundle b;
  EXPECT_EQ(seen(detail::q8gd_bound(b.good())),
            std::make_pair(std::optional<std::string>(b.q8_sha), std::string("bound")));
  const std::string unbound =
      "the header does not bind it (no members_sha256 entry / litert_q8gd block)";
  EXPECT_EQ(seen(detail::q8gd_bound(json())).second, unbound);
  json m = b.good();
  m.erase("litert_q8gd");
  EXPECT_EQ(seen(detail::q8gd_bound(m)).second, unbound);
  m = b.good();
  m["members_sha256"]["combined_litert_q8gd.tflite"] = "";
  EXPECT_EQ(seen(detail::q8gd_bound(m)).second, unbound);
  m = b.good();
  m["litert_q8gd"]["sha256"] = "0" + b.q8_sha.substr(1);
  EXPECT_EQ(seen(detail::q8gd_bound(m)).second, "litert_q8gd.sha256 disagrees with members_sha256");
  // Every stale condition names the constant member and both declared hashes.
  m = b.good();
  m["litert_q8gd"]["base_member"] = "other.tflite";
  const std::string stale = "STALE: cut from combined_litert.tflite " + b.base_sha.substr(0, 12) +
                            ", the header declares " + b.base_sha.substr(0, 12);
  EXPECT_EQ(seen(detail::q8gd_bound(m)), std::make_pair(std::optional<std::string>(), stale));
  m = b.good();
  m["litert_q8gd"]["base_sha256"] = "abcdef0123456789";
  EXPECT_EQ(seen(detail::q8gd_bound(m)).second,
            "STALE: cut from combined_litert.tflite abcdef012345, the header declares " +
                b.base_sha.substr(0, 12));
  m = b.good();
  m["members_sha256"].erase("combined_litert.tflite");
  m["litert_q8gd"].erase("base_sha256");
  EXPECT_EQ(seen(detail::q8gd_bound(m)).second,
            "STALE: cut from combined_litert.tflite None, the header declares None");
}

TEST(Q8gd, RuntimeGate) {
  json m = {{"litert_q8gd", {{"gate", {{"runtime", "2.9.0"}}}}}};
  EXPECT_EQ(detail::q8gd_runtime_ok(m, "2.9.0"),
            std::make_pair(true, std::string("gated on this runtime (ai-edge-litert 2.9.0)")));
  EXPECT_EQ(
      detail::q8gd_runtime_ok(m, "2.10.0"),
      std::make_pair(
          false,
          std::string("gated on ai-edge-litert 2.9.0, this process runs 2.10.0 — re-gate it")));
  EXPECT_EQ(detail::q8gd_runtime_ok(m, std::nullopt),
            std::make_pair(
                false, std::string(
                           "gated on ai-edge-litert 2.9.0, this process's runtime is unreadable")));
  const auto unrecorded =
      std::make_pair(true, std::string("gate runtime not recorded (published before 2026-10-05)"));
  EXPECT_EQ(detail::q8gd_runtime_ok(json::object(), std::nullopt), unrecorded);
  EXPECT_EQ(detail::q8gd_runtime_ok({{"litert_q8gd", {{"gate", "2.9.0"}}}}, "1"), unrecorded);
  EXPECT_EQ(detail::q8gd_runtime_ok({{"litert_q8gd", {{"gate", {{"runtime", ""}}}}}}, "1"),
            unrecorded);
}

// The runtime is named by its version and a PEP 440 local label for this
// build, so no plain release number recorded elsewhere can ever match it.
TEST(Q8gd, RuntimeTextCarriesALocalLabel) {
  const auto rt = litert_runtime_version();
  ASSERT_TRUE(rt);
  EXPECT_TRUE(rt->starts_with(std::string(TfLiteVersion()) + "+")) << *rt;
  EXPECT_TRUE(std::regex_match(*rt, std::regex(R"(\d+(\.\d+)*\+[a-z0-9]+(\.[a-z0-9]+)*)"))) << *rt;
}

TEST(Q8gd, SelectionRows) {
  Q8Bundle b;
  ScopedEnv mode("KINRA2_Q8GD", std::nullopt);
  const std::string rt = *litert_runtime_version();
  json m = b.good();
  m["litert_q8gd"]["gate"] = {{"runtime", rt}};
  b.manifest(m);
  const std::string q8 = b.dir + "/combined_litert_q8gd.tflite";

  // Row 8, with and without a recorded gate; "1" is just auto.
  {
    ScopedEnv on("KINRA2_Q8GD", "1");
    EXPECT_EQ(
        b.select(),
        std::make_pair(
            std::optional<std::string>(q8),
            "[q8gd] SELECTED combined_litert_q8gd.tflite (int8 decoder; cpu avx512_vnni; sha " +
                b.q8_sha.substr(0, 12) + " bound; gated on this runtime (ai-edge-litert " + rt +
                "))"));
  }
  b.manifest(b.good());
  EXPECT_EQ(b.select().second,
            "[q8gd] SELECTED combined_litert_q8gd.tflite (int8 decoder; cpu avx512_vnni; sha " +
                b.q8_sha.substr(0, 12) +
                " bound; gate runtime not recorded (published before 2026-10-05))");

  // Row 3 takes the trimmed, lowered switch, for each of its four words.
  for (auto [raw, mode] :
       {std::pair{"  OFF ", "off"}, {"0", "0"}, {"\vFalse", "false"}, {"no", "no"}}) {
    ScopedEnv off("KINRA2_Q8GD", raw);
    EXPECT_EQ(b.select(), std::make_pair(std::optional<std::string>(),
                                         "[q8gd] off (KINRA2_Q8GD=" + std::string(mode) +
                                             ") — serving combined_litert.tflite"));
  }
  // Row 4: no instruction set, or no cpuinfo at all.
  const std::string no_isa =
      "[q8gd] FALLBACK: this CPU has no int8 dot product (no avx512_vnni / avx_vnni; int8 "
      "measured 0.88-0.93x on AVX2) — serving combined_litert.tflite";
  EXPECT_EQ(seen(detail::select_q8gd(b.dir, b.plain)).second, no_isa);
  EXPECT_EQ(seen(detail::select_q8gd(b.dir, b.t.file("nope"))).second, no_isa);
  // arm64: the rules read "flags" lines only, so the float decoder is served
  // even where the core has an int8 dot product (asimddp).
  EXPECT_EQ(seen(detail::select_q8gd(b.dir, b.arm64)).second, no_isa);
#ifdef _WIN32
  // No processor flags file on Windows (under Wine, /proc would be the Linux
  // machine's): the gate always falls back, whatever the processor.
  EXPECT_EQ(default_cpuinfo(), "");
  EXPECT_EQ(seen(detail::select_q8gd(b.dir)).second, no_isa);
#endif

  // Row 5 / 6.
  m = b.good();
  m["litert_q8gd"]["sha256"] = "x";
  b.manifest(m);
  EXPECT_EQ(b.select().second,
            "[q8gd] FALLBACK: litert_q8gd.sha256 disagrees with members_sha256" + SERVING_COMBINED);
  m = b.good();
  m["litert_q8gd"]["gate"] = {{"runtime", "0.0.1"}};
  b.manifest(m);
  EXPECT_EQ(b.select().second,
            "[q8gd] FALLBACK: gated on ai-edge-litert 0.0.1, this process runs " + rt +
                " — re-gate it" + SERVING_COMBINED);

  // Row 7: the bytes decide, and hex case matters.
  std::string upper = b.q8_sha;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  m = b.good();
  m["members_sha256"]["combined_litert_q8gd.tflite"] = upper;
  m["litert_q8gd"]["sha256"] = upper;
  b.manifest(m);
  EXPECT_EQ(b.select(),
            std::make_pair(std::optional<std::string>(),
                           "[q8gd] FALLBACK: bytes " + b.q8_sha.substr(0, 12) + " != declared " +
                               upper.substr(0, 12) + SERVING_COMBINED));

  // Row 9: unreadable, invalid or undecodable text never escapes. A manifest
  // is JSON text only without a byte-order mark before it or a NUL after it.
  Seen r;
  for (const std::string& bad : {std::string("{not json"), "\xEF\xBB\xBF" + b.good().dump(),
                                 b.good().dump() + std::string("\0", 1)}) {
    write_file(fs::path(b.dir) / "manifest.json", bad);
    r = b.select();
    EXPECT_FALSE(r.first);
    EXPECT_TRUE(r.second.starts_with("[q8gd] FALLBACK: invalid JSON: ") &&
                r.second.ends_with(SERVING_COMBINED))
        << r.second;
  }
  // Every line read up to the flags line must be text, not just that line:
  // a Latin-1 processor name before it is as undecodable as a Latin-1 flag.
  b.manifest(b.good());
  for (const char* latin1 :
       {"processor\t: 0\nflags\t\t: fpu \xE9 avx512_vnni\n",
        "processor\t: 0\nmodel name\t: Xeon\xAE Gold\nflags\t\t: fpu avx512_vnni\n"}) {
    write_file(b.t.path() / "cpuinfo_latin1", latin1);
    EXPECT_EQ(seen(detail::select_q8gd(b.dir, b.t.file("cpuinfo_latin1"))),
              std::make_pair(std::optional<std::string>(),
                             "[q8gd] FALLBACK: undecodable text: " + b.t.file("cpuinfo_latin1") +
                                 ": line 2 is not UTF-8" + SERVING_COMBINED))
        << latin1;
  }
  // Each kind of error says which it is.
  fs::remove(fs::path(b.dir) / "manifest.json");
  r = b.select();
  EXPECT_FALSE(r.first);
  EXPECT_TRUE(
      r.second.starts_with("[q8gd] FALLBACK: I/O error: cannot open " + b.dir + "/manifest.json") &&
      r.second.ends_with(SERVING_COMBINED))
      << r.second;
  b.manifest(json::array());
  const std::string not_object = "manifest.json is not a JSON object";
  EXPECT_EQ(b.select(), std::make_pair(std::optional<std::string>(),
                                       "[q8gd] FALLBACK: malformed manifest: " + not_object +
                                           SERVING_COMBINED));

  // Rows 1-2: containers and bundles without the variant stay silent.
  write_file(b.t.path() / "b.imx", k2test::imx_of({{"combined_litert_q8gd.tflite", "int8 model"}}));
  EXPECT_EQ(seen(detail::select_q8gd(b.t.file("b.imx"), b.vnni)),
            std::make_pair(std::optional<std::string>(), std::string()));
  fs::remove(q8);
  EXPECT_EQ(b.select(), std::make_pair(std::optional<std::string>(), std::string()));
}

TEST(Q8gd, ManifestThatIsNoRegularFileFallsBackWithoutBlocking) {
  Q8Bundle b;
  ScopedEnv mode("KINRA2_Q8GD", std::nullopt);
  const fs::path m = fs::path(b.dir) / "manifest.json";
#ifndef _WIN32
  // A FIFO nobody writes to would block an open(2) for reading forever, so
  // the gate runs in a child that an alarm ends if it does. (Windows has no
  // FIFO in its file system.)
  ASSERT_EQ(::mkfifo(m.c_str(), 0600), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(20);
    const auto r = b.select();
    ::_exit(!r.first && r.second == "[q8gd] FALLBACK: error: " + m.string() +
                                        " is not a regular file" + SERVING_COMBINED
                ? 0
                : 1);
  }
  int st = 0;
  ::waitpid(pid, &st, 0);
  ASSERT_TRUE(WIFEXITED(st)) << "the gate blocked on the FIFO";
  EXPECT_EQ(WEXITSTATUS(st), 0);
  fs::remove(m);
#endif

  fs::create_directory(m);
#ifdef _WIN32
  // Windows refuses to open a directory as a file, so the reason is that
  // refusal; the gate falls back all the same.
  const auto [path, note] = b.select();
  EXPECT_FALSE(path);
  EXPECT_TRUE(note.starts_with("[q8gd] FALLBACK: ") && note.ends_with(SERVING_COMBINED)) << note;
#else
  EXPECT_EQ(b.select(), std::make_pair(std::optional<std::string>(),
                                       "[q8gd] FALLBACK: error: " + m.string() +
                                           " is not a regular file" + SERVING_COMBINED));
#endif
}
