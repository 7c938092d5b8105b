#include "../context_network_check.h"

namespace {

const programs_test::ContextNet kOrvane = {
    "Orvane", {50, 50, 50, 37, 30, 25, 21, 18, 6}, 6000, 10816};

const char* const kProbes[] = {"activeOutputProbe.asc", "activeDesiredProbe.asc",
                               "activePerformanceProbe.asc", "activeROCProbe.asc",
                               "activeConfusionMatrixProbe.asc"};

TEST(OrvaneProgram, WritesEveryOutputDesiredEchoAndCostAsPlainLoopsCompute) {
  programs_test::checkContextProgram(kOrvane);
}

TEST(OrvaneProgram, EndsWithTheMessageAndCodeOneOnMissingFilesAndSections) {
  programs_test::checkFailures(kOrvane);
}

TEST(OrvaneProgram, AWeightListCutShortEndsTheRunBeforeAnyProbeLine) {
  programs_test::ProgramRun run(kOrvane, 7, "short_weights");
  run.writeData();
  run.writeWeightFile();
  // hidden1Synapse's count and the first 390 of its 400 weights.
  std::string text = run.read("Orvane.kqw");
  const std::string header = "#hidden1Synapse FullSynapse\n";
  const size_t list = text.find(header) + header.size();
  const size_t end = text.find('\n', list);
  std::istringstream tokens(text.substr(list, end - list));
  std::string kept, token;
  for (int i = 0; i < 391 && tokens >> token; ++i) kept += token + " ";
  text.replace(list, end - list, kept);
  std::ofstream(run.path("Orvane.kqw"), std::ios::binary) << text;
  EXPECT_EQ(run.run(), 1);
  EXPECT_EQ(run.read("stderr.txt"), "Error: Unable to read file Orvane.kqw.\n");
  EXPECT_EQ(run.read("stdout.txt"), "");
  for (const char* probe : kProbes) {
    EXPECT_EQ(std::filesystem::file_size(run.path(probe)), 0U) << probe;
  }
}

}  // namespace
