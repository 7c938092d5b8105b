#include <kqnet/backward/back_criteria_control.h>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "../synapses/network_helpers.h"
#include <kqnet/backward/back_synapse.h>
#include <kqnet/control/back_static_control.h>
#include <kqnet/control/control.h>
#include <kqnet/criteria/criterion.h>
#include <kqnet/learning/learning_globals.h>
#include <kqnet/learning/lm_globals.h>

namespace {

using kq::BackCriteriaControl;
using kq::BackStaticControl;
using kq::BackTanhAxon;
using kq::L2Criterion;
using kq::StaticControl;
using kq::TanhAxon;

TEST(BackCriteriaControlTest, ReportsItsKindAndNamesNoPerformFunction) {
  BackCriteriaControl control;
  EXPECT_TRUE(control.isKindOf("BackCriteriaControl"));
  EXPECT_TRUE(control.isKindOf("Axon"));
  EXPECT_FALSE(control.isKindOf("Criterion"));
  EXPECT_STREQ(control.className(), "Axon");
  EXPECT_EQ(control.performName(), nullptr);
}

TEST(BackCriteriaControlTest, StartsTheBackwardPassWithTheCriterionsError) {
  TanhAxon output;
  output.setRows(2);
  L2Criterion criterion;
  criterion.setRows(2);
  kqtest::RecordSource desired;
  desired.records = {{1.0, -0.5}};
  criterion.setDesiredAccess(&desired);
  output.connectOutput(&criterion);
  criterion.connectInput(&output);

  BackTanhAxon outputTwin;
  outputTwin.setDual(&output);
  BackCriteriaControl start;
  start.setDual(&criterion);
  start.connectOutput(&outputTwin);
  outputTwin.connectInput(&start);
  EXPECT_EQ(start.length, 2);
  EXPECT_EQ(start.inputLength, 2);

  // The output layer hands 0.5 and 0.25 to the criterion, which turns them
  // into the error d - y and steps on.
  output.currentFrame()[0] = 0.5;
  output.currentFrame()[1] = 0.25;
  std::vector<double> copied(2);
  start.outputCopy = copied.data();
  std::vector<double> passed(2);
  outputTwin.outputCopy = passed.data();
  outputTwin.learningEnabled = 0;
  output.weights = {0.0, 0.0};
  output.beta = 1.0;
  output.fire();  // tanh of the frame, then the criterion
  const double y0 = std::tanh(0.5);
  const double y1 = std::tanh(0.25);

  outputTwin.stepDualFrameBack();
  start.stepDualFrameBack();
  start.fire();
  start.restoreDualFramePosition();
  outputTwin.restoreDualFramePosition();
  EXPECT_EQ(copied, (std::vector<double>{1.0 - y0, -0.5 - y1}));
  EXPECT_EQ(passed[0], (1.0 - y0) * 1.0 * (1.0 - y0 * y0 + 0.0));
  EXPECT_EQ(passed[1], (-0.5 - y1) * 1.0 * (1.0 - y1 * y1 + 0.0));
}

TEST(BackCriteriaControlTest, RegistersInTheAxonAndBackwardCriteriaListsAndLeavesThemOnRelease) {
  StaticControl control;
  TanhAxon dual;
  dual.setRows(3);
  BackCriteriaControl start;
  start.setDual(&dual);
  start.control = &control;
  start.registerWithControl();
  ASSERT_EQ(control.axonList.size(), 1u);
  ASSERT_EQ(control.backCriteriaList.size(), 1u);
  EXPECT_EQ(control.backCriteriaList[0], &start);
  start.release();
  EXPECT_TRUE(control.axonList.empty());
  EXPECT_TRUE(control.backCriteriaList.empty());
}

TEST(BackCriteriaControlTest, PreparingLearningMarksItselfAndTheAxonsItFeeds) {
  StaticControl control;
  BackStaticControl backControl;
  backControl.setLearningMethod("ConjugateGradient");
  control.backControl = &backControl;

  TanhAxon dual;
  dual.setRows(3);
  TanhAxon output;
  output.setRows(3);
  BackTanhAxon outputTwin;
  outputTwin.setDual(&output);
  kq::BackFullSynapse notAnAxon;
  BackCriteriaControl start;
  start.setDual(&dual);
  start.connectOutput(&outputTwin);
  start.connectOutput(&notAnAxon);
  start.control = &control;
  start.registerWithControl();

  EXPECT_EQ(start.prepareLearning(), 0);
  EXPECT_EQ(start.criterionMark, 1);
  EXPECT_EQ(start.jacobianColumns, 3);
  EXPECT_EQ(outputTwin.criterionMark, 1);
  EXPECT_EQ(notAnAxon.criterionMark, 0);
  // No column set-up under conjugate gradient: the fed axon keeps its size.
  EXPECT_EQ(outputTwin.jacobianColumns, 0);
  EXPECT_EQ(outputTwin.length, 3);
  // Its own size stays the dual's, the mark keeping the columns out.
  start.resizeToDual();
  EXPECT_EQ(start.length, 3);
}

// Counts how often its state is freed.
class CountingGlobals : public kq::LMGlobals {
 public:
  explicit CountingGlobals(int* counter) : freed(counter) {}
  void freeState() override { ++*freed; }
  int* freed;
};

TEST(BackStaticControlTest, ReportsItsWordsAndSkipsTheEngineWord) {
  BackStaticControl backControl;
  EXPECT_STREQ(backControl.className(), "BackStaticControl");
  EXPECT_TRUE(backControl.isKindOf("BackStaticControl"));
  EXPECT_TRUE(backControl.isKindOf("Control"));
  EXPECT_TRUE(backControl.isKindOf("CoreObject"));
  EXPECT_FALSE(backControl.isKindOf("Engine"));
  EXPECT_FALSE(backControl.isKindOf("StaticControl"));
  EXPECT_EQ(backControl.ownParameterCount(), 2);
  EXPECT_EQ(backControl.firstOwnParameterIndex(), 0);
  EXPECT_EQ(backControl.getInt(0), 0);
  EXPECT_EQ(backControl.getBool(1), 0);
  EXPECT_TRUE(backControl.learningMethod.empty());
}

TEST(BackStaticControlTest, OnlyAChangedNameWithAControlDeletesTheLearningGlobals) {
  int freed = 0;
  StaticControl control;
  control.learningGlobals = std::make_unique<CountingGlobals>(&freed);
  control.weightIndex.weightCount = 4;
  control.weightIndex.weightOwner.assign(4, nullptr);

  BackStaticControl backControl;
  backControl.setLearningMethod("ConjugateGradient");  // no control yet
  EXPECT_EQ(backControl.learningMethod, "ConjugateGradient");
  EXPECT_NE(control.learningGlobals, nullptr);

  backControl.control = &control;
  backControl.setLearningMethod("ConjugateGradient");
  EXPECT_NE(control.learningGlobals, nullptr);
  EXPECT_EQ(freed, 0);
  EXPECT_EQ(control.weightIndex.weightCount, 4);

  backControl.setLearningMethod("Momentum");
  EXPECT_EQ(backControl.learningMethod, "Momentum");
  EXPECT_EQ(control.learningGlobals, nullptr);
  EXPECT_EQ(freed, 1);
  EXPECT_TRUE(control.weightIndex.empty());
  EXPECT_EQ(control.weightIndex.weightCount, 0);

  // A long name is kept whole.
  const std::string longName(200, 'x');
  backControl.setLearningMethod(longName);
  EXPECT_EQ(backControl.learningMethod, longName);
}

TEST(BackStaticControlTest, RegistersAsAPlainEngineAndReleasesNothing) {
  StaticControl control;
  BackStaticControl backControl;
  backControl.control = &control;
  backControl.registerWithControl();
  EXPECT_EQ(control.parametersChanged, 1);
  EXPECT_TRUE(control.axonList.empty());
  backControl.release();
  EXPECT_EQ(backControl.control, &control);
}

TEST(BackStaticControlTest, DeletingTheGlobalsFreesTheIndexEvenWithoutGlobals) {
  StaticControl control;
  control.weightIndex.weightCount = 2;
  control.weightIndex.blockCount = 1;
  control.weightIndex.weightSlot.assign(1, kq::ClaimedArray<int32_t>(2));
  control.deleteLearningGlobals();
  EXPECT_TRUE(control.weightIndex.empty());
  EXPECT_EQ(control.weightIndex.blockCount, 0);
}

}  // namespace
