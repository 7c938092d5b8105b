#include <kqnet/synapses/synapse.h>

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <utility>

#include <kqnet/axons/axon.h>
#include <kqnet/control/control.h>
#include <kqnet/core/fatal.h>
#include <kqnet/core/records.h>
#include <kqnet/core/spatial_access.h>

namespace kq {

Synapse::Synapse() { delay = 0; }

void Synapse::release() {
  targetAxon = nullptr;
  sourceAxon = nullptr;
  // Drop the view of the input axon's ring without touching the ring itself.
  attachAxon(nullptr, 0);
  savedDelayedActivity.release();
  if (control != nullptr) control->removeSynapse(this);
  Soma::release();
}

bool Synapse::isKindOf(const char* name) const {
  return Engine::isKindOf(name) || sameWord(name, "Synapse");
}

void Synapse::registerWithControl() {
  Soma::registerWithControl();
  if (control != nullptr) control->synapseList.push_back(this);
}

int Synapse::getInt(int index) {
  if (index < kFirstOwnIndex) return Engine::getInt(index);
  IntGetter entry = intGetters.find(*this, index);
  return entry != nullptr ? entry(*this) : 0;
}

void Synapse::setInt(int index, int value) {
  if (index < kFirstOwnIndex) return Engine::setInt(index, value);
  if (IntSetter entry = intSetters.find(*this, index)) entry(*this, value);
}

void Synapse::connectInput(Soma* source) {
  sourceAxon = dynamic_cast<Axon*>(source);
  attachAxon(sourceAxon, delay);
  // The input axon keeps a delayed synapse among its outputs but does not
  // fire it: the control does, as a root.
  if (sourceAxon != nullptr && delay != 0) sourceAxon->disconnectOutput(this, 0);
  if (sourceAxon != nullptr && targetAxon != nullptr) sizeWeights();
}

void Synapse::connectOutput(Soma* target) {
  Axon* axon = dynamic_cast<Axon*>(target);
  if (axon == nullptr) {
    disconnectOutput(nullptr, 0);
    return;
  }
  successor = axon;
  targetAxon = axon;
  length = axon->length;
  if (sourceAxon != nullptr) sizeWeights();
}

int Synapse::disconnectInput(Soma*) {
  sourceAxon = nullptr;
  attachAxon(nullptr, 0);
  setInputLength(0);
  bindActivityAccess();
  releaseWeights();
  return 0;
}

Soma* Synapse::disconnectOutput(Soma*, int) {
  successor = nullptr;
  targetAxon = nullptr;
  length = 0;
  releaseWeights();
  return this;
}

void Synapse::setDelay(int n) {
  delay = std::max(n, 0);
  if (sourceAxon != nullptr) connectInput(sourceAxon);
}

void Synapse::reconnect() {
  length = targetAxon != nullptr ? targetAxon->length : 0;
  attachAxon(sourceAxon, delay);
  if (sourceAxon != nullptr && delay != 0) sourceAxon->disconnectOutput(this, 0);
  if (sourceAxon != nullptr && targetAxon != nullptr) sizeWeights();
}

void Synapse::resetMemory() {
  if (delay != 0) Soma::reset();
}

void Synapse::sizeWeights() {
  if (sourceAxon != nullptr && targetAxon != nullptr) recreateInstance();
}

void Synapse::sizeOwnWeights(int32_t count) {
  const bool kept = count == ownCount;
  setWeightCount(count, 0);
  // The same count may be another shape (4 x 3 wired again as 3 x 4): the
  // observers see the matrix as it is now.
  if (kept) bindWeightAccess();
  Synapse::sizeWeights();
}

int32_t Synapse::reconnectCount() const {
  if (sourceAxon == nullptr || targetAxon == nullptr) return -1;
  // reconnect takes the output axon's length and the input axon's input
  // length.
  return weightCountFor(targetAxon->length, sourceAxon->inputLength);
}

void Synapse::refreshView() {
  if (frameSource == nullptr) return;
  if (frameSource->ring.get() != ring.get() || frameSource->ringLength != ringLength ||
      frameSource->frameSize != frameSize) {
    reconnect();
  }
}

int Synapse::outputBound() const {
  if (targetAxon == nullptr || targetAxon->currentFrame() == nullptr) return 0;
  return std::max(std::min(length, targetAxon->frameSize), 0);
}

int Synapse::inputBound() const {
  if (currentFrame() == nullptr) return 0;
  return std::max(std::min(inputLength, frameSize), 0);
}

void Synapse::fire() {
  // Without a control nobody re-attached this view when the input axon
  // re-allocated its ring: do it before reading.
  refreshView();
  // Re-attaching copies the input axon's ring whole: the view reads the
  // axon's frames exactly as they are.
  assert(frameSource == nullptr ||
         (ring == frameSource->ring && ringLength == frameSource->ringLength &&
          frameSize == frameSource->frameSize));
  if (outputAccess != nullptr) outputAccess.moveAndStep(currentFrame());
  if (hasPerformFunction()) {
    perform();
  } else {
    compute();
  }
  Soma::fire();
}

void Synapse::createInstance() {
  if (performRecord == nullptr || performRecord->create == nullptr) return;
  if (sourceAxon == nullptr || targetAxon == nullptr) return;
  const int inRows = sourceAxon->rows;
  const int inColumns = sourceAxon->columns;
  const int outRows = targetAxon->rows;
  const int outColumns = targetAxon->columns;
  if (inRows == 0 || inColumns == 0 || outRows == 0 || outColumns == 0) return;
  performRecord->instance =
      callOutside<SynapseCreate>(performRecord->create, userDatum, performRecord->instance, inRows,
                                 inColumns, outRows, outColumns);
}

template <typename F, typename... Extra>
void Synapse::performWith(Extra... extra) {
  // Missing ends are passed as no frame and no elements.
  callOutside<F>(performRecord->perform, userDatum, performRecord->instance, currentFrame(),
                 sourceAxon != nullptr ? sourceAxon->rows : 0,
                 sourceAxon != nullptr ? sourceAxon->columns : 0,
                 targetAxon != nullptr ? targetAxon->currentFrame() : nullptr,
                 targetAxon != nullptr ? targetAxon->rows : 0,
                 targetAxon != nullptr ? targetAxon->columns : 0, extra...);
}

void Synapse::perform() {
  if (!hasPerformFunction()) return;
  performWith<SynapsePerform>();
}

void Synapse::compute() {
  const int n = std::min(inputBound(), outputBound());
  if (n == 0) return;
  const double* x = currentFrame();
  double* y = targetAxon->currentFrame();
  for (int i = 0; i < n; ++i) y[i] += x[i];
}

// FullSynapse

int32_t FullSynapse::weightCountFor(int outputLength, int inputLength) const {
  return checkedProduct(outputLength, inputLength);
}

void FullSynapse::sizeWeights() { sizeOwnWeights(weightCountFor(length, inputLength)); }

void FullSynapse::perform() {
  if (!hasPerformFunction()) return;
  // Handing out the weights counts as a write: the function may write them.
  performWith<FullSynapsePerform>(weightData());
}

void FullSynapse::release() {
  packed.release();
  Synapse::release();
}

void FullSynapse::bindWeightAccess() { bindWeightAccessAs(length, inputLength); }

void FullSynapse::compute() {
  const int stride = inputLength;
  if (stride <= 0) return;
  const int nIn = inputBound();
  int nOut = outputBound();
  // Only whole rows that the weight matrix holds.
  const int64_t weightCount = std::min<int64_t>(ownCount, static_cast<int64_t>(weights.size()));
  const int rowsHeld = static_cast<int>(weightCount / stride);
  nOut = std::min(nOut, rowsHeld);
  if (nIn == 0 || nOut == 0) return;
  const double* x = currentFrame();
  double* y = targetAxon->currentFrame();
  // Read through the const view: a writing access would count a write and
  // remake the copy at every sum.
  const double* w = std::as_const(weights).data();

  // A synapse from an axon into itself may read what it has just written;
  // keep the one-term-at-a-time order literally then.
  const auto address = [](const double* p) { return reinterpret_cast<uintptr_t>(p); };
  if (address(x) < address(y + nOut) && address(y) < address(x + nIn)) {
    for (int j = 0; j < nOut; ++j) {
      const double* row = w + int64_t{j} * stride;
      for (int k = 0; k < nIn; ++k) y[j] += row[k] * x[k];
    }
    return;
  }

  // An attached weight observer may write the weights at any time (a data
  // file filling them through the access chain): remake the copy each time.
  packed.follow(weights, rowsHeld, stride, ownWeightAccess != nullptr);
  packed.addProduct(x, nIn, y, nOut);
}

// The delayed-activity record, present only for a synapse with a delay.
// Its count is the synapse's length (the output axon's), but the frame is
// the input axon's, which may be shorter (the context synapse reads 8 into
// 50): only the frame's part is stored, the rest of the count is read past,
// and the writer prints 0.0 for it, so no other frame of the ring is touched.

void Synapse::readStateRecord(RecordReader& reader, KqWeightFileVersion version) {
  if (delay != 0 && version >= kVersionMemoryRecords) {
    readFrameRecord(reader, frameView(this, length));
  }
}

void Synapse::writeStateRecord(RecordWriter& writer, bool fromSnapshot) {
  if (delay != 0) {
    writeFrameState(writer, savedDelayedActivity, frameView(this, length), fromSnapshot);
  }
}

void Synapse::saveState() {
  if (delay != 0) saveFrame(savedDelayedActivity, frameView(this, length));
}

}  // namespace kq
