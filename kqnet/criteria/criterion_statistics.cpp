#include <algorithm>
#include <cmath>

#include <kqnet/control/control.h>
#include <kqnet/core/costs.h>
#include <kqnet/core/spatial_access.h>
#include <kqnet/criteria/criterion.h>

// The criterion's measures over a period: accumulated per exemplar while
// their access is attached, completed by computeCost, handed to the accesses
// as fixed-shape records, and put aside while test data is measured. Every
// sum runs in output order, exemplar after exemplar: a floating-point sum
// depends on the order of its terms, and the records must come out the same
// to the last bit.

namespace kq {

namespace {

// The ROC thresholds run from low by equal steps; each one is the previous
// plus the step (a single threshold needs none).
struct ThresholdWalk {
  double value;
  double increment;

  ThresholdWalk(double low, double high, int count)
      : value(low), increment(count > 1 ? (high - low) / (count - 1) : 0.0) {}
  void advance() { value += increment; }
};

// Index of the largest value; the first one on ties.
int largestIndex(const double* values, int n) {
  int best = 0;
  for (int i = 1; i < n; ++i) {
    if (values[i] > values[best]) best = i;
  }
  return best;
}

void zero(ClaimedArray<double>& values) { std::fill(values.begin(), values.end(), 0.0); }
void zero(ClaimedArray<int32_t>& values) { std::fill(values.begin(), values.end(), 0); }

}  // namespace

void Criterion::accumulateStatistics() {
  const double* y = currentFrame();
  const int n = outputCount();
  if (y == nullptr || n == 0 || n > frameSize) return;
  const double* d = desired.data();

  if (performanceAccess != nullptr) {
    const bool trackRange = testMode == 0 && controlTrainingFlag() != 0;
    for (int i = 0; i < n; ++i) {
      const double di = d[i];
      const double yi = y[i];
      if (trackRange) {
        desiredMin[i] = std::min(desiredMin[i], di);
        desiredMax[i] = std::max(desiredMax[i], di);
      }
      const double e = di - yi;
      squaredErrorSum += e * e;
      const double reference = (percentErrorReference != nullptr && i < percentErrorReferenceLength)
                                   ? percentErrorReference[i]
                                   : 0.0;
      const double span = di - reference;
      // A NaN span compares unequal and is added as it is.
      if (span != 0.0) percentErrorSum += std::fabs(e / span) * 100.0;
      sumDesired[i] += di;
      sumOutput[i] += yi;
      sumProduct[i] += di * yi;
      sumDesiredSquares[i] += di * di;
      sumOutputSquares[i] += yi * yi;
    }
  }
  if (rocAccess != nullptr) accumulateRoc(y);
  if (confusionAccess != nullptr) accumulateConfusion(y);
}

void Criterion::accumulateRoc(const double* y) {
  const int thresholds = rocRows();
  // An output outside the layer has no values to measure.
  if (thresholds < 1 || rocOutput < 0 || rocOutput >= outputCount()) return;
  const double desiredValue = desired[static_cast<size_t>(rocOutput)];
  const double output = y[rocOutput];
  // The midpoint itself counts as a negative.
  const bool positive = desiredValue > rocLow + (rocHigh - rocLow) / 2.0;
  ThresholdWalk threshold(rocLow, rocHigh, thresholds);
  for (int i = 0; i < thresholds; ++i) {
    int32_t* row = rocCounts.data() + static_cast<size_t>(i) * kRocCountColumns;
    if (positive) {
      ++row[2];
    } else {
      ++row[3];
    }
    if (output >= threshold.value) {
      if (positive) {
        ++row[0];
      } else {
        ++row[1];
      }
    }
    threshold.advance();
  }
}

void Criterion::accumulateConfusion(const double* y) {
  const int n = outputCount();
  if (static_cast<int64_t>(confusionCounts.size()) != int64_t{classCount} * classCount) return;
  int outputClass = 0;
  int desiredClass = 0;
  if (n == 1) {
    outputClass = y[0] >= classThreshold ? 1 : 0;
    desiredClass = desired[0] >= classThreshold ? 1 : 0;
  } else {
    outputClass = largestIndex(y, n);
    desiredClass = largestIndex(desired.data(), n);
  }
  if (outputClass >= classCount || desiredClass >= classCount) return;
  confusionCounts[static_cast<size_t>(desiredClass) * static_cast<size_t>(classCount) +
                  static_cast<size_t>(outputClass)] += 1.0;
}

double Criterion::computeCost(int endOfPeriod, int reset) {
  // Without exemplars there is nothing to divide by: the costs keep their
  // values and no record is written.
  const bool hasExemplars = exemplarCount > 0;
  if (hasExemplars) {
    const double divisor = static_cast<double>(int64_t{length} * exemplarCount);
    if (testMode != 0) {
      testCost = costSum / divisor;
      if (reset != 0) costSum = testCost;
      if (trainingImproved != 0) {
        trainingImproved = 0;
        bestTestCost = testCost;
      }
    } else {
      trainingCost = costSum / divisor;
      if (reset != 0) costSum = trainingCost;
      if (trainingCost < 0.0) trainingCost = kCostCap;
      if (trainingCost < bestTrainingCost) {
        bestTrainingCost = trainingCost;
        trainingImproved = 1;
      }
    }
    if (endOfPeriod != 0 && outputCount() > 0) {
      if (performanceAccess != nullptr) completePerformance();
      if (rocAccess != nullptr) completeRoc();
      if (confusionAccess != nullptr) completeConfusion();
    }
  }
  if (holdBestCosts != 0) {
    testCost = bestTestCost;
    trainingCost = bestTrainingCost;
    costSum = testMode != 0 ? testCost : trainingCost;
  }
  if (endOfPeriod != 0 && hasExemplars && costAccess != nullptr) costAccess->step();
  if (reset != 0) {
    costSum = 0.0;
    exemplarCount = 0;
  }
  return testMode != 0 ? testCost : trainingCost;
}

void Criterion::completePerformance() {
  const int n = outputCount();
  const double count = exemplarCount;
  double correlationSum = 0.0;
  double rangeSum = 0.0;
  for (int i = 0; i < n; ++i) {
    const double sd = sumDesired[i];
    const double sy = sumOutput[i];
    const double numerator = count * sumProduct[i] - sd * sy;
    const double spread =
        (count * sumDesiredSquares[i] - sd * sd) * (count * sumOutputSquares[i] - sy * sy);
    // A constant series gives a zero divisor; the quotient stays what the
    // division gives.
    correlations[i] = numerator / std::sqrt(std::fabs(spread));
    sumDesired[i] = 0.0;
    sumOutput[i] = 0.0;
    sumProduct[i] = 0.0;
    sumDesiredSquares[i] = 0.0;
    sumOutputSquares[i] = 0.0;
    correlationSum += correlations[i];
    rangeSum += desiredMax[i] - desiredMin[i];
  }
  meanCorrelation = correlationSum / n;
  const double meanRange = rangeSum / n;
  const double cells = static_cast<double>(int64_t{n} * exemplarCount);
  squaredErrorSum = squaredErrorSum / cells;
  normalizedRms = std::sqrt(squaredErrorSum) / meanRange;
  percentErrorSum = percentErrorSum / cells;
  // A zero error gives negative infinity, as the logarithm defines it.
  const double logError = std::log(squaredErrorSum);
  aic = count * logError + 2.0 * freeParameterCount;
  mdl = count * logError + 0.5 * freeParameterCount * std::log(count);
  sendPerformance();
  squaredErrorSum = 0.0;
  normalizedRms = 0.0;
  percentErrorSum = 0.0;
}

void Criterion::completeRoc() {
  const int thresholds = rocRows();
  if (thresholds < 1) return;
  ThresholdWalk threshold(rocLow, rocHigh, thresholds);
  for (int i = 0; i < thresholds; ++i) {
    int32_t* counts = rocCounts.data() + static_cast<size_t>(i) * kRocCountColumns;
    double* row = rocTable.data() + static_cast<size_t>(i) * kRocTableColumns;
    row[0] = threshold.value;
    row[1] = counts[2] != 0 ? static_cast<double>(counts[0]) / counts[2] : 0.0;
    row[2] = counts[3] != 0 ? static_cast<double>(counts[1]) / counts[3] : 0.0;
    std::fill(counts, counts + kRocCountColumns, 0);
    threshold.advance();
  }
  stepIfBound(rocAccess, rocTable);
}

void Criterion::completeConfusion() {
  const int c = classCount;
  if (c <= 0 || static_cast<int64_t>(confusionCounts.size()) != int64_t{c} * c ||
      confusionPercent.size() != confusionCounts.size()) {
    return;
  }
  for (int row = 0; row < c; ++row) {
    const double* counts =
        confusionCounts.data() + static_cast<size_t>(row) * static_cast<size_t>(c);
    double* percent = confusionPercent.data() + static_cast<size_t>(row) * static_cast<size_t>(c);
    double sum = 0.0;
    for (int column = 0; column < c; ++column) sum += counts[column];
    const int rowSum = static_cast<int>(sum);
    for (int column = 0; column < c; ++column) {
      percent[column] = rowSum != 0 ? counts[column] / rowSum * 100.0 : 0.0;
    }
  }
  stepIfBound(confusionAccess, confusionPercent);
  zero(confusionCounts);
}

void Criterion::sendPerformance() {
  if (performanceRecord.size() == static_cast<size_t>(PerformanceRecord::kSize)) {
    performanceRecord[PerformanceRecord::kMeanSquaredError] = squaredErrorSum;
    performanceRecord[PerformanceRecord::kNormalizedRms] = normalizedRms;
    performanceRecord[PerformanceRecord::kMeanCorrelation] = meanCorrelation;
    performanceRecord[PerformanceRecord::kPercentError] = percentErrorSum;
    performanceRecord[PerformanceRecord::kAic] = aic;
    performanceRecord[PerformanceRecord::kMdl] = mdl;
  }
  stepIfBound(performanceAccess, performanceRecord);
}

void Criterion::clearMeasureAccumulators(int) {
  if (performanceAccess != nullptr) {
    meanCorrelation = 0.0;
    for (ClaimedArray<double>* sums :
         {&sumDesired, &sumOutput, &sumProduct, &sumDesiredSquares, &sumOutputSquares}) {
      zero(*sums);
    }
    normalizedRms = 0.0;
    squaredErrorSum = 0.0;
    percentErrorSum = 0.0;
  }
  if (rocAccess != nullptr) zero(rocCounts);
  if (confusionAccess != nullptr) zero(confusionCounts);
}

double Criterion::setTestMode(int on) {
  const int mode = on != 0 ? 1 : 0;
  // Entering a mode twice would overwrite the held training sums with the
  // test ones; leaving it twice would restore them twice.
  if (mode == (testMode != 0 ? 1 : 0)) return 0.0;
  double result = 0.0;
  if (mode == 1) {
    heldExemplarCount = exemplarCount;
    heldCostSum = costSum;
    exemplarCount = 0;
    costSum = 0.0;
    if (performanceAccess != nullptr) {
      heldSquaredErrorSum = squaredErrorSum;
      heldPercentErrorSum = percentErrorSum;
      squaredErrorSum = 0.0;
      percentErrorSum = 0.0;
      heldSumDesired = sumDesired;
      heldSumOutput = sumOutput;
      heldSumProduct = sumProduct;
      heldSumDesiredSquares = sumDesiredSquares;
      heldSumOutputSquares = sumOutputSquares;
      for (ClaimedArray<double>* sums :
           {&sumDesired, &sumOutput, &sumProduct, &sumDesiredSquares, &sumOutputSquares}) {
        zero(*sums);
      }
    }
    if (rocAccess != nullptr) {
      heldRocCounts = rocCounts;
      zero(rocCounts);
    }
    if (confusionAccess != nullptr) {
      heldConfusionCounts = confusionCounts;
      zero(confusionCounts);
    }
  } else {
    // The test period is completed and written while still in test mode.
    result = computeCost(1, 1);
    exemplarCount = heldExemplarCount;
    costSum = heldCostSum;
    if (performanceAccess != nullptr) {
      squaredErrorSum = heldSquaredErrorSum;
      percentErrorSum = heldPercentErrorSum;
      sumDesired = heldSumDesired;
      sumOutput = heldSumOutput;
      sumProduct = heldSumProduct;
      sumDesiredSquares = heldSumDesiredSquares;
      sumOutputSquares = heldSumOutputSquares;
    }
    if (rocAccess != nullptr) rocCounts = heldRocCounts;
    if (confusionAccess != nullptr) confusionCounts = heldConfusionCounts;
  }
  testMode = mode;
  return result;
}

void Criterion::reset() {
  testCost = 0.0;
  trainingCost = 0.0;
  bestTestCost = kNoBestCost;
  bestTrainingCost = kNoBestCost;
  meanCorrelation = 0.0;
  mdl = 0.0;
  aic = 0.0;
  percentErrorSum = 0.0;
  normalizedRms = 0.0;
  squaredErrorSum = 0.0;
  heldCostSum = 0.0;
  costSum = 0.0;
  for (ClaimedArray<double>* sums :
       {&sumDesired, &sumOutput, &sumProduct, &sumDesiredSquares, &sumOutputSquares}) {
    zero(*sums);
  }
  if (controlTrainingFlag() != 0) {
    std::fill(desiredMin.begin(), desiredMin.end(), 0.0);
    std::fill(desiredMax.begin(), desiredMax.end(), 0.1);
  }
  zero(confusionCounts);
  zero(confusionPercent);
  const int thresholds = rocRows();
  ThresholdWalk threshold(rocLow, rocHigh, thresholds);
  for (int i = 0; i < thresholds; ++i) {
    double* row = rocTable.data() + static_cast<size_t>(i) * kRocTableColumns;
    row[0] = threshold.value;
    row[1] = 0.0;
    row[2] = 0.0;
    threshold.advance();
  }
  zero(rocCounts);
  exemplarCount = 0;
  heldExemplarCount = 0;

  resettingFlag = 1;
  if (costAccess != nullptr) costAccess->step();
  if (performanceAccess != nullptr) sendPerformance();
  stepIfBound(rocAccess, rocTable);
  stepIfBound(confusionAccess, confusionPercent);
  resettingFlag = 0;
  Axon::reset();
}

}  // namespace kq
