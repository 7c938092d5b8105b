#include <kqnet/weightfile/indexed_weight_file.h>

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <kqnet/core/memory.h>
#include <kqnet/core/soma.h>
#include <kqnet/weightfile/weight_file.h>

namespace {

using kq::WeightFile;

// What a lookup ends in: the position after the class word, or the fatal
// message with its exit code. Each lookup runs in a child process, since a
// missing or mismatched section ends the process.
struct Outcome {
  int code = -1;
  std::string text;  // "@position" or the message
  bool operator==(const Outcome&) const = default;
};

template <typename Lookup>
Outcome inChild(Lookup lookup) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return {};
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    close(pipeEnds[0]);
    dup2(pipeEnds[1], STDERR_FILENO);
    const long position = lookup();
    std::fprintf(stderr, "@%ld", position);
    std::fflush(stderr);
    _exit(0);
  }
  close(pipeEnds[1]);
  Outcome outcome;
  char buffer[256];
  for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) {
    outcome.text.append(buffer, static_cast<size_t>(n));
  }
  close(pipeEnds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  outcome.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The plain scan from the top of the file.
Outcome plainLookup(const std::string& text, const char* word, const char* key) {
  return inChild([&] {
    std::FILE* file = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), file);
    return std::ftell(kq::findWeightSection(file, word, key));
  });
}

Outcome indexedLookup(const std::string& text, const char* word, const char* key) {
  writeFile("indexed.kqw", text);
  return inChild([&] {
    WeightFile weights;
    if (!weights.open("indexed.kqw")) return -1L;
    return std::ftell(weights.section(word, key));
  });
}

// --- Lookup ------------------------------------------------------------------

TEST(IndexedWeightFile, LookupsEndAsThePlainScanOfTheFileDoes) {
  const std::string longWord(5000, 'W');
  const std::vector<std::string> texts = {
      "#inputFile File 2 x\n",
      "#  inputFile\n\n File\t2\n",
      "#inputFile\n",
      "#inputFile   \n\t",
      "#hidden1AxonBackprop TanhAxon 1\n#hidden1Axon Axon 3 1\n#hidden1Axon TanhAxon 4\n",
      "#a #inputFile File\n#inputFile DataWriter 1\n#inputFile File 2\n",
      "1 2 #a#inputFile File 3\n#inputFile File 4\n",
      "##inputFile File\n# inputFile File 5",
      "#x 1 2\n#\n#inputFile File 6\n",
      "#x 1 2 #   \n\n",
      "#inputFile " + longWord + " 7\n",
      "#KqWeightFileVersion 246\n#criterion L2Criterion 3\n#inputFile\nFile",
      std::string("#inputFile\0File 8\n#inputFile File 9", 35),
      "",
      std::string("#inputFile File\0\x7f 2\n", 20),
  };
  const char* const lookups[][2] = {
      {"File", "inputFile"},
      {"TanhAxon", "hidden1Axon"},
      {"L2Criterion", "criterion"},
      {"File", "KqWeightFileVersion"},
      {"File", ""},
      {"", "inputFile"},
  };
  for (const std::string& text : texts) {
    for (const auto& lookup : lookups) {
      const Outcome plain = plainLookup(text, lookup[0], lookup[1]);
      EXPECT_EQ(indexedLookup(text, lookup[0], lookup[1]), plain)
          << "text \"" << text.substr(0, 60) << "\", key " << lookup[1];
    }
  }
  // The plain scan's outcomes are the ones the layout asks for.
  EXPECT_EQ(plainLookup(texts[1], "File", "inputFile"), (Outcome{0, "@19"}));
  EXPECT_EQ(plainLookup(texts[4], "TanhAxon", "hidden1Axon"),
            (Outcome{1,
                     "The TanhAxon named hidden1Axon does not match the Axon found in the "
                     "weight file."}));
  // A '#' followed by white space and another '#' takes "#inputFile" for its
  // key; a '#' with only white space after it ends the headers.
  for (size_t t : {8, 9}) {
    EXPECT_EQ(plainLookup(texts[t], "File", "inputFile"),
              (Outcome{1, "The File named inputFile was not found in the weight file."}));
  }
  EXPECT_EQ(plainLookup(texts[2], "File", "inputFile"),
            (Outcome{1, "The File named inputFile does not match the  found in the weight file."}));
  // Bytes that cannot be printed show as they differ.
  EXPECT_EQ(plainLookup(texts[14], "File", "inputFile"),
            (Outcome{1,
                     "The File named inputFile does not match the File\\x00\\x7f found in the "
                     "weight file."}));
}

