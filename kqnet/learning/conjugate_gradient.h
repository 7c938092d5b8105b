#pragma once

#include <kqnet/core/claimed_array.h>
#include <kqnet/learning/gradient.h>

// ConjugateGradient: the gradient object of one trainable component under
// scaled conjugate gradient. It holds the method's per-weight vectors for
// its component, indexed by a weight's position in the forward object's
// weight vector, and changes no weight itself: the control's CGGlobals runs
// the iteration over every component at once, so updateWeights stays the
// base's no-op and applyUpdate only notifies and sanitises. Overrides the
// class word, setWeightCount (to size the vectors) and release.

namespace kq {

class RecordReader;
class RecordWriter;

class ConjugateGradient : public Gradient {
 public:
  ConjugateGradient() = default;

  const char* className() const override { return "ConjugateGradient"; }
  // Frees the vectors and the snapshots, forgets the forward object, then
  // leaves the gradient list.
  void release() override;
  // A changed count reallocates the six vectors zero-filled and makes the
  // learning globals start their search afresh; an unchanged count keeps
  // the vectors and their contents.
  void setWeightCount(int n) override;
  // Snapshot of the five record vectors for the saved writers, allocated
  // by the first call and freed by the writer that prints it.
  void saveState() override;

  ClaimedArray<double> weightCopy;       // weights where training stopped
  ClaimedArray<double> baseWeights;      // the iteration's base point w
  ClaimedArray<double> averageGradient;  // last pass's accumulator / batch size
  // Snapshots taken for the saved-state writers; empty until taken.
  ClaimedArray<double> savedWeightCopy;
  ClaimedArray<double> savedBaseWeights;
  ClaimedArray<double> savedDirection;
  ClaimedArray<double> savedSteepestDescent;
  ClaimedArray<double> savedCurvature;
  ClaimedArray<double> direction;        // search direction p
  ClaimedArray<double> steepestDescent;  // r: averaged accumulator at the base point
  ClaimedArray<double> curvature;        // s: estimate of the Hessian times p

  // The six per-weight vectors exist (they are sized together).
  bool hasVectors() const { return !direction.empty(); }

 protected:
  // The conjugate-gradient record (from version 216): "%d\n" weightCount,
  // five lines of weightCount values (weightCopy, baseWeights, direction,
  // steepestDescent, curvature) and an empty line. A count other than
  // weightCount (or no vectors yet) prints a message on standard output and
  // reads nothing more; files below version 235 carry a legacy block after
  // the vectors, which is read past.
  void readStateRecord(RecordReader& reader, KqWeightFileVersion version) override;
  void writeStateRecord(RecordWriter& writer, bool fromSnapshot) override;
};

}  // namespace kq
