#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "../context_network_check.h"
#include "../limited_memory_run.h"
#include "Orvane/orvane_network.h"

namespace {

const programs_test::ContextNet kOrvane = {
    "Orvane", {50, 50, 50, 37, 30, 25, 21, 18, 6}, 6000, 10816};

const char* const kProbes[] = {"activeOutputProbe.asc", "activeDesiredProbe.asc",
                               "activePerformanceProbe.asc", "activeROCProbe.asc",
                               "activeConfusionMatrixProbe.asc"};

// Runs the program in the run's folder as a child whose descriptors closed
// are shut (standard output and error otherwise go to stdout.txt and
// stderr.txt); returns its exit code.
int runClosed(const programs_test::ProgramRun& run, const std::vector<int>& closed) {
  const std::string folder = run.path("");
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(folder.c_str()) != 0) _exit(127);
    const int out = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(err, 2);
    close(out);
    close(err);
    for (int fd : closed) close(fd);
    execl(KQ_PROGRAM_PATH, KQ_PROGRAM_PATH, static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

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

TEST(OrvaneProgram, ClosedStandardStreamsLeaveEveryProbeItsOwnLines) {
  programs_test::ProgramRun normal(kOrvane, 7, "open_streams");
  normal.writeData();
  normal.writeWeightFile();
  ASSERT_EQ(normal.run(), 0);
  // Without standard output the cost line fails as a failed write does.
  programs_test::ProgramRun noOutput(kOrvane, 7, "closed_output");
  noOutput.writeData();
  noOutput.writeWeightFile();
  EXPECT_EQ(runClosed(noOutput, {0, 1}), 1);
  EXPECT_EQ(noOutput.read("stderr.txt"), "Error: Unable to write file stdout.\n");
  for (const char* probe : kProbes) {
    EXPECT_TRUE(noOutput.read(probe) == normal.read(probe)) << probe;
  }
  // Without standard error a fatal message after the probes are open (the
  // weight file is missing) goes nowhere.
  programs_test::ProgramRun noError(kOrvane, 7, "closed_error");
  noError.writeData();
  EXPECT_EQ(runClosed(noError, {0, 2}), 1);
  EXPECT_EQ(noError.read("stdout.txt"), "");
  for (const char* probe : kProbes) {
    EXPECT_EQ(std::filesystem::file_size(noError.path(probe)), 0U) << probe;
  }
}

// A few digits of the criterion's record ask for three square statistics
// arrays beyond physical memory: the run ends on the message before any
// probe line, instead of being killed part way.
TEST(OrvaneProgram, ACriterionBeyondPhysicalMemoryEndsOutOfMemoryBeforeAnyProbeLine) {
  const int64_t physical = int64_t{sysconf(_SC_PHYS_PAGES)} * sysconf(_SC_PAGESIZE);
  auto length = static_cast<int64_t>(std::sqrt(static_cast<double>(physical) / 24.0));
  while (24 * length * length <= physical) ++length;
  if (length * length > std::numeric_limits<int32_t>::max()) {
    GTEST_SKIP() << "no 32-bit confusion matrix exceeds this machine's memory";
  }
  programs_test::ProgramRun run(kOrvane, 7, "criterion_beyond_memory");
  run.writeData();
  run.writeWeightFile();
  std::string text = run.read("Orvane.kqw");
  const std::string shape = "#criterion L2Criterion\n6 1\n";
  const size_t at = text.find(shape);
  ASSERT_NE(at, std::string::npos);
  text.replace(at, shape.size(), "#criterion L2Criterion\n" + std::to_string(length) + " 1\n");
  std::ofstream(run.path("Orvane.kqw")) << text;
  EXPECT_EQ(run.run(), 1);
  EXPECT_EQ(run.read("stderr.txt"), "Error: Out of memory.\n");
  EXPECT_EQ(run.read("stdout.txt"), "");
  for (const char* probe : kProbes) {
    EXPECT_TRUE(std::filesystem::exists(run.path(probe))) << probe;
    EXPECT_EQ(run.read(probe), "") << probe;
  }
}

// hidden1Axon, the largest layer, at the 1000000 rows its record allows:
// about 1 GB of synapses. On half a gigabyte the run ends out of memory.
TEST(OrvaneProgram, TheLargestLayerGrownBeyondMemoryEndsOutOfMemoryBeforeAnyProbeLine) {
  kqtest::expectOutOfMemoryBeforeAnyProbeLine<kq::programs::orvane::Net>(
      kqtest::exampleCopy("Orvane", "hidden1Axon", 1000000), kq::programs::orvane::kValues,
      kqtest::kHalfGigabyte);
}

TEST(OrvaneProgram, ARunGivesBackEveryByteItsArraysClaimed) {
  kqtest::expectEveryClaimGivenBack<kq::programs::orvane::Net>("Orvane",
                                                               kq::programs::orvane::kValues);
}

}  // namespace
