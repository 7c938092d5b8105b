#include <kqnet/backward/back_context_axon.h>

#include <algorithm>
#include <utility>

#include <kqnet/backward/gradient_terms.h>
#include <kqnet/core/records.h>

namespace kq {

BackContextAxon::BackContextAxon() : memory(std::make_unique<Soma>()) {}

// The memory is owned: a twin destroyed without release still frees it.
BackContextAxon::~BackContextAxon() = default;

void BackContextAxon::release() {
  releaseMemory(memory, savedMemory);
  Axon::release();
}

void BackContextAxon::resetMemory() {
  if (memory) memory->reset();
}

void BackContextAxon::allocateFrames() {
  // Past BackBiasAxon on purpose: this twin's weights are the memory's
  // gradient, sized from the input length below, not one bias per element.
  requireShape(currentShape());
  Axon::allocateFrames();  // NOLINT(bugprone-parent-virtual-call)
  setWeightCount(inputLength, 0);
  // attachAxon raises this axon's delay to 2 when needed, which re-allocates
  // the ring once more and re-enters here.
  if (memory) memory->attachAxon(this, 1);
}

void BackContextAxon::eachShapeArray(const ArrayVisitor& size, ClaimedArray<double>& ring,
                                     const AxonShape& shape) {
  Axon::eachShapeArray(size, ring, shape);  // NOLINT(bugprone-parent-virtual-call)
  if (shape.inputLength != ownCount) eachWeightArray(size, shape.inputLength);
}

void BackContextAxon::stepForward() {
  if (dual != nullptr) dual->stepBack();
  if (memory) memory->stepForward();
  stepAndClear();
}

template <typename Blend>
void BackContextAxon::computeWith(Blend blend) {
  const int m = blockCount();
  if (m == 0 || !memory || memory->currentFrame() == nullptr) return;
  const bool learn = learningEnabled != 0;
  const int stride = dual->length;
  int end = std::min(coveredEnd(m, learn), std::max(memory->frameSize, 0));
  double* e = currentFrame();
  const double* n = memory->currentFrame();
  const double* w = std::as_const(dual->weights).data();
  const int wCount = dualWeightCount();
  const double beta = dual->slope();
  // Without the dual's activity no gradient term can be formed.
  const int yCount = learn ? dualFrameCount() : stride;
  const double* y = dual->currentFrame();
  const GradientTerms terms =
      gradientTerms(control, exemplarFactors, exemplarFactorCount, exemplarFactorIndex);
  double* g = weights.data();
  // w and y restart at element 0 for every block; e, n and g run on.
  for (int base = 0; base < end; base += stride) {
    const int count = std::min({stride, end - base, yCount});
    for (int l = 0; l < count; ++l) {
      const int i = base + l;
      const double wl = l < wCount ? w[l] : 0.0;
      e[i] = blend(e[i], n[i], wl, beta);
      if (learn) terms.add(g[i], terms.scale(n[i] * beta * y[l]), wl);
    }
  }
  if (learn && terms.scaled != 0) advanceFactorIndex(exemplarFactorIndex, exemplarFactorCount);
}

void BackContextAxon::perform() {
  if (!hasPerformFunction()) return;
  double* memoryFrame = memory ? memory->currentFrame() : nullptr;
  callOutside<BackContextAxonPerform>(performRecord->perform, userDatum, performRecord->instance,
                                      dualInstance(), currentFrame(), dualRows(), dualColumns(),
                                      memoryFrame, memoryFrame,
                                      dual != nullptr ? dual->weightData() : nullptr,
                                      dual != nullptr ? dual->slope() : 1.0, weightData());
}

void BackContextAxon::compute() {
  computeWith([](double e, double n, double w, double beta) { return beta * (e + w * n); });
}

void BackIntegratorAxon::compute() {
  computeWith(
      [](double e, double n, double w, double beta) { return beta * (e * (1.0 - w) + w * n); });
}

// The memory record: the memory's current frame, the axon's length of it.

void BackContextAxon::readStateRecord(RecordReader& reader, KqWeightFileVersion version) {
  if (version >= kVersionMemoryRecords) readFrameRecord(reader, frameView(memory.get(), length));
}

void BackContextAxon::writeStateRecord(RecordWriter& writer, bool fromSnapshot) {
  writeFrameState(writer, savedMemory, frameView(memory.get(), length), fromSnapshot);
}

void BackContextAxon::saveState() { saveFrame(savedMemory, frameView(memory.get(), length)); }

}  // namespace kq
