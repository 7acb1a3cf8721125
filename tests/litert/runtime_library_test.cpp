#include "litert/runtime_library.hpp"

#include <gtest/gtest.h>

#include "support/bundle_files.hpp"
#include "support/temp_dir.hpp"

using namespace kinra2::litert;

// Loaded once per process: later calls never look for the library again, so
// a file of its name elsewhere can neither replace it nor fail the call. A
// failed attempt is no load, so it may be retried.
TEST(RuntimeLibrary, LoadsOnceAndIsNeverLookedForAgain) {
  k2test::TempDir t;
  k2test::write_file(t.path() / runtime_library_file(), "no library");
  ASSERT_TRUE(runtime_path().empty()) << "nothing in this program loads it before the test";
  EXPECT_TRUE(load_runtime({t.str()}));
  EXPECT_TRUE(runtime_path().empty());

  ASSERT_EQ(load_runtime({K2_BIN_DIR}), std::nullopt);
  const std::string first = runtime_path();
  EXPECT_EQ(first, (std::filesystem::path(K2_BIN_DIR) / runtime_library_file()).string());

  EXPECT_EQ(load_runtime({t.str()}), std::nullopt);
  set_host_dir(t.str());
  EXPECT_NO_THROW(require_runtime());
  EXPECT_EQ(runtime_path(), first);
  EXPECT_STREQ(TfLiteVersion(), "2.9.0");
}
