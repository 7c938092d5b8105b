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

}  // namespace
