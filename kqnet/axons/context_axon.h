#pragma once

#include <memory>
#include <vector>

#include <kqnet/axons/axon.h>

// ContextAxon: a linear layer with memory. An inner Soma shares this axon's
// own ring, memoryDelay frames behind the current frame, so each element can
// mix its present net input with its own activity of an earlier exemplar,
// weighted per element by the memory weights (the Soma weight vector, which
// holds the bias in LinearAxon). The memory steps, saves and restores with
// the axon so that it keeps its distance. Subclasses override compute.
//
// IntegratorAxon: a leaky integrator; present input and memory are blended
// with complementary weights.

namespace kq {

class ContextAxon : public LinearAxon {
 public:
  ContextAxon();
  ~ContextAxon() override;

  const char* className() const override { return "ContextAxon"; }
  const char* performName() const override { return "performContextAxon"; }
  // Detaches and frees the memory, then the Axon release.
  void release() override;
  // Clamps the memory weights to [0.01, 0.99], then clears non-finite ones.
  void sanitizeWeights() override;
  // Zeroes the whole shared ring through the memory.
  void resetMemory() override;
  void saveFramePosition() override;
  void restoreFramePosition() override;
  void stepBack() override;
  void stepForward() override;
  // The Axon arguments, then the memory frame, the weights and the slope.
  void perform() override;
  // x := beta (x + w m)
  void compute() override;
  // Snapshot of the memory frame for the saved writers, allocated by the
  // first call and freed by the writer that prints it.
  void saveState() override;
  // The weights and frames, then the memory attached anew (which raises the
  // delay to memoryDelay + 1 when it is smaller).
  void allocateFrames() override;

  std::unique_ptr<Soma> memory;      // reads this axon's ring memoryDelay frames back
  int32_t memoryDelay = 1;           // how many exemplars back the memory reads
  ClaimedArray<double> savedMemory;  // snapshot of the memory frame for the writers

 protected:
  // Elements that the frame, the memory frame and the weights all cover.
  int memoryElementCount() const;
  // The memory record (from version 124): the memory frame, length values.
  void readStateRecord(RecordReader& reader, KqWeightFileVersion version) override;
  void writeStateRecord(RecordWriter& writer, bool fromSnapshot) override;
  // The loop both classes share: blend(x, m, w, beta) gives the new
  // activity from the net input x, the memory m, the memory weight w and
  // the slope.
  template <typename Blend>
  void computeWith(Blend blend);
};

class IntegratorAxon : public ContextAxon {
 public:
  const char* className() const override { return "IntegratorAxon"; }
  // x := beta ((1 - w) x + w m)
  void compute() override;
};

}  // namespace kq
