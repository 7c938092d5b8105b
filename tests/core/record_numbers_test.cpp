#include <kqnet/core/record_numbers.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <kqnet/core/number_text.h>

namespace {

using kq::WeightTextCursor;

// A weight file over the given text, read from the start.
std::FILE* weightFile(const std::string& text) {
  std::FILE* file = std::tmpfile();
  if (file == nullptr) return nullptr;
  std::fwrite(text.data(), 1, text.size(), file);
  std::rewind(file);
  return file;
}

// --- Counted reads -----------------------------------------------------------------

TEST(WeightValues, KeepTheFirstValuesAndDropTheRest) {
  std::FILE* file = weightFile("1.5 2.5 3.5 7 8 9 4.5");
  double kept[2] = {0.0, 0.0};
  EXPECT_EQ(kq::readWeightValues(file, 3, kept, 2), 3);
  EXPECT_EQ(kept[0], 1.5);
  EXPECT_EQ(kept[1], 2.5);
  EXPECT_EQ(kq::skipWeightInts(file, 3), 3);
  double last = 0.0;
  EXPECT_EQ(kq::readWeightValues(file, 1, &last, 1), 1);
  EXPECT_EQ(last, 4.5);
  std::fclose(file);
}

TEST(WeightValues, HostileCountsStopAtTheEndOrAtANonNumber) {
  std::FILE* file = weightFile("1 2 3");
  double kept[4] = {-1.0, -1.0, -1.0, -1.0};
  EXPECT_EQ(kq::readWeightValues(file, 2000000000, kept, 4), 3);
  EXPECT_EQ(kept[2], 3.0);
  EXPECT_EQ(kept[3], -1.0);  // missing values keep theirs
  std::fclose(file);

  std::FILE* stuck = weightFile("4 x 5");
  EXPECT_EQ(kq::skipWeightInts(stuck, 2000000000), 1);
  EXPECT_EQ(kq::readWeightValues(stuck, 2000000000, kept, 4), 0);
  EXPECT_EQ(std::getc(stuck), 'x');
  std::fclose(stuck);
}

TEST(WeightValues, AFailedReadThatMovedTheStreamDoesNotStopTheRecord) {
  // "-" and "." are consumed by the failed read, as fscanf consumes them,
  // so the reads after them find the numbers that follow.
  std::FILE* file = weightFile("1 - 2 . 3 4 x");
  double kept[4] = {-1.0, -1.0, -1.0, -1.0};
  EXPECT_EQ(kq::readWeightValues(file, 4, kept, 4), 4);
  EXPECT_EQ(kept[0], 1.0);
  EXPECT_EQ(kept[1], -1.0);  // the failed read keeps its element
  EXPECT_EQ(kept[2], 2.0);
  EXPECT_EQ(kept[3], -1.0);
  double next = 0.0;
  EXPECT_EQ(kq::readWeightValues(file, 1, &next, 1), 1);
  EXPECT_EQ(next, 3.0);
  std::fclose(file);

  std::FILE* ints = weightFile("1 - 2 3");
  EXPECT_EQ(kq::skipWeightInts(ints, 3), 3);
  int32_t last = 0;
  EXPECT_EQ(kq::scanInt(ints, last), kq::ScanStatus::kValue);
  EXPECT_EQ(last, 3);
  std::fclose(ints);
}

TEST(WeightValues, ALastReadThatFailsLeavesTheStreamWhereFscanfWould) {
  // The failed last read consumes the '-' and nothing after it; the blanks
  // and the line end that follow stay for whatever reads next.
  std::FILE* file = weightFile("1.5 -\n  7");
  double kept[2] = {-1.0, -1.0};
  EXPECT_EQ(kq::readWeightValues(file, 2, kept, 2), 2);
  EXPECT_EQ(kept[0], 1.5);
  EXPECT_EQ(kept[1], -1.0);
  EXPECT_EQ(std::ftell(file), 5);
  std::fclose(file);

  std::FILE* ints = weightFile("4 +\t\n9");
  EXPECT_EQ(kq::skipWeightInts(ints, 2), 2);
  EXPECT_EQ(std::ftell(ints), 3);
  std::fclose(ints);
}

TEST(WeightValues, CursorTwinGivesZeroPastTheEndOfTheText) {
  WeightTextCursor cursor{"1 2 3"};
  double kept[5] = {-1.0, -1.0, -1.0, -1.0, -1.0};
  cursor.readValues(2000000000, kept, 5);
  EXPECT_EQ(kept[2], 3.0);
  EXPECT_EQ(kept[3], 0.0);
  EXPECT_EQ(kept[4], 0.0);
  EXPECT_EQ(*cursor.position, '\0');

  WeightTextCursor shorter{"9 8 7 6"};
  double two[2] = {0.0, 0.0};
  shorter.readValues(3, two, 2);
  EXPECT_EQ(two[1], 8.0);
  EXPECT_EQ(shorter.readInt(), 6);
}

// --- Text cursor -----------------------------------------------------------------

TEST(WeightTextCursor, SkipsToTheNextNumberAndStopsAfterIt) {
  const char text[] = "  x= -1.5e-3, 7";
  WeightTextCursor cursor{text};
  EXPECT_EQ(cursor.readDouble(), -0.0015);
  EXPECT_EQ(*cursor.position, ',');
  EXPECT_EQ(cursor.readInt(), 7);
  EXPECT_EQ(*cursor.position, '\0');
  EXPECT_EQ(cursor.readDouble(), 0.0);
  EXPECT_EQ(cursor.position, text + sizeof text - 1);
}

TEST(WeightTextCursor, ReadIntPassesTheWholeTokenAndReturnsZeroAtTheEnd) {
  const char text[] = "12abc 3 99999999999 -99999999999 +-4 1.5 ";
  WeightTextCursor cursor{text};
  EXPECT_EQ(cursor.readInt(), 12);
  EXPECT_EQ(cursor.position, text + 5);
  EXPECT_EQ(cursor.readInt(), 3);
  EXPECT_EQ(cursor.readInt(), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(cursor.readInt(), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(cursor.readInt(), 0);  // "+-4" holds no integer
  EXPECT_EQ(cursor.readInt(), 1);  // "1.5" is passed whole
  const char* end = text + sizeof text - 1;
  EXPECT_EQ(cursor.readInt(), 0);
  EXPECT_EQ(cursor.position, end);
  EXPECT_EQ(cursor.readInt(), 0);
  EXPECT_EQ(cursor.position, end);
}

TEST(WeightTextCursor, KeepsItsOwnRulesForWhereANumberStarts) {
  const char text[] = ".5 x1e2y --3 1e+ 2.5.6";
  WeightTextCursor cursor{text};
  EXPECT_EQ(cursor.readDouble(), 5.0);    // the point is skipped
  EXPECT_EQ(cursor.readDouble(), 100.0);  // the 'y' ends the copy
  EXPECT_EQ(cursor.readDouble(), 0.0);    // "--3" converts to nothing
  EXPECT_EQ(cursor.readDouble(), 1.0);    // "1e+" converts its "1"
  EXPECT_EQ(cursor.readDouble(), 2.5);    // "2.5.6" converts "2.5"
  EXPECT_EQ(*cursor.position, '\0');
}

TEST(WeightTextCursor, ReadsBackNanAndInfinityAsWritten) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  std::string text = "info ";
  kq::appendInt(text, 6, ' ');
  for (double x : {1.5, nan, -nan, inf, -inf, 2.0}) kq::appendValue(text, x);
  text += "\n";
  WeightTextCursor cursor{text.c_str()};
  EXPECT_EQ(cursor.readInt(), 6);  // "info" is not a number
  EXPECT_EQ(cursor.readDouble(), 1.5);
  const double a = cursor.readDouble();
  EXPECT_TRUE(std::isnan(a) && !std::signbit(a));
  const double b = cursor.readDouble();
  EXPECT_TRUE(std::isnan(b) && std::signbit(b));
  EXPECT_EQ(cursor.readDouble(), inf);
  EXPECT_EQ(cursor.readDouble(), -inf);
  EXPECT_EQ(cursor.readDouble(), 2.0);

  WeightTextCursor words{"banana INF Infinity"};
  EXPECT_EQ(words.readDouble(), inf);
  EXPECT_EQ(words.readDouble(), inf);
  EXPECT_EQ(*words.position, '\0');
}

TEST(WeightTextCursor, ReadsWrittenValuesBackExactlyAndLongRunsWhole) {
  std::mt19937_64 rng(23);
  std::string text;
  std::vector<double> values;
  for (int i = 0; i < 20000; ++i) {
    uint64_t bits = rng();
    double x;
    std::memcpy(&x, &bits, sizeof x);
    if (std::isnan(x)) continue;
    values.push_back(x);
    kq::appendValue(text, x);
  }
  WeightTextCursor cursor{text.c_str()};
  for (double x : values) ASSERT_EQ(cursor.readDouble(), x);

  const std::string longNumber = "1" + std::string(299, '0') + " 7";
  WeightTextCursor runs{longNumber.c_str()};
  EXPECT_EQ(runs.readDouble(), 1e299);
  EXPECT_EQ(runs.readInt(), 7);
  const std::string longToken = std::string(300, '4') + "x 8";
  WeightTextCursor tokens{longToken.c_str()};
  EXPECT_EQ(tokens.readInt(), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(tokens.readInt(), 8);
}

}  // namespace
