#include <kqnet/backward/back_criteria_control.h>

#include <algorithm>

#include <kqnet/backward/back_synapse.h>
#include <kqnet/control/back_static_control.h>
#include <kqnet/control/control.h>
#include <kqnet/core/fatal.h>

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
    if (levenbergMarquardt) assignJacobianColumns(entry, columnCount, this, this);
  }
  return Engine::prepareLearning();
}

void BackCriteriaControl::assignJacobianColumns(Soma* component, int columns, Soma* root,
                                                Soma* from) {
  if (component == nullptr) return;
  // Each root assigns columns once per component, which also ends any walk
  // round a loop of the graph.
  std::vector<Soma*>& visited = component->connectionList;
  if (std::find(visited.begin(), visited.end(), root) != visited.end()) return;
  visited.push_back(root);
  if (from != nullptr) from->jacobianColumnBase = component->jacobianColumns;
  if (const auto* twin = dynamic_cast<const BackSynapse*>(component)) {
    if (twin->dual != nullptr && sameWord(twin->dual->className(), "SVMOutputSynapse")) columns = 1;
  }
  component->setJacobianColumns(checkedCount(int64_t{columns} + component->jacobianColumns));
  if (auto* axon = dynamic_cast<Axon*>(component)) {
    // By index: the walk resizes axons but never changes their output lists.
    for (size_t e = 0; e < axon->allOutputs.size(); ++e) {
      Soma* entry = axon->allOutputs[e];
      if (entry == nullptr) continue;
      assignJacobianColumns(entry, axon->jacobianColumns, root, component);
      if (entry->isAxon()) entry->criterionMark = 0;
    }
    return;
  }
  if (const auto* synapse = dynamic_cast<const Synapse*>(component)) {
    if (Axon* output = synapse->targetAxon) {
      assignJacobianColumns(output, columns, root, component);
      output->criterionMark = 0;
    }
  }
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
