// The criterion's count of the trainable weights: the control totals the
// weights its gradients train (StaticControl::trainableWeightTotal), so the
// criteria family needs nothing of learning.

#include <kqnet/control/control.h>
#include <kqnet/core/fatal.h>
#include <kqnet/criteria/criterion.h>

namespace kq {

void Criterion::countTrainableWeights() {
  resizeDesiredCopy();
  const int64_t count = control != nullptr ? control->trainableWeightTotal() : 0;
  trainableWeightCount = checkedCount(count);
  if (control != nullptr && control->weightDecay != 0) {
    control->sumSquaredWeights();
    if (control->keepRegularisationBeta == 0) {
      control->regularisationBeta = 1.0 - control->regularisationAlpha;
    }
  }
}

}  // namespace kq
