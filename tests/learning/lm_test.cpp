#include <kqnet/learning/lm_globals.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "../backward/backward_network.h"
#include <kqnet/control/back_static_control.h>
#include <kqnet/control/control.h>
#include <kqnet/core/memory.h>
#include <kqnet/core/records.h>
#include <kqnet/criteria/criterion.h>
#include <kqnet/learning/gradient.h>
#include <kqnet/synapses/synapse.h>

namespace {

using kq::LMGlobals;
using kq::RowMatrix;

// One weight, one block: a forward object, its accumulator, the gradient
// joining them, a criterion whose cost and error are set by hand, and the
// weight numbering the control would build for them.
struct OneWeight {
  OneWeight() {
    forward.setWeightCount(1, 1);
    forward.weights = {1.0};
    accumulator.setWeightCount(1, 1);
    accumulator.weights = {0.0};
    gradient.backprop = &accumulator;
    gradient.forward = &forward;
    control.gradientList = {&gradient};
    control.weightCount = 1;
    control.weightIndex.weightCount = 1;
    control.weightIndex.blockCount = 1;
    control.weightIndex.weightOwner = {&gradient};
    control.weightIndex.weightSlot = {{0}};
    criterion.setRows(1);
    criterion.errorBuffer = {0.3};
    control.currentCriterion = &criterion;
    lm.bind(&control);
    lm.prepare(1);
  }

  // One exemplar whose accumulator grows to total.
  void exemplar(double total) {
    accumulator.weights[0] = total;
    lm.afterExemplar();
  }

  // A batch end at the given mean cost.
  void batchEnd(double cost) {
    criterion.costSum = cost;
    criterion.exemplarCount = 1;
    lm.endBatch();
  }

