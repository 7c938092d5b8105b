#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "criterion_helpers.h"
#include <kqnet/axons/axon.h>
#include <kqnet/control/control.h>
#include <kqnet/core/soma.h>
#include <kqnet/criteria/criterion.h>
#include <kqnet/data/data_file.h>
#include <kqnet/synapses/synapse.h>

namespace {

using kq::Axon;
using kq::DataFile;
using kq::FullSynapse;
using kq::L2Criterion;
using kq::StaticControl;
using kq::TanhAxon;
using kqtest::BlockLog;
using kqtest::CriterionBench;
using Table = std::vector<std::vector<double>>;

// ---------------------------------------------------------------------------
// The measures written out longhand, from the outputs and desired values of
// a period, for comparison with what the criterion's probes write.

struct PeriodMeasures {
  double cost = 0.0;
  std::vector<double> performance;  // E, NRMS, correlation, percent, AIC, MDL
  std::vector<double> roc;          // T rows of threshold, TP rate, FP rate
  std::vector<double> confusion;    // c x c percentages
};

int firstLargest(const std::vector<double>& v) {
  int best = 0;
  for (int i = 1; i < static_cast<int>(v.size()); ++i) {
    if (v[i] > v[best]) best = i;
  }
  return best;
}

PeriodMeasures measuresOf(const Table& y, const Table& d, const std::vector<double>& low,
                          const std::vector<double>& high, double reference, int k, double rocLow,
                          double rocHigh, int thresholds, int rocOutput) {
  PeriodMeasures m;
  const int exemplars = static_cast<int>(y.size());
  const int n = static_cast<int>(y[0].size());
  const double N = exemplars;

  double costSum = 0.0;
  double squared = 0.0;
  double percent = 0.0;
  for (int e = 0; e < exemplars; ++e) {
    double exemplarCost = 0.0;
    for (int i = 0; i < n; ++i) {
      exemplarCost += 0.5 * (d[e][i] - y[e][i]) * (d[e][i] - y[e][i]);
      squared += (d[e][i] - y[e][i]) * (d[e][i] - y[e][i]);
      if (d[e][i] != reference)
        percent += std::fabs((d[e][i] - y[e][i]) / (d[e][i] - reference)) * 100.0;
    }
    costSum += exemplarCost;
  }
  m.cost = costSum / (n * exemplars);

  double correlationSum = 0.0;
  double rangeSum = 0.0;
  for (int i = 0; i < n; ++i) {
    double sd = 0.0, sy = 0.0, sdy = 0.0, sdd = 0.0, syy = 0.0;
    for (int e = 0; e < exemplars; ++e) {
      sd += d[e][i];
      sy += y[e][i];
      sdy += d[e][i] * y[e][i];
      sdd += d[e][i] * d[e][i];
      syy += y[e][i] * y[e][i];
    }
    correlationSum +=
        (N * sdy - sd * sy) / std::sqrt(std::fabs((N * sdd - sd * sd) * (N * syy - sy * sy)));
    rangeSum += high[i] - low[i];
  }
  const double E = squared / (n * exemplars);
  m.performance = {E,
                   std::sqrt(E) / (rangeSum / n),
                   correlationSum / n,
                   percent / (n * exemplars),
                   N * std::log(E) + 2.0 * k,
                   N * std::log(E) + 0.5 * k * std::log(N)};

  double t = rocLow;
  const double stepSize = (rocHigh - rocLow) / (thresholds - 1);
  const double midpoint = rocLow + (rocHigh - rocLow) / 2.0;
  for (int j = 0; j < thresholds; ++j) {
    int tp = 0, fp = 0, pos = 0, neg = 0;
    for (int e = 0; e < exemplars; ++e) {
      const bool positive = d[e][rocOutput] > midpoint;
      pos += positive ? 1 : 0;
      neg += positive ? 0 : 1;
      if (y[e][rocOutput] >= t) (positive ? tp : fp) += 1;
    }
    m.roc.push_back(t);
    m.roc.push_back(pos == 0 ? 0.0 : static_cast<double>(tp) / pos);
    m.roc.push_back(neg == 0 ? 0.0 : static_cast<double>(fp) / neg);
    t += stepSize;
  }

  std::vector<std::vector<int>> counts(n, std::vector<int>(n, 0));
  for (int e = 0; e < exemplars; ++e) ++counts[firstLargest(d[e])][firstLargest(y[e])];
  for (int r = 0; r < n; ++r) {
    int rowSum = 0;
    for (int c = 0; c < n; ++c) rowSum += counts[r][c];
    for (int c = 0; c < n; ++c) {
      m.confusion.push_back(rowSum == 0 ? 0.0 : static_cast<double>(counts[r][c]) / rowSum * 100.0);
    }
  }
  return m;
}

std::string recordLine(const std::vector<double>& values) {
  std::string line;
  char field[64];
  for (double v : values) {
    std::snprintf(field, sizeof field, "%22.16e ", v);
    line += field;
  }
  return line;
}

std::vector<std::string> linesOf(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<double> numbersOf(const std::string& line) {
  std::istringstream in(line);
  std::vector<double> values;
  for (std::string token; in >> token;) values.push_back(std::strtod(token.c_str(), nullptr));
  return values;
}

void writeRecords(const std::string& path, const Table& records) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  for (const auto& record : records) {
    for (double v : record) std::fprintf(f, "%.17g ", v);
    std::fprintf(f, "\n");
  }
  std::fclose(f);
}

// ---------------------------------------------------------------------------
// A network wired the way a program wires it: an input file into a tanh
// layer and a tanh output layer, the output probe, an L2 criterion with its
// desired file (echoed by the desired probe), the console cost writer and
// the performance, ROC and confusion probes.

constexpr int kInputs = 4;
constexpr int kHidden = 5;
constexpr int kOutputs = 3;
constexpr int kFreeParameters = 43;
constexpr int kDesiredRecords = 30;  // fewer than an epoch: the file wraps
constexpr int kExemplars = 40;

class ProgramNetworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937_64 generator(11);
    std::uniform_real_distribution<double> inputValue(-1.0, 1.0);
    std::uniform_real_distribution<double> desiredValue(-0.95, 0.95);
    Table inputs(25, std::vector<double>(kInputs));
    for (auto& record : inputs) {
      for (double& v : record) v = inputValue(generator);
    }
    desiredStored.assign(kDesiredRecords, std::vector<double>(kOutputs));
    for (auto& record : desiredStored) {
      for (double& v : record) v = 2.0 * desiredValue(generator);
    }
    // Stored values are twice the desired ones (the desired file maps by 0.5):
    // a desired value at the percent-error reference, one at the ROC
    // midpoint, and a record whose two largest values tie.
    desiredStored[3][1] = 2.0 * -0.9;
    desiredStored[5][0] = 0.0;
    desiredStored[7] = {1.0, 1.0, -0.4};
    writeRecords("inputFile.asc", inputs);
    writeRecords("desiredFile.asc", desiredStored);

