#include <kqnet/linalg/ls_weight_initializer.h>

#include <algorithm>
#include <cmath>

#include <kqnet/core/fatal.h>
#include <kqnet/core/soma.h>

namespace kq {

namespace {

constexpr int32_t kTanh = 0;
constexpr int32_t kLinear = 2;
constexpr int32_t kBias = 3;

// Flat n x n identity, the metric of every fit here.
ClaimedArray<double> identityMetric(int32_t n) {
  ClaimedArray<double> m(static_cast<size_t>(checkedProduct(n, n)), 0.0);
  for (int32_t i = 0; i < n; ++i) m[static_cast<size_t>(i) * static_cast<size_t>(n + 1)] = 1.0;
  return m;
}

void copyRows(const double* const* table, Matrix& to) {
  if (table == nullptr) return;
  for (int32_t n = 0; n < to.rowCount(); ++n) {
    if (table[n] == nullptr) continue;
    std::copy(table[n], table[n] + to.columnCount(), to[n]);
  }
}

void copyValues(const double* from, ClaimedArray<double>& to, size_t offset, size_t count) {
  if (from == nullptr) return;
  std::copy(from, from + count, to.begin() + static_cast<std::ptrdiff_t>(offset));
}

void writeValues(const ClaimedArray<double>& from, size_t offset, size_t count, double* to) {
  if (to == nullptr) return;
  std::copy(from.begin() + static_cast<std::ptrdiff_t>(offset),
            from.begin() + static_cast<std::ptrdiff_t>(offset + count), to);
}

}  // namespace

LSWeightInitializer::LSWeightInitializer(int32_t exemplars, int32_t inputs, int32_t outputs,
                                         int32_t hidden)
    : outputCount(checkedCount(outputs)),
      exemplarCount(checkedCount(exemplars)),
      inputCount(checkedCount(inputs)),
      hiddenCount(checkedCount(hidden)) {
  hiddenLayer.assign(
      static_cast<size_t>(checkedProduct(static_cast<int64_t>(inputCount) + 1, hiddenCount)), 0.0);
  outputLayer.assign(
      static_cast<size_t>(checkedProduct(static_cast<int64_t>(hiddenCount) + 1, outputCount)), 0.0);
  desiredTable = Matrix(exemplarCount, outputCount);
  inputTable = Matrix(exemplarCount, inputCount);
}

LSWeightInitializer::~LSWeightInitializer() {
  outputCount = 0;
  exemplarCount = 0;
  inputCount = 0;
  hiddenCount = 0;
}

void LSWeightInitializer::setInputPatterns(const double* const* table) {
  copyRows(table, inputTable);
}

void LSWeightInitializer::setDesiredOutputs(const double* const* table) {
  copyRows(table, desiredTable);
}

void LSWeightInitializer::setHiddenWeights(const double* weights) {
  copyValues(weights, hiddenLayer, 0, static_cast<size_t>(inputCount) * hiddenCount);
}

void LSWeightInitializer::setOutputWeights(const double* weights) {
  copyValues(weights, outputLayer, 0, static_cast<size_t>(hiddenCount) * outputCount);
}

void LSWeightInitializer::setFirstWeights(double* weights) {
  setHiddenWeights(weights);
  firstWeightsOut = weights;
}

void LSWeightInitializer::setHiddenBiases(double* biases) {
  copyValues(biases, hiddenLayer, static_cast<size_t>(inputCount) * hiddenCount,
             static_cast<size_t>(hiddenCount));
  hiddenBiasesOut = biases;
}

void LSWeightInitializer::setSecondWeights(double* weights) {
  setOutputWeights(weights);
  secondWeightsOut = weights;
}

void LSWeightInitializer::setOutputBiases(double* biases) {
  copyValues(biases, outputLayer, static_cast<size_t>(hiddenCount) * outputCount,
             static_cast<size_t>(outputCount));
  outputBiasesOut = biases;
}

void LSWeightInitializer::setHiddenActivation(int32_t kind, double slope) {
  hiddenKind = kind;
  hiddenSlope = slope;
}

void LSWeightInitializer::setOutputActivation(int32_t kind, double slope) {
  outputKind = kind;
  outputSlope = slope;
}

// Kinds without a case of their own (the logistic among them) pass values
// through unchanged and carry no derivative weight, like kind 4.
double LSWeightInitializer::activate(int32_t kind, double slope, double u) {
  switch (kind) {
    case kTanh:
      return std::tanh(slope * u);
    case kLinear:
      return slope * u;
    case kBias:
      return u + slope;
    default:
      return u;
  }
}

double LSWeightInitializer::inverse(int32_t kind, double slope, double x) {
  switch (kind) {
    case kTanh: {
      // A zero slope makes every net input give the same output; 0 is as
      // good a target as any and keeps the fit finite.
      if (slope == 0.0) return 0.0;
      // Saturated values (|x| >= 1) have no finite preimage; they take that
      // of the nearest double inside the open range, about +-18.7 / slope.
      const double limit = std::nextafter(1.0, 0.0);
      if (x > limit) x = limit;
      if (x < -limit) x = -limit;
      return (0.5 / slope) * std::log((1.0 + x) / (1.0 - x));
    }
    case kLinear:
      return slope == 0.0 ? 0.0 : x / slope;
    default:
      return x;
  }
}

double LSWeightInitializer::derivativeWeight(int32_t kind, double slope, double t) {
  switch (kind) {
    case kTanh: {
      double th = std::tanh(t);
      return slope * (1.0 - th * th);
    }
    case kLinear:
      return slope;
    case kBias:
      return 1.0;
    default:
      return 0.0;
  }
}

void LSWeightInitializer::forwardPass(Matrix& hiddenActivity, Matrix& outputs) const {
  const size_t hiddenBiasStart = static_cast<size_t>(inputCount) * hiddenCount;
  const size_t outputBiasStart = static_cast<size_t>(hiddenCount) * outputCount;
  for (int32_t n = 0; n < exemplarCount; ++n) {
    const double* input = inputTable[n];
    double* hidden = hiddenActivity[n];
    for (int32_t h = 0; h < hiddenCount; ++h) {
      const double* row = hiddenLayer.data() + static_cast<size_t>(h) * inputCount;
      double sum = 0.0;
      for (int32_t k = 0; k < inputCount; ++k) sum += row[k] * input[k];
      double net = sum + hiddenLayer[hiddenBiasStart + static_cast<size_t>(h)];
      hidden[h] = activate(hiddenKind, hiddenSlope, net);
    }
    double* output = outputs[n];
    for (int32_t o = 0; o < outputCount; ++o) {
      const double* row = outputLayer.data() + static_cast<size_t>(o) * hiddenCount;
      double sum = 0.0;
      for (int32_t h = 0; h < hiddenCount; ++h) sum += row[h] * hidden[h];
      double net = sum + outputLayer[outputBiasStart + static_cast<size_t>(o)];
      output[o] = activate(outputKind, outputSlope, net);
    }
  }
}

// Normal equations of min sum_n e_n^T D_n M D_n e_n over the free values
// theta (unit i's weights at i*a + k, its bias at c*a + i). With z_n the
// layer input extended by a constant 1 and K_n = D_n M D_n, entry
// (i,u),(j,v) is sum_n K_n[i][j] z_n[u] z_n[v], and the right side at (i,u)
// is sum_n sum_j K_n[i][j] z_n[u] T[n][j]; each is a running sum over the
// exemplars in order (and over j within one exemplar).
void LSWeightInitializer::solveLayer(const Matrix& layerInputs, int32_t units,
                                     const Matrix& targets, const ClaimedArray<double>& metric,
                                     int32_t kind, double slope, ClaimedArray<double>& out) {
  const int32_t a = layerInputs.columnCount();
  const int32_t c = units;
  const int32_t size = checkedProduct(c, static_cast<int64_t>(a) + 1);
  Matrix normal(size, size);
  ClaimedArray<double> rightSide(static_cast<size_t>(size), 0.0);
  ClaimedArray<double> d(static_cast<size_t>(c), 0.0);
  ClaimedArray<double> k(static_cast<size_t>(checkedProduct(c, c)), 0.0);
  ClaimedArray<double> z(static_cast<size_t>(a) + 1, 1.0);
  auto index = [a, c](int32_t unit, int32_t u) { return u < a ? unit * a + u : c * a + unit; };
  for (int32_t n = 0; n < layerInputs.rowCount(); ++n) {
    const double* target = targets[n];
    for (int32_t i = 0; i < c; ++i)
      d[static_cast<size_t>(i)] = derivativeWeight(kind, slope, target[i]);
    for (int32_t i = 0; i < c; ++i) {
      for (int32_t j = 0; j < c; ++j) {
        size_t ij = static_cast<size_t>(i) * static_cast<size_t>(c) + static_cast<size_t>(j);
        k[ij] = d[static_cast<size_t>(i)] * metric[ij] * d[static_cast<size_t>(j)];
      }
    }
    for (int32_t u = 0; u < a; ++u) z[static_cast<size_t>(u)] = layerInputs[n][u];
    for (int32_t i = 0; i < c; ++i) {
      for (int32_t u = 0; u <= a; ++u) {
        const int32_t p = index(i, u);
        const double zu = z[static_cast<size_t>(u)];
        double* row = normal[p];
        for (int32_t j = 0; j < c; ++j) {
          const double kij =
              k[static_cast<size_t>(i) * static_cast<size_t>(c) + static_cast<size_t>(j)];
          for (int32_t v = 0; v <= a; ++v) row[index(j, v)] += kij * zu * z[static_cast<size_t>(v)];
          rightSide[static_cast<size_t>(p)] += kij * zu * target[j];
        }
      }
    }
  }
  Matrix inverse(size, size);
  invertRegularized(normal.rows(), size, inverse.rows());
  out.assign(static_cast<size_t>(size), 0.0);
  matrixTimesVector(rightSide.data(), size, size, inverse.rows(), out.data());
}

void LSWeightInitializer::hiddenTargets(const Matrix& outputTargets, Matrix& out) const {
  const int32_t o = outputCount;
  const int32_t h = hiddenCount;
  Matrix weights(o, h);
  for (int32_t i = 0; i < o; ++i) {
    std::copy(outputLayer.begin() + static_cast<std::ptrdiff_t>(i) * h,
              outputLayer.begin() + static_cast<std::ptrdiff_t>(i + 1) * h, weights[i]);
  }
  Matrix transposed(h, o);
  transpose(weights.rows(), o, h, transposed.rows());
  if (o < h) {
    // Fewer equations than unknowns: the least-norm hidden activity, from
    // W^T = QR.
    Matrix r(o, o);
    gramSchmidtQr(transposed.rows(), h, o, r.rows());
    for (int32_t n = 0; n < exemplarCount; ++n) {
      solveLeastSquares(r.rows(), h, o, transposed.rows(), outputTargets[n], out[n]);
    }
    return;
  }
  Matrix targetsTimesWeights(exemplarCount, h);
  multiply(outputTargets.rows(), exemplarCount, o, weights.rows(), o, h,
           targetsTimesWeights.rows());
  Matrix gram(h, h);
  multiply(transposed.rows(), h, o, weights.rows(), o, h, gram.rows());
  Matrix gramInverse(h, h);
  invertRegularized(gram.rows(), h, gramInverse.rows());
  multiply(targetsTimesWeights.rows(), exemplarCount, h, gramInverse.rows(), h, h, out.rows());
}

void LSWeightInitializer::computeWeights(double* hiddenWeightsOut, double* outputWeightsOut,
                                         double* hiddenBiasesOut, double* outputBiasesOut) {
  const int32_t n = exemplarCount;
  const ClaimedArray<double> outputMetric = identityMetric(outputCount);
  const ClaimedArray<double> hiddenMetric = identityMetric(hiddenCount);
  Matrix hiddenActivity(n, hiddenCount);
  Matrix outputs(n, outputCount);

  forwardPass(hiddenActivity, outputs);
  double best =
      relativeError(outputs.rows(), desiredTable.rows(), outputCount, n, outputMetric.data());

  Matrix outputNetTargets(n, outputCount);
  for (int32_t e = 0; e < n; ++e) {
    for (int32_t o = 0; o < outputCount; ++o) {
      outputNetTargets[e][o] = inverse(outputKind, outputSlope, desiredTable[e][o]);
    }
  }

  const size_t hiddenWeightCount = static_cast<size_t>(inputCount) * hiddenCount;
  const size_t outputWeightCount = static_cast<size_t>(hiddenCount) * outputCount;
  Matrix shiftedTargets(n, outputCount);
  Matrix hiddenNetTargets(n, hiddenCount);
  for (int pass = 0; pass < kPasses; ++pass) {
    for (int32_t e = 0; e < n; ++e) {
      for (int32_t o = 0; o < outputCount; ++o) {
        shiftedTargets[e][o] =
            outputNetTargets[e][o] - outputLayer[outputWeightCount + static_cast<size_t>(o)];
      }
    }
    hiddenTargets(shiftedTargets, hiddenNetTargets);
    for (int32_t e = 0; e < n; ++e) {
      for (int32_t h = 0; h < hiddenCount; ++h) {
        hiddenNetTargets[e][h] = inverse(hiddenKind, hiddenSlope, hiddenNetTargets[e][h]);
      }
    }
    solveLayer(inputTable, hiddenCount, hiddenNetTargets, hiddenMetric, hiddenKind, hiddenSlope,
               hiddenLayer);
    forwardPass(hiddenActivity, outputs);
    solveLayer(hiddenActivity, outputCount, outputNetTargets, outputMetric, outputKind, outputSlope,
               outputLayer);
    forwardPass(hiddenActivity, outputs);
    double error =
        relativeError(outputs.rows(), desiredTable.rows(), outputCount, n, outputMetric.data());
    // A tie takes the newer weights; a NaN error never replaces anything.
    if (absolute(error) <= absolute(best)) {
      writeValues(hiddenLayer, 0, hiddenWeightCount, hiddenWeightsOut);
      writeValues(hiddenLayer, hiddenWeightCount, static_cast<size_t>(hiddenCount),
                  hiddenBiasesOut);
      writeValues(outputLayer, 0, outputWeightCount, outputWeightsOut);
      writeValues(outputLayer, outputWeightCount, static_cast<size_t>(outputCount),
                  outputBiasesOut);
      best = error;
    }
  }
  // The four vectors are raw pointers, often kept since they were handed
  // over (fit writes through the setters' ones): no count of the weights
  // sees these writes, so tell every copy derived from weights.
  Soma::weightsChanged();
}

void LSWeightInitializer::fit() {
  if (firstWeightsOut == nullptr || hiddenBiasesOut == nullptr || secondWeightsOut == nullptr ||
      outputBiasesOut == nullptr) {
    return;
  }
  computeWeights(firstWeightsOut, secondWeightsOut, hiddenBiasesOut, outputBiasesOut);
}

}  // namespace kq
