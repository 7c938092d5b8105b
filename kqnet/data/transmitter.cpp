#include <kqnet/data/transmitter.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include <kqnet/core/soma.h>

namespace kq {

void Transmitter::transfer() {
  if (active == 0 || resettingFlag != 0) return;
  // An unbound block has nothing to watch (an empty one is still tested).
  if (data == nullptr && length > 0) return;
  const int trigger = hasPerformFunction() ? perform(data) : testTrigger(data);
  if (trigger != 0) transmit();
}

void Transmitter::createInstance() {
  if (performRecord == nullptr || performRecord->create == nullptr) return;
  performRecord->instance =
      callOutside<TransmitterCreate>(performRecord->create, userDatum, performRecord->instance);
}

void Transmitter::destroyInstance(void* oldInstance) {
  if (performRecord == nullptr || performRecord->destroy == nullptr) return;
  callOutside<TransmitterDestroy>(performRecord->destroy, userDatum, oldInstance);
}

void Transmitter::recreateInstance() {
  if (performRecord == nullptr) return;
  void* kept = performRecord->instance;
  createInstance();
  // As on a Soma, an instance that was not replaced (no create function,
  // or one that returned it) is still in use and is not destroyed.
  if (kept != nullptr && kept != performRecord->instance) destroyInstance(kept);
}

void Transmitter::transmit() {
  if (transmitFunction == nullptr) return;
  const uint32_t n = std::min<uint32_t>(pairCount, kMaxPairs);
  for (uint32_t i = 0; i < n; ++i) transmitFunction(pairTargets[i], pairSources[i]);
}

void Transmitter::setPerformRecord(PerformRecord* record) {
  performRecord = record;
  recreateInstance();
}

void Transmitter::setPerformFunctions(GenericFunction performFunction, GenericFunction create,
                                      GenericFunction destroy, void* instance, uint64_t datum) {
  // A previous record stays as it was; each made record lives as long as
  // the transmitter, so whoever still points at one never reads freed memory.
  madeRecords.push_back(
      std::make_unique<PerformRecord>(PerformRecord{performFunction, create, destroy, instance}));
  performRecord = madeRecords.back().get();
  userDatum = datum;
  recreateInstance();
}

int Transmitter::testTrigger(double*) { return 0; }

int Transmitter::perform(double* x) {
  if (!hasPerformFunction()) return 0;
  return callOutside<TransmitterPerform>(performRecord->perform, userDatum, performRecord->instance,
                                         x, length);
}

bool Transmitter::addPair(void* target, const void* source, size_t sourceBytes) {
  if (pairCount >= kMaxPairs) return false;
  auto copy = std::make_unique<unsigned char[]>(std::max<size_t>(sourceBytes, 1));
  if (sourceBytes > 0 && source != nullptr) std::memcpy(copy.get(), source, sourceBytes);
  pairSources[pairCount] = copy.get();
  pairTargets[pairCount] = target;
  ownedSources.push_back(std::move(copy));
  ++pairCount;
  return true;
}

ThresholdTransmitter::~ThresholdTransmitter() = default;

void ThresholdTransmitter::setData(double* p, int newRows, int newColumns) {
  SpatialData::setData(p, newRows, newColumns);
  if (smoothingBuffer != nullptr) setSmoothingBuffer(smoothingBuffer);
}

void ThresholdTransmitter::setSize(int newRows, int newColumns) {
  SpatialData::setSize(newRows, newColumns);
  if (smoothingBuffer != nullptr) setSmoothingBuffer(smoothingBuffer);
}

void ThresholdTransmitter::createInstance() {
  if (performRecord == nullptr || performRecord->create == nullptr) return;
  performRecord->instance = callOutside<ThresholdCreate>(performRecord->create, userDatum,
                                                         performRecord->instance, rows, columns);
}

void ThresholdTransmitter::transmit() {
  Transmitter::transmit();
  threshold = multiplicativeStep != 0 ? threshold * thresholdStep : threshold + thresholdStep;
  thresholdObserver.step();
}

int32_t ThresholdTransmitter::watchedCount() const {
  if (smoothingBuffer == nullptr || smoothingBuffer->data == nullptr) return 0;
  return std::max(0, std::min(length, smoothingBuffer->length));
}

double* ThresholdTransmitter::smooth(double* x) {
  if (smoothingBuffer == nullptr) return nullptr;
  double* s = smoothingBuffer->data;
  const int32_t n = x != nullptr ? watchedCount() : 0;
  const double c = smoothingFactor;
  for (int32_t k = 0; k < n; ++k) {
    const double v = absoluteSmoothing != 0 ? std::fabs(x[k]) : x[k];
    s[k] = c * s[k] + (1.0 - c) * v;
  }
  smoothingBuffer->step();
  return s;
}

int ThresholdTransmitter::testTrigger(double* x) {
  // Without a smoothing buffer there is nothing to compare.
  if (smoothingBuffer == nullptr) return 0;
  const double* s = smooth(x);
  const int32_t n = x != nullptr ? watchedCount() : 0;
  const double t = threshold;
  const bool below = sense != 0;
  switch (triggerMode) {
    case kTriggerAll:
      for (int32_t k = 0; k < n; ++k) {
        if (below ? !(s[k] <= t) : !(s[k] >= t)) return 0;
      }
      return 1;
    case kTriggerAny:
      for (int32_t k = 0; k < n; ++k) {
        if (below ? s[k] < t : s[k] > t) return 1;
      }
      return 0;
    case kTriggerMean: {
      // The mean of no elements is undefined and never fires.
      if (n == 0) return 0;
      double sum = 0.0;
      for (int32_t k = 0; k < n; ++k) sum += s[k];
      const double mean = sum / n;
      return (below ? mean < t : mean >= t) ? 1 : 0;
    }
    case kTriggerChannel:
      if (channel < 0 || channel >= n) return 0;
      return (below ? s[channel] < t : s[channel] > t) ? 1 : 0;
    default:
      return 0;
  }
}

int ThresholdTransmitter::perform(double* x) {
  if (!hasPerformFunction() || smoothingBuffer == nullptr) return 0;
  double* s = smooth(x);
  const int senseArgument = static_cast<int>(sense);
  return callOutside<ThresholdPerform>(performRecord->perform, userDatum, performRecord->instance,
                                       s, rows, columns, threshold, senseArgument, triggerMode,
                                       channel);
}

double ThresholdTransmitter::getDouble(int index) {
  if (index < kFirstOwnIndex) return Engine::getDouble(index);
  DoubleGetter entry = doubleGetters.find(*this, index);
  return entry != nullptr ? entry(*this) : 0.0;
}

void ThresholdTransmitter::setDouble(int index, double value) {
  if (index < kFirstOwnIndex) return Engine::setDouble(index, value);
  if (DoubleSetter entry = doubleSetters.find(*this, index)) entry(*this, value);
}

void ThresholdTransmitter::setThreshold(double t) {
  threshold = t;
  initialThreshold = t;
  thresholdObserver.step();
}

void ThresholdTransmitter::setTriggerMode(int mode) { triggerMode = mode; }

void ThresholdTransmitter::setTriggerSense(int newSense) {
  sense = static_cast<uint32_t>(newSense);
}

void ThresholdTransmitter::setSmoothingBuffer(SpatialData* b) {
  if (b == nullptr || b != smoothingBuffer) {
    ownedSmoothing.reset();
    ownsSmoothingBuffer = 0;
    if (b == nullptr) {
      ownedSmoothing = std::make_unique<SpatialData>();
      b = ownedSmoothing.get();
      ownsSmoothingBuffer = 1;
    }
  }
  smoothingBuffer = b;  // sized and filled as it is stored
}

void ThresholdTransmitter::accessStored(AccessRef& field) {
  if (&field != &smoothingBuffer.link()) return;
  smoothingBuffer->setSize(rows, columns);
  smoothingBuffer->fill(fillValue);
}

}  // namespace kq