    std::srand(7);
    inputAxon.setRows(kInputs);
    inputFile.setFileName("inputFile.asc");
    inputFile.setMode(1, 0);
    inputFile.setSize(kInputs, 1);
    hidden1Axon.setRows(kHidden);
    outputAxon.setRows(kOutputs);
    activeOutputProbe.setFileName("activeOutputProbe.asc");
    activeOutputProbe.setMode(0, 0);
    activeOutputProbe.setSize(kOutputs, 1);

    criterion.rocLow = -0.9;
    criterion.rocHigh = 0.9;
    percentErrorBase.assign(kOutputs, -0.9);
    criterion.setPercentErrorReference(percentErrorBase.data(), kOutputs);
    criterion.freeParameterCount = kFreeParameters;
    criterion.setRows(kOutputs);

    desiredFile.setFileName("desiredFile.asc");
    desiredFile.setMode(1, 0);
    desiredFile.setSize(kOutputs, 1);
    activeDesiredProbe.setFileName("activeDesiredProbe.asc");
    activeDesiredProbe.setMode(0, 0);
    activeDesiredProbe.setSize(kOutputs, 1);
    activeCostProbe.setMode(0, 2);
    activeCostProbe.setSize(1, 1);
    activePerformanceProbe.setFileName("activePerformanceProbe.asc");
    activePerformanceProbe.setMode(0, 0);
    activePerformanceProbe.setSize(6, 1);
    activeROCProbe.setFileName("activeROCProbe.asc");
    activeROCProbe.setMode(0, 0);
    activeROCProbe.setSize(37, 3);
    activeConfusionMatrixProbe.setFileName("activeConfusionMatrixProbe.asc");
    activeConfusionMatrixProbe.setMode(0, 0);
    activeConfusionMatrixProbe.setSize(kOutputs, kOutputs);