TEST(IndexedWeightFile, ReadsTheVersionOfTheFirstVersionLine) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"#inputFile File 1\n", 100},
      {"#KqWeightFileVersion 246\n#KqWeightFileVersion 100\n", 246},
      {"#x KqWeightFileVersion 5 #  KqWeightFileVersion\n 213", 213},
      {"#KqWeightFileVersion abc\n#KqWeightFileVersion 300\n", 100},
      {"#KqWeightFileVersion 65536", 100},
      {"", 100},
  };
  for (const auto& [text, version] : cases) {
    writeFile("version.kqw", text);
    WeightFile weights;
    ASSERT_TRUE(weights.open("version.kqw"));
    EXPECT_EQ(weights.version(), version) << text;
  }
}

TEST(IndexedWeightFile, SectionsAreReadInAnyOrderFromOneOpening) {
  writeFile("order.kqw", "#b FullSynapse 2 0.5 0.25\n#a FullSynapse 2 1.5 -2\n");
  WeightFile weights;
  ASSERT_TRUE(weights.open("order.kqw"));
  kq::Soma a, b;
  a.setWeightCount(2, 1);
  b.setWeightCount(2, 1);
  a.readWeights(weights.section("FullSynapse", "a"), 247);
  b.readWeights(weights.section("FullSynapse", "b"), 247);
  EXPECT_EQ(a.weights, (std::vector<double>{1.5, -2}));
  EXPECT_EQ(b.weights, (std::vector<double>{0.5, 0.25}));
}

// Keys whose hashes agree in the low bits that index a table of 2048 slots
// (1024 keys at most three quarters full), as crafted against one filed by
// std::hash<std::string_view>, where each key would probe all the keys
// filed before it. The index compares keys n log n times at most, and so do
// the lookups, whatever their order.
TEST(IndexedWeightFile, KeysSharingTheirHashBitsCostNoMoreComparisons) {
  constexpr size_t kKeys = 1024, kSlotMask = 2047, kLog2Keys = 10;
  std::vector<std::string> keys;
  std::string text;
  for (uint64_t i = 0; keys.size() < kKeys; ++i) {
    std::string key = std::to_string(i);
    const size_t hash = std::hash<std::string_view>{}(key);
    if ((hash & kSlotMask) != 0) continue;
    text.append("#").append(key).append(" File\n");
    keys.push_back(std::move(key));
  }
  kq::WeightHeaderIndex index;
  index.build(text.data(), text.size());
  for (size_t k = kKeys, at = text.size(); k-- > 0; at -= keys[k].size() + 7) {
    EXPECT_EQ(index.keyEnd(keys[k]), at - 6);
  }
  EXPECT_LE(index.comparisons(), 4 * kKeys * kLog2Keys);
}

// --- Opening -------------------------------------------------------------------

