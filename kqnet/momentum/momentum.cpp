#include <kqnet/momentum/momentum.h>

#include <algorithm>

#include <kqnet/core/perform.h>
#include <kqnet/core/records.h>
#include <kqnet/core/soma.h>
#include <kqnet/core/spatial_access.h>

namespace kq {

void Momentum::release() {
  velocity.release();
  momentums.release();
  momentumCount = 0;
  bindVelocityObserver();
  bindMomentumObserver();
  Step::release();
}

double Momentum::getDouble(int index) {
  if (index < kFirstOwnIndex) return Step::getDouble(index);
  DoubleGetter entry = momentumGetters.find(*this, index);
  return entry != nullptr ? entry(*this) : 0.0;
}

void Momentum::setDouble(int index, double value) {
  if (index < kFirstOwnIndex) return Step::setDouble(index, value);
  if (DoubleSetter entry = momentumSetters.find(*this, index)) entry(*this, value);
}

void Momentum::eachStateArray(const ArrayVisitor& size, int32_t n) {
  Step::eachStateArray(size, n);
  size(velocity, n, 0.0);
  size(momentums, perWeightMomentum != 0 ? n : 1, 0.0);
}

void Momentum::commitSizing(int32_t n) {
  Step::commitSizing(n);
  bindVelocityObserver();
  momentumCount = perWeightMomentum != 0 ? n : 1;
  // Bound to the new array before the refill tells the observer: the old
  // one may be freed already.
  bindMomentumObserver();
  setMomentum(scalarMomentum);
}

void Momentum::accessStored(AccessRef& field) {
  if (&field == &velocityObserver) {
    bindVelocityObserver();
  } else if (&field == &momentumObserver) {
    bindMomentumObserver();
  } else {
    Step::accessStored(field);
  }
}

void Momentum::bindVelocityObserver() {
  velocityObserver.bind(velocity.empty() ? nullptr : velocity.data(),
                        static_cast<int>(velocity.size()), 1);
}

void Momentum::bindMomentumObserver() {
  momentumObserver.bind(momentums.empty() ? nullptr : momentums.data(), momentumCount, 1);
}

void Momentum::setMomentum(double mu) {
  scalarMomentum = mu;
  const int64_t count = std::min<int64_t>(momentumCount, static_cast<int64_t>(momentums.size()));
  for (int64_t i = 0; i < count; ++i) momentums[static_cast<size_t>(i)] = mu;
  momentumObserver.step();
}

void Momentum::setPerWeightMomentum(int on) {
  perWeightMomentum = on;
  setWeightCount(weightCount);
}

void Momentum::attachVelocityObserver(SpatialAccess* access) { velocityObserver = access; }

void Momentum::attachMomentumObserver(SpatialAccess* access) { momentumObserver = access; }

void Momentum::updateWeights(Soma& target) {
  UpdateShape shape;
  if (momentums.empty() || velocity.empty() || !shapeUpdate(target, shape)) return;
  const double shared = stepSizeAt(0);
  const double mu = momentums[0];
  const double d = effectiveDivisor();
  const double e = weightDecay / static_cast<double>(shape.blocks);
  // The velocity is laid out like the accumulator; neither is read past
  // its end.
  const int64_t available =
      std::min<int64_t>(shape.available, static_cast<int64_t>(velocity.size()));
  double* w = shape.weights;
  for (int64_t j = 0; j < shape.blocks; ++j) {
    const int64_t count = passLength(shape, j, available);
    if (count == 0) break;  // every later block lies past the end as well
    double* g = shape.gradient + j * shape.n;
    double* v = velocity.data() + j * shape.n;
    for (int64_t i = 0; i < count; ++i) {
      const double t = (stepFor(i, shared) / d) * g[i];
      v[i] = mu * v[i] + t;
      if (decayOn != 0) {
        w[i] = w[i] + (v[i] - e * w[i]);
      } else {
        w[i] = w[i] + v[i];
      }
      g[i] = 0.0;
    }
  }
  velocityObserver.step();
}

void Momentum::perform(Soma& target) {
  if (performRecord == nullptr || performRecord->perform == nullptr) return;
  if (backprop == nullptr || backprop->weights.empty() || stepSizes.empty() || momentums.empty()) {
    return;
  }
  double* s = &stepSizeAt(0);
  const double mu = momentums[0];
  callOutside<MomentumPerform>(performRecord->perform, userDatum, performRecord->instance,
                               target.weightData(), target.weightTotal(), backprop->weights.data(),
                               s, perWeightStep, divisor, decayOn, weightDecay, mu,
                               velocity.data());
  clearUsedGradient(target);
  velocityObserver.step();
}

void Momentum::resetState() {
  std::fill(velocity.begin(), velocity.end(), 0.0);
  resettingFlag = 1;
  velocityObserver.step();
  resettingFlag = 0;
  setMomentum(scalarMomentum);
  Step::resetState();
}

int64_t Momentum::recordCount() const {
  if (backprop == nullptr) return 0;
  return std::min<int64_t>(std::max(backprop->weightTotal(), 0),
                           static_cast<int64_t>(velocity.size()));
}

void Momentum::readStateRecord(RecordReader& reader, KqWeightFileVersion version) {
  if (version < kVersionMemoryRecords) return;
  // An unreadable count reads nothing: the velocity stays as it is.
  if (!readCountedValues(reader, velocity.data(), recordCount())) return;
  Step::readStateRecord(reader, version);
}

void Momentum::writeStateRecord(RecordWriter& writer, bool fromSnapshot) {
  if (fromSnapshot && !savedVelocity.empty()) {
    // The snapshot carries its own count, so the record stays whole even
    // when the size changed since it was taken. It is written once.
    const int64_t n = static_cast<int64_t>(savedVelocity.size());
    writeValueLine(writer, static_cast<int32_t>(n), savedVelocity.data(), n);
    savedVelocity.release();
  } else {
    const int64_t n = recordCount();
    writeValueLine(writer, static_cast<int32_t>(n), velocity.data(), n);
  }
  Step::writeStateRecord(writer, fromSnapshot);
}

void Momentum::saveState() {
  const int64_t n = recordCount();
  savedVelocity.assign(velocity.begin(), velocity.begin() + n);
  Step::saveState();
}

}  // namespace kq