  kq::StaticControl control;
  kq::Soma forward;
  kq::Soma accumulator;
  kq::Gradient gradient;
  kq::L2Criterion criterion;
  LMGlobals lm;
};

TEST(LMGlobalsTest, BindTakesTheControlsDampingAndPrepareSizesAndResets) {
  OneWeight t;
  EXPECT_EQ(t.lm.initialDamping, 0.01);
  EXPECT_EQ(t.lm.damping, 0.01);
  EXPECT_EQ(t.lm.previousError, 9999.9);
  EXPECT_EQ(t.lm.resetRequested, 0);
  EXPECT_EQ(t.lm.weightCount, 1);
  EXPECT_EQ(t.lm.blockCount, 1);
  EXPECT_EQ(t.lm.hessian, (RowMatrix{{0.0}}));
  EXPECT_EQ(t.lm.jacobian, (RowMatrix{{0.0}}));
  t.lm.freeState();
  EXPECT_EQ(t.lm.weightCount, 0);
  EXPECT_TRUE(t.lm.hessian.empty());
}

TEST(LMGlobalsTest, AcceptsRejectsAndGivesUpAsTheCostMoves) {
  OneWeight t;
  const double j = 0.6 / 0.3;
  t.exemplar(0.6);
  EXPECT_EQ(t.lm.jacobian[0][0], j);
  EXPECT_EQ(t.lm.hessian[0][0], j * j);

  // First batch: accepted (cost below 9999.9), damping / 10.
  t.batchEnd(0.5);
  double damping = 0.01 / 10.0;
  double expected = 1.0 + 0.6 * (1.0 / (j * j + damping));
  EXPECT_EQ(t.lm.damping, damping);
  EXPECT_EQ(t.lm.previousError, 0.5);
  EXPECT_EQ(t.lm.savedWeights[0], 1.0);
  EXPECT_EQ(t.lm.savedGradient[0][0], 0.6);
  EXPECT_EQ(t.lm.savedHessian[0][0], j * j);
  EXPECT_EQ(t.forward.weights[0], expected);
  EXPECT_EQ(t.accumulator.weights[0], 0.0);
  EXPECT_EQ(t.lm.hessian[0][0], 0.0);
  EXPECT_EQ(t.lm.swapAvailable, 1);
  EXPECT_EQ(t.lm.skipFlag, 0u);

  // Worse: back to the accepted point with ten times the damping, the
  // accepted batch's gradient and Hessian.
  t.exemplar(0.2);
  t.batchEnd(0.7);
  damping = damping * 10.0;
  EXPECT_EQ(t.lm.damping, damping);
  EXPECT_EQ(t.lm.previousError, 0.5);
  EXPECT_EQ(t.forward.weights[0], 1.0 + 0.6 * (1.0 / (j * j + damping)));

  // Exactly as good as the accepted point: accepted.
  t.exemplar(0.6);
  t.batchEnd(0.5);
  damping = damping / 10.0;
  EXPECT_EQ(t.lm.damping, damping);
  const double accepted = t.lm.savedWeights[0];
  EXPECT_EQ(accepted, 1.0 + 0.6 * (1.0 / (j * j + 0.01 / 10.0 * 10.0)));

  // At a damping of exactly 1e8 a worse batch takes a small gradient step.
  t.lm.damping = 1e8;
  t.exemplar(0.6);
  t.batchEnd(0.9);
  EXPECT_EQ(t.lm.damping, 1e8);
  EXPECT_EQ(t.lm.previousError, 0.9);
  const double nudged = accepted + 0.01 * 0.6;
  EXPECT_EQ(t.lm.savedWeights[0], nudged);
  EXPECT_EQ(t.forward.weights[0], nudged + 0.6 * (1.0 / (j * j + 1e8)));
}

TEST(LMGlobalsTest, SmallErrorsGradientsAndCostsAreGuarded) {
  OneWeight t;
  // An error inside +-1e-80 divides as +1e-80.
  t.criterion.errorBuffer = {-1e-90};
  t.exemplar(1e-70);
  EXPECT_EQ(t.lm.jacobian[0][0], 1e-70 / 1e-80);

  // A cost at or below 1e-80 changes nothing.
  t.batchEnd(1e-80);
  EXPECT_EQ(t.lm.previousError, 9999.9);
  EXPECT_EQ(t.accumulator.weights[0], 1e-70);

  // A gradient norm of at most 1e-11 moves no weight but still clears.
  t.lm.hessian[0][0] = 0.0;
  t.accumulator.weights[0] = 1e-11;
  t.batchEnd(0.5);
  EXPECT_EQ(t.forward.weights[0], 1.0);
  EXPECT_EQ(t.accumulator.weights[0], 0.0);

  // Without J^T J the step is the gradient over the damping.
  t.control.skipJacobianProduct = 1;
  t.exemplar(0.6);
  EXPECT_EQ(t.lm.hessian[0][0], 0.0);
  t.batchEnd(0.4);
  EXPECT_EQ(t.forward.weights[0], 1.0 + 0.6 * (1.0 / (0.01 / 10.0 / 10.0)));

  // No criterion: nothing to judge by, the batch changes nothing.
  t.control.currentCriterion = nullptr;
  t.accumulator.weights[0] = 0.6;
  const double before = t.forward.weights[0];
  t.lm.endBatch();
  EXPECT_EQ(t.forward.weights[0], before);
  EXPECT_EQ(t.accumulator.weights[0], 0.6);
}

TEST(LMGlobalsTest, FinishTrainingSwapsInTheAcceptedWeightsAndPrepareSwapsBack) {
  OneWeight t;
  t.exemplar(0.6);
  t.batchEnd(0.5);
  const double reached = t.forward.weights[0];
  t.lm.finishTraining();
  EXPECT_EQ(t.forward.weights[0], 1.0);
  EXPECT_EQ(t.lm.swapped, 1);
  EXPECT_EQ(t.lm.swapAvailable, 0);
  t.lm.finishTraining();  // nothing left to swap
  EXPECT_EQ(t.forward.weights[0], 1.0);
  t.lm.prepare(1);
  EXPECT_EQ(t.forward.weights[0], reached);
  EXPECT_EQ(t.lm.swapped, 0);
}

TEST(LMGlobalsTest, BayesianUpdateMovesAlphaAndBeta) {
  OneWeight t;
  t.control.weightDecay = 1;
  t.control.keepRegularisationBeta = 1;
  t.control.batchSize = 10;
  t.control.weightEnergy = 4.0;
  t.control.regularisationAlpha = 0.3;  // above the new share: replaced
  t.exemplar(0.6);
  t.batchEnd(0.5);
  const double j = 0.6 / 0.3;
  const double r = 0.999 * j * j + 0.3;
  const double gamma = 1.0 - 0.3 * (1.0 / r);
  const double a = 1.0 * gamma / (2.0 * 4.0);
  const double b = (10.0 - gamma) / (4.0 * 0.5 * 10.0);
  const double alpha = std::min(a / (a + b), 0.2);
  EXPECT_EQ(t.control.regularisationAlpha, alpha);
  EXPECT_EQ(t.control.regularisationBeta, 1.0 - alpha);
  // Then the energy of the moved weight.
  EXPECT_EQ(t.control.weightEnergy, t.forward.weights[0] * t.forward.weights[0]);
}

TEST(LMGlobalsTest, TakesTheSavedStateIntoTheArraysOfTheSameRole) {
  kq::SavedLmState saved;
  saved.skipFlag = 0;
  saved.damping = 0.5;
  saved.previousError = 2.0;
  saved.weightCount = 2;
  saved.blockCount = 1;
  saved.swapAvailable = 1;
  saved.exemplarJtJ = {1, 2, 3, 4};
  saved.hessian = {5, 6, 7, 8};
  saved.savedHessian = {9, 10, 11, 12};
  saved.inverse = {13, 14, 15, 16};
  saved.jacobian = {17, 18};
  saved.savedGradient = {19, 20};
  saved.previousAccumulator = {21, 22};
  saved.savedWeights = {23, 24};
  saved.step = {25, 26};
  saved.gradientSum = {27, 28};
  LMGlobals lm;
  lm.takeSavedState(saved);
  EXPECT_EQ(lm.skipFlag, 0u);
  EXPECT_EQ(lm.damping, 0.5);
  EXPECT_EQ(lm.previousError, 2.0);
  EXPECT_EQ(lm.swapAvailable, 1);
  EXPECT_EQ(lm.hessian, (RowMatrix{{5, 6}, {7, 8}}));
  EXPECT_EQ(lm.inverse, (RowMatrix{{13, 14}, {15, 16}}));
  EXPECT_EQ(lm.savedHessian[1][0], 11);
  EXPECT_EQ(lm.exemplarJtJ[0][1], 2);
  EXPECT_EQ(lm.jacobian, (RowMatrix{{17, 18}}));
  EXPECT_EQ(lm.savedGradient, (RowMatrix{{19, 20}}));
  EXPECT_EQ(lm.previousAccumulator, (RowMatrix{{21, 22}}));
  EXPECT_EQ(lm.savedWeights, (std::vector<double>{23, 24}));
  EXPECT_EQ(lm.weightStep, (std::vector<double>{25, 26}));
  EXPECT_EQ(lm.gradientSum, (std::vector<double>{27, 28}));
  EXPECT_EQ(lm.currentAccumulator, (RowMatrix{{0, 0}}));
}

}  // namespace

