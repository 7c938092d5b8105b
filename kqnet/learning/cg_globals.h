#pragma once

#include <cstddef>
#include <cstdint>

#include <kqnet/learning/learning_globals.h>

// CGGlobals: the scaled-conjugate-gradient iteration over every trainable
// weight of the network (Moller's method, halving lambda after a very good
// step and quadrupling it after a poor one). One iteration spans one epoch
// of two data passes: the first pass measures the gradient at the point
// perturbed along the search direction (for the curvature estimate),
// afterPass then moves to the trial point, the second pass evaluates it,
// afterBatch checks its cost and afterEpoch accepts or rejects it and sets
// up the next direction. The per-weight vectors live in the components'
// ConjugateGradient objects and are reached through the control's
// WeightIndex. Overrides bind, resetSearch, prepare, afterPass, afterBatch,
// afterEpoch and finishTraining.

namespace kq {

class ConjugateGradient;
class Soma;

class CGGlobals : public LearningGlobals {
 public:
  CGGlobals() = default;

  // Base binding, then the method's starting values; clears skipFlag,
  // initialised and passDone.
  void bind(StaticControl* owner) override;
  // Zeroes the curvature, direction and steepest-descent vectors.
  void resetSearch() override;
  // Puts back a weight copy that finishTraining left, then reseeds the
  // random generator with 1 whatever the flag.
  void prepare(int learningFlag) override;
  // The trial step, at the end of the pass run at the perturbed point.
  void afterPass(int pass) override;
  // Measures the trial step's error; marks and keeps it when it did not fall.
  void afterBatch() override;
  // Accepts or rejects the trial step and sets up the next iteration.
  void afterEpoch() override;
  // Keeps the weights training stopped at and returns to the base point.
  void finishTraining() override;

  double lambda = 0.0;         // scale (damping) parameter
  double lambdaBar = 0.0;      // scale raised to make the curvature positive
  double currentError = 0.0;   // E at the current weights
  double previousError = 0.0;  // E at the base point
  double sigma = 0.0;          // perturbation constant
  double sigmaK = 0.0;         // sigma / |p|: this iteration's perturbation length
  double alpha = 0.0;          // trial step length mu / delta
  double mu = 0.0;             // p . r
  double delta = 0.0;          // scaled curvature along p
  int32_t success = 0;         // the last trial step was accepted
  int32_t stepPending = 0;     // a trial step awaits its afterBatch check
  int32_t restorePending = 0;  // finishTraining left a weight copy to put back
  int32_t restartCounter = 0;  // N of the restart test
  int32_t iterationEpoch = 0;  // the control's epoch at the iteration's start
  double trialError = 0.0;     // E at a trial point that did not lower it
  int32_t trialMeasured = 0;   // trialError belongs to this iteration's trial step

 private:
  // One trainable weight reached through the WeightIndex.
  struct WeightRef {
    ConjugateGradient* owner;  // the gradient holding the per-weight vectors
    double* weight;            // the forward object's weight
    std::size_t k;             // position in the owner's vectors
    Soma* accumulator;         // the owner's backprop object
    int blocks;                // accumulator blocks to visit
  };

  // Calls visit(WeightRef, index i) for every weight in ascending i.
  template <typename Visit>
  void forEachWeight(Visit&& visit);
  // Block b's accumulator entry of weight i; null when out of range.
  double* accumulatorEntry(const WeightRef& ref, int32_t i, int b) const;
  // The training cost of the current criterion times the batch size.
  double errorNow() const;
  void averageGradients();
  void zeroAccumulators();
  void saveBase();
  void restoreBase();
  void saveCopy();
  void restoreCopy();
  // Every weight's p and r := g, counting the weights in restartCounter.
  void restartFromGradient();
  // The first-iteration reset, also used when lambda runs away.
  void restartSearch();
  // The square root of the sum of p^2.
  double directionNorm();
  // The steps of afterEpoch. An iteration starts in one of three ways: the
  // first one from the gradient, one whose scale ran away from a ramp
  // direction at jogged weights, any other by judging the trial step.
  void startFirstIteration();
  void restartFromRamp();
  // Compares the error the trial step reached with the quadratic model's
  // prediction, accepts or rejects the step and adjusts lambda.
  void judgeTrialStep();
  // The step stands: a new direction (restarted from the gradient when the
  // epoch is a multiple of restartCounter, else conjugated) and less scale
  // after a good step.
  void acceptTrialStep(double comparison);
  // The step falls: back to the base point, lambdaBar remembers lambda.
  void rejectTrialStep();
  // p := g + beta p with beta = (g.g - g.r) / mu, then r := g.
  void conjugateDirection();
  // After an accepted step: sigmaK for the new direction, and the current
  // error becomes the base point's.
  void takeCurrentErrorAsBase();
  // The current weights become the base point; the next pass runs at
  // w + sigmaK p.
  void moveToPerturbedPoint();
};

}  // namespace kq