// The files of /proc report a size of 0: here a child's environment holds a
// section beyond the first step of the read.
TEST(IndexedWeightFile, AFileThatReportsASizeOf0IsReadToItsEnd) {
  if (access("/proc/self/environ", R_OK) != 0) GTEST_SKIP() << "no /proc";
  std::string padding = "P=" + std::string(10000, 'x');
  std::string section = "W=#b FullSynapse 2 0.5 0.25\n";
  char* environment[] = {padding.data(), section.data(), nullptr};
  char program[] = "sleep", seconds[] = "60";
  char* arguments[] = {program, seconds, nullptr};
  pid_t child = 0;
  ASSERT_EQ(posix_spawnp(&child, program, nullptr, nullptr, arguments, environment), 0);
  const std::string name = "/proc/" + std::to_string(child) + "/environ";
  // It can be read once the child's exec is through.
  for (int i = 0; i < 5000 && std::ifstream(name).peek() == EOF; ++i) usleep(1000);
  std::filesystem::remove("environ.kqw");
  std::filesystem::create_symlink(name, "environ.kqw");
  struct stat status {};
  WeightFile weights;
  const bool opened = stat("environ.kqw", &status) == 0 && weights.open("environ.kqw");
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  ASSERT_TRUE(opened);
  EXPECT_EQ(status.st_size, 0);
  kq::Soma b;
  b.setWeightCount(2, 1);
  b.readWeights(weights.section("FullSynapse", "b"), 247);
  EXPECT_EQ(b.weights, (std::vector<double>{0.5, 0.25}));
}

TEST(IndexedWeightFileDeathTest, OnlyARegularFileThatCanBeReadOpens) {
  WeightFile weights;
  std::filesystem::remove_all("missing.kqw");
  EXPECT_FALSE(weights.open("missing.kqw"));
  std::filesystem::create_directories("directory.kqw");
  EXPECT_FALSE(weights.open("directory.kqw"));
  EXPECT_FALSE(weights.open("/dev/zero"));
  std::filesystem::remove("fifo.kqw");
  ASSERT_EQ(mkfifo("fifo.kqw", 0600), 0);
  EXPECT_FALSE(weights.open("fifo.kqw"));
  EXPECT_FALSE(weights.open(nullptr));
  // A refused file leaves no section behind, not even one opened before.
  writeFile("regular.kqw", "#a File 1\n");
  ASSERT_TRUE(weights.open("regular.kqw"));
  EXPECT_FALSE(weights.open("directory.kqw"));
  EXPECT_EXIT(weights.section("File", "a"), testing::ExitedWithCode(1),
              "^The File named a was not found in the weight file\\.$");
}

// Twenty thousand distinct headers of nine bytes each (180 kB) against
// 256 kB of memory: the text fits, its index cannot, and opening ends out
// of memory. A file of the same size with one header opens, and gives back
// what it claimed when it is closed.
TEST(IndexedWeightFileDeathTest, AnIndexOfManyHeadersIsClaimedAsItGrows) {
  constexpr int kHeaders = 20000;
  constexpr int64_t kDeclared = int64_t{256} << 10;
  std::string padded;
  char line[16];
  for (int i = 0; i < kHeaders; ++i) {
    std::snprintf(line, sizeof line, "#h%07d\n", i);
    padded += line;
  }
  writeFile("padded.kqw", padded);
  EXPECT_EXIT(
      {
        kq::setPhysicalMemory(kDeclared);
        WeightFile weights;
        weights.open("padded.kqw");
      },
      testing::ExitedWithCode(1), "^Error: Out of memory\\.\n$");

  std::string plain = "#a File\n";
  plain.resize(padded.size(), '0');
  writeFile("plain.kqw", plain);
  const int64_t before = kq::claimedMemory();
  kq::setPhysicalMemory(kDeclared);
  WeightFile weights;
  EXPECT_TRUE(weights.open("plain.kqw"));
  kq::restorePhysicalMemory();
  EXPECT_GT(kq::claimedMemory(), before + static_cast<int64_t>(plain.size()));
  weights.close();
  EXPECT_EQ(kq::claimedMemory(), before);
}

TEST(IndexedWeightFileDeathTest, AFileLargerThanMemoryIsOutOfMemory) {
  std::filesystem::remove("huge.kqw");
  writeFile("huge.kqw", "#a File 1\n");
  // Sparse: it takes no room on the disk.
  std::filesystem::resize_file("huge.kqw", uintmax_t{1} << 42);
  WeightFile weights;
  EXPECT_EXIT(weights.open("huge.kqw"), testing::ExitedWithCode(1), "^Error: Out of memory\\.\n$");
  std::filesystem::remove("huge.kqw");
}

}  // namespace
