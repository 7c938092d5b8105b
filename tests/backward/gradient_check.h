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

// Layer 0 is the input; every later layer is tanh(s), s = slope x net +
// bias. A tanh twin takes slope x (1 - y^2 + offset) as the layer's
// derivative by its net input and adds error x that factor to the bias
// gradient, which is slope times the true bias derivative. So that central
// differences give what the twins define, the bias parameter is bias /
// slope, and a layer with a derivative offset adds offset x (s - s0) to
// its activity, s0 being its s at the pivot parameters (setPivots): there
// the activity is unchanged and its derivative gains exactly the offset.
// With slope 1 and offset 0 this is the plain tanh network.
struct PlainNetwork {
  std::vector<int> sizes;                   // elements per layer
  std::vector<PlainLink> links;             // any order; all links into a layer are summed
  std::vector<std::vector<double>> biases;  // per layer (layer 0 unused)
  std::vector<double> slopes;               // per layer; layers past the end have slope 1
  std::vector<double> offsets;              // derivative offsets per layer; past the end 0
  // Per exemplar and layer, s at the pivot parameters.
  std::vector<std::vector<std::vector<double>>> pivots;

  double slope(size_t layer) const { return layer < slopes.size() ? slopes[layer] : 1.0; }
  double offset(size_t layer) const { return layer < offsets.size() ? offsets[layer] : 0.0; }

  // Every weight and bias parameter in one vector: link weights in link
  // order, then bias / slope of layers 1 onwards.
  std::vector<double> parameters() const {
    std::vector<double> p;
    for (const PlainLink& link : links) p.insert(p.end(), link.weights.begin(), link.weights.end());
    for (size_t l = 1; l < biases.size(); ++l) {
      for (double b : biases[l]) p.push_back(b / slope(l));
    }
    return p;
  }

  void setParameters(const std::vector<double>& p) {
    size_t at = 0;
    for (PlainLink& link : links) {
      for (double& w : link.weights) w = p[at++];
    }
    for (size_t l = 1; l < biases.size(); ++l) {
      for (double& b : biases[l]) b = p[at++] * slope(l);
    }
  }

  // The present parameters become the pivot point of every exemplar.
  void setPivots(const std::vector<std::vector<double>>& inputs) {
    pivots.clear();
    for (const std::vector<double>& input : inputs) {
      std::vector<std::vector<double>> s;
      run(input, nullptr, &s);
      pivots.push_back(s);
    }
  }

  // The output layer's activity for exemplar e's input record.
  std::vector<double> outputs(const std::vector<double>& input, size_t e = 0) const {
    return run(input, e < pivots.size() ? &pivots[e] : nullptr, nullptr);
  }

  // Sum over the exemplars of 0.5 sum (d - y)^2.
  double cost(const std::vector<std::vector<double>>& inputs,
              const std::vector<std::vector<double>>& desired) const {
    double total = 0.0;
    for (size_t e = 0; e < inputs.size(); ++e) {
      const std::vector<double> y = outputs(inputs[e], e);
      for (size_t i = 0; i < y.size(); ++i) {
        const double diff = desired[e][i] - y[i];
        total += 0.5 * diff * diff;
      }
    }
    return total;
  }

 private:
  std::vector<double> run(const std::vector<double>& input,
                          const std::vector<std::vector<double>>* pivot,
                          std::vector<std::vector<double>>* sOut) const {
    std::vector<std::vector<double>> act(sizes.size());
    if (sOut != nullptr) sOut->assign(sizes.size(), {});
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
      for (size_t j = 0; j < net.size(); ++j) {
        const double s = slope(t) * net[j] + biases[t][j];
        if (sOut != nullptr) (*sOut)[t].push_back(s);
        net[j] = std::tanh(s);
        if (offset(t) != 0.0 && pivot != nullptr) net[j] += offset(t) * (s - (*pivot)[t][j]);
      }
      act[t] = net;
    }
    return act.back();
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
