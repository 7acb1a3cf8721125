// Replays every input kept under fuzz/regressions/<harness>/ through its
// harness: each once crashed, hung or tripped a sanitizer.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>

#include "harness.hpp"

namespace {

namespace fs = std::filesystem;
using kinra2::fuzz::Harness;

struct Case {
  const char* dir;
  Harness run;
};

// Named by its harness in test listings, not as raw bytes.
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.dir;
}

class Replay : public ::testing::TestWithParam<Case> {};

TEST_P(Replay, EveryKeptInputRunsClean) {
  const fs::path dir = fs::path(K2_FUZZ_DIR) / "regressions" / GetParam().dir;
  if (!fs::is_directory(dir)) GTEST_SKIP() << "no regressions kept for " << GetParam().dir;
  int n = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    std::ifstream in(e.path(), std::ios::binary);
    const std::string bytes(std::istreambuf_iterator<char>(in), {});
    SCOPED_TRACE(e.path().string());
    EXPECT_EQ(GetParam().run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), 0);
    ++n;
  }
  RecordProperty("inputs", n);
}

INSTANTIATE_TEST_SUITE_P(Harnesses, Replay,
                         ::testing::Values(Case{"record_stream", kinra2::fuzz::record_stream},
                                           Case{"imx_container", kinra2::fuzz::imx_container},
                                           Case{"zip_bundle", kinra2::fuzz::zip_bundle},
                                           Case{"color_json", kinra2::fuzz::color_json},
                                           Case{"manifests", kinra2::fuzz::manifests},
                                           Case{"model_file", kinra2::fuzz::model_file},
                                           Case{"model_run", kinra2::fuzz::model_run}),
                         [](const auto& info) { return std::string(info.param.dir); });

}  // namespace
