#pragma once

#include <vector>

#include <kqnet/axons/axon.h>
#include <kqnet/backward/back_axon.h>
#include <kqnet/core/soma.h>
#include <kqnet/core/spatial_access.h>

// A tanh layer of n biases and its twin, whose bias gradients are the
// accumulator, with a rule wired as the programs wire it; blocks > 1 makes
// the twin carry that many gradient blocks side by side.
template <typename Rule>
struct Wired {
  explicit Wired(int n, int blocks = 1) {
    axon.setRows(n);
    if (blocks > 1) twin.setJacobianColumns(blocks);
    twin.setDual(&axon);
    rule.setStepSize(1.0);
    rule.setBackprop(&twin);
    rule.forward = &axon;
    rule.setPerWeightStep(0);
  }
  // One batch end from these weights and accumulator.
  void update(const std::vector<double>& w, const std::vector<double>& g) {
    axon.weights = w;
    twin.weights = g;
    rule.applyUpdate(axon);
  }
  kq::TanhAxon axon;
  kq::BackTanhAxon twin;
  Rule rule;
};

// Counts notifications and remembers the reset flag and the shape seen by
// the last one.
class CountingAccess : public kq::SpatialAccess {
 public:
  const char* className() const override { return "CountingAccess"; }
  void transfer() override {
    ++transfers;
    lastFlag = kq::resettingFlag;
    rowsSeen = rows;
    dataSeen = data;
  }
  int transfers = 0;
  int lastFlag = -1;
  int rowsSeen = -1;
  const double* dataSeen = nullptr;
};
