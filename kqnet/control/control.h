#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include <kqnet/core/claimed_array.h>
#include <kqnet/core/costs.h>
#include <kqnet/core/engine.h>
#include <kqnet/core/weight_file_version.h>

// The run control of one network. It has no loop: a caller drives the
// network through it with these calls, in this order (the programs' run and
// the training example both do). The outputs depend on the order bit for
// bit: it fixes the order of every floating-point sum and the moment at
// which each learning hook sees the accumulators.
//
//   Before the first epoch, after the weight file is read: store learning,
//   batchSize and the counters, prepareLearning(), setEpoch(0).
//   Every exemplar:
//     1. fireRoots(): the forward pass.
//     2. With learning on (or one backward pass asked for):
//        a. stepDualFrameBack() on every backward twin, in object order, so
//           that each forward object shows the frame of this exemplar;
//        b. fire the backward network: the context synapse's twin first,
//           where there is one, then the backward criteria control;
//        c. restoreDualFramePosition() on the same twins, in the same order;
//        d. afterExemplar();
//        e. when this backward pass completes a batch (batchSize of them,
//           counted across passes and epochs): endBatch(), then every
//           gradient's applyUpdate() on its forward object in object order,
//           then afterBatch().
//     3. A raised stopRequested: the criterion's computeCost(1, 1), and
//        the run ends.
//   Between two passes of an epoch: the conjugate-gradient networks close
//   the pass's cost (the criterion's clearMeasureAccumulators(pass) and
//   computeCost(0, 1)); with more than one pass per epoch, afterPass(pass).
//   Every epoch end: epoch + 1; the criterion's computeCost(1, 1), which
//   completes the epoch's statistics and writes its probes; its
//   holdBestCosts := 0 and resetEpoch(); checkBestCost() (the early-stop
//   check, then the globals' afterEpoch); a raised stopRequested ends the
//   run.
//   After the run: finishTraining(); the control of every object listed
//   before it cleared; finishTraining() again; clearComponentLists(); the
//   remaining objects' control cleared; release() of every object.
//
// Every network object is given the control and registers with it; the
// control files components by kind in five ordered lists, keeps the
// activation roots whose firing starts each forward pass, numbers depths
// from them, holds the run's counters and limits, and owns the learning
// globals, the trainable-weight numbering and the saved Levenberg-Marquardt
// state.
//
// Control: the abstract base of the run controls; its kind test skips the
// Engine word. StaticControl: the control of a forward network.

namespace kq {

class Soma;
class Gradient;
class LearningGlobals;
class BackStaticControl;

// Which learning machinery the control runs. The values are the ones the
// programs set and the control's weight-file record stores.
enum LearningMode : int32_t {
  kFirstOrderMode = 0,          // each gradient updates its own weights; no globals
  kConjugateGradientMode = 1,   // CGGlobals
  kLevenbergMarquardtMode = 2,  // LMGlobals
};

// Numbering of all trainable weights for the second-order learners.
struct WeightIndex {
  int32_t weightCount = 0;                         // n: weights over the gradient list
  int32_t blockCount = 0;                          // m: largest gradient block count
  ClaimedArray<Gradient*> weightOwner;             // gradient owning weight i
  ClaimedArray<ClaimedArray<int32_t>> weightSlot;  // m rows of n accumulator positions

  bool empty() const { return weightOwner.empty() && weightSlot.empty(); }
  void clear();
};

// Levenberg-Marquardt state read from the weight file, kept until it is
// handed to the learning globals. Members carry the names of the LMGlobals
// fields they are copied into; matrices are row-major.
struct SavedLmState {
  int32_t initialised = 0;                   // the method's search has started
  uint32_t skipFlag = 1;                     // hooks wait for the first batch or pass
  int32_t passDone = 0;                      // a trial step was taken in this epoch
  double initialDamping = 0.0;               // damping the method restarts from
  double damping = 0.0;                      // current damping
  double previousError = 0.0;                // error of the last accepted step
  int32_t weightCount = 0;                   // n: weight count the state was saved for
  int32_t blockCount = 0;                    // m: block count the state was saved for
  int32_t resetRequested = 0;                // the method restarts at its next step
  int32_t swapped = 0;                       // the hessian and its saved copy are swapped
  int32_t swapAvailable = 0;                 // a saved copy can be swapped back
  ClaimedArray<double> exemplarJtJ;          // n x n
  ClaimedArray<double> hessian;              // n x n
  ClaimedArray<double> savedHessian;         // n x n
  ClaimedArray<double> inverse;              // n x n
  ClaimedArray<double> jacobian;             // m x n
  ClaimedArray<double> savedGradient;        // m x n
  ClaimedArray<double> previousAccumulator;  // m x n
  ClaimedArray<double> savedWeights;         // n
  ClaimedArray<double> step;                 // n
  ClaimedArray<double> gradientSum;          // n

