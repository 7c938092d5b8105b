#pragma once

#include <cstdint>

#include "core/engine.h"

// A gradient object is the weight-update rule of one trainable component.
// The component's backward twin (backprop) accumulates error x input in its
// own weight vector; at every batch end the rule changes the forward
// component's weights from that accumulator. Subclasses provide the rule.

namespace kq {

class Soma;

class Gradient : public Engine {
 public:
  const char* className() const override { return "Gradient"; }
  void release() override;
  void registerWithControl() override;

  // Sizes the rule; below 1 counts as 1.
  virtual void setWeightCount(int n);
  // Follows the backprop object's weight total.
  virtual void matchTargetSize();
  virtual void recreateInstance() {}

  // Attaches the backward object and sizes the rule to it.
  void setBackprop(Soma* object);
  // Gradient blocks the backprop object carries side by side.
  int gradientBlockCount() const;

  double spareParameter = 10000.0;  // stored by setSpareParameter, read by nobody
  Soma* backprop = nullptr;         // backward component holding the accumulator
  Soma* forward = nullptr;          // forward component whose weights change
  uint32_t registered = 0;          // joined the control's gradient list
  int32_t weightCount = 0;          // weights the rule is sized for
};

}  // namespace kq