namespace {

// The programs' network shape in small: 2 inputs, 3 hidden, 2 outputs,
// trained by Levenberg-Marquardt through the control.
struct LmNetwork {
  explicit LmNetwork(int batch, bool prepare = true) : net({2, 3, 2}, {{0, 1}, {1, 2}}) {
    std::mt19937_64 generator(7);
    net.randomizeForward(generator, 0.5);
    net.inputs.records = kqtest::randomRecords(static_cast<size_t>(batch), 2, generator);
    net.desired.records = kqtest::randomRecords(static_cast<size_t>(batch), 2, generator);
    for (auto& record : net.desired.records) {
      for (double& d : record) d *= 0.8;
    }
    backControl.learningMethod = "LevenbergMarquardt";
    net.control.attachBackControl(&backControl);
    EXPECT_EQ(net.control.learningMode, 2);
    for (kq::Engine* object : net.objects()) object->registerWithControl();
    // In object order: each layer's synapse gradient, then its axon's.
    addGradient(net.synapseTwins[0].get(), net.synapses[0].get());
    addGradient(net.layerTwin(1), net.layer(1));
    addGradient(net.synapseTwins[1].get(), net.synapses[1].get());
    addGradient(net.layerTwin(2), net.layer(2));
    net.criterion.stopCheckOn = 1;  // the criterion counts its cost
    net.control.batchSize = batch;
    if (!prepare) {
      // The programs switch learning off before the weight file is read.
      net.control.setLearning(0);
      return;
    }
    net.control.learning = 1;
    net.control.prepareLearning();
  }