    control.trainingFlag = 0;

    inputAxon.setInputAccess(&inputFile);
    outputAxon.setOutputAccess(&activeOutputProbe);
    criterion.setPerformanceAccess(&activePerformanceProbe);
    criterion.setCostAccess(&activeCostProbe);
    criterion.setDesiredAccess(&desiredFile);
    criterion.setRocAccess(&activeROCProbe);
    criterion.setConfusionAccess(&activeConfusionMatrixProbe);
    desiredFile.setNext(&activeDesiredProbe);
    for (DataFile* file : {&desiredFile, &activeDesiredProbe}) {
      file->normalizationOn = 1;
      file->scale.assign(kOutputs, 0.5);
      file->offset.assign(kOutputs, 0.0);
    }

    inputAxon.connectOutput(&hidden1Synapse);
    hidden1Synapse.connectInput(&inputAxon);
    hidden1Synapse.connectOutput(&hidden1Axon);
    hidden1Axon.connectInput(&hidden1Synapse);
    hidden1Axon.connectOutput(&outputSynapse);
    outputSynapse.connectInput(&hidden1Axon);
    outputSynapse.connectOutput(&outputAxon);
    outputAxon.connectInput(&outputSynapse);
    outputAxon.connectOutput(&criterion);
    criterion.connectInput(&outputAxon);

    for (kq::Engine* object : std::initializer_list<kq::Engine*>{
             &inputAxon, &inputFile, &hidden1Synapse, &hidden1Axon, &outputSynapse, &outputAxon,
             &activeOutputProbe, &criterion, &desiredFile, &activeDesiredProbe, &activeCostProbe,
             &activePerformanceProbe, &activeROCProbe, &activeConfusionMatrixProbe}) {
      object->control = &control;
      object->registerWithControl();
    }
    control.clearRoots();
    control.addRoot(&inputAxon, 0);
  }

  // One epoch: the exemplars, then the criterion's end of period; returns
  // what the console writer printed.
  std::string runEpoch() {
    for (int e = 0; e < kExemplars; ++e) control.fireRoots();
    ::testing::internal::CaptureStdout();
    criterion.computeCost(1, 1);
    std::string printed = ::testing::internal::GetCapturedStdout();
    criterion.holdBestCosts = 0;
    criterion.resetEpoch();
    return printed;
  }

  void closeProbes() {
    for (DataFile* probe : {&activeOutputProbe, &activeDesiredProbe, &activePerformanceProbe,
                            &activeROCProbe, &activeConfusionMatrixProbe}) {
      probe->close();
    }
  }

  // Outputs of exemplars [first, first + count) as the output probe wrote them.
  Table outputsFromProbe(int first, int count) {
    const std::vector<std::string> lines = linesOf("activeOutputProbe.asc");
    Table y;
    for (int e = first; e < first + count; ++e)
      y.push_back(numbersOf(lines.at(static_cast<size_t>(e))));
    return y;
  }

  Table desiredOf(int first, int count) {
    Table d;
    for (int e = first; e < first + count; ++e) {
      std::vector<double> record = desiredStored[static_cast<size_t>(e % kDesiredRecords)];
      for (double& v : record) v = 0.5 * v + 0.0;
      d.push_back(record);
    }
    return d;
  }

  Table desiredStored;
  std::vector<double> percentErrorBase;
  Axon inputAxon;
  DataFile inputFile;
  FullSynapse hidden1Synapse;
  TanhAxon hidden1Axon;
  FullSynapse outputSynapse;
  TanhAxon outputAxon;
  DataFile activeOutputProbe;
  L2Criterion criterion;
  DataFile desiredFile;
  DataFile activeDesiredProbe;
  DataFile activeCostProbe;
  DataFile activePerformanceProbe;
  DataFile activeROCProbe;
  DataFile activeConfusionMatrixProbe;
  StaticControl control;
};

