#include <kqnet/control/control.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <kqnet/core/soma.h>
#include <kqnet/learning/gradient.h>
#include <kqnet/learning/learning_globals.h>
#include <kqnet/learning/lm_globals.h>

namespace {

// Records the order in which roots fire.
class RecordingSoma : public kq::Soma {
 public:
  RecordingSoma(std::string name, std::vector<std::string>* log)
      : name_(std::move(name)), log_(log) {}
  void fire() override { log_->push_back(name_); }

 private:
  std::string name_;
  std::vector<std::string>* log_;
};

class CountingGlobals : public kq::LearningGlobals {
 public:
  explicit CountingGlobals(int* released) : released_(released) {}
  void freeState() override { ++*released_; }

 private:
  int* released_;
};

TEST(Roots, KeepOrderFrontsAndRejectDuplicates) {
  std::vector<std::string> log;
  RecordingSoma a("A", &log), b("B", &log), c("C", &log);
  kq::StaticControl control;
  control.addRoot(&a, 0);
  control.addRoot(&b, 0);
  control.addRoot(&c, 1);
  control.addRoot(&a, 0);
  control.addRoot(&a, 1);
  control.addRoot(nullptr, 1);
  EXPECT_EQ(control.rootCount(), 3);
  control.fireRoots();
  EXPECT_EQ(log, (std::vector<std::string>{"C", "A", "B"}));
  control.clearRoots();
  EXPECT_EQ(control.rootCount(), 0);
  control.fireRoots();  // no roots: nothing fires
  EXPECT_EQ(log.size(), 3u);
}

TEST(Depths, FollowSuccessorsFromEveryRootInOrder) {
  kq::StaticControl control;
  kq::Soma first, second, third, other;
  first.successor = &second;
  second.successor = &third;
  other.successor = &second;
  control.addRoot(&other, 0);
  control.addRoot(&first, 0);
  control.numberDepths();
  // The later root's chain overwrites where the chains meet.
  EXPECT_EQ(other.depth, 1);
  EXPECT_EQ(first.depth, 1);
  EXPECT_EQ(second.depth, 2);
  EXPECT_EQ(third.depth, 3);
}

TEST(Counters, StartAtTheirDefaults) {
  kq::StaticControl control;
  EXPECT_EQ(control.learning, 1);
  EXPECT_EQ(control.leastSquaresPending, 1);
  EXPECT_EQ(control.trainingFlag, 1);
  EXPECT_EQ(control.patience, 100);
  EXPECT_EQ(control.passesPerEpoch, 1);
  EXPECT_EQ(control.exemplarsPerEpoch, 1);
  EXPECT_EQ(control.epochs, 1);
  EXPECT_EQ(control.regularisationAlpha, 0.001);
  EXPECT_EQ(control.regularisationBeta, 0.999);
  EXPECT_EQ(control.initialDamping, 0.01);
  EXPECT_EQ(control.bestCost, 1e9);
  EXPECT_EQ(control.learningMode, 0);
}

TEST(SetEpoch, ResetsTheBestCostOnlyWhenMovingBeforeTheBestEpoch) {
  kq::StaticControl control;
  control.bestEpoch = 5;
  control.bestCost = 0.25;
  control.setEpoch(5);
  EXPECT_EQ(control.epoch, 5);
  EXPECT_EQ(control.bestEpoch, 5);
  EXPECT_EQ(control.bestCost, 0.25);
  control.setEpoch(9);
  EXPECT_EQ(control.bestEpoch, 5);
  control.setEpoch(4);
  EXPECT_EQ(control.epoch, 4);
  EXPECT_EQ(control.bestEpoch, 0);
  EXPECT_EQ(control.bestCost, 1e9);
}

TEST(SetInitialDamping, ReachesLevenbergMarquardtGlobalsOnlyInModeTwo) {
  kq::StaticControl control;
  control.learningGlobals = std::make_unique<kq::LMGlobals>();
  auto* globals = static_cast<kq::LMGlobals*>(control.learningGlobals.get());
  const double before = globals->damping;
  control.setInitialDamping(0.5);
  EXPECT_EQ(control.initialDamping, 0.5);
  EXPECT_EQ(globals->damping, before);
  control.learningMode = 2;
  control.setInitialDamping(0.25);
  EXPECT_EQ(globals->damping, 0.25);
}

TEST(SetInitialDamping, LeavesOtherGlobalsAloneInModeTwo) {
  // The weight file can set mode 2 while globals of another method exist.
  struct OtherGlobals : kq::LearningGlobals {
    double marker = 7.0;
  };
  kq::StaticControl control;
  control.learningGlobals = std::make_unique<OtherGlobals>();
  auto* globals = static_cast<OtherGlobals*>(control.learningGlobals.get());
  control.learningMode = 2;
  control.setInitialDamping(0.25);
  EXPECT_EQ(control.initialDamping, 0.25);
  EXPECT_EQ(globals->marker, 7.0);
}

class ControlWithMembers : public ::testing::Test {
 protected:
  void SetUp() override {
    axon.setWeightCount(2, 0);
    synapse.setWeightCount(3, 0);
    for (kq::Engine* e : std::initializer_list<kq::Engine*>{&axon, &synapse, &gradient}) {
      e->control = &control;
    }
    control.axonList.push_back(&axon);
    control.synapseList.push_back(&synapse);
    gradient.setBackprop(&synapse);
    gradient.forward = &axon;
    gradient.registerWithControl();
  }
  kq::StaticControl control;
  kq::Soma axon;
  kq::Soma synapse;
  kq::Gradient gradient;
};

TEST_F(ControlWithMembers, GradientsWithWeightsJoinTheList) {
  EXPECT_EQ(gradient.registered, 1u);
  EXPECT_EQ(gradient.weightCount, 3);
  ASSERT_EQ(control.gradientList.size(), 1u);
  kq::Gradient empty;
  empty.control = &control;
  empty.registerWithControl();
  EXPECT_EQ(empty.registered, 0u);
  EXPECT_EQ(empty.weightCount, 0);
  EXPECT_EQ(control.gradientList.size(), 1u);
  empty.release();  // never registered: the list is untouched
  EXPECT_EQ(control.gradientList.size(), 1u);
  gradient.release();
  EXPECT_TRUE(control.gradientList.empty());
}

TEST_F(ControlWithMembers, SumsSquaredWeightsOfEveryGradientTarget) {
  axon.weights = {0.5, -3.0};
  kq::Gradient unattached;  // no forward object: skipped
  unattached.setBackprop(&synapse);
  control.gradientList.push_back(&unattached);
  control.sumSquaredWeights();
  EXPECT_EQ(control.weightEnergy, 0.25 + 9.0);
}

TEST_F(ControlWithMembers, ReleaseFreesOwnedStateAndDetachesMembersButKeepsLists) {
  int freed = 0;
  control.learningGlobals = std::make_unique<CountingGlobals>(&freed);
  control.addRoot(&axon, 0);
  control.weightIndex.weightCount = 1;
  control.weightIndex.weightOwner = {&gradient};
  control.savedLmState.weightCount = 4;
  control.savedLmState.exemplarJtJ.assign(16, 1.0);
  control.release();
  EXPECT_EQ(freed, 1);  // releaseState calls freeState
  EXPECT_EQ(control.learningGlobals, nullptr);
  EXPECT_EQ(control.rootCount(), 0);
  EXPECT_TRUE(control.weightIndex.empty());
  EXPECT_EQ(control.weightIndex.weightCount, 0);
  EXPECT_FALSE(control.savedLmState.present());
  EXPECT_EQ(control.savedLmState.weightCount, 0);
  EXPECT_EQ(axon.control, nullptr);
  EXPECT_EQ(synapse.control, nullptr);
  EXPECT_EQ(gradient.control, nullptr);
  EXPECT_EQ(control.axonList.size(), 1u);
}

TEST_F(ControlWithMembers, ReleaseAfterClearingListsDetachesNothing) {
  control.clearComponentLists();
  EXPECT_TRUE(control.axonList.empty());
  EXPECT_TRUE(control.gradientList.empty());
  control.release();
  EXPECT_EQ(axon.control, &control);
  EXPECT_EQ(gradient.control, &control);
}

TEST(ComponentLists, RemoveEveryOccurrence) {
  kq::StaticControl control;
  kq::Soma a, b;
  control.axonList = {&a, &b, &a};
  control.removeAxon(&a);
  EXPECT_EQ(control.axonList, (std::vector<kq::Soma*>{&b}));
}

TEST(GradientBase, SizesToItsBackpropObject) {
  kq::Gradient gradient;
  gradient.setWeightCount(0);
  EXPECT_EQ(gradient.weightCount, 1);
  gradient.setWeightCount(-5);
  EXPECT_EQ(gradient.weightCount, 1);
  gradient.setBackprop(nullptr);
  EXPECT_EQ(gradient.weightCount, 1);
  kq::Soma backprop;
  backprop.setWeightCount(450, 0);
  gradient.setBackprop(&backprop);
  EXPECT_EQ(gradient.weightCount, 450);
}

TEST(GradientBase, BlockCountDividesTheBackpropLengthByTheForwardInputLength) {
  kq::Gradient gradient;
  EXPECT_EQ(gradient.gradientBlockCount(), 1);
  kq::Soma backprop, forward;
  backprop.length = 30;
  forward.inputLength = 10;
  gradient.backprop = &backprop;
  EXPECT_EQ(gradient.gradientBlockCount(), 1);
  gradient.forward = &forward;
  EXPECT_EQ(gradient.gradientBlockCount(), 3);
  forward.inputLength = 0;  // unsized: one block rather than a division by zero
  EXPECT_EQ(gradient.gradientBlockCount(), 1);
}

}  // namespace
