#include <kqnet/control/control.h>

#include <algorithm>

#include <kqnet/core/memory.h>
#include <kqnet/core/soma.h>
#include <kqnet/learning/gradient.h>
#include <kqnet/learning/learning_globals.h>
#include <kqnet/learning/lm_globals.h>
#include <kqnet/synapses/synapse.h>

namespace kq {

namespace {

template <typename T>
void removeAll(std::vector<T*>& list, T* item) {
  list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

template <typename T>
void detachAll(const std::vector<T*>& list) {
  for (T* member : list) {
    if (member != nullptr) member->control = nullptr;
  }
}

}  // namespace

// Engine's part of every registration lives here, beside the flag it sets,
// so that the object model needs nothing of the control but its name.
void Engine::registerWithControl() {
  if (parametersDirty != 0 && control != nullptr) control->parametersChanged = 1;
  parametersDirty = 0;
}

void WeightIndex::clear() {
  weightCount = 0;
  blockCount = 0;
  weightOwner.release();
  weightSlot.release();
}

bool Control::isKindOf(const char* name) const {
  return isCoreObject(name) || sameWord(name, "Control");
}

StaticControl::StaticControl() = default;

StaticControl::~StaticControl() = default;

bool StaticControl::isKindOf(const char* name) const {
  return Control::isKindOf(name) || sameWord(name, "StaticControl");
}

void StaticControl::release() {
  freeWeightIndex();
  if (learningGlobals) {
    learningGlobals->releaseState();
    learningGlobals.reset();
  }
  clearRoots();
  freeSavedLmState();
  detachAll(synapseList);
  detachAll(axonList);
  detachAll(gradientList);
  detachAll(backCriteriaList);
  detachAll(criteriaList);
  CoreObject::release();
}

void StaticControl::addRoot(Soma* object, int front) {
  if (object == nullptr) return;
  if (std::find(roots.begin(), roots.end(), object) != roots.end()) return;
  if (front != 0) {
    roots.insert(roots.begin(), object);
  } else {
    roots.push_back(object);
  }
}

void StaticControl::clearRoots() { std::vector<Soma*>().swap(roots); }

void StaticControl::fireRoots() {
  // By index: a root's firing never changes the roots, but stay safe if it did.
  for (size_t i = 0; i < roots.size(); ++i) roots[i]->fire();
}

void StaticControl::numberDepths() {
  for (size_t i = 0; i < roots.size(); ++i) roots[i]->setDepth(1);
}

void StaticControl::setEpoch(int newEpoch) {
  epoch = newEpoch;
  if (epoch < bestEpoch) {
    bestEpoch = 0;
    bestCost = kNoBestCost;
  }
}

void StaticControl::setInitialDamping(double damping) {
  initialDamping = damping;
  // The weight file may set mode 2 while conjugate-gradient globals still
  // exist: only Levenberg-Marquardt globals have a damping to take.
  if (learningGlobals && learningMode == kLevenbergMarquardtMode) {
    if (auto* lm = dynamic_cast<LMGlobals*>(learningGlobals.get())) lm->damping = damping;
  }
}

void StaticControl::clearComponentLists() {
  backCriteriaList.clear();
  criteriaList.clear();
  synapseList.clear();
  axonList.clear();
  gradientList.clear();
}

void StaticControl::reconnectSynapses() {
  // An axon that changed shape re-sizes every synapse at its ends here, and
  // each of them might fit alone while together they do not: what they will
  // claim more, taken together, is refused before the first one re-sizes.
  requireMemory(growthOf([this](auto&& size) {
    for (Soma* component : synapseList) {
      if (const auto* synapse = dynamic_cast<const Synapse*>(component)) {
        synapse->eachReconnectArray(size);
      }
    }
  }));
  // By index: reconnecting may re-size an axon, which calls back here.
  for (size_t i = 0; i < synapseList.size(); ++i) synapseList[i]->reconnect();
}

void StaticControl::sumSquaredWeights() {
  double sum = 0.0;
  for (Gradient* gradient : gradientList) {
    const Soma* target = gradient->forward;
    if (target == nullptr) continue;
    const int64_t total = std::min<int64_t>(target->weightTotal(), target->weights.size());
    for (int64_t i = 0; i < total; ++i) {
      const double w = target->weights[static_cast<size_t>(i)];
      sum += w * w;
    }
  }
  weightEnergy = sum;
}

int64_t StaticControl::trainableWeightTotal() const {
  int64_t count = 0;
  for (const Gradient* gradient : gradientList) {
    // A gradient whose forward object is not attached has nothing to train.
    if (gradient != nullptr && gradient->forward != nullptr) {
      count += gradient->forward->weightTotal();
    }
  }
  return count;
}

void StaticControl::freeWeightIndex() { weightIndex.clear(); }

void StaticControl::deleteLearningGlobals() {
  if (learningGlobals) {
    learningGlobals->freeState();
    learningGlobals.reset();
  }
  freeWeightIndex();
}

void StaticControl::freeSavedLmState() {
  SavedLmState& s = savedLmState;
  s.eachArray([](ClaimedArray<double>& array, int64_t, double) { array.release(); });
  s.weightCount = 0;
  s.blockCount = 0;
  s.swapped = 0;
  s.swapAvailable = 0;
}

void StaticControl::removeAxon(Soma* axon) { removeAll(axonList, axon); }
void StaticControl::removeSynapse(Soma* synapse) { removeAll(synapseList, synapse); }
void StaticControl::removeCriterion(Soma* criterion) { removeAll(criteriaList, criterion); }
void StaticControl::removeBackCriteria(Soma* backCriteria) {
  removeAll(backCriteriaList, backCriteria);
}
void StaticControl::removeGradient(Gradient* gradient) { removeAll(gradientList, gradient); }

}  // namespace kq
