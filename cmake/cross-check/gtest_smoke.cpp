// Checks that GoogleTest, built from Debian's sources with the same
// (cross) compiler, links and runs; and that float basics behave on target.
#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(CrossSmoke, FmaIsSingleRounding) {
  volatile float a = 1.0f + 0x1p-23f, b = 1.0f - 0x1p-23f, c = -1.0f;
  EXPECT_EQ(std::fma(float(a), float(b), float(c)), -0x1p-46f);
}

TEST(CrossSmoke, ModffSplitsNegative) {
  volatile float x = -2.75f;
  float ip = 0.0f;
  float fp = modff(x, &ip);
  EXPECT_EQ(ip, -2.0f);
  EXPECT_EQ(fp, -0.75f);
}

TEST(CrossSmoke, DenormalsAreNotFlushedByDefault) {
  volatile float tiny = 0x1p-126f;
  EXPECT_GT(float(tiny) * 0.5f, 0.0f);
}

}  // namespace