  // One batch of one epoch as the programs' loop runs it.
  void runBatch() {
    for (size_t e = 0; e < net.inputs.records.size(); ++e) {
      net.forward();
      net.backward();
      net.control.afterExemplar();
    }
    net.control.endBatch();
    for (const auto& g : gradients) g->applyUpdate(*g->forward);
    net.control.afterBatch();
    net.criterion.computeCost(1, 1);
  }

  std::vector<std::vector<double>> weights() const {
    std::vector<std::vector<double>> all;
    for (const auto& g : gradients) all.push_back(g->forward->weights);
    return all;
  }

  void addGradient(kq::Soma* twin, kq::Soma* forward) {
    gradients.push_back(std::make_unique<kq::Gradient>());
    kq::Gradient& g = *gradients.back();
    g.setBackprop(twin);
    g.forward = forward;
    g.control = &net.control;
    g.registerWithControl();
  }

  LMGlobals& lm() { return dynamic_cast<LMGlobals&>(*net.control.learningGlobals); }

  kqtest::BackwardNetwork net;
  kq::BackStaticControl backControl;
  std::vector<std::unique_ptr<kq::Gradient>> gradients;
};

TEST(LMColumnsTest, EveryBackwardComponentCarriesOneColumnPerOutput) {
  LmNetwork t(4);
  kqtest::BackwardNetwork& net = t.net;
  kq::Soma* root = &net.criterionTwin;
  // The output twin keeps its mark and the dual's size: one block whose
  // element o is output o's own column.
  EXPECT_EQ(net.layerTwin(2)->criterionMark, 1);
  EXPECT_EQ(net.layerTwin(2)->jacobianColumns, 2);
  EXPECT_EQ(net.layerTwin(2)->length, 2);
  // Below it every component carries two columns side by side.
  EXPECT_EQ(net.synapseTwins[1]->jacobianColumns, 2);
  EXPECT_EQ(net.layerTwin(1)->criterionMark, 0);
  EXPECT_EQ(net.layerTwin(1)->length, 6);
  EXPECT_EQ(net.synapseTwins[0]->jacobianColumns, 2);
  EXPECT_EQ(net.inputTwin.jacobianColumns, 2);
  EXPECT_EQ(net.inputTwin.length, 4);
  for (kq::Soma* s :
       std::vector<kq::Soma*>{net.layerTwin(2), net.synapseTwins[1].get(), net.layerTwin(1),
                              net.synapseTwins[0].get(), &net.inputTwin}) {
    EXPECT_EQ(s->connectionList, std::vector<kq::Soma*>{root});
  }
  EXPECT_EQ(net.control.weightIndex.weightCount, 17);
  EXPECT_EQ(net.control.weightIndex.blockCount, 2);

  // The same root again changes nothing; a second root adds its columns
  // after the first one's and sets the caller's column base.
  net.criterionTwin.prepareLearning();
  EXPECT_EQ(net.layerTwin(1)->jacobianColumns, 2);
  kq::BackAxon otherRoot;
  kq::BackAxon caller;
  LMGlobals::lmAssignColumns(net.layerTwin(1), 3, &otherRoot, &caller);
  EXPECT_EQ(caller.jacobianColumnBase, 2);
  EXPECT_EQ(net.layerTwin(1)->jacobianColumns, 5);
  EXPECT_EQ(net.synapseTwins[0]->jacobianColumns, 7);
  EXPECT_EQ(net.layerTwin(1)->jacobianColumnBase, 2);
  EXPECT_EQ(net.inputTwin.jacobianColumns, 7);
}

// A forward synapse that reports the class word of an SVM output layer.
class SvmOutputSynapse : public kq::FullSynapse {
 public:
  const char* className() const override { return "SVMOutputSynapse"; }
};

TEST(LMColumnsTest, TheTwinOfAnSvmOutputSynapseCarriesOneColumnOnward) {
  kqtest::BackwardNetwork net({2, 3, 2}, {{0, 1}, {1, 2}});
  SvmOutputSynapse svm;
  net.synapseTwins[1]->dual = &svm;
  kq::BackAxon root;
  LMGlobals::lmAssignColumns(net.layerTwin(2), 2, &root, &root);
  EXPECT_EQ(net.layerTwin(2)->jacobianColumns, 2);
  EXPECT_EQ(net.synapseTwins[1]->jacobianColumns, 1);
  EXPECT_EQ(net.layerTwin(1)->jacobianColumns, 1);
  EXPECT_EQ(net.synapseTwins[0]->jacobianColumns, 1);
  EXPECT_EQ(net.inputTwin.jacobianColumns, 1);
  EXPECT_EQ(net.layerTwin(1)->length, 3);
}

// rows x columns zeros.
RowMatrix zeros(int rows, int columns) {
  return RowMatrix(static_cast<size_t>(rows),
                   kq::ClaimedArray<double>(static_cast<size_t>(columns), 0.0));
}

// The method's formulas written out plainly over one global weight vector,
// fed with the accumulators and the costs the library network produces.
struct PlainLm {
  int n = 0, m = 0, first = -1;
  std::vector<double> w, savedW;
  std::vector<bool> marked;
  RowMatrix jac, prev, savedG, h, savedH;
  double damping = 0.01, previousError = 9999.9;

