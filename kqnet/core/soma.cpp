#include <kqnet/core/soma.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cmath>
#include <functional>
#include <utility>

#include <kqnet/core/fatal.h>
#include <kqnet/core/random.h>
#include <kqnet/core/spatial_access.h>

namespace kq {

thread_local int resettingFlag = 0;

namespace {

// Shared by all components, so a writer through a kept pointer need not
// know whose weights it wrote.
std::atomic<uint64_t> weightGenerationCount{1};

// The current frame starts one of the ring's whole frames. Only the ring
// operations of this class move it, so a failure is a fault of theirs, not
// of a caller.
[[maybe_unused]] bool frameInRing(const Soma& s) {
  if (!s.ring) return true;
  return s.frameSize > 0 && s.ringLength % s.frameSize == 0 && s.currentOffset >= 0 &&
         s.currentOffset % s.frameSize == 0 && s.currentOffset + s.frameSize <= s.ringLength;
}

}  // namespace

void Soma::weightsChanged() { weightGenerationCount.fetch_add(1, std::memory_order_relaxed); }

uint64_t Soma::weightGeneration() { return weightGenerationCount.load(std::memory_order_relaxed); }

Soma::Soma() = default;

Soma::~Soma() { connectionList.clear(); }

void Soma::release() {
  releaseWeights();
  if (ring && ownsRing != 0) {
    ring.reset();
    ringLength = 0;
    currentOffset = 0;
    frameSource = nullptr;
    // Nothing stays bound to the freed frames.
    bindActivityAccess();
  }
  CoreObject::release();
}

void Soma::releaseWeights() {
  if (weights.empty()) return;
  // The instance keeps no pointer into freed storage; the next sizing
  // gives it storage again.
  if (ParameterVector* vector = instanceVectorInWeights()) vector->data = nullptr;
  weights.reallocate(0);
  savedWeights.release();
  ownCount = 0;
  instanceCount = 0;
  bindWeightAccess();
}

void Soma::registerWithControl() {
  Engine::registerWithControl();
  jacobianColumns = 0;
  jacobianColumnBase = 0;
  connectionList.clear();
}

void Soma::parametersChanged() {
  constexpr int kWeightVectorIndex = kFirstOwnIndex + 2;
  if (parameterEnabled[kWeightVectorIndex] == 0) return;
  if (ParameterDescriptor* descriptor = descriptorAt(kWeightVectorIndex)) {
    descriptor->resizeValues(checkedCount(int64_t{ownCount} + instanceCount));
  }
}

double Soma::getDouble(int index) {
  if (index < kFirstOwnIndex) return Engine::getDouble(index);
  DoubleGetter entry = doubleGetters.find(*this, index);
  return entry != nullptr ? entry(*this) : 0.0;
}

void Soma::setDouble(int index, double value) {
  if (index < kFirstOwnIndex) return Engine::setDouble(index, value);
  if (DoubleSetter entry = doubleSetters.find(*this, index)) {
    entry(*this, value);
  }
}

double Soma::getDoubleAt(int index, int element) {
  if (index < kFirstOwnIndex) return Engine::getDoubleAt(index, element);
  DoubleElementGetter entry = doubleElementGetters.find(*this, index);
  return entry != nullptr ? entry(*this, element) : 0.0;
}

void Soma::setDoubleAt(int index, double value, int element) {
  if (index < kFirstOwnIndex) return Engine::setDoubleAt(index, value, element);
  if (DoubleElementSetter entry = doubleElementSetters.find(*this, index)) {
    entry(*this, value, element);
  }
}

void Soma::createInstance() {
  if (performRecord == nullptr || performRecord->create == nullptr) return;
  performRecord->instance =
      callOutside<SomaCreate>(performRecord->create, userDatum, performRecord->instance);
}

void Soma::destroyInstance(void* oldInstance) {
  if (performRecord == nullptr || performRecord->destroy == nullptr) return;
  callOutside<InstanceDestroy>(performRecord->destroy, userDatum, oldInstance);
}

namespace {

// Parameters an instance states; a negative length counts as none, one
// beyond 32 bits cannot occur (the field is 32-bit).
int32_t parameterCount(const ParameterVector* vector) {
  return vector != nullptr ? checkedCount(vector->length) : 0;
}

}  // namespace

void Soma::recreateInstance() {
  if (performRecord == nullptr) return;
  void* old = performRecord->instance;
  // The old values are copied out first: re-sizing frees the weights that
  // the old vector's data may point into. Storage inside the weights is
  // read no further than the weights reach.
  ClaimedArray<double> kept;
  const double* oldData = nullptr;
  bool oldInside = false;
  if (ParameterVector* vector = instanceParameters(old); vector != nullptr && vector->data) {
    int64_t count = parameterCount(vector);
    oldData = vector->data;
    oldInside = insideWeights(oldData);
    if (oldInside) {
      count = std::min<int64_t>(count, std::as_const(weights).data() + weights.size() - oldData);
    }
    kept.assign(oldData, oldData + count);
  }
  const int64_t keptCount = static_cast<int64_t>(kept.size());

  createInstance();
  void* created = performRecord != nullptr ? performRecord->instance : nullptr;
  ParameterVector* vector = instanceParameters(created);
  const int64_t newCount = parameterCount(vector);
  const double* newData = vector != nullptr ? vector->data : nullptr;
  const bool replaced = old != nullptr && old != created;
  bool resize = false;
  if (replaced) {
    resize = newCount != keptCount || (vector != nullptr && newData == nullptr);
  } else if (old == nullptr) {
    resize = vector != nullptr && newData == nullptr;
  } else {
    // The same instance, re-sized or re-pointed in place (a realloc-style
    // create), no longer matches what the weights hold: like a new one.
    resize = newCount != keptCount || (oldInside && newData != oldData);
  }
  if (resize) setWeightCount(ownCount, 1);
  if ((replaced || resize) && newCount != 0 && keptCount != 0 && vector != nullptr &&
      vector->data != nullptr) {
    std::copy_n(kept.begin(), std::min(newCount, keptCount), vector->data);
    weights.markWritten();  // the vector's data may lie inside the weights
  }
  if (replaced) destroyInstance(old);
}

void Soma::setPerformRecord(PerformRecord* record) {
  performRecord = record;
  if (record != nullptr) recreateInstance();
}

void Soma::setPerformFunctions(GenericFunction perform, GenericFunction create,
                               GenericFunction destroy, void* instance, uint64_t datum) {
  // A previous record stays as it was.
  madeRecords.push_back(
      std::make_unique<PerformRecord>(PerformRecord{perform, create, destroy, instance}));
  performRecord = madeRecords.back().get();
  userDatum = datum;
  recreateInstance();
}

void Soma::moveForward() {
  if (!ring || frameSize <= 0) return;
  currentOffset += frameSize;
  if (currentOffset >= ringLength) currentOffset = 0;
  assert(frameInRing(*this));
}

void Soma::moveBack() {
  if (!ring || frameSize <= 0) return;
  currentOffset -= frameSize;
  if (currentOffset < 0) currentOffset = ringLength - frameSize;
  assert(frameInRing(*this));
}

void Soma::stepForward() { moveForward(); }

void Soma::stepBack() { moveBack(); }

void Soma::saveFramePosition() { savedOffset = ring ? currentOffset : -1; }

void Soma::restoreFramePosition() {
  // A restore without a save keeps the current frame.
  if (savedOffset >= 0 && savedOffset < ringLength) currentOffset = savedOffset;
  savedOffset = -1;
}

int32_t Soma::ringLengthFor(int frameLength, int ringDelay) {
  const int32_t frames = checkedCount(int64_t{std::max(ringDelay, 0)} + 1);
  return checkedProduct(frames, std::max(frameLength, 1));
}

void Soma::allocateRing(int newFrameSize) {
  const int32_t newSize = std::max(newFrameSize, 1);
  const int32_t total = ringLengthFor(newSize, delay);
  // Claimed before anything changes. The old ring stays on the ledger until
  // its last reader lets go of it: with a run control, once every synapse
  // has re-attached; without one, once a synapse still reading it fires.
  std::shared_ptr<double[]> fresh = ClaimedArray<double>(static_cast<size_t>(total), 0.0).share();
  const int32_t oldFrameSize = frameSize;
  std::shared_ptr<double[]> oldRing = ring;
  const int64_t oldLength = ringLength;
  frameSize = newSize;
  frameSource = nullptr;
  ring = std::move(fresh);
  ringLength = total;
  currentOffset = 0;
  savedOffset = -1;
  if (oldRing && oldFrameSize == frameSize && oldLength >= frameSize) {
    std::copy(oldRing.get() + (oldLength - frameSize), oldRing.get() + oldLength,
              ring.get() + (ringLength - frameSize));
  }
  ownsRing = 1;
  assert(frameInRing(*this));
}

void Soma::attachAxon(Soma* axon, int d) {
  // A ring of its own, if there was one, is dropped for the shared one (or
  // for none).
  if (axon == nullptr) {
    frameSize = 0;
    ring.reset();
    ringLength = 0;
    currentOffset = 0;
    savedOffset = -1;
    frameSource = nullptr;
    return;
  }
  d = std::max(d, 0);
  // The axon must keep d + 2 frames; a count beyond 32 bits is one it could
  // never allocate.
  if (int64_t{axon->delay} < int64_t{d} + 1) axon->setDelay(checkedCount(int64_t{d} + 1));
  setInputLength(axon->inputLength);
  // A saved frame position stays valid while the ring is the same one (a
  // reconnect after another axon moved its ring); in a new ring it is lost.
  if (axon->ring.get() != ring.get()) savedOffset = -1;
  frameSize = axon->frameSize;
  ring = axon->ring;
  ringLength = axon->ringLength;
  ownsRing = 0;
  currentOffset = axon->currentOffset;
  if (ring && frameSize > 0) {
    // Moving back d frames in a ring of F frames is moving back d mod F.
    const int frames = frameCount();
    const int moves = frames > 0 ? d % frames : 0;
    for (int i = 0; i < moves; ++i) moveBack();
  }
  assert(frameInRing(*this));
  frameSource = axon;
  bindActivityAccess();
}

int32_t Soma::instanceParameterCount() const {
  if (performRecord == nullptr) return 0;
  return parameterCount(instanceParameters(performRecord->instance));
}

void Soma::setWeightCount(int n, int force) {
  if (force == 0 && n == ownCount) return;
  const int32_t own = checkedCount(n);
  const int32_t instance = instanceParameterCount();
  checkedCount(int64_t{own} + instance);
  ParameterVector* formerlyInside = instanceVectorInWeights();
  // The instance's parameters live in the storage about to be replaced; the
  // leading ones are carried across, as re-creating the instance carries
  // them (a synapse re-sized sizes its weights before it re-creates).
  ClaimedArray<double> keptInstance;
  if (formerlyInside != nullptr && instance > 0) {
    const double* from = formerlyInside->data;
    const int64_t held = std::as_const(weights).data() + weights.size() - from;
    keptInstance.assign(from,
                        from + std::min<int64_t>({held, instance, parameterCount(formerlyInside)}));
  }
  // The weights and their saved copy, zero-filled (keep-weights never
  // publishes uninitialised memory) and refused together before anything
  // changes.
  sizeTogether([this, own](auto&& size) { eachWeightArray(size, own); });
  ownCount = own;
  instanceCount = instance;
  ownsWeights = 1;
  // Whatever pointed into the old storage follows before anything runs: the
  // randomisation steps the observers, which must not read freed memory.
  if (formerlyInside != nullptr) formerlyInside->data = nullptr;
  if (instanceCount != 0) {
    if (ParameterVector* vector = instanceParameters(performRecord->instance)) {
      vector->data = weights.data() + ownCount;
    }
  }
  bindWeightAccess();
  randomizeWeights();
  if (!keptInstance.empty()) {
    std::copy(keptInstance.begin(), keptInstance.end(), weights.begin() + ownCount);
    instanceWeightAccess.step();
  }
}

bool Soma::insideWeights(const double* p) const {
  if (weights.empty() || p == nullptr) return false;
  const double* begin = weights.data();
  return std::less_equal<const double*>()(begin, p) &&
         std::less<const double*>()(p, begin + weights.size());
}

ParameterVector* Soma::instanceVectorInWeights() {
  if (performRecord == nullptr) return nullptr;
  ParameterVector* vector = instanceParameters(performRecord->instance);
  return vector != nullptr && insideWeights(vector->data) ? vector : nullptr;
}

void Soma::stepWeightAccesses() {
  // Randomising, jogging and sanitising end here.
  ownWeightAccess.step();
  instanceWeightAccess.step();
}

void Soma::randomizeWeights() {
  if (keepWeights != 0 || weights.empty()) return;
  const int total = std::min<int64_t>(weightTotal(), static_cast<int64_t>(weights.size()));
  for (int i = 0; i < total; ++i) {
    const int r = randomDraw();
    weights[static_cast<size_t>(i)] =
        (2.0 * randomRange / kRandomDrawMax) * r - randomRange + randomCentre;
  }
  stepWeightAccesses();
}

void Soma::jogWeights() {
  const int own = std::min<int64_t>(ownCount, static_cast<int64_t>(weights.size()));
  for (int i = 0; i < own; ++i) {
    const int r = randomDraw();
    weights[static_cast<size_t>(i)] += (2.0 * randomRange / kRandomDrawMax) * r - randomRange;
  }
  stepWeightAccesses();
}

void Soma::sanitizeWeights() {
  const int total = std::min<int64_t>(weightTotal(), static_cast<int64_t>(weights.size()));
  for (int i = 0; i < total; ++i) {
    if (!std::isfinite(weights[static_cast<size_t>(i)])) weights[static_cast<size_t>(i)] = 0.0;
  }
  stepWeightAccesses();
}

void Soma::setRandomCentre(double centre) {
  randomCentre = centre;
  randomizeWeights();
}

void Soma::setRandomRange(double range) {
  randomRange = range;
  randomizeWeights();
}

void Soma::reset() {
  resettingFlag = 1;
  if (frameSource != nullptr &&
      (frameSource->ring.get() != ring.get() || frameSource->ringLength != ringLength)) {
    reconnect();
  }
  if (ring) std::fill(ring.get(), ring.get() + ringLength, 0.0);
  outputAccess.step();
  resettingFlag = 0;
}

void Soma::fire() {
  stepForward();
  if (successor != nullptr) successor->fire();
}

void Soma::fireEmpty() {
  if (successor != nullptr) successor->fireEmpty();
}

void Soma::bindActivityAccess() { outputAccess.bind(currentFrame(), inputLength, 1); }

void Soma::accessStored(AccessRef& field) {
  if (&field == &outputAccess) {
    bindActivityAccess();
  } else if (!weights.empty()) {
    bindWeightAccess();
  }
}

void Soma::accessLeft(AccessRef& field) {
  if (&field != &outputAccess) weights.markWritten();
}

void Soma::bindWeightAccess() { bindWeightAccessAs(ownCount, 1); }

void Soma::bindWeightAccessAs(int rows, int columns) {
  // Handing out the block counts a write; with nothing to bind, nothing is.
  if (ownWeightAccess == nullptr && instanceWeightAccess == nullptr) return;
  double* base = weightData();
  // Bound to what the weights hold, whatever the shape says they should.
  const int64_t size = static_cast<int64_t>(weights.size());
  const int64_t own = std::clamp<int64_t>(ownCount, 0, size);
  const int64_t wholeRows = columns > 0 ? own / columns : 0;
  ownWeightAccess.bind(base, static_cast<int>(std::clamp<int64_t>(rows, 0, wholeRows)), columns);
  const int64_t instance = std::clamp<int64_t>(instanceCount, 0, size - own);
  instanceWeightAccess.bind(base != nullptr ? base + own : nullptr, static_cast<int>(instance), 1);
}

void Soma::setOutputAccess(SpatialAccess* access) { outputAccess = access; }

void Soma::setJacobianColumns(int n) {
  jacobianColumns = n;
  bindActivityAccess();
}

void Soma::setDelay(int n) { delay = std::max(n, 0); }

void Soma::setDepth(int newDepth) {
  depth = newDepth;
  if (successor != nullptr) {
    successor->setDepth(newDepth + 1);
  } else if (isAxon() && newDepth <= 3) {
    if (Soma* first = firstFiringEntry()) first->setDepth(newDepth + 1);
  }
}

}  // namespace kq
