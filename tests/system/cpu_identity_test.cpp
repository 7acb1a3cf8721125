#include <gtest/gtest.h>

#include "system/cpu_identity.hpp"

using kinra2::system::CpuIdentity;

TEST(CpuIdentity, DecodesTheSignatureWord) {
  using kinra2::system::detail::decode_signature;
  const CpuIdentity zen1{"AuthenticAMD", 0x17, 0x01};
  EXPECT_EQ(decode_signature("AuthenticAMD", 0x00800F12), zen1);  // EPYC 7001
  EXPECT_EQ(decode_signature("AuthenticAMD", 0x00A10F11),
            (CpuIdentity{"AuthenticAMD", 0x19, 0x11}));
  EXPECT_EQ(decode_signature("GenuineIntel", 0x00050654), (CpuIdentity{"GenuineIntel", 6, 0x55}));
  EXPECT_EQ(decode_signature("GenuineIntel", 0x00010543), (CpuIdentity{"GenuineIntel", 5, 4}));
  EXPECT_EQ(kinra2::system::describe(zen1), "AuthenticAMD family 0x17 model 0x01");
}
