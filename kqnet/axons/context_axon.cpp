#include <kqnet/axons/context_axon.h>

#include <algorithm>
#include <utility>

namespace kq {

ContextAxon::ContextAxon() : memory(std::make_unique<Soma>()) {
  memoryDelay = 1;
  // With the default range 0.5 the memory weights start uniform in [0, 1]
  // before they are clamped.
  randomCentre = 0.5;
}

// The memory is owned: a context axon destroyed without release still frees
// it (the unique_ptr does).
ContextAxon::~ContextAxon() = default;

void ContextAxon::release() {
  releaseMemory(memory, savedMemory);
  Axon::release();
}

void ContextAxon::allocateFrames() {
  BiasAxon::allocateFrames();
  sanitizeWeights();
  // attachAxon raises this axon's delay to memoryDelay + 1 when needed, which
  // re-allocates the ring once more and re-enters here.
  if (memory) memory->attachAxon(this, memoryDelay);
}

void ContextAxon::sanitizeWeights() {
  const int64_t n = std::min<int64_t>(ownCount, static_cast<int64_t>(weights.size()));
  for (int64_t i = 0; i < n; ++i) {
    double& w = weights[static_cast<size_t>(i)];
    // A NaN fails both tests and is cleared to 0 by the Soma step below.
    if (w > 0.99) w = 0.99;
    if (w < 0.01) w = 0.01;
  }
  Soma::sanitizeWeights();
}

void ContextAxon::resetMemory() {
  if (memory) memory->reset();
}

void ContextAxon::saveFramePosition() {
  if (memory) memory->saveFramePosition();
  Soma::saveFramePosition();
}

void ContextAxon::restoreFramePosition() {
  if (memory) memory->restoreFramePosition();
  Soma::restoreFramePosition();
}

void ContextAxon::stepBack() {
  if (memory) memory->stepBack();
  Soma::stepBack();
}

void ContextAxon::stepForward() {
  if (memory) memory->stepForward();
  stepAndClear();
}

int ContextAxon::memoryElementCount() const {
  if (!memory || memory->currentFrame() == nullptr) return 0;
  const int64_t weightCount = std::min<int64_t>(ownCount, static_cast<int64_t>(weights.size()));
  return static_cast<int>(
      std::min<int64_t>({inputLength, frameSize, memory->frameSize, weightCount}));
}

void ContextAxon::perform() {
  if (!hasPerformFunction()) return;
  double* memoryFrame = memory ? memory->currentFrame() : nullptr;
  callOutside<ContextAxonPerform>(performRecord->perform, userDatum, performRecord->instance,
                                  currentFrame(), rows, columns, memoryFrame, weightData(), beta);
}

template <typename Blend>
void ContextAxon::computeWith(Blend blend) {
  double* x = currentFrame();
  if (x == nullptr) return;
  const int n = memoryElementCount();
  if (n == 0) return;
  const double* m = memory->currentFrame();
  const double* w = std::as_const(weights).data();
  const double slopeValue = beta;
  for (int i = 0; i < n; ++i) x[i] = blend(x[i], m[i], w[i], slopeValue);
}

void ContextAxon::compute() {
  computeWith([](double x, double m, double w, double beta) { return beta * (x + w * m); });
}

void IntegratorAxon::compute() {
  computeWith(
      [](double x, double m, double w, double beta) { return beta * ((1.0 - w) * x + w * m); });
}

}  // namespace kq
