#include <kqnet/core/random.h>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(RandomDraw, StaysWithinFifteenBits) {
  std::srand(7);
  for (int i = 0; i < 10000; ++i) {
    const int value = kq::randomDraw();
    ASSERT_GE(value, 0) << "draw " << i;
    ASSERT_LE(value, 32767) << "draw " << i;
  }
}

TEST(RandomDraw, ReseedingRepeatsTheSequence) {
  std::srand(7);
  const int first = kq::randomDraw();
  kq::randomDraw();
  std::srand(7);
  EXPECT_EQ(kq::randomDraw(), first);
}

}  // namespace