  void start(const std::vector<double>& weights, const std::vector<bool>& marks, int blocks) {
    w = weights;
    marked = marks;
    n = static_cast<int>(w.size());
    m = blocks;
    for (int i = 0; i < n && first < 0; ++i) {
      if (marked[i]) first = i;
    }
    savedW.assign(n, 0.0);
    jac = prev = savedG = zeros(m, n);
    h = savedH = zeros(n, n);
  }

  void exemplar(const RowMatrix& acc, const std::vector<double>& e) {
    for (int i = 0; i < n; ++i) {
      for (int b = 0; b < m; ++b) {
        if (marked[i] && b != i - first) continue;
        const double guarded = std::fabs(e[b]) < 1e-80 ? 1e-80 : e[b];
        jac[b][i] = (acc[b][i] - prev[b][i]) / guarded;
      }
    }
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) {
        double s = 0.0;
        for (int k = 0; k < m; ++k) s += jac[k][i] * jac[k][j];
        h[i][j] += s;
      }
    }
    prev = acc;
  }

  void batchEnd(RowMatrix acc, double cost) {
    if (cost <= previousError) {
      damping /= 10.0;
      previousError = cost;
      savedH = h;
      savedW = w;
      savedG = acc;
    } else {
      ASSERT_LT(damping, 1e8);  // the test stays far from the give-up branch
      damping *= 10.0;
      w = savedW;
      acc = savedG;
      h = savedH;
    }
    for (int j = 0; j < n; ++j) h[j][j] += damping;
    RowMatrix inv = zeros(n, n);
    kq::invertMatrix(h, n, inv);
    std::vector<double> g(n, 0.0);
    double squares = 0.0;
    for (int j = 0; j < n; ++j) {
      for (int b = 0; b < m; ++b) {
        if (!marked[j] || b == j - first) g[j] += acc[b][j];
      }
      squares += g[j] * g[j];
    }
    for (int j = 0; j < n; ++j) {
      double step = 0.0;
      for (int i = 0; i < n; ++i) step += g[i] * inv[j][i];
      if (std::sqrt(squares) > 1e-11) w[j] += step;
    }
    h = zeros(n, n);
    prev = zeros(m, n);
  }
};

