#include <kqnet/weightfile/weight_file.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <kqnet/core/number_text.h>

namespace {

using kq::findWeightSection;
using kq::readWeightFileVersion;
using kq::WeightTextCursor;

// A weight file over the given text, read from the start.
std::FILE* weightFile(const std::string& text) {
  std::FILE* file = std::tmpfile();
  if (file == nullptr) return nullptr;
  std::fwrite(text.data(), 1, text.size(), file);
  std::rewind(file);
  return file;
}

uint16_t versionOf(const std::string& text) {
  std::FILE* file = weightFile(text);
  const uint16_t version = readWeightFileVersion(file);
  std::fclose(file);
  return version;
}

// The rest of the line after the position the lookup left.
std::string restOfLine(std::FILE* file) {
  std::string rest;
  int c;
  while ((c = std::getc(file)) != EOF && c != '\n') rest += static_cast<char>(c);
  return rest;
}

// --- Version ---------------------------------------------------------------------

TEST(WeightFileVersion, IsReadFromItsLineOrDefaultsTo100) {
  EXPECT_EQ(versionOf("#inputFile File\n1\n1 0\n"), 100);
  EXPECT_EQ(versionOf("#KqWeightFileVersion 246\n#inputFile File\n"), 246);
  EXPECT_EQ(versionOf("#KqWeightFileVersion 246\n#KqWeightFileVersion 100\n"), 246);
  EXPECT_EQ(versionOf("#inputFile File 1 1 0\n#  KqWeightFileVersion\n\n 213"), 213);
  EXPECT_EQ(versionOf(""), 100);
}

TEST(WeightFileVersion, ReadsDigitsAsHuDoesButRefusesSignsAndLargeValues) {
  EXPECT_EQ(versionOf("#KqWeightFileVersion 246abc\n"), 246);
  EXPECT_EQ(versionOf("#KqWeightFileVersion +7\n"), 7);
  EXPECT_EQ(versionOf("#KqWeightFileVersion 65535\n"), 65535);
  EXPECT_EQ(versionOf("#KqWeightFileVersion 65536\n"), 100);
  EXPECT_EQ(versionOf("#KqWeightFileVersion 99999999999\n"), 100);
  EXPECT_EQ(versionOf("#KqWeightFileVersion -5\n"), 100);
  EXPECT_EQ(versionOf("#KqWeightFileVersion abc\n#KqWeightFileVersion 300\n"), 100);
  EXPECT_EQ(versionOf("#KqWeightFileVersion"), 100);
}

TEST(WeightFileVersion, MatchesOnlyTheWholeKeyRightAfterAHash) {
  EXPECT_EQ(versionOf("#KqWeightFileVersionX 5\n"), 100);
  EXPECT_EQ(versionOf("KqWeightFileVersion 5\n"), 100);
  EXPECT_EQ(versionOf("#a KqWeightFileVersion 5\n"), 100);
  EXPECT_EQ(versionOf("#kqweightfileversion 5\n"), 100);
  EXPECT_EQ(versionOf("1 2 3 #"), 100);
  EXPECT_EQ(versionOf("#" + std::string(100000, 'K') + " 5 #KqWeightFileVersion 230"), 230);
}

// --- Section lookup ------------------------------------------------------------

TEST(WeightSection, IsFoundWithWhiteSpaceAfterTheHashAndTheClassWordOnTheNextLine) {
  for (const char* text :
       {"#inputFile File 2 x\n", "#  inputFile File 2 x\n", "#inputFile\nFile 2 x\n",
        "#KqWeightFileVersion 246\n#\tinputFile\n\n"
        "  File 2 x\n"}) {
    std::FILE* file = weightFile(text);
    EXPECT_EQ(findWeightSection(file, "File", "inputFile"), file) << text;
    // The file stands right after the class word.
    EXPECT_EQ(restOfLine(file), " 2 x") << text;
    std::fclose(file);
  }
}

TEST(WeightSection, LookupsStartFromTheTopInAnyOrder) {
  std::FILE* file = weightFile(
      "#KqWeightFileVersion 246\n#hidden1Axon TanhAxon 3 1\n#inputFile File 9\n"
      "#hidden1AxonBackprop BackTanhAxon 4\n");
  findWeightSection(file, "File", "inputFile");
  EXPECT_EQ(restOfLine(file), " 9");
  findWeightSection(file, "TanhAxon", "hidden1Axon");
  EXPECT_EQ(restOfLine(file), " 3 1");
  EXPECT_EQ(readWeightFileVersion(file), 246);
  findWeightSection(file, "BackTanhAxon", "hidden1AxonBackprop");
  EXPECT_EQ(restOfLine(file), " 4");
  std::fclose(file);
}

TEST(WeightSection, BodyTokensAndLongerKeysAreNeverTakenForTheKey) {
  EXPECT_EXIT(
      {
        std::FILE* file =
            weightFile("#other File hidden1Axon TanhAxon 1\n#hidden1AxonBackprop BackTanhAxon\n");
        findWeightSection(file, "TanhAxon", "hidden1Axon");
      },
      testing::ExitedWithCode(1),
      "^The TanhAxon named hidden1Axon was not found in the weight file\\.$");
}

TEST(WeightSection, ClassWordOfTheFirstHeaderWithTheKeyDecides) {
  EXPECT_EXIT(
      {
        std::FILE* file = weightFile("#hidden1Axon Axon\n3 1\n#hidden1Axon TanhAxon\n3 1\n");
        findWeightSection(file, "TanhAxon", "hidden1Axon");
      },
      testing::ExitedWithCode(1),
      "^The TanhAxon named hidden1Axon does not match the Axon found in the weight file\\.$");
}

TEST(WeightSection, MissingSectionEndsTheProcess) {
  for (const char* text : {"", "#", "#inputFile File\n#", "no headers at all\n"}) {
    EXPECT_EXIT(
        {
          std::FILE* file = weightFile(text);
          findWeightSection(file, "DataWriter", "activeOutputProbe");
        },
        testing::ExitedWithCode(1),
        "^The DataWriter named activeOutputProbe was not found in the weight file\\.$")
        << text;
  }
}

TEST(WeightSection, KeyWithoutAClassWordMismatchesWithAnEmptyWord) {
  EXPECT_EXIT(
      {
        std::FILE* file = weightFile("#inputFile   \n");
        findWeightSection(file, "File", "inputFile");
      },
      testing::ExitedWithCode(1),
      "^The File named inputFile does not match the  found in the weight file\\.$");
}

TEST(WeightSection, VeryLongTokensAreComparedWholeAndReportedByTheirStart) {
  const std::string longKey = "inputFile" + std::string(200000, 'x');
  std::FILE* file = weightFile("#" + longKey + " File 1\n#inputFile File 2\n");
  findWeightSection(file, "File", "inputFile");
  EXPECT_EQ(restOfLine(file), " 2");
  std::fclose(file);

  EXPECT_EXIT(
      {
        std::FILE* longWord = weightFile("#inputFile File" + std::string(100000, 'y') + " 1\n");
        findWeightSection(longWord, "File", "inputFile");
      },
      testing::ExitedWithCode(1),
      "^The File named inputFile does not match the File" + std::string(4092, 'y') +
          " found in the weight file\\.$");
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