TEST_F(ProgramNetworkTest, ProbesAreBoundInTheRecordShapes) {
  EXPECT_EQ(activeROCProbe.rows, 100);
  EXPECT_EQ(activeROCProbe.columns, 3);
  EXPECT_EQ(activeROCProbe.data, criterion.rocTable.data());
  EXPECT_EQ(activePerformanceProbe.length, 6);
  EXPECT_EQ(activeConfusionMatrixProbe.rows, kOutputs);
  EXPECT_EQ(activeConfusionMatrixProbe.columns, kOutputs);
  EXPECT_EQ(activeCostProbe.data, &criterion.costSum);
  EXPECT_EQ(desiredFile.data, criterion.desired.data());
  EXPECT_EQ(activeDesiredProbe.data, criterion.desired.data());
  ASSERT_EQ(control.criteriaList.size(), 1u);
  EXPECT_EQ(control.criteriaList[0], &criterion);
}

TEST_F(ProgramNetworkTest, EveryWrittenNumberMatchesTheMeasuresComputedLonghand) {
  const std::string firstCost = runEpoch();
  // Second epoch with desired ranges given directly (the training flag is
  // off, so the criterion leaves them as set).
  const std::vector<double> low = {-0.9, -0.85, -0.8};
  const std::vector<double> high = {0.9, 0.95, 0.7};
  criterion.desiredMin = low;
  criterion.desiredMax = high;
  const std::string secondCost = runEpoch();
  closeProbes();

  const Table y1 = outputsFromProbe(0, kExemplars);
  const Table y2 = outputsFromProbe(kExemplars, kExemplars);
  const Table d1 = desiredOf(0, kExemplars);
  const Table d2 = desiredOf(kExemplars, kExemplars);
  const PeriodMeasures m1 =
      measuresOf(y1, d1, std::vector<double>(kOutputs, 0.0), std::vector<double>(kOutputs, 0.1),
                 -0.9, kFreeParameters, -0.9, 0.9, 100, 0);
  const PeriodMeasures m2 = measuresOf(y2, d2, low, high, -0.9, kFreeParameters, -0.9, 0.9, 100, 0);

  EXPECT_EQ(firstCost, recordLine({m1.cost}) + "\n");
  EXPECT_EQ(secondCost, recordLine({m2.cost}) + "\n");

  const std::vector<std::string> performance = linesOf("activePerformanceProbe.asc");
  ASSERT_EQ(performance.size(), 2u);
  EXPECT_EQ(performance[0], recordLine(m1.performance));
  EXPECT_EQ(performance[1], recordLine(m2.performance));
  // With the allocation defaults the mean desired range is 0.1.
  EXPECT_EQ(numbersOf(performance[0])[1], std::sqrt(m1.performance[0]) / ((0.1 + 0.1 + 0.1) / 3));

  const std::vector<std::string> roc = linesOf("activeROCProbe.asc");
  ASSERT_EQ(roc.size(), 2u);
  EXPECT_EQ(numbersOf(roc[0]).size(), 300u);
  EXPECT_EQ(roc[0], recordLine(m1.roc));
  EXPECT_EQ(roc[1], recordLine(m2.roc));

  const std::vector<std::string> confusion = linesOf("activeConfusionMatrixProbe.asc");
  ASSERT_EQ(confusion.size(), 2u);
  EXPECT_EQ(confusion[0], recordLine(m1.confusion));
  EXPECT_EQ(confusion[1], recordLine(m2.confusion));

  // The desired probe echoes every record in the stored scale.
  const std::vector<std::string> echoed = linesOf("activeDesiredProbe.asc");
  ASSERT_EQ(echoed.size(), 2u * kExemplars);
  for (int e = 0; e < 2 * kExemplars; ++e) {
    EXPECT_EQ(echoed[static_cast<size_t>(e)],
              recordLine(desiredStored[static_cast<size_t>(e % kDesiredRecords)]));
  }
  // The period was reset: nothing is left over for the next one.
  EXPECT_EQ(criterion.exemplarCount, 0);
  EXPECT_EQ(criterion.costSum, 0.0);
  EXPECT_EQ(criterion.trainingCost, m2.cost);
}

