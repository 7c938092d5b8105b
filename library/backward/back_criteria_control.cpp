#include "backward/back_criteria_control.h"

#include <algorithm>

#include "control/back_static_control.h"
#include "control/control.h"

namespace kq {

void BackCriteriaControl::release() {
  if (control != nullptr) control->removeBackCriteria(this);
  Axon::release();
}

bool BackCriteriaControl::isKindOf(const char* name) const {
  return Axon::isKindOf(name) || sameWord(name, "BackCriteriaControl");
}

void BackCriteriaControl::registerWithControl() {
  Axon::registerWithControl();
  if (control != nullptr) control->backCriteriaList.push_back(this);
}

int BackCriteriaControl::prepareLearning() {
  const int columnCount = length;
  jacobianColumns = columnCount;
  criterionMark = 1;
  const bool levenbergMarquardt = control != nullptr && control->backControl != nullptr &&
                                  control->backControl->learningMethod == "LevenbergMarquardt";
  // By index: the column set-up may change the lists it walks.
  for (size_t i = 0; i < allOutputs.size(); ++i) {
    Soma* entry = allOutputs[i];
    if (entry == nullptr) continue;
    if (entry->isAxon()) entry->criterionMark = 1;
    if (levenbergMarquardt) LMGlobals::lmAssignColumns(entry, columnCount, this, this);
  }
  return Engine::prepareLearning();
}

void BackCriteriaControl::compute() {
  if (dual == nullptr) return;
  const double* source = dual->currentFrame();
  double* target = currentFrame();
  if (source == nullptr || target == nullptr) return;
  const int n = std::min({inputLength, frameSize, dual->frameSize});
  if (n > 0) std::copy(source, source + n, target);
}

}  // namespace kq
