#include "../context_network_check.h"

namespace {

const programs_test::ContextNet kBelmot = {"Belmot", {50, 50, 50, 50, 42, 35, 30, 26, 14}, 13217, 14419};

TEST(BelmotProgram, WritesEveryOutputDesiredEchoAndCostAsPlainLoopsCompute) {
  programs_test::checkContextProgram(kBelmot);
}

TEST(BelmotProgram, EndsWithTheMessageAndCodeOneOnMissingFilesAndSections) {
  programs_test::checkFailures(kBelmot);
}

}  // namespace