TEST_F(ProgramNetworkTest, PassBoundaryTakesOverTheCostAndWritesNoRecord) {
  for (int e = 0; e < 10; ++e) control.fireRoots();
  criterion.clearMeasureAccumulators(1);
  ::testing::internal::CaptureStdout();
  const double cost = criterion.computeCost(0, 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  closeProbes();
  const Table y = outputsFromProbe(0, 10);
  const Table d = desiredOf(0, 10);
  double costSum = 0.0;
  for (int e = 0; e < 10; ++e) {
    double c = 0.0;
    for (int i = 0; i < kOutputs; ++i) c += 0.5 * (d[e][i] - y[e][i]) * (d[e][i] - y[e][i]);
    costSum += c;
  }
  EXPECT_EQ(cost, costSum / (kOutputs * 10));
  EXPECT_TRUE(linesOf("activePerformanceProbe.asc").empty());
  EXPECT_TRUE(linesOf("activeROCProbe.asc").empty());
  EXPECT_TRUE(linesOf("activeConfusionMatrixProbe.asc").empty());
}

TEST_F(ProgramNetworkTest, PeriodWithoutExemplarsWritesNothingAndKeepsTheCosts) {
  runEpoch();
  const double cost = criterion.trainingCost;
  ASSERT_GT(cost, 0.0);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(criterion.computeCost(1, 1), cost);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(criterion.trainingCost, cost);
  closeProbes();
  EXPECT_EQ(linesOf("activePerformanceProbe.asc").size(), 1u);
  EXPECT_EQ(linesOf("activeROCProbe.asc").size(), 1u);
  EXPECT_EQ(linesOf("activeConfusionMatrixProbe.asc").size(), 1u);
}

// ---------------------------------------------------------------------------
// The measures on small criteria fed directly.

TEST(CriterionRocTest, ThresholdsGrowByRepeatedAdditionAndTheMidpointIsNegative) {
  CriterionBench bench(1);
  bench.criterion.rocLow = -0.9;
  bench.criterion.rocHigh = 0.9;
  bench.criterion.setRocAccess(&bench.roc);
  bench.present({0.0}, {0.5});   // desired at the midpoint: a negative
  bench.present({0.2}, {0.95});  // a positive
  bench.criterion.computeCost(1, 1);
  ASSERT_EQ(bench.roc.records.size(), 1u);
  const std::vector<double>& table = bench.roc.records[0];
  ASSERT_EQ(table.size(), 300u);
  double t = -0.9;
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(table[3 * i], t) << i;
    EXPECT_EQ(table[3 * i + 1], 0.95 >= t ? 1.0 : 0.0) << i;
    EXPECT_EQ(table[3 * i + 2], 0.5 >= t ? 1.0 : 0.0) << i;
    t += 1.8 / 99;
  }
  EXPECT_EQ(table[3], -0.9 + 1.8 / 99);
  // The counts of every row were cleared with the record.
  for (int32_t count : bench.criterion.rocCounts) EXPECT_EQ(count, 0);
}

TEST(CriterionRocTest, RatesWithoutPositivesOrNegativesAreZero) {
  CriterionBench bench(2);
  bench.criterion.setRocAccess(&bench.roc);
  bench.criterion.rocOutput = 1;
  bench.present({0.0, -0.5}, {0.0, 0.9});
  bench.present({0.0, -0.7}, {0.0, 0.2});
  bench.criterion.computeCost(1, 1);
  const std::vector<double>& table = bench.roc.records.at(0);
  double t = -1.0;
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(table[3 * i], t);
    EXPECT_EQ(table[3 * i + 1], 0.0);  // no positives
    t += 2.0 / 99;
  }
  EXPECT_EQ(table[2], 1.0);           // both negatives reach the lowest threshold
  EXPECT_EQ(table[3 * 99 + 2], 0.0);  // neither reaches the highest
}

TEST(CriterionRocTest, OutputOutsideTheLayerOrNoThresholdsCountNothing) {
  CriterionBench outside(2);
  outside.criterion.setRocAccess(&outside.roc);
  outside.criterion.rocOutput = 2;
  outside.present({0.5, 0.5}, {0.9, 0.9});
  outside.criterion.rocOutput = -1;
  outside.present({0.5, 0.5}, {0.9, 0.9});
  for (int32_t count : outside.criterion.rocCounts) EXPECT_EQ(count, 0);

  CriterionBench none(1, /*thresholds=*/-5);
  none.criterion.setRocAccess(&none.roc);
  EXPECT_TRUE(none.criterion.rocTable.empty());
  EXPECT_EQ(none.roc.length, 0);
  none.present({0.5}, {0.9});
  none.criterion.computeCost(1, 1);
  EXPECT_TRUE(none.roc.records.empty());

  CriterionBench single(1, /*thresholds=*/1);
  single.criterion.setRocAccess(&single.roc);
  single.present({0.5}, {0.9});
  single.criterion.computeCost(1, 1);
  ASSERT_EQ(single.roc.records.size(), 1u);
  EXPECT_EQ(single.roc.records[0], (std::vector<double>{-1.0, 1.0, 0.0}));
}