TEST(LMTrainingTest, WeightsFollowThePlainFormulasAndTheCostFalls) {
  const int batch = 5;
  LmNetwork t(batch);
  kqtest::BackwardNetwork& net = t.net;
  // The global numbering, worked out here from the gradient order: each
  // component's weights in order; an accumulator larger than the weights
  // holds block b at k + W b, one of the same size serves every block at k.
  std::vector<double*> weights;
  std::vector<std::vector<double*>> entries(2);
  std::vector<bool> marks;
  for (const auto& g : t.gradients) {
    const int w = g->forward->weightTotal();
    const bool twoBlocks = g->backprop->weightTotal() != w;
    for (int k = 0; k < w; ++k) {
      weights.push_back(&g->forward->weights[k]);
      for (int b = 0; b < 2; ++b)
        entries[b].push_back(&g->backprop->weights[k + (twoBlocks ? w * b : 0)]);
      marks.push_back(g->backprop->criterionMark != 0);
    }
  }
  ASSERT_EQ(weights.size(), 17u);
  const auto current = [&] {
    std::vector<double> v;
    for (double* p : weights) v.push_back(*p);
    return v;
  };
  const auto accumulators = [&] {
    RowMatrix a(2);
    for (int b = 0; b < 2; ++b) {
      std::vector<double> row;
      for (double* p : entries[b]) row.push_back(*p);
      a[b] = row;
    }
    return a;
  };

  PlainLm plain;
  plain.start(current(), marks, 2);
  std::vector<double> costs;
  for (int round = 0; round < 6; ++round) {
    for (int e = 0; e < batch; ++e) {
      net.forward();
      net.backward();
      net.control.afterExemplar();
      plain.exemplar(accumulators(), net.criterion.errorBuffer);
      ASSERT_EQ(t.lm().jacobian, plain.jac) << "exemplar " << e;
      ASSERT_EQ(t.lm().hessian, plain.h) << "exemplar " << e;
    }
    const RowMatrix atBatchEnd = accumulators();
    net.control.endBatch();
    for (const auto& g : t.gradients) g->applyUpdate(*g->forward);
    net.control.afterBatch();
    costs.push_back(net.criterion.trainingCost);
    plain.batchEnd(atBatchEnd, net.criterion.trainingCost);
    EXPECT_EQ(current(), plain.w) << "after batch " << round;
    EXPECT_EQ(t.lm().damping, plain.damping);
    net.criterion.computeCost(1, 1);  // the epoch ends with the batch
  }
  EXPECT_LT(t.lm().previousError, 0.5 * costs.front());
}

