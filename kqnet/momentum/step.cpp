#include <kqnet/momentum/step.h>

#include <algorithm>
#include <cassert>

#include <kqnet/core/perform.h>
#include <kqnet/core/soma.h>
#include <kqnet/core/spatial_access.h>

namespace kq {

void Step::release() {
  stepSizes.release();
  // Nothing is left to index: setStepSize after release must not write.
  stepCount = 0;
  stepObserver.bind(nullptr, 0, 1);
  Gradient::release();
}

double Step::getDouble(int index) {
  if (index < kFirstOwnIndex) return Engine::getDouble(index);
  DoubleGetter entry = doubleGetters.find(*this, index);
  return entry != nullptr ? entry(*this) : 0.0;
}

void Step::setDouble(int index, double value) {
  if (index < kFirstOwnIndex) return Engine::setDouble(index, value);
  if (DoubleSetter entry = doubleSetters.find(*this, index)) entry(*this, value);
}

void Step::setWeightCount(int n) {
  const int32_t count = std::max(n, 1);
  sizeTogether(arrayList([this, count](const ArrayVisitor& size) { eachStateArray(size, count); }));
  Gradient::setWeightCount(count);
  commitSizing(count);
}

void Step::eachStateArray(const ArrayVisitor& size, int32_t n) {
  size(stepSizes, perWeightStep != 0 ? n : 1, 0.0);
}

void Step::commitSizing(int32_t n) {
  stepCount = perWeightStep != 0 ? n : 1;
  // The observer is bound to the new array before the refill tells it:
  // the old one may be freed already.
  stepObserver.bind(stepSizes.empty() ? nullptr : stepSizes.data(), stepCount, 1);
  setStepSize(scalarStep);
}

void Step::accessStored(AccessRef& field) {
  if (&field == &stepObserver) {
    stepObserver.bind(stepSizes.empty() ? nullptr : stepSizes.data(), stepCount, 1);
  }
}

void Step::createInstance() {
  if (performRecord == nullptr || performRecord->create == nullptr) return;
  const int total = backprop != nullptr ? backprop->weightTotal() : 0;
  performRecord->instance = callOutside<StepCreate>(performRecord->create, userDatum,
                                                    performRecord->instance, total, perWeightStep);
}

void Step::setStepSize(double s) {
  // Only setWeightCount sizes the array, and it sizes it to stepCount.
  assert(stepSizes.size() == static_cast<size_t>(stepCount));
  scalarStep = s;
  const int count = std::min<int>(stepCount, static_cast<int>(stepSizes.size()));
  for (int i = 0; i < count; ++i) stepSizeAt(i) = s;
  stepObserver.step();
}

void Step::setPerWeightStep(int on) {
  perWeightStep = on;
  setWeightCount(weightCount);
}

double& Step::stepSizeAt(int i) {
  assert(stepSizes.size() == static_cast<size_t>(stepCount));
  if (stepSizes.empty()) return Gradient::stepSizeAt(i);
  if (perWeightStep != 0 && i >= 0 && i < stepCount && i < static_cast<int>(stepSizes.size())) {
    return stepSizes[static_cast<size_t>(i)];
  }
  return stepSizes[0];
}

void Step::attachStepObserver(SpatialAccess* access) { stepObserver = access; }

bool Step::shapeUpdate(Soma& target, UpdateShape& shape) {
  if (backprop == nullptr || backprop->weights.empty() || stepSizes.empty()) return false;
  // Taken afresh for each update, so the write it counts covers the update.
  shape.weights = target.weightData();
  shape.n = std::min<int64_t>(target.weightTotal(), static_cast<int64_t>(target.weights.size()));
  shape.gradient = backprop->weights.data();
  shape.available =
      std::min<int64_t>(backprop->weightTotal(), static_cast<int64_t>(backprop->weights.size()));
  shape.blocks = gradientBlockCount();
  return shape.weights != nullptr && shape.n > 0 && shape.blocks >= 1;
}

int64_t Step::passLength(const UpdateShape& shape, int64_t j, int64_t available) {
  const int64_t start = j * shape.n;
  if (start >= available) return 0;
  return std::min(shape.n, available - start);
}

void Step::updateWeights(Soma& target) {
  UpdateShape shape;
  if (!shapeUpdate(target, shape)) return;
  const double shared = stepSizeAt(0);
  const double d = effectiveDivisor();
  const double e = weightDecay / static_cast<double>(shape.blocks);
  double* w = shape.weights;
  for (int64_t j = 0; j < shape.blocks; ++j) {
    const int64_t count = passLength(shape, j, shape.available);
    if (count == 0) break;  // every later block lies past the end as well
    double* g = shape.gradient + j * shape.n;
    for (int64_t i = 0; i < count; ++i) {
      const double t = (stepFor(i, shared) / d) * g[i];
      if (decayOn != 0) {
        w[i] = w[i] + (t - e * w[i]);
      } else {
        w[i] = w[i] + t;
      }
      g[i] = 0.0;
    }
  }
}

void Step::clearUsedGradient(Soma& target) {
  if (backprop == nullptr) return;
  const int64_t n =
      std::min<int64_t>(target.weightTotal(), static_cast<int64_t>(backprop->weights.size()));
  if (n > 0) std::fill_n(backprop->weights.begin(), n, 0.0);
}

void Step::perform(Soma& target) {
  if (performRecord == nullptr || performRecord->perform == nullptr) return;
  if (backprop == nullptr || backprop->weights.empty() || stepSizes.empty()) return;
  double* s = &stepSizeAt(0);
  callOutside<StepPerform>(performRecord->perform, userDatum, performRecord->instance,
                           target.weightData(), target.weightTotal(), backprop->weights.data(), s,
                           perWeightStep, divisor, decayOn, weightDecay);
  clearUsedGradient(target);
}

void Step::resetState() {
  if (perWeightStep == 0) setStepSize(scalarStep);
  Gradient::resetState();
}

}  // namespace kq
