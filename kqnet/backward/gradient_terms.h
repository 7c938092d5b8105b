#pragma once

#include <cstdint>

#include <kqnet/control/control.h>

// How one gradient contribution joins a backward component's accumulator.
// Every backward component adds error x input terms the same way: plainly,
// or, with the control's weight decay on, as the regularised term
// beta t - alpha w, optionally scaled by the current per-exemplar factor.

namespace kq {

struct GradientTerms {
  int32_t decay = 0;    // the control's weight decay is on
  double beta = 1.0;    // weight of the data term under decay
  double alpha = 0.0;   // weight of the forward weight under decay
  int32_t scaled = 0;   // a per-exemplar factor applies
  double factor = 1.0;  // the current per-exemplar factor

  // The term t, scaled by the factor when one applies.
  double scale(double t) const { return scaled != 0 ? t * factor : t; }
  // g += t, or g += beta t - alpha w under decay.
  void add(double& g, double t, double w) const {
    if (decay != 0) {
      g += beta * t - alpha * w;
    } else {
      g += t;
    }
  }
};

// The terms for one pass: decay from the control (off without one), the
// factor at index when factors are installed. An index outside the table
// reads its first entry.
inline GradientTerms gradientTerms(const StaticControl* control, const double* factors,
                                   int32_t count, int32_t index) {
  GradientTerms terms;
  if (control != nullptr && control->weightDecay != 0) {
    terms.decay = 1;
    terms.beta = control->regularisationBeta;
    terms.alpha = control->regularisationAlpha;
  }
  if (factors != nullptr && count > 0) {
    terms.scaled = 1;
    terms.factor = factors[index >= 0 && index < count ? index : 0];
  }
  return terms;
}

// Moves the factor index on after a pass that used a factor, wrapping at the
// end of the table.
inline void advanceFactorIndex(int32_t& index, int32_t count) {
  if (count <= 0) return;
  index = index >= 0 && index + 1 < count ? index + 1 : 0;
}

}  // namespace kq
