#pragma once

#include <cstdint>

#include <kqnet/axons/axon.h>
#include <kqnet/core/claimed_array.h>
#include <kqnet/core/costs.h>

// Criterion: the last axon of the forward network. Its activity holds the
// network's outputs; on every computing cycle it pulls the matching desired
// record from its desired access, gathers the period's statistics (squared
// and percent error, correlation sums, ROC and confusion counts), adds the
// exemplar's cost and turns its activity into the error signal from which
// the backward pass starts. At the end of a period computeCost completes the
// cost and the measures and hands them to the attached accesses (probes) as
// fixed-shape records. The base computes no cost of its own: a subclass
// overrides accumulateCost (adding its exemplar cost before the shared
// steps) and computeError (forming the error in place before the shared
// copy into errorBuffer).
//
// L2Criterion: half the squared difference as cost and desired - output as
// error; with crossEntropy set, the cross-entropy cost and its scaled error.

namespace kq {

// The six measures handed to the performance access, in this order.
struct PerformanceRecord {
  static constexpr int kSize = 6;
  static constexpr int kMeanSquaredError = 0;  // E over outputs and exemplars
  static constexpr int kNormalizedRms = 1;     // sqrt(E) / mean desired range
  static constexpr int kMeanCorrelation = 2;   // mean over outputs of r
  static constexpr int kPercentError = 3;      // mean percent error
  static constexpr int kAic = 4;               // N ln E + 2k
  static constexpr int kMdl = 5;               // N ln E + 0.5 k ln N
};

class Criterion : public Axon {
 public:
  // Columns of the ROC table and of the ROC counts.
  static constexpr int kRocTableColumns = 3;  // threshold, TP rate, FP rate
  static constexpr int kRocCountColumns = 4;  // TP, FP, positives, negatives

  Criterion();

  // Frees every array the criterion owns (never the lent ones) and leaves
  // the control's criteria list, then the Axon release.
  void release() override;
  bool isKindOf(const char* name) const override;
  // The axon list first, then the criteria list.
  void registerWithControl() override;
  // At the end of every epoch: clears the held training cost and, under
  // weight decay (outside Levenberg-Marquardt), has the control sum the
  // squared weights anew.
  void resetEpoch() override;
  const char* performName() const override { return "performCriterion"; }
  // Clears the desired record, then the Axon step.
  void stepForward() override;
  // The Soma part, then the best costs start again from kNoBestCost.
  void randomizeWeights() override;
  void bindWeightAccess() override;
  // Desired record, statistics, cost, error signal.
  void compute() override;
  // As compute, with the exemplar's cost and the error signal from the
  // installed perform function; only the base steps of the cost and the
  // error follow.
  void perform() override;
  // The frames, then every statistics array, each access bound anew;
  // statistics arrays that would not fit in physical memory together end
  // the process before the frames are touched.
  void allocateFrames() override;
  // The ring and every statistics array.
  void eachShapeArray(const ArrayVisitor& size, ClaimedArray<double>& ring,
                      const AxonShape& shape) override;

  // Called by compute for every counted exemplar: applies the factors, the
  // weight decay and the cap, and adds the exemplar's cost to costSum. A
  // subclass adds its own cost into exemplarCost first, then calls this.
  virtual void accumulateCost();
  // Called by compute last, on every exemplar: copies the error signal into
  // errorBuffer. A subclass forms the error in place on the activity first,
  // then calls this.
  virtual void computeError();
  // Counts the weights the control's gradients train into trainableWeightCount.
  virtual void countTrainableWeights();

  // Attachments: each stores the access and binds it to its buffer.
  void setDesiredAccess(SpatialAccess* access);
  void setCostAccess(SpatialAccess* access);
  void setPerformanceAccess(SpatialAccess* access);
  void setRocAccess(SpatialAccess* access);
  void setConfusionAccess(SpatialAccess* access);
  // Lends count per-output reference values of the percent error; outputs
  // beyond count use 0.0, as when nothing is lent.
  void setPercentErrorReference(const double* values, int count);

