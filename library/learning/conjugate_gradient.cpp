#include <kqnet/learning/conjugate_gradient.h>

#include <kqnet/control/control.h>
#include <kqnet/learning/learning_globals.h>

namespace kq {

namespace {

void freeVector(std::vector<double>& vector) { std::vector<double>().swap(vector); }

}  // namespace

void ConjugateGradient::setWeightCount(int n) {
  const int old = weightCount;
  Gradient::setWeightCount(n);
  if (weightCount == old) return;
  const size_t count = static_cast<size_t>(weightCount);
  for (std::vector<double>* vector :
       {&weightCopy, &baseWeights, &averageGradient, &direction, &steepestDescent, &curvature}) {
    freeVector(*vector);
    vector->assign(count, 0.0);
  }
  if (control != nullptr && control->learningGlobals) control->learningGlobals->initialised = 0;
}

void ConjugateGradient::release() {
  forward = nullptr;
  for (std::vector<double>* vector :
       {&weightCopy, &baseWeights, &averageGradient, &direction, &steepestDescent, &curvature,
        &savedWeightCopy, &savedBaseWeights, &savedDirection, &savedSteepestDescent,
        &savedCurvature}) {
    freeVector(*vector);
  }
  Gradient::release();
}

}  // namespace kq