  bool present() const { return !exemplarJtJ.empty(); }
  // Calls size(array, count, 0.0) for each array above, with the count the
  // saved sizes give it (negative sizes count as 0).
  template <typename Size>
  void eachArray(Size&& size) {
    const int64_t n = std::max(weightCount, 0);
    const int64_t m = std::max(blockCount, 0);
    for (ClaimedArray<double>* square : {&exemplarJtJ, &hessian, &savedHessian, &inverse}) {
      size(*square, n * n, 0.0);
    }
    for (ClaimedArray<double>* block : {&jacobian, &savedGradient, &previousAccumulator}) {
      size(*block, m * n, 0.0);
    }
    for (ClaimedArray<double>* vector : {&savedWeights, &step, &gradientSum}) size(*vector, n, 0.0);
  }
};

class Control : public Engine {
 public:
  bool isKindOf(const char* name) const override;
};

class StaticControl : public Control {
 public:
  StaticControl();
  ~StaticControl() override;
  StaticControl(const StaticControl&) = delete;
  StaticControl& operator=(const StaticControl&) = delete;

  const char* className() const override { return "StaticControl"; }
  bool isKindOf(const char* name) const override;
  // Frees the weight index, the globals, the roots and the saved state, and
  // detaches every listed component (the lists themselves stay).
  void release() override;

  // Activation roots, in firing order; an object already there is ignored.
  void addRoot(Soma* object, int front);
  void clearRoots();
  // One forward pass over one exemplar.
  void fireRoots();
  void numberDepths();

  // The engine part, the backward criteria controls, the gradients' sizes,
  // the first criterion, setLearning with the present flag, then the saved
  // Levenberg-Marquardt state. Called once after the weight file is read.
  int prepareLearning() override;

  // Learning mode and globals (learning_mode.cpp).
  // A different mode drops existing globals (and the weight index).
  void setLearningMode(int mode);
  // Derives the mode from the backward control's method name, then empties
  // the five lists, so registration must follow.
  void attachBackControl(BackStaticControl* object);
  // CGGlobals in mode 1, LMGlobals otherwise; bound and reset.
  void createLearningGlobals();
  // Assigns the flag; modes 1 and 2 count and index the weights and
  // prepare the globals (creating them when missing), mode 0 drops them.
  void setLearning(int flag);
  // Hands the saved state to matching Levenberg-Marquardt globals; the
  // saved state is freed in every case.
  void restoreLmState();
  // Zero-filled arrays for the saved sizes, for the weight-file reader.
  void allocateSecondOrder();
  // The control's weight-file record (control_record.cpp, from version
  // 242): best epoch and cost, the mode (replaced without dropping the
  // globals), and, when its flag says so, the mode's learning state and
  // leastSquaresPending.
  void readLearningState(std::FILE* file, KqWeightFileVersion version);
  // Numbers the weights of the gradient list for m blocks.
  void buildWeightIndex(int m);
  // Learning hooks; each does nothing without globals. With globals, each
  // but afterExemplar first ends the run with a message when the trainable
  // weights changed since the weight index was built (a layer re-sized
  // after prepareLearning), rather than train part of them.
  void afterExemplar();
  void endBatch();
  void afterBatch();
  void afterPass(int passNumber);
  void finishTraining();
  // The early-stop check, then the globals' afterEpoch.
  void checkBestCost();
  // Least-squares fit of a one-hidden-layer chain, tried once before the
  // first epoch.
  void leastSquaresInit();

