#pragma once

#include <cstdint>

#include <kqnet/core/claimed_array.h>
#include <kqnet/linalg/matrix.h>

// Least-squares starting weights for a network with one hidden layer.
// Working backwards from the desired outputs through the inverse
// activations, it alternates linear least-squares fits of the
// input-to-hidden and the hidden-to-output weights and biases for a fixed
// number of passes, and keeps the best set found (measured by the output
// error relative to the desired values). It holds copies only; the network
// changes only through the four output vectors of computeWeights (or the
// four vectors handed to the driver setters, for fit).
//
// No base class and nothing to override; the destructor is its only virtual
// operation.

namespace kq {

class LSWeightInitializer {
 public:
  // N exemplars, I inputs, O outputs, H hidden units. Negative counts count
  // as 0; sizes beyond 32 bits are fatal (out of memory).
  LSWeightInitializer(int32_t exemplars, int32_t inputs, int32_t outputs, int32_t hidden);
  virtual ~LSWeightInitializer();
  LSWeightInitializer(const LSWeightInitializer&) = delete;
  LSWeightInitializer& operator=(const LSWeightInitializer&) = delete;

  // Copy N rows of I input values / N rows of O desired values. A null
  // table (or a null row) leaves the stored zeros in place.
  void setInputPatterns(const double* const* table);
  void setDesiredOutputs(const double* const* table);
  // Copy the first synapse's I x H weights / the second synapse's H x O
  // weights (row by row, one row per target unit). Null copies nothing.
  void setHiddenWeights(const double* weights);
  void setOutputWeights(const double* weights);

  // The control's driver interface. Each weight setter copies the starting
  // values and remembers the vector as the place fit writes the result to.
  void setInputs(const double* const* table) { setInputPatterns(table); }
  void setDesired(const double* const* table) { setDesiredOutputs(table); }
  void setFirstWeights(double* weights);
  void setHiddenBiases(double* biases);
  void setSecondWeights(double* weights);
  void setOutputBiases(double* biases);

  // ActivationKind (0 tanh, 1 logistic, 2 linear, 3 bias, 4 none) and slope
  // of each layer.
  void setHiddenActivation(int32_t kind, double slope);
  void setOutputActivation(int32_t kind, double slope);

  // Runs the fit and writes the best weights found into the four vectors.
  // A null vector is skipped. Moves the weight generation
  // (Soma::weightsChanged), so the next sum sees the new weights.
  void computeWeights(double* hiddenWeightsOut, double* outputWeightsOut, double* hiddenBiasesOut,
                      double* outputBiasesOut);
  // computeWeights into the vectors given to the driver setters; does
  // nothing unless all four were given.
  void fit();

  // Element-wise layer functions by ActivationKind and slope.
  static double activate(int32_t kind, double slope, double u);
  static double inverse(int32_t kind, double slope, double x);
  static double derivativeWeight(int32_t kind, double slope, double t);

  // Number of alternating passes.
  static constexpr int kPasses = 9;

  // Fields in the order of their roles; public like the components' fields.
  ClaimedArray<double> hiddenLayer;  // H rows of I weights, then H biases
  ClaimedArray<double> outputLayer;  // O rows of H weights, then O biases
  int32_t outputCount = 0;           // O
  int32_t exemplarCount = 0;         // N
  int32_t inputCount = 0;            // I
  int32_t hiddenCount = 0;           // H
  Matrix desiredTable;               // N x O desired outputs
  int32_t hiddenKind = 4;            // ActivationKind of the hidden layer
  int32_t outputKind = 4;            // ActivationKind of the output layer
  double hiddenSlope = 1.0;          // slope of the hidden activation
  double outputSlope = 1.0;          // slope of the output activation
  Matrix inputTable;                 // N x I input patterns

 private:
  // Hidden activity A (N x H) and outputs Y (N x O) of the current layers.
  void forwardPass(Matrix& hiddenActivity, Matrix& outputs) const;
  // Weighted linear least-squares fit of one layer; out holds units x
  // layerInputs weights, then units biases.
  static void solveLayer(const Matrix& layerInputs, int32_t units, const Matrix& targets,
                         const ClaimedArray<double>& metric, int32_t kind, double slope,
                         ClaimedArray<double>& out);
  // Hidden activities that best produce the targets through the output
  // weights, as hidden net-input targets.
  void hiddenTargets(const Matrix& outputTargets, Matrix& out) const;

  double* firstWeightsOut = nullptr;   // driver's first-synapse weights
  double* hiddenBiasesOut = nullptr;   // driver's hidden-axon biases
  double* secondWeightsOut = nullptr;  // driver's second-synapse weights
  double* outputBiasesOut = nullptr;   // driver's output-axon biases
};

}  // namespace kq