  // The period's measures (criterion_statistics.cpp): gathered exemplar
  // by exemplar, completed at the period's end, handed to the accesses and
  // put aside while test data is measured.
  // One exemplar's statistics, from the outputs before computeError.
  void accumulateStatistics();
  // Completes the period's cost and, with endOfPeriod set, every measure;
  // returns the test cost in test mode, else the training cost.
  double computeCost(int endOfPeriod, int reset);
  // Fills performanceRecord and steps the performance access.
  void sendPerformance();
  // Zeroes what accumulateStatistics gathered; the pass is not used.
  void clearMeasureAccumulators(int pass);
  // Called by the program around a test period: puts the training
  // statistics aside (on = 1), or completes and writes the test period and
  // brings them back (on = 0, returning the test cost). The current mode
  // again returns 0.0 and changes nothing.
  virtual double setTestMode(int on);
  // Clears the costs and every accumulator, steps the attached accesses
  // (cost, performance, ROC, confusion) with resettingFlag set, then the
  // Axon reset.
  void reset() override;

  // Makes computeCost report the best costs.
  void setFlag() { holdBestCosts = 1; }
  // Allocates desiredCopy once it is wanted.
  void resizeDesiredCopy();

  // Outputs the statistics arrays were sized for (0 before allocateFrames
  // and after release).
  int outputCount() const { return static_cast<int>(desired.size()); }
  // Rows of the ROC table as allocated.
  int rocRows() const { return static_cast<int>(rocTable.size()) / kRocTableColumns; }

  int32_t heldExemplarCount = 0;            // training N put aside in test mode
  const double* exemplarFactors = nullptr;  // lent cyclic per-exemplar cost factors
  int32_t exemplarFactorCount = 0;          // entries in exemplarFactors; 0 none
  int32_t exemplarFactorIndex = 0;          // next entry of exemplarFactors
  int32_t freeParameterCount = 0;           // k of AIC and MDL
  int32_t classCount = 0;                   // n, or 2 when n is 1
  int32_t trainableWeightCount = 0;         // weights over all gradient targets
  int32_t exemplarCount = 0;                // N: exemplars of the current period
  int32_t holdBestCosts = 0;                // computeCost reports the best costs
  int32_t desiredCopyOn = 0;                // keep a copy of each desired record
  // Lent per-output references; set both fields (setPercentErrorReference),
  // as an array lent without its length is read as all zeros.
  const double* percentErrorReference = nullptr;
  int32_t percentErrorReferenceLength = 0;     // entries lent in percentErrorReference
  ClaimedArray<double> desiredMin;             // smallest desired value per output
  ClaimedArray<double> desiredMax;             // largest desired value per output
  int32_t testMode = 0;                        // measuring test data
  int32_t stopCheckOn = 0;                     // the control's early-stop check looks here
  int32_t desiredCopyResizePending = 1;        // desiredCopy must be (re)allocated
  int32_t trainingImproved = 0;                // the last training cost was a new best
  ClaimedArray<double> sumOutputSquares;       // sum of y^2 per output
  ClaimedArray<double> sumOutput;              // sum of y per output
  ClaimedArray<double> heldSumOutput;          // training copy in test mode
  ClaimedArray<double> sumProduct;             // sum of d y per output
  ClaimedArray<double> sumDesired;             // sum of d per output
  ClaimedArray<double> sumDesiredSquares;      // sum of d^2 per output
  ClaimedArray<double> heldSumProduct;         // training copy in test mode
  ClaimedArray<double> heldSumDesired;         // training copy in test mode
  ClaimedArray<double> heldSumDesiredSquares;  // training copy in test mode
  ClaimedArray<double> heldSumOutputSquares;   // training copy in test mode
  double costSum = 0.0;              // the period's exemplar costs; the cost access reads it
  double squaredErrorSum = 0.0;      // sum of (d - y)^2; E after computeCost
  double heldSquaredErrorSum = 0.0;  // training copy in test mode
  double heldPercentErrorSum = 0.0;  // training copy in test mode
  double exemplarCost = 0.0;         // cost of the current exemplar
  ClaimedArray<double> desiredCopy;  // copy of the desired values
  ClaimedArray<double> errorBuffer;  // copy of the error signal
  double percentErrorSum = 0.0;      // sum of percent errors; their mean after computeCost
  double classThreshold = 0.0;       // class boundary of a single output
  double meanCorrelation = 0.0;      // mean correlation of the last period
  double normalizedRms = 0.0;        // sqrt(E) / mean desired range
  double aic = 0.0;                  // Akaike information criterion
  double mdl = 0.0;                  // minimum description length
  ClaimedArray<double> rocTable;     // T rows: threshold, TP rate, FP rate
  ClaimedArray<double> heldConfusionCounts;  // training copy in test mode
  ClaimedArray<double> confusionCounts;      // c x c, row desired class, column output class
  ClaimedArray<double> performanceRecord;    // the six PerformanceRecord values
  ClaimedArray<double> confusionPercent;     // each count as a percentage of its row
  ClaimedArray<double> correlations;         // correlation per output of the last period
  double bestTrainingCost = kNoBestCost;     // best training cost of the run
  double bestTestCost = kNoBestCost;         // best test cost of the run
  double testCost = 0.0;                     // cost of the last test period
  double trainingCost = 0.0;                 // cost of the last training period
  double rocLow = -1.0;                      // lowest ROC threshold
  double rocHigh = 1.0;                      // highest ROC threshold
  double heldCostSum = 0.0;                  // training costSum put aside in test mode
  ClaimedArray<double> desired;              // desired record of the current exemplar
  AccessRef costAccess{*this};               // bound to costSum (1 x 1)
  AccessRef performanceAccess{*this};        // bound to performanceRecord (6 x 1)
  AccessRef rocAccess{*this};                // bound to rocTable (T x 3)
  AccessRef confusionAccess{*this};          // bound to confusionPercent (c x c)
  AccessRef desiredAccess{*this};            // bound to desired (rows x columns)
  int32_t rocThresholdCount = 100;           // T: ROC thresholds, from the next allocateFrames on
  int32_t rocOutput = 0;                     // output the ROC table measures
  ClaimedArray<int32_t> heldRocCounts;       // training copy in test mode
  ClaimedArray<int32_t> rocCounts;           // T rows: TP, FP, positives, negatives