TEST(CriterionConfusionTest, OneOutputGivesTwoClassesAroundTheThreshold) {
  CriterionBench bench(1);
  EXPECT_EQ(bench.criterion.classCount, 2);
  bench.criterion.setConfusionAccess(&bench.confusion);
  EXPECT_EQ(bench.confusion.rows, 2);
  EXPECT_EQ(bench.confusion.columns, 2);
  bench.present({0.3}, {-0.2});
  EXPECT_EQ(bench.criterion.confusionCounts, (std::vector<double>{0, 0, 1, 0}));
  bench.present({0.0}, {0.0});  // both at the threshold: class 1
  bench.present({-0.1}, {0.4});
  bench.present({-0.1}, {-0.4});
  bench.criterion.computeCost(1, 1);
  ASSERT_EQ(bench.confusion.records.size(), 1u);
  EXPECT_EQ(bench.confusion.records[0], (std::vector<double>{1.0 / 2 * 100.0, 1.0 / 2 * 100.0,
                                                             1.0 / 2 * 100.0, 1.0 / 2 * 100.0}));
  for (double count : bench.criterion.confusionCounts) EXPECT_EQ(count, 0.0);
}

TEST(CriterionConfusionTest, TiesGoToTheLowerIndexAndEmptyRowsAreZero) {
  CriterionBench bench(3);
  bench.criterion.setConfusionAccess(&bench.confusion);
  bench.present({0.1, 0.7, 0.7}, {0.4, 0.4, 0.1});  // desired 1, output 0
  bench.present({0.1, 0.7, 0.2}, {0.5, 0.4, 0.5});  // desired 1, output 0
  bench.present({0.1, 0.7, 0.2}, {0.1, 0.2, 0.3});  // desired 1, output 2
  bench.criterion.computeCost(1, 1);
  EXPECT_EQ(bench.confusion.records.at(0), (std::vector<double>{0.0, 0.0, 0.0, 2.0 / 3 * 100.0, 0.0,
                                                                1.0 / 3 * 100.0, 0.0, 0.0, 0.0}));
}

TEST(CriterionPerformanceTest, DesiredValueAtItsReferenceAddsNothingButCountsInTheMean) {
  CriterionBench bench(2);
  const std::vector<double> reference = {-0.9, 0.5};
  bench.criterion.setPercentErrorReference(reference.data(), 2);
  bench.criterion.setPerformanceAccess(&bench.performance);
  bench.present({-0.9, 0.1}, {-0.7, 0.3});
  bench.present({0.1, 0.5}, {0.2, 0.0});
  const double expectedSum =
      std::fabs((0.1 - 0.3) / (0.1 - 0.5)) * 100.0 + std::fabs((0.1 - 0.2) / (0.1 - -0.9)) * 100.0;
  EXPECT_EQ(bench.criterion.percentErrorSum, expectedSum);
  bench.criterion.computeCost(1, 1);
  EXPECT_EQ(bench.performance.records.at(0)[3], expectedSum / (2 * 2));
}

TEST(CriterionPerformanceTest, ReferencesBeyondTheLentLengthCountAsZero) {
  CriterionBench bench(2);
  const std::vector<double> reference = {0.5};
  bench.criterion.setPercentErrorReference(reference.data(), 1);
  bench.criterion.setPerformanceAccess(&bench.performance);
  bench.present({0.25, 0.25}, {0.0, 0.5});
  EXPECT_EQ(bench.criterion.percentErrorSum, std::fabs((0.25 - 0.0) / (0.25 - 0.5)) * 100.0 +
                                                 std::fabs((0.25 - 0.5) / (0.25 - 0.0)) * 100.0);

  CriterionBench unlent(1);
  unlent.criterion.setPerformanceAccess(&unlent.performance);
  unlent.present({0.0}, {0.3});  // d - 0.0 is 0: nothing added
  unlent.present({0.5}, {0.3});
  EXPECT_EQ(unlent.criterion.percentErrorSum, std::fabs((0.5 - 0.3) / 0.5) * 100.0);
}