// The control's record of a mode-2 run, written from its globals in the
// record's layout (the weight file's control record has no writer).
void writeControlRecord(std::FILE* file, const kq::StaticControl& control, const LMGlobals& lm) {
  kq::FileRecordWriter w(file);
  w.putInt(control.bestEpoch, ' ');
  w.putValue(control.bestCost);
  w.putInt(2, ' ');
  w.putInt(1, '\n');
  w.putInt(lm.initialised, ' ');
  w.putInt(static_cast<int32_t>(lm.skipFlag), ' ');
  w.putInt(lm.passDone, '\n');
  for (double v : {lm.initialDamping, lm.damping, lm.previousError}) w.putValue(v);
  for (int32_t v :
       {lm.weightCount, lm.blockCount, lm.resetRequested, lm.swapped, lm.swapAvailable}) {
    w.putInt(v, ' ');
  }
  for (int i = 0; i < lm.weightCount; ++i) {
    w.putLineEnd();
    for (int j = 0; j < lm.weightCount; ++j) {
      for (const RowMatrix* m : {&lm.exemplarJtJ, &lm.hessian, &lm.savedHessian, &lm.inverse}) {
        w.putValue((*m)[i][j]);
      }
    }
    for (int b = 0; b < lm.blockCount; ++b) {
      for (const RowMatrix* m : {&lm.jacobian, &lm.savedGradient, &lm.previousAccumulator}) {
        w.putValue((*m)[b][i]);
      }
    }
    for (const kq::ClaimedArray<double>* v : {&lm.savedWeights, &lm.weightStep, &lm.gradientSum}) {
      w.putValue((*v)[i]);
    }
  }
  w.putInt(0, '\n');  // leastSquaresPending
}

TEST(LMResumeTest, ARunSavedInModeTwoResumesWhereItStopped) {
  const int batch = 5;
  // Saved at a batch end and prepared with learning off, as the programs
  // prepare; or saved after the run ended (the network then holds the last
  // accepted weights) and prepared with learning on, which undoes the swap.
  for (const bool finished : {false, true}) {
    LmNetwork uninterrupted(batch);
    LmNetwork stopped(batch);
    for (int round = 0; round < 3; ++round) {
      uninterrupted.runBatch();
      stopped.runBatch();
    }
    if (finished) stopped.net.control.finishTraining();
    ASSERT_EQ(stopped.lm().swapped, finished ? 1 : 0);
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    writeControlRecord(file, stopped.net.control, stopped.lm());
    std::rewind(file);

    // A new process in the programs' order: the weights, the control's
    // record, the preparation, then learning on.
    LmNetwork resumed(batch, false);
    const auto saved = stopped.weights();
    for (size_t g = 0; g < saved.size(); ++g) resumed.gradients[g]->forward->weights = saved[g];
    resumed.net.control.readLearningState(file, 247);
    std::fclose(file);
    resumed.net.control.learning = finished ? 1 : 0;
    resumed.net.control.prepareLearning();
    EXPECT_FALSE(resumed.net.control.savedLmState.present());
    EXPECT_EQ(resumed.lm().damping, uninterrupted.lm().damping) << finished;
    resumed.net.control.setLearning(1);
    EXPECT_EQ(resumed.weights(), uninterrupted.weights()) << finished;

    for (int round = 0; round < 2; ++round) {
      uninterrupted.runBatch();
      resumed.runBatch();
      EXPECT_EQ(resumed.weights(), uninterrupted.weights()) << finished << " batch " << round;
      EXPECT_EQ(resumed.lm().damping, uninterrupted.lm().damping) << finished << " " << round;
      EXPECT_EQ(resumed.lm().previousError, uninterrupted.lm().previousError) << finished;
    }
  }
}

