#pragma once

// The one finite-difference helper behind every gradient check of the
// backward twins: a plain forward computation of a tanh network written
// independently of the library, central differences of its cost, and the
// comparison with the accumulators, guarded against an all-zero gradient.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace kqtest {

// A fully connected link of the plain network, from one layer into a later
// one; weights row by row, target element j times source size plus k.
struct PlainLink {
  int source = 0;               // layer read
  int target = 0;               // layer added into
  std::vector<double> weights;  // target size x source size
};

// Layer 0 is the input; every later layer is tanh(net + bias) with slope 1.
struct PlainNetwork {
  std::vector<int> sizes;                  // elements per layer
  std::vector<PlainLink> links;            // any order; all links into a layer are summed
  std::vector<std::vector<double>> biases; // per layer (layer 0 unused)

  // Every weight and bias in one vector: link weights in link order, then
  // the biases of layers 1 onwards.
  std::vector<double> parameters() const {
    std::vector<double> p;
    for (const PlainLink& link : links) p.insert(p.end(), link.weights.begin(), link.weights.end());
    for (size_t l = 1; l < biases.size(); ++l) p.insert(p.end(), biases[l].begin(), biases[l].end());
    return p;
  }

  void setParameters(const std::vector<double>& p) {
    size_t at = 0;
    for (PlainLink& link : links) {
      for (double& w : link.weights) w = p[at++];
    }
    for (size_t l = 1; l < biases.size(); ++l) {
      for (double& b : biases[l]) b = p[at++];
    }
  }

  // The output layer's activity for one input record.
  std::vector<double> outputs(const std::vector<double>& input) const {
    std::vector<std::vector<double>> act(sizes.size());
    act[0] = input;
    for (size_t t = 1; t < sizes.size(); ++t) {
      std::vector<double> net(static_cast<size_t>(sizes[t]), 0.0);
      for (const PlainLink& link : links) {
        if (link.target != static_cast<int>(t)) continue;
        const std::vector<double>& x = act[static_cast<size_t>(link.source)];
        const size_t n = x.size();
        for (size_t j = 0; j < net.size(); ++j) {
          for (size_t k = 0; k < n; ++k) net[j] += link.weights[j * n + k] * x[k];
        }
      }
      for (size_t j = 0; j < net.size(); ++j) net[j] = std::tanh(net[j] + biases[t][j]);
      act[t] = net;
    }
    return act.back();
  }

  // Sum over the exemplars of 0.5 sum (d - y)^2.
  double cost(const std::vector<std::vector<double>>& inputs,
              const std::vector<std::vector<double>>& desired) const {
    double total = 0.0;
    for (size_t e = 0; e < inputs.size(); ++e) {
      const std::vector<double> y = outputs(inputs[e]);
      for (size_t i = 0; i < y.size(); ++i) {
        const double diff = desired[e][i] - y[i];
        total += 0.5 * diff * diff;
      }
    }
    return total;
  }
};

// Central differences of cost at p, one parameter at a time.
inline std::vector<double> centralDifferences(
    const std::function<double(const std::vector<double>&)>& cost, std::vector<double> p,
    double h = 1e-5) {
  std::vector<double> gradient(p.size());
  for (size_t i = 0; i < p.size(); ++i) {
    const double keep = p[i];
    p[i] = keep + h;
    const double up = cost(p);
    p[i] = keep - h;
    const double down = cost(p);
    p[i] = keep;
    gradient[i] = (up - down) / (2.0 * h);
  }
  return gradient;
}

// The accumulators hold the negative gradient of the cost: each value must
// match minus the numeric derivative within 1e-6 relative to max(1, |a|, |b|),
// and the check must not pass on gradients that are all (nearly) zero.
inline void expectNegativeGradient(const std::vector<double>& accumulated,
                                   const std::vector<double>& numeric, const std::string& what) {
  ASSERT_EQ(accumulated.size(), numeric.size()) << what;
  double largest = 0.0;
  for (size_t i = 0; i < numeric.size(); ++i) {
    const double a = accumulated[i];
    const double b = -numeric[i];
    largest = std::max(largest, std::fabs(b));
    EXPECT_LE(std::fabs(a - b), 1e-6 * std::max({1.0, std::fabs(a), std::fabs(b)}))
        << what << " parameter " << i << ": accumulated " << a << ", numeric " << b;
  }
  EXPECT_GT(largest, 1e-3) << what << ": the gradients checked are all close to zero";
}

}  // namespace kqtest
