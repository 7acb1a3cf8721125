#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chain/stderr_capture.hpp"

using kinra2::chain::detail::captured_lines;

TEST(RuntimeStderr, OnlyTheBannerAndBlankLinesAreDropped) {
  EXPECT_EQ(captured_lines("INFO: Created TensorFlow Lite XNNPACK delegate for CPU.\n"
                           "\nERROR: something real\r\nWARNING: tail without newline"),
            (std::vector<std::string>{"ERROR: something real", "WARNING: tail without newline"}));
}
