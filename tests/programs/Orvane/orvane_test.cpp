#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "../context_network_check.h"

namespace {

const programs_test::ContextNet kOrvane = {
    "Orvane", {50, 50, 50, 37, 30, 25, 21, 18, 6}, 6000, 10816};

TEST(OrvaneProgram, WritesEveryOutputDesiredEchoAndCostAsPlainLoopsCompute) {
  programs_test::checkContextProgram(kOrvane);
}

TEST(OrvaneProgram, EndsWithTheMessageAndCodeOneOnMissingFilesAndSections) {
  programs_test::checkFailures(kOrvane);
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
  for (const char* probe :
       {"activeOutputProbe.asc", "activeDesiredProbe.asc", "activePerformanceProbe.asc",
        "activeROCProbe.asc", "activeConfusionMatrixProbe.asc"}) {
    EXPECT_TRUE(std::filesystem::exists(run.path(probe))) << probe;
    EXPECT_EQ(run.read(probe), "") << probe;
  }
}

}  // namespace
