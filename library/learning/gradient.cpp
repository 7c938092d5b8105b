#include "learning/gradient.h"

#include "control/control.h"
#include "core/soma.h"

namespace kq {

void Gradient::setWeightCount(int n) {
  weightCount = n < 1 ? 1 : n;
  recreateInstance();
}

void Gradient::matchTargetSize() {
  if (backprop == nullptr) {
    setWeightCount(0);
    return;
  }
  const int total = backprop->weightTotal();
  if (total != weightCount) setWeightCount(total);
}

void Gradient::setBackprop(Soma* object) {
  backprop = object;
  matchTargetSize();
}

int Gradient::gradientBlockCount() const {
  if (backprop == nullptr || forward == nullptr) return 1;
  // An unsized forward object carries one block.
  if (forward->inputLength <= 0) return 1;
  return backprop->length / forward->inputLength;
}

void Gradient::registerWithControl() {
  Engine::registerWithControl();
  if (backprop != nullptr && backprop->weightTotal() > 0 && control != nullptr) {
    control->gradientList.push_back(this);
    registered = 1;
  } else {
    registered = 0;
  }
}

void Gradient::release() {
  if (control != nullptr && registered != 0) control->removeGradient(this);
  Engine::release();
}

}  // namespace kq
