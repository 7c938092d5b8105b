#include <kqnet/weightfile/weight_file.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

using kq::findWeightSection;
using kq::readWeightFileVersion;

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

}  // namespace