TEST(CriterionPerformanceTest, ClearTrainingFlagKeepsTheDesiredRange) {
  StaticControl control;
  control.trainingFlag = 0;
  CriterionBench bench(2, 100, &control);
  bench.criterion.setPerformanceAccess(&bench.performance);
  bench.present({0.5, -0.7}, {0.4, -0.6});
  bench.present({-0.8, 0.9}, {-0.2, 0.1});
  EXPECT_EQ(bench.criterion.desiredMin, (std::vector<double>{0.0, 0.0}));
  EXPECT_EQ(bench.criterion.desiredMax, (std::vector<double>{0.1, 0.1}));
  const double sq = (0.5 - 0.4) * (0.5 - 0.4) + (-0.7 - -0.6) * (-0.7 - -0.6) +
                    (-0.8 - -0.2) * (-0.8 - -0.2) + (0.9 - 0.1) * (0.9 - 0.1);
  bench.criterion.computeCost(1, 1);
  EXPECT_EQ(bench.performance.records.at(0)[0], sq / 4);
  EXPECT_EQ(bench.performance.records.at(0)[1], std::sqrt(sq / 4) / ((0.1 + 0.1) / 2));
}

TEST(CriterionPerformanceTest, SetTrainingFlagTracksTheRangeOutsideTestMode) {
  CriterionBench bench(2);  // no control: the flag counts as set
  bench.criterion.setPerformanceAccess(&bench.performance);
  bench.present({0.5, -0.7}, {0.0, 0.0});
  bench.present({-0.3, 0.05}, {0.0, 0.0});
  EXPECT_EQ(bench.criterion.desiredMin, (std::vector<double>{-0.3, -0.7}));
  EXPECT_EQ(bench.criterion.desiredMax, (std::vector<double>{0.5, 0.1}));
  bench.criterion.setTestMode(1);
  bench.present({0.9, -0.9}, {0.0, 0.0});
  EXPECT_EQ(bench.criterion.desiredMin, (std::vector<double>{-0.3, -0.7}));
  EXPECT_EQ(bench.criterion.desiredMax, (std::vector<double>{0.5, 0.1}));
}

TEST(CriterionPerformanceTest, ConstantSeriesAndExactOutputsKeepTheirFloatingPointResults) {
  CriterionBench bench(1);
  bench.criterion.freeParameterCount = 3;
  bench.criterion.setPerformanceAccess(&bench.performance);
  bench.present({0.25}, {0.25});
  bench.present({0.25}, {0.25});
  bench.criterion.computeCost(1, 1);
  const std::vector<double>& record = bench.performance.records.at(0);
  EXPECT_EQ(record[0], 0.0);
  EXPECT_TRUE(std::isnan(record[2]));  // 0 / 0
  EXPECT_EQ(record[4], -std::numeric_limits<double>::infinity());
  EXPECT_EQ(record[5], -std::numeric_limits<double>::infinity());
  // Completed measures are cleared once sent.
  EXPECT_EQ(bench.criterion.squaredErrorSum, 0.0);
  EXPECT_EQ(bench.criterion.normalizedRms, 0.0);
  EXPECT_EQ(bench.criterion.percentErrorSum, 0.0);
  EXPECT_TRUE(std::isnan(bench.criterion.correlations[0]));
}

TEST(CriterionPerformanceTest, ClearMeasureAccumulatorsTouchesOnlyAttachedParts) {
  CriterionBench bench(2);
  bench.criterion.setRocAccess(&bench.roc);
  bench.present({0.5, 0.5}, {0.9, 0.1});
  bench.criterion.squaredErrorSum = 4.0;  // not gathered without the performance access
  bench.criterion.clearMeasureAccumulators(0);
  EXPECT_EQ(bench.criterion.squaredErrorSum, 4.0);
  for (int32_t count : bench.criterion.rocCounts) EXPECT_EQ(count, 0);

  CriterionBench full(2);
  full.criterion.setPerformanceAccess(&full.performance);
  full.criterion.setConfusionAccess(&full.confusion);
  full.present({0.5, 0.5}, {0.9, 0.1});
  full.criterion.meanCorrelation = 0.3;
  full.criterion.clearMeasureAccumulators(1);
  EXPECT_EQ(full.criterion.squaredErrorSum, 0.0);
  EXPECT_EQ(full.criterion.percentErrorSum, 0.0);
  EXPECT_EQ(full.criterion.meanCorrelation, 0.0);
  EXPECT_EQ(full.criterion.sumProduct, (std::vector<double>{0.0, 0.0}));
  EXPECT_EQ(full.criterion.confusionCounts, std::vector<double>(4, 0.0));
  EXPECT_EQ(full.criterion.exemplarCount, 1);  // the cost is not a measure
}