 protected:
  // The desired-range record (from version 246): length pairs of
  // desiredMin and desiredMax. There is no snapshot: the saved-state
  // writers print the present range too, so that a record written from a
  // snapshot still carries the range its reader expects.
  void readStateRecord(RecordReader& reader, KqWeightFileVersion version) override;
  void writeStateRecord(RecordWriter& writer, bool fromSnapshot) override;

  // The control's switches, with the control's defaults when there is none.
  int controlTrainingFlag() const;
  int controlLearning() const;
  int controlWeightDecay() const;

  // Each of the five accesses is bound to its buffer when it is stored.
  void accessStored(AccessRef& field) override;
  // Rebinding after the arrays moved.
  void bindCostAccess();
  void bindDesiredAccess();
  void bindRocAccess();
  void bindPerformanceAccess();
  void bindConfusionAccess();
  // Steps an access that is attached and bound to an allocated buffer.
  static void stepIfBound(const AccessRef& access, const ClaimedArray<double>& buffer);

 private:
  // Calls visit(array, count, value) for every statistics array, with the
  // count allocateFrames sizes it to for these outputs and classes and the
  // value it fills it with: the one list of them that sizing, checking and
  // release walk.
  template <typename Visit>
  void eachStatisticsArray(Visit&& visit, int outputs, int classes);
  // The steps of the measures (criterion_statistics.cpp).
  void accumulateRoc(const double* y);
  void accumulateConfusion(const double* y);
  void completePerformance();
  void completeRoc();
  void completeConfusion();
};

class L2Criterion : public Criterion {
 public:
  // exemplarCost += 0.5 (d - y)^2 per output (cross entropy: -d ln y -
  // (1 - d) ln(1 - y)), then the shared steps.
  void accumulateCost() override;
  // y := d - y (cross entropy: |ln(y / (1 - y))| (d - y)), then the copy.
  void computeError() override;

  int32_t crossEntropy = 0;  // use the cross-entropy cost and error

 private:
  // The loop both share: element(y, d) for every output and its desired
  // value, when the current frame holds every output.
  template <typename Element>
  void eachOutput(Element element);
};

}  // namespace kq
