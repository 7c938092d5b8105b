#include <kqnet/learning/conjugate_gradient.h>

#include <algorithm>
#include <iterator>

#include <kqnet/control/control.h>
#include <kqnet/core/fatal.h>
#include <kqnet/learning/learning_globals.h>

namespace kq {

namespace {

void freeVector(std::vector<double>& vector) { std::vector<double>().swap(vector); }

}  // namespace

void ConjugateGradient::setWeightCount(int n) {
  const int old = weightCount;
  std::vector<double>* const vectors[] = {&weightCopy, &baseWeights,     &averageGradient,
                                          &direction,  &steepestDescent, &curvature};
  // Three times what the target's weights and their saved copy took, so
  // checked again before anything changes.
  vectorClaim.set(std::ssize(vectors) * int64_t{std::max(n, 1)} * int64_t{sizeof(double)});
  Gradient::setWeightCount(n);
  if (weightCount == old) return;
  const size_t count = static_cast<size_t>(weightCount);
  for (std::vector<double>* vector : vectors) {
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
  vectorClaim.release();
  Gradient::release();
}

}  // namespace kq
