#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <tensorflow/lite/c/c_api.h>

#include "chain/stderr_capture.hpp"

using kinra2::chain::detail::captured_lines;

TEST(RuntimeStderr, OnlyTheBannerAndBlankLinesAreDropped) {
  EXPECT_EQ(captured_lines("INFO: Created TensorFlow Lite XNNPACK delegate for CPU.\n"
                           "\nERROR: something real\r\nWARNING: tail without newline"),
            (std::vector<std::string>{"ERROR: something real", "WARNING: tail without newline"}));
}

// The runtime library writes through its own C runtime (the UCRT on Windows):
// a redirect that reached only this program's descriptor would miss it.
TEST(RuntimeStderr, WhatTheRuntimeLibraryPrintsReachesTheSink) {
  std::vector<std::string> got;
  {
    kinra2::chain::detail::StderrCapture capture(
        [&](std::string_view line) { got.emplace_back(line); });
    const char junk[64] = "not a model";
    EXPECT_EQ(TfLiteModelCreate(junk, sizeof junk), nullptr);
  }
  ASSERT_FALSE(got.empty()) << "the runtime's complaint about the buffer was not caught";
  EXPECT_NE(got.front().find("ERROR"), std::string::npos) << got.front();
}
