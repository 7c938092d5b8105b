#pragma once

#include <memory>
#include <vector>

#include <kqnet/backward/back_axon.h>

// BackContextAxon: the backward twin of a context axon. Like every backward
// axon it carries its layer's error and accumulates a gradient, here that
// of the dual's memory weights. It has a memory of its own: an inner Soma
// that reads this axon's own error ring one frame back, so that the error
// of the previous backward step flows into the present one through the
// memory weights. The memory follows only stepForward; saving, restoring
// and stepping back use the plain Soma operations. The derivative offset is
// not used. Subclasses override compute.
//
// BackIntegratorAxon: the twin of the leaky integrator; the present error
// is weighted by 1 - w as the forward input was.

namespace kq {

class BackContextAxon : public BackLinearAxon {
 public:
  BackContextAxon();
  ~BackContextAxon() override;

  const char* performName() const override { return "performBackContextAxon"; }
  // Detaches and frees the memory, then the Axon release.
  void release() override;
  // Zeroes the whole ring through the memory.
  void resetMemory() override;
  // The dual steps back (with or without learning), the memory steps on,
  // then the Axon step.
  void stepForward() override;
  // (instance, dual's instance, the error, dual's rows and columns, the
  // memory frame twice, dual's weights, dual's slope, the gradients).
  void perform() override;
  // e := beta (e + w n)
  void compute() override;
  // Snapshot of the memory frame for the saved writers, allocated by the
  // first call and freed by the writer that prints it.
  void saveState() override;
  // The frames, one accumulator value per input element, then the memory
  // attached one frame back (raising the delay to 2 when it is lower).
  void allocateFrames() override;
  // The ring and the accumulator of the memory's gradient.
  void eachShapeArray(const ArrayVisitor& size, ClaimedArray<double>& ring,
                      const AxonShape& shape) override;

  std::unique_ptr<Soma> memory;      // reads this axon's ring one frame back
  ClaimedArray<double> savedMemory;  // snapshot of the memory frame for the writers

 protected:
  // The memory record (from version 124): the memory frame, length values.
  void readStateRecord(RecordReader& reader, KqWeightFileVersion version) override;
  void writeStateRecord(RecordWriter& writer, bool fromSnapshot) override;
  // The loop both classes share: blend(e, n, w, beta) gives the new error
  // from the present error e, its memory n, the dual's memory weight w and
  // the dual's slope; with learning every element adds n beta y.
  template <typename Blend>
  void computeWith(Blend blend);
};

class BackIntegratorAxon : public BackContextAxon {
 public:
  // e := beta (e (1 - w) + w n)
  void compute() override;
};

}  // namespace kq
