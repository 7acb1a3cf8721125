// The host without its LiteRT runtime, as a user meets it: the run reads its
// bundle and says what it found, and building the chain, the first thing that
// needs the runtime, ends it with one line naming what is missing (status 1,
// nothing on standard output). A bundle that must be refused is refused
// first, with its own line and status.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bundle/q8gd_internal.hpp"
#include "host/host_process.hpp"
#include "image/color_correct.hpp"
#include "litert/runtime_library.hpp"
#include "support/bundle_files.hpp"
#include "support/temp_dir.hpp"
#include "system/dynamic_library.hpp"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

namespace fs = std::filesystem;
using k2test::TempDir;
using k2test::write_file;

const std::string LOG = "[render-stream-host-litert] ";
const std::string CANNOT = LOG + "error: cannot load the LiteRT runtime: ";
const std::string SERVING_COMBINED = " — serving combined_litert.tflite";

#ifdef _WIN32
// A copy of a Windows program finds no DLL its folder lacks (no run path).
const char* const HOST_ALONE = "render_stream_host_litert";
#else
// Built without the build tree's run path to the runtime (cmake/tests.cmake).
const char* const HOST_ALONE = "render_stream_host_alone";
#endif

#if !defined(_WIN32) && defined(__x86_64__) && !defined(K2_SANITIZE)
// /proc/cpuinfo is faked by a preloaded library (tests/chain/fake_cpuid.c),
// which a sanitizer's runtime would have to precede.
#define K2_FAKE_CPUINFO_PRELOAD 1
#endif

bool under_wine() {
#ifdef _WIN32
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
  return false;
#endif
}

// The program name that Wine starts without Microsoft's C++ runtime DLL.
const char* const NO_CXX_HOST = "k2_without_msvcp140";

#ifdef _WIN32
// Wine takes a child's DLL overrides from the registry, not from the
// environment it is given; per program name, so no other test is touched.
struct CxxRuntimeSwitchedOff {
  const std::string name = std::string(NO_CXX_HOST) + ".exe";
  const std::wstring app =
      L"Software\\Wine\\AppDefaults\\" + std::wstring(name.begin(), name.end());
  CxxRuntimeSwitchedOff() {
    RegSetKeyValueW(HKEY_CURRENT_USER, (app + L"\\DllOverrides").c_str(), L"msvcp140", REG_SZ, L"",
                    sizeof(wchar_t));
  }
  ~CxxRuntimeSwitchedOff() { RegDeleteTreeW(HKEY_CURRENT_USER, app.c_str()); }
};
#endif