// ---------------------------------------------------------------------------
// Test mode.

TEST(CriterionTestModeTest, RoundTripRestoresTheTrainingSumsExactly) {
  CriterionBench bench(2);
  bench.attachAll();
  bench.present({0.5, -0.25}, {0.3, -0.1});
  bench.present({-0.6, 0.75}, {-0.2, 0.35});
  L2Criterion& c = bench.criterion;
  const L2Criterion* before = &c;
  const double costSum = c.costSum;
  const int n = c.exemplarCount;
  const double squared = c.squaredErrorSum;
  const double percent = c.percentErrorSum;
  const std::vector<double> sums[] = {c.sumDesired, c.sumOutput, c.sumProduct, c.sumDesiredSquares,
                                      c.sumOutputSquares};
  const std::vector<int32_t> roc = c.rocCounts;
  const std::vector<double> confusion = c.confusionCounts;

  EXPECT_EQ(c.setTestMode(1), 0.0);
  EXPECT_EQ(c.exemplarCount, 0);
  EXPECT_EQ(c.costSum, 0.0);
  EXPECT_EQ(c.sumProduct, (std::vector<double>{0.0, 0.0}));
  bench.present({0.1, 0.2}, {0.4, 0.8});
  bench.present({0.3, 0.1}, {0.9, -0.8});
  const double testCostSum = c.costSum;
  const double testCost = c.setTestMode(0);
  EXPECT_EQ(testCost, testCostSum / (2 * 2));
  EXPECT_EQ(c.testCost, testCost);
  EXPECT_EQ(c.testMode, 0);

  EXPECT_EQ(before->costSum, costSum);
  EXPECT_EQ(c.exemplarCount, n);
  EXPECT_EQ(c.squaredErrorSum, squared);
  EXPECT_EQ(c.percentErrorSum, percent);
  EXPECT_EQ(c.sumDesired, sums[0]);
  EXPECT_EQ(c.sumOutput, sums[1]);
  EXPECT_EQ(c.sumProduct, sums[2]);
  EXPECT_EQ(c.sumDesiredSquares, sums[3]);
  EXPECT_EQ(c.sumOutputSquares, sums[4]);
  EXPECT_EQ(c.rocCounts, roc);
  EXPECT_EQ(c.confusionCounts, confusion);
  // Leaving test mode completed and wrote the test period's records.
  ASSERT_EQ(bench.performance.records.size(), 1u);
  const double testSquared = (0.4 - 0.1) * (0.4 - 0.1) + (0.8 - 0.2) * (0.8 - 0.2) +
                             (0.9 - 0.3) * (0.9 - 0.3) + (-0.8 - 0.1) * (-0.8 - 0.1);
  EXPECT_EQ(bench.performance.records[0][0], testSquared / 4);
  EXPECT_EQ(bench.cost.records.size(), 1u);
  EXPECT_EQ(bench.roc.records.size(), 1u);
  EXPECT_EQ(bench.confusion.records.size(), 1u);
}

TEST(CriterionTestModeTest, SettingTheCurrentModeAgainChangesNothing) {
  CriterionBench bench(1);
  bench.attachAll();
  bench.present({0.5}, {0.25});
  const double costSum = bench.criterion.costSum;
  EXPECT_EQ(bench.criterion.setTestMode(0), 0.0);
  EXPECT_EQ(bench.criterion.costSum, costSum);
  EXPECT_EQ(bench.criterion.exemplarCount, 1);
  EXPECT_TRUE(bench.cost.records.empty());

  bench.criterion.setTestMode(1);
  bench.present({0.75}, {0.25});
  const double testSum = bench.criterion.costSum;
  EXPECT_EQ(bench.criterion.setTestMode(1), 0.0);
  EXPECT_EQ(bench.criterion.costSum, testSum);
  EXPECT_EQ(bench.criterion.heldCostSum, costSum);
  EXPECT_EQ(bench.criterion.testMode, 1);
}

}  // namespace