TEST(LMGlobalsTest, WithoutLearningTheSquareArraysWaitUntilLearningIsSwitchedOn) {
  // Learning switched on through the control, or by assigning the flag
  // alone, after which the first exemplar's hook sizes the arrays.
  for (const bool throughTheControl : {true, false}) {
    // A forward-only run whose control is in mode 2 (as a weight file may
    // set it) keeps no n x n array.
    LmNetwork forwardOnly(5, false);
    kq::StaticControl& control = forwardOnly.net.control;
    control.learning = 0;
    control.prepareLearning();
    const LMGlobals& lm = forwardOnly.lm();
    EXPECT_EQ(lm.weightCount, 17);
    for (const RowMatrix* m :
         {&lm.exemplarJtJ, &lm.savedHessian, &lm.hessian, &lm.inverse, &lm.regularisationMatrix}) {
      EXPECT_TRUE(m->empty());
    }
    const auto before = forwardOnly.weights();
    for (int e = 0; e < 5; ++e) forwardOnly.net.forward();
    forwardOnly.net.criterion.computeCost(1, 1);
    control.finishTraining();
    EXPECT_EQ(forwardOnly.weights(), before);

    // Switched on, training runs as it does when learning was on from the
    // start.
    if (throughTheControl) {
      control.setLearning(1);
      ASSERT_EQ(lm.hessian.size(), 17u);
      EXPECT_EQ(lm.regularisationMatrix[16].size(), 17u);
    } else {
      control.learning = 1;
    }
    LmNetwork fromStart(5);
    for (int round = 0; round < 3; ++round) {
      forwardOnly.runBatch();
      fromStart.runBatch();
      EXPECT_EQ(forwardOnly.weights(), fromStart.weights()) << throughTheControl << " " << round;
      EXPECT_EQ(lm.damping, fromStart.lm().damping) << throughTheControl << " " << round;
    }
  }
}

// The globals' arrays are on the ledger as the numbering sizes them: five
// n x n tables, three n-vectors and the n marks, four m x n tables, each
// table with its rows; freeing the state gives back every byte.
TEST(LMGlobalsTest, ItsArraysAreOnTheLedgerUntilItsStateIsFreed) {
  LmNetwork t(5);
  const int64_t n = 17;
  const int64_t m = 2;
  const int64_t row = sizeof(kq::ClaimedArray<double>);
  const int64_t held = 5 * (n * row + n * n * 8) + 3 * n * 8 + n + 4 * (m * row + m * n * 8);
  const int64_t before = kq::claimedMemory();
  t.lm().freeState();
  EXPECT_EQ(before - kq::claimedMemory(), held);
}

// The globals' state spans every weight as they were numbered: a layer
// grown since cannot be trained on, and the call that numbers it is named.
TEST(LMGlobalsDeathTest, ALayerGrownAfterPreparingEndsTheRunNamingTheCall) {
  const auto grow = [](LmNetwork& t) {
    t.net.layer(1)->setRows(4);
    t.net.layerTwin(1)->setRows(4);
  };
  EXPECT_EXIT(
      {
        LmNetwork t(5);
        grow(t);
        t.runBatch();
      },
      ::testing::ExitedWithCode(1),
      "^Error: The trainable weights changed since prepareLearning numbered them; call "
      "prepareLearning before the next batch\\.\n$");
  LmNetwork t(5);
  grow(t);
  t.net.control.prepareLearning();
  ASSERT_EQ(t.lm().weightCount, 22);
  const auto before = t.weights();
  t.runBatch();
  const auto after = t.weights();
  for (size_t w = 0; w < 8; ++w) EXPECT_NE(after[0][w], before[0][w]) << "weight " << w;
}

}  // namespace

namespace {

// The weight count comes from the network's shapes, which a weight file
// gives: five square tables beyond physical memory end the process before
// any is allocated.
TEST(LMGlobalsDeathTest, SquareArraysBeyondPhysicalMemoryEndTheProcess) {
  const int64_t physical = int64_t{sysconf(_SC_PHYS_PAGES)} * sysconf(_SC_PAGESIZE);
  auto n = static_cast<int64_t>(std::sqrt(static_cast<double>(physical) / 40.0));
  while (40 * n * n <= physical) ++n;
  if (n * n > std::numeric_limits<int32_t>::max()) {
    GTEST_SKIP() << "no 32-bit square table exceeds this machine's memory";
  }
  LMGlobals lm;
  lm.weightCount = static_cast<int32_t>(n);
  EXPECT_EXIT(lm.allocateWorkArrays(), ::testing::ExitedWithCode(1), "^Error: Out of memory\\.\n$");
}

}  // namespace