std::vector<std::string> lines_of(const std::string& log) {
  std::vector<std::string> out;
  std::size_t at = 0;
  for (std::size_t nl; (nl = log.find('\n', at)) != std::string::npos; at = nl + 1) {
    std::string line = log.substr(at, nl - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(line);
  }
  if (at < log.size()) out.push_back(log.substr(at));
  return out;
}

// What lies beside the copied host.
enum class Runtime {
  absent,   // nowhere: not beside the host, not on the library path
  garbage,  // a file of the runtime's name that is no library
  no_cxx,   // the real runtime, its C++ runtime DLL switched off (Wine only)
};

enum class Bundle {
  combined,  // canon and a combined model
  refused,   // canon without any model
  q8gd,      // a directory bundle with a bound int8 variant gated on 2.9.0
};

struct Row {
  const char* name;
  Runtime runtime;
  Bundle bundle;
  int status;
};

struct Scene {
  TempDir t{"k2_noruntime"};
  std::string host_dir = t.file("host");
  std::string bundle = t.file("bundle");
  std::string library = (fs::path(host_dir) / kinra2::litert::runtime_library_file()).string();
  std::string cpuinfo = t.file("cpuinfo");
  std::string host;

  Scene(const Row& row) {
    fs::create_directories(host_dir);
    const fs::path built = k2test::bin(HOST_ALONE);
    host = (fs::path(host_dir) / (row.runtime == Runtime::no_cxx ? NO_CXX_HOST : HOST_ALONE))
               .replace_extension(built.extension())
               .string();
    fs::copy_file(built, host);
    if (row.runtime == Runtime::garbage) write_file(library, std::string(4096, 'x'));
    if (row.runtime == Runtime::no_cxx)
      fs::copy_file(fs::path(K2_BIN_DIR) / kinra2::litert::runtime_library_file(), library);
    const fs::path b = bundle;
    write_file(b / "canon.bin", k2test::canon_bytes());
    if (row.bundle == Bundle::refused) return;
    write_file(b / "combined_litert.tflite", "float model");
    if (row.bundle != Bundle::q8gd) return;
    write_file(b / "combined_litert_q8gd.tflite", "int8 model");
    const std::string q8 =
        kinra2::bundle::detail::sha256_file_hex((b / "combined_litert_q8gd.tflite").string());
    const std::string base =
        kinra2::bundle::detail::sha256_file_hex((b / "combined_litert.tflite").string());
    write_file(
        b / "manifest.json",
        nlohmann::json{{"members_sha256",
                        {{"combined_litert_q8gd.tflite", q8}, {"combined_litert.tflite", base}}},
                       {"litert_q8gd",
                        {{"sha256", q8},
                         {"base_member", "combined_litert.tflite"},
                         {"base_sha256", base},
                         {"gate", {{"runtime", "2.9.0"}}}}}}
            .dump());
    // A processor with an int8 dot product, whatever this one has.
    write_file(cpuinfo, "processor\t: 0\nflags\t\t: fpu sse2 avx2 avx512_vnni\n");
  }

  k2test::HostRun run(const Row& row) const {
    std::vector<std::string> env = {"LD_LIBRARY_PATH", "KINRA2_Q8GD"};
#if defined(K2_FAKE_CPUINFO_PRELOAD)
    if (row.bundle == Bundle::q8gd) {
      std::string preload = std::string("LD_PRELOAD=") + K2_FAKE_CPUID_LIB;
      if (std::string(K2_MALLOC_DEBUG_LIB).size())
        preload += std::string(":") + K2_MALLOC_DEBUG_LIB;
      env.insert(env.end(), {preload, "K2_FAKE_CPUINFO=" + cpuinfo});
    }
#endif
#ifdef _WIN32
    std::optional<CxxRuntimeSwitchedOff> no_cxx;
    if (row.runtime == Runtime::no_cxx) no_cxx.emplace();
#endif
    return k2test::run_peer({host, "render-stream", bundle, "--threads", "1"}, "", env);
  }

  // The runtime's line for this row.
  bool is_runtime_line(const Row& row, const std::string& line) const {
    const std::string file = kinra2::litert::runtime_library_file();
    switch (row.runtime) {
      case Runtime::absent:
        // The loader's own words about the library path sit in between.
        return line.starts_with(CANNOT + file + " is neither in " + host_dir +
                                " nor on the library path (") &&
               line.ends_with("); it comes with the host: unpack the whole release again");
      case Runtime::garbage: {
        // There, but no library: the loader's own reason, nothing else.
        std::string why;
        EXPECT_FALSE(kinra2::system::DynamicLibrary::open(library, why));
        return line == CANNOT + why;
      }
      case Runtime::no_cxx:
        return line ==
               CANNOT + "MSVCP140.dll (needed by " + library +
                   ") is missing; install the Microsoft Visual C++ 2015-2022 x64 redistributable "
                   "(vc_redist.x64.exe from Microsoft)";
    }
    return false;
  }
};

TEST(MissingRuntime, TheRunSaysWhatItFoundThenWhatIsMissing) {
  const Row rows[] = {
      {"combined bundle, no runtime anywhere", Runtime::absent, Bundle::combined, 1},
      {"combined bundle, a runtime file that is no library", Runtime::garbage, Bundle::combined, 1},
      {"combined bundle, no C++ runtime for the runtime", Runtime::no_cxx, Bundle::combined, 1},
      {"refused bundle", Runtime::absent, Bundle::refused, 3},
      {"bound int8 variant on a processor with int8 dot product", Runtime::absent, Bundle::q8gd, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.runtime == Runtime::no_cxx && !under_wine()) continue;  // only Wine can switch it off
#if !defined(K2_FAKE_CPUINFO_PRELOAD)
    if (row.bundle == Bundle::q8gd)
      continue;  // no processor to fake here (see K2_FAKE_CPUINFO_PRELOAD)
#endif
    const Scene s(row);
    const auto r = s.run(row);
    EXPECT_EQ(r.status, row.status) << r.log;
    EXPECT_TRUE(r.header.empty() && r.records.empty()) << "nothing on standard output";
    auto lines = lines_of(r.log);
    ASSERT_FALSE(lines.empty());
    std::vector<std::string> want = {LOG + "warming up identity=" + s.bundle + " threads=1 ..."};
    if (row.bundle == Bundle::refused) {
      // Refused before the chain is built: its line is the last word.
      want.push_back(LOG + "FATAL: no LiteRT tflite member in " + s.bundle);
      ASSERT_EQ(lines.size(), 2u) << r.log;
      EXPECT_EQ(lines[0], want[0]);
      EXPECT_TRUE(lines[1].starts_with(want[1])) << lines[1];
      continue;
    }
    if (row.bundle == Bundle::q8gd)
      want.push_back(
          LOG +
          "[q8gd] FALLBACK: gated on ai-edge-litert 2.9.0, this process's runtime is unreadable" +
          SERVING_COMBINED);
    want.push_back(LOG + kinra2::image::load_color_correct(s.bundle).note);
    const std::string last = lines.back();
    lines.pop_back();
    // The process confines itself before loading the runtime; that line's
    // wording is the platform's.
    std::erase_if(lines, [](const std::string& l) { return l.starts_with(LOG + "confine: "); });
    EXPECT_EQ(lines, want);
    EXPECT_TRUE(s.is_runtime_line(row, last)) << last;
  }
}

}  // namespace
