#pragma once

#include <cstdint>

// The state a second-order learning method keeps across every trainable
// weight of a network. The control owns at most one, creates it for its
// learning mode, and calls its hooks at fixed points of the run. A method
// never walks the component graph: weight i of the control's WeightIndex
// is weightOwner[i]'s forward weight at weightSlot[0][i] (also the position
// in the owner's per-weight vectors), and its accumulated negative gradient
// in block b is the owner's backprop weight at weightSlot[b][i].
// The base hooks do nothing (endBatch and afterPass clear skipFlag);
// CGGlobals and LMGlobals override what their method needs.

namespace kq {

class StaticControl;

class LearningGlobals {
 public:
  LearningGlobals() = default;
  // Virtual, so that the control can delete either method through the base.
  virtual ~LearningGlobals() = default;
  LearningGlobals(const LearningGlobals&) = delete;
  LearningGlobals& operator=(const LearningGlobals&) = delete;

  // After each exemplar's backward pass.
  virtual void afterExemplar() {}
  // At the end of each epoch, after the early-stop check.
  virtual void afterEpoch() {}
  // After the epoch loop and again at teardown.
  virtual void finishTraining() {}
  // Frees the work arrays before the globals are dropped.
  virtual void freeState() {}
  // Called by the control's release before deletion.
  virtual void releaseState() { freeState(); }
  virtual void bind(StaticControl* owner) { control = owner; }
  // After the gradients' updates at a batch end.
  virtual void afterBatch() {}
  // Between two passes of an epoch.
  virtual void afterPass(int) { skipFlag = 0; }
  // Whenever the control's learning flag is assigned in modes 1 and 2.
  virtual void prepare(int) {}
  virtual void resetSearch() {}
  // When a batch is complete, before the gradients' updates.
  virtual void endBatch() { skipFlag = 0; }

  StaticControl* control = nullptr;  // set by bind
  uint32_t skipFlag = 1;             // hooks wait for the first batch or pass
  int32_t initialised = 0;           // the conjugate-gradient search has started
  int32_t passDone = 0;              // a trial step was taken in this epoch
};

}  // namespace kq