  void setEpoch(int newEpoch);
  void setInitialDamping(double damping);
  void clearComponentLists();
  void reconnectSynapses();
  void sumSquaredWeights();
  // The weight total of the gradients' forward objects: the weights the
  // gradient list trains (a gradient without a forward object adds none).
  int64_t trainableWeightTotal() const;
  void freeWeightIndex();
  void freeSavedLmState();
  // Frees the state of existing learning globals and deletes them, then
  // frees the weight index in every case.
  void deleteLearningGlobals();

  // Remove every occurrence of a component from its list.
  void removeAxon(Soma* axon);
  void removeSynapse(Soma* synapse);
  void removeCriterion(Soma* criterion);
  void removeBackCriteria(Soma* backCriteria);
  void removeGradient(Gradient* gradient);

  int rootCount() const { return static_cast<int>(roots.size()); }

  std::vector<Soma*> backCriteriaList;       // backward criteria controls
  std::vector<Soma*> criteriaList;           // criteria
  std::vector<Soma*> synapseList;            // forward and backward synapses
  std::vector<Soma*> axonList;               // axons, backward axons, criteria
  std::vector<Gradient*> gradientList;       // gradients whose component has weights
  int32_t learning = 1;                      // learning flag
  int32_t leastSquaresEnabled = 0;           // least-squares initialisation wanted
  int32_t leastSquaresPending = 1;           // least-squares initialisation not yet tried
  int32_t earlyStopArmed = 0;                // second switch of the early-stop check
  int32_t earlyStopOn = 0;                   // first switch of the early-stop check
  int32_t parametersChanged = 0;             // a registering object had pending changes
  int32_t stopRequested = 0;                 // set by the early-stop check
  int32_t trainingFlag = 1;                  // training-time bookkeeping on
  int32_t weightDecay = 0;                   // regularised cost on
  int32_t keepRegularisationBeta = 0;        // counting weights leaves the beta alone
  int32_t skipJacobianProduct = 0;           // LM skips the J^T J accumulation
  int32_t learningMode = kFirstOrderMode;    // a LearningMode, stored as read
  WeightIndex weightIndex;                   // numbering of the trainable weights
  int32_t patience = 100;                    // epochs without a new best before stopping
  int32_t batchSize = 0;                     // exemplars per batch
  std::vector<Soma*> roots;                  // activation roots, in firing order
  int32_t pass = 0;                          // current pass within the epoch
  int32_t passesPerEpoch = 1;                // passes per epoch when learning
  int32_t exemplarsPerEpoch = 1;             // exemplars per pass
  int32_t epochs = 1;                        // epochs of the run
  int32_t weightCount = 0;                   // trainable weights over the gradient list
  int32_t warmUpEpochs = 0;                  // no best cost while epoch - 1 is not above it
  int32_t exemplar = 0;                      // current exemplar within the pass
  int32_t epoch = 0;                         // current epoch
  int32_t bestEpoch = 0;                     // epoch of the best cost; 0 none
  int32_t leastSquaresExemplars = 0;         // exemplars for the least-squares fit
  Soma* currentCriterion = nullptr;          // first registered criterion
  BackStaticControl* backControl = nullptr;  // the backward control
  const double* const* leastSquaresInputs = nullptr;   // exemplars x inputs
  const double* const* leastSquaresDesired = nullptr;  // exemplars x outputs
  double regularisationAlpha = 0.001;                  // weight of the mean squared weight
  double regularisationBeta = 0.999;                   // weight of the data cost
  double weightEnergy = 0.0;                           // sum of w x w over the gradient targets
  double initialDamping = 0.01;                        // initial Levenberg-Marquardt damping
  double bestCost = kNoBestCost;                       // best test cost so far
  int32_t skipPrepareSwap = 0;                         // LM prepare skips its final swap
  std::unique_ptr<LearningGlobals> learningGlobals;    // CG or LM globals
  SavedLmState savedLmState;                           // LM state from the weight file
};

}  // namespace kq
