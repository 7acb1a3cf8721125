#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "host/entry.hpp"

namespace {

using kinra2::host::RunParams;
using kinra2::host::detail::scan_args;

RunParams scan(std::vector<const char*> args) {
  args.insert(args.begin(), "prog");
  return scan_args(static_cast<int>(args.size()), args.data());
}

TEST(CommandLine, ScanRules) {
  auto p = scan({"render-stream", "/b", "--threads", "4"});
  EXPECT_EQ(p.bundle, "/b");
  EXPECT_EQ(p.threads, 4);
  EXPECT_FALSE(p.engine);

  p = scan({"/b", "render-stream"});
  EXPECT_EQ(p.bundle, "/b") << "the subcommand may follow the bundle";

  p = scan({"/b", "--engine"});
  EXPECT_FALSE(p.engine) << "a trailing --engine has no value and is skipped";

  p = scan({"--threads", "4", "--threads", " +8 ", "/b", "--engine", "e1", "--engine", "e2"});
  EXPECT_EQ(p.threads, 8);
  EXPECT_EQ(p.engine, "e2");

  p = scan({"-v", "/first", "/second"});
  EXPECT_EQ(p.bundle, "/first");

  p = scan({"", "render-stream", "-x"});
  EXPECT_TRUE(p.bundle.empty())
      << "empty strings, options and the subcommand never become the bundle";

  p = scan({"--threads", "-3", "b"});
  EXPECT_EQ(p.threads, -3);
  EXPECT_EQ(p.bundle, "b");

  for (const char* bad : {"four", "4.5", "+-5", "-+5", "++5", "+ 5"})
    EXPECT_THROW(scan({"--threads", bad, "/b"}), std::invalid_argument) << bad;
}

}  // namespace

#include <tensorflow/lite/c/c_api.h>

namespace {
TEST(Runtime, LinkedTensorFlowLiteIsTheExpectedRelease) {
  EXPECT_STREQ(TfLiteVersion(), "2.9.0");
}
}  // namespace
