#include <kqnet/axons/axon.h>

#include <algorithm>
#include <cassert>
#include <cmath>
#include <utility>

#include <kqnet/control/control.h>
#include <kqnet/core/fatal.h>
#include <kqnet/core/spatial_access.h>

namespace kq {

Axon::Axon() = default;

void Axon::release() {
  if (control != nullptr) control->removeAxon(this);
  Soma::release();
}

void Axon::releaseMemory(std::unique_ptr<Soma>& memory, ClaimedArray<double>& savedMemory) {
  if (memory) {
    memory->attachAxon(nullptr, 0);
    memory.reset();
  }
  savedMemory.release();
}

bool Axon::isKindOf(const char* name) const {
  return Engine::isKindOf(name) || sameWord(name, "Axon");
}

void Axon::registerWithControl() {
  Soma::registerWithControl();
  if (control != nullptr) control->axonList.push_back(this);
  resizeToDual();
}

int Axon::getInt(int index) {
  if (index < kFirstOwnIndex) return Engine::getInt(index);
  IntGetter entry = intGetters.find(*this, index);
  return entry != nullptr ? entry(*this) : 0;
}

void Axon::setInt(int index, int value) {
  if (index < kFirstOwnIndex) return Engine::setInt(index, value);
  if (IntSetter entry = intSetters.find(*this, index)) entry(*this, value);
}

int Axon::getBool(int index) {
  if (index < kFirstOwnIndex) return Engine::getBool(index);
  IntGetter entry = boolGetters.find(*this, index);
  return entry != nullptr ? entry(*this) : 0;
}

void Axon::setBool(int index, int value) {
  if (index < kFirstOwnIndex) return Engine::setBool(index, value);
  if (IntSetter entry = boolSetters.find(*this, index)) entry(*this, value);
}

void Axon::reset() {
  Soma::reset();
  active = initialActive;
}

// Each change of shape is checked as a whole, the new ring and what is
// sized with it, before the first field changes.

void Axon::setRows(int r) {
  if (r == rows && int64_t{rows} * columns == length && framesAllocated != 0) return;
  const int32_t newRows = std::max(r, 1);
  const int32_t n = checkedProduct(newRows, columns);
  requireShape(AxonShape{n, n, delay});
  rows = newRows;
  setLength(n);
  resizeToDual();
}

void Axon::setColumns(int c) {
  if (c == columns && int64_t{rows} * columns == length && framesAllocated != 0) return;
  const int32_t newColumns = std::max(c, 1);
  const int32_t n = checkedProduct(rows, newColumns);
  requireShape(AxonShape{n, n, delay});
  columns = newColumns;
  setLength(n);
  resizeToDual();
}

void Axon::setLength(int n) {
  if (n == 0) return;
  const int32_t newLength = checkedCount(n);
  requireShape(AxonShape{newLength, newLength, delay});
  length = newLength;
  setInputLength(length);
  allocateFrames();
}

void Axon::setDelay(int n) {
  n = std::max(n, 0);
  if (n == delay) return;
  requireShape(AxonShape{length, inputLength, n});
  delay = n;
  allocateFrames();
}

void Axon::requireShape(const AxonShape& shape) {
  ClaimedArray<double> fresh;
  requireMemory(
      growthOf(arrayList([&](const ArrayVisitor& size) { eachShapeArray(size, fresh, shape); })));
}

void Axon::eachShapeArray(const ArrayVisitor& size, ClaimedArray<double>& ring,
                          const AxonShape& shape) {
  // allocateRing's ring: the old one stays claimed while it is replaced.
  size(ring, ringLengthFor(std::max({shape.inputLength, shape.length, 1}), shape.delay), 0.0);
}

void Axon::allocateFrames() {
  requireShape(currentShape());
  framesAllocated = 1;
  allocateRing(std::max({inputLength, length, 1}));
  bindActivityAccess();
  recreateInstance();
  // Every synapse that shared the old ring must share the new one.
  if (control != nullptr) control->reconnectSynapses();
}

void Axon::setInputAccess(SpatialAccess* access) { inputAccess = access; }

void Axon::accessStored(AccessRef& field) {
  if (&field == &inputAccess) {
    bindActivityAccess();
  } else {
    Soma::accessStored(field);
  }
}

void Axon::bindActivityAccess() {
  double* frame = currentFrame();
  inputAccess.bind(frame, rows, columns);
  outputAccess.bind(frame, rows, columns);
}

void Axon::connectInput(Soma*) { ++fanIn; }

int Axon::disconnectInput(Soma*) {
  // More disconnections than connections must not leave a negative fan-in,
  // which would make every later firing complete a cycle at once.
  if (fanIn > 0) --fanIn;
  return fanIn;
}

void Axon::connectOutput(Soma* target) {
  if (target == nullptr) return;
  // A delayed synapse reads an earlier exemplar: the control fires it as a
  // root, so the axon only records it.
  if (!target->isSynapse() || target->delay == 0) firingList.push_back(target);
  allOutputs.push_back(target);
}

namespace {

// Removes the first occurrence; true when one was found.
bool removeFirst(std::vector<Soma*>& list, Soma* target) {
  auto it = std::find(list.begin(), list.end(), target);
  if (it == list.end()) return false;
  list.erase(it);
  return true;
}

}  // namespace

Soma* Axon::disconnectOutput(Soma* target, int fromAll) {
  removeFirst(firingList, target);
  if (firingList.empty()) successor = nullptr;
  if (fromAll == 0) return firingList.empty() ? nullptr : this;
  removeFirst(allOutputs, target);
  return allOutputs.empty() ? nullptr : this;
}

Soma* Axon::firstFiringEntry() const { return firingList.empty() ? nullptr : firingList.front(); }

void Axon::addInto() {
  if (successor == nullptr) return;
  double* target = successor->currentFrame();
  const double* source = currentFrame();
  if (target == nullptr || source == nullptr) return;
  const int n = std::min({inputLength, successor->inputLength, frameSize, successor->frameSize});
  for (int i = 0; i < n; ++i) target[i] += source[i];
}

void Axon::fire() {
  ++arrivals;
  if (arrivals < fanIn) {
    dataArrived = active;
    return;
  }
  // A completed cycle clears both counters, so a cycle that follows empty
  // firings never completes early.
  arrivals = 0;
  emptyArrivals = 0;
  // Every change of the lengths re-allocates the ring, so each frame holds
  // the values the axon reads and produces.
  assert(!ring || (frameSize >= length && frameSize >= inputLength));
  if (inputAccess != nullptr) inputAccess.moveAndStep(currentFrame());
  if (active != 0) {
    dataArrived = 0;
    if (hasPerformFunction()) {
      perform();
    } else {
      compute();
    }
    if (outputAccess != nullptr) outputAccess.moveAndStep(currentFrame());
    if (outputCopy != nullptr) {
      if (const double* frame = currentFrame()) {
        std::copy(frame, frame + std::min(inputLength, frameSize), outputCopy);
      }
    }
    // The successor attached last fires first. By index, so a successor that
    // changes this list while it fires cannot send the walk out of range.
    for (size_t i = firingList.size(); i-- > 0;) {
      if (i >= firingList.size()) continue;
      successor = firingList[i];
      if (successor->isAxon()) addInto();
      successor->fire();
    }
    stepForward();
  } else {
    for (size_t i = firingList.size(); i-- > 0;) {
      if (i >= firingList.size()) continue;
      successor = firingList[i];
      successor->fireEmpty();
    }
    if (double* frame = currentFrame()) std::fill(frame, frame + frameSize, 0.0);
  }
}

void Axon::fireEmpty() {
  ++arrivals;
  if (arrivals >= fanIn && dataArrived != 0) {
    fire();
    return;
  }
  ++emptyArrivals;
  if (emptyArrivals < fanIn) return;
  emptyArrivals = 0;
  arrivals = 0;
  for (size_t i = firingList.size(); i-- > 0;) {
    if (i >= firingList.size()) continue;
    successor = firingList[i];
    successor->fireEmpty();
  }
}

void Axon::stepAndClear() {
  moveForward();
  if (double* frame = currentFrame()) std::fill(frame, frame + frameSize, 0.0);
}

void Axon::stepForward() { stepAndClear(); }

void Axon::createInstance() {
  if (performRecord == nullptr || performRecord->create == nullptr) return;
  performRecord->instance = callOutside<AxonCreate>(performRecord->create, userDatum,
                                                    performRecord->instance, rows, columns);
}

void Axon::perform() {
  if (!hasPerformFunction()) return;
  callOutside<AxonPerform>(performRecord->perform, userDatum, performRecord->instance,
                           currentFrame(), rows, columns);
}

// BiasAxon

int BiasAxon::elementCount() const {
  const int64_t weightCount = std::min<int64_t>(ownCount, static_cast<int64_t>(weights.size()));
  return static_cast<int>(std::min<int64_t>({inputLength, frameSize, weightCount}));
}

void BiasAxon::allocateFrames() {
  requireShape(currentShape());
  setWeightCount(length, 0);
  Axon::allocateFrames();
}

void BiasAxon::eachShapeArray(const ArrayVisitor& size, ClaimedArray<double>& ring,
                              const AxonShape& shape) {
  Axon::eachShapeArray(size, ring, shape);
  if (shape.length != ownCount) eachWeightArray(size, shape.length);
}

void BiasAxon::perform() {
  if (!hasPerformFunction()) return;
  callOutside<BiasAxonPerform>(performRecord->perform, userDatum, performRecord->instance,
                               currentFrame(), rows, columns, weightData());
}

void BiasAxon::compute() {
  double* x = currentFrame();
  if (x == nullptr) return;
  const double* b = std::as_const(weights).data();
  const int n = elementCount();
  for (int i = 0; i < n; ++i) x[i] = x[i] + b[i];
}

// LinearAxon

LinearAxon::LinearAxon() { beta = 1.0; }

double LinearAxon::getDouble(int index) {
  if (index < kFirstOwnIndex) return Soma::getDouble(index);
  DoubleGetter entry = slopeGetters.find(*this, index);
  return entry != nullptr ? entry(*this) : 0.0;
}

void LinearAxon::setDouble(int index, double value) {
  if (index < kFirstOwnIndex) return Soma::setDouble(index, value);
  if (DoubleSetter entry = slopeSetters.find(*this, index)) entry(*this, value);
}

void LinearAxon::perform() {
  if (!hasPerformFunction()) return;
  callOutside<LinearAxonPerform>(performRecord->perform, userDatum, performRecord->instance,
                                 currentFrame(), rows, columns, weightData(), beta);
}

void LinearAxon::compute() {
  double* x = currentFrame();
  if (x == nullptr) return;
  const double* b = std::as_const(weights).data();
  const double slopeValue = beta;
  const int n = elementCount();
  for (int i = 0; i < n; ++i) x[i] = slopeValue * x[i] + b[i];
}

// TanhAxon

void TanhAxon::compute() {
  double* x = currentFrame();
  if (x == nullptr) return;
  const double* b = std::as_const(weights).data();
  const double slopeValue = beta;
  const int n = elementCount();
  for (int i = 0; i < n; ++i) x[i] = std::tanh(slopeValue * x[i] + b[i]);
}

}  // namespace kq
