#pragma once

#include <kqnet/backward/back_axon.h>

// BackCriteriaControl: the backward twin of a criterion, and the start of
// the backward network. Its dual is the criterion; when the program fires
// it, it copies the criterion's error signal into its own activity and
// passes it to the backward output axon it feeds. When learning is
// prepared it marks the backward components it feeds directly, and under
// Levenberg-Marquardt it starts their error-column set-up. It names no
// outside perform function and adds no field of its own.

namespace kq {

class BackCriteriaControl : public BackAxon {
 public:
  // Leaves the control's backward-criteria list, then the Axon release.
  void release() override;
  bool isKindOf(const char* name) const override;
  // The Axon registration, then the end of the backward-criteria list.
  void registerWithControl() override;
  // Marks itself and the axons it feeds, starts the column set-up under
  // Levenberg-Marquardt, then the Engine part.
  int prepareLearning() override;
  const char* performName() const override { return nullptr; }
  // Copies the dual's current frame (the error signal) into its own.
  void compute() override;

  // The error-column set-up that prepareLearning starts on each component it
  // feeds under Levenberg-Marquardt (LMGlobals::lmAssignColumns names it):
  // component takes columns more error columns for root, coming from from
  // (whose column base it sets); the walk follows the outputs down to the
  // input layer's twin and clears the criterion mark of every axon it
  // passes through.
  static void assignJacobianColumns(Soma* component, int columns, Soma* root, Soma* from);
};

}  // namespace kq
