// The criterion's count of the trainable weights walks the control's
// gradient list, so it lives with the gradients rather than with the
// criterion's cost and statistics; the criteria family needs nothing of
// learning.

#include <kqnet/control/control.h>
#include <kqnet/core/fatal.h>
#include <kqnet/core/soma.h>
#include <kqnet/criteria/criterion.h>
#include <kqnet/learning/gradient.h>

namespace kq {

void Criterion::countTrainableWeights() {
  resizeDesiredCopy();
  int64_t count = 0;
  if (control != nullptr) {
    for (const Gradient* gradient : control->gradientList) {
      // A gradient whose forward object is not attached has nothing to train.
      if (gradient != nullptr && gradient->forward != nullptr) {
        count += gradient->forward->weightTotal();
      }
    }
  }
  trainableWeightCount = checkedCount(count);
  if (control != nullptr && control->weightDecay != 0) {
    control->sumSquaredWeights();
    if (control->keepRegularisationBeta == 0) {
      control->regularisationBeta = 1.0 - control->regularisationAlpha;
    }
  }
}

}  // namespace kq
