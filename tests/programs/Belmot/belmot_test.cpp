#include <sys/stat.h>

#include "../context_network_check.h"
#include "../limited_memory_run.h"
#include "Belmot/belmot_network.h"

namespace {

const programs_test::ContextNet kBelmot = {
    "Belmot", {50, 50, 50, 50, 42, 35, 30, 26, 14}, 13217, 14419};

TEST(BelmotProgram, WritesEveryOutputDesiredEchoAndCostAsPlainLoopsCompute) {
  programs_test::checkContextProgram(kBelmot);
}

TEST(BelmotProgram, EndsWithTheMessageAndCodeOneOnMissingFilesAndSections) {
  programs_test::checkFailures(kBelmot);
}

// Where the token number n (0 the first) after header begins and ends.
std::pair<size_t, size_t> tokenAfter(const std::string& text, const std::string& header, int n) {
  size_t at = text.find(header);
  EXPECT_NE(at, std::string::npos) << header;
  at += header.size();
  size_t begin = 0;
  for (int i = 0; i <= n; ++i) {
    begin = text.find_first_not_of(" \t\n", at);
    at = text.find_first_of(" \t\n", begin);
  }
  return {begin, at};
}

TEST(BelmotProgram, AWeightFileThatIsNoRegularFileIsOneThatCannotBeOpened) {
  const std::string opened = "Could not open weight file Belmot.kqw";
  {
    programs_test::ProgramRun run(kBelmot, 7, "directory_weights");
    run.writeData();
    std::filesystem::create_directories(run.path("Belmot.kqw"));
    EXPECT_EQ(run.run(), 1);
    EXPECT_EQ(run.read("stderr.txt"), opened);
  }
  {
    programs_test::ProgramRun run(kBelmot, 7, "device_weights");
    run.writeData();
    std::filesystem::create_symlink("/dev/zero", run.path("Belmot.kqw"));
    EXPECT_EQ(run.run(), 1);
    EXPECT_EQ(run.read("stderr.txt"), opened);
  }
  {
    programs_test::ProgramRun run(kBelmot, 7, "pipe_weights");
    run.writeData();
    ASSERT_EQ(mkfifo(run.path("Belmot.kqw").c_str(), 0600), 0);
    // Opening a pipe without a writer would wait for ever.
    const std::string command =
        "cd '" + run.path("") + "' && timeout 60 '" KQ_PROGRAM_PATH "' > stdout.txt 2> stderr.txt";
    const int status = std::system(command.c_str());
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1);
    EXPECT_EQ(run.read("stderr.txt"), opened);
  }
}

TEST(BelmotProgram, AWordInARecordIsAnUnreadableFileButAShortRecordRuns) {
  programs_test::ProgramRun whole(kBelmot, 11, "whole_weights");
  whole.writeData();
  whole.writeWeightFile();
  ASSERT_EQ(whole.run(), 0);
  const std::string cost = whole.read("stdout.txt");
  const std::string weights = whole.read("Belmot.kqw");

  auto runWith = [&](const std::string& folder, const std::string& text) {
    programs_test::ProgramRun run(kBelmot, 11, folder);
    run.writeData();
    std::ofstream(run.path("Belmot.kqw"), std::ios::binary) << text;
    const int code = run.run();
    return std::make_tuple(code, run.read("stdout.txt"), run.read("stderr.txt"));
  };

  std::string damaged = weights;
  const auto [begin, end] = tokenAfter(damaged, "#hidden1Synapse FullSynapse", 2);
  damaged.replace(begin, end - begin, "abc");
  EXPECT_EQ(
      runWith("word_in_weights", damaged),
      std::make_tuple(1, std::string(), std::string("Error: Unable to read file Belmot.kqw.\n")));

  // A gradient's record cut short at the next section, and the control's at
  // the end of the file: the values they lack keep what they held.
  std::string shorter = weights;
  const size_t cut =
      tokenAfter(shorter, "#hidden1SynapseBackpropGradient ConjugateGradient", 3).second;
  shorter.erase(cut, shorter.find('#', cut) - cut);
  shorter.erase(tokenAfter(shorter, "#control StaticControl", 1).second);
  EXPECT_EQ(runWith("short_records", shorter), std::make_tuple(0, cost, std::string()));
}

// hidden1Axon, the largest layer, at the 1000000 rows its record allows:
// about 1 GB of synapses. On half a gigabyte the run ends out of memory.
TEST(BelmotProgram, TheLargestLayerGrownBeyondMemoryEndsOutOfMemoryBeforeAnyProbeLine) {
  kqtest::expectOutOfMemoryBeforeAnyProbeLine<kq::programs::belmot::Net>(
      kqtest::exampleCopy("Belmot", "hidden1Axon", 1000000), kq::programs::belmot::kValues,
      kqtest::kHalfGigabyte);
}

}  // namespace
