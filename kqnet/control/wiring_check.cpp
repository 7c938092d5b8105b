#include <kqnet/control/wiring_check.h>

#include <algorithm>
#include <string>
#include <vector>

#include <kqnet/axons/axon.h>
#include <kqnet/backward/back_axon.h>
#include <kqnet/backward/back_synapse.h>
#include <kqnet/control/control.h>
#include <kqnet/core/fatal.h>
#include <kqnet/core/messages.h>
#include <kqnet/core/soma.h>
#include <kqnet/synapses/synapse.h>

namespace kq {

namespace {

// The forward object a backward component mirrors; null for a forward one.
const Soma* dualOf(const Soma* object) {
  if (const auto* axon = dynamic_cast<const BackAxon*>(object)) return axon->dual;
  if (const auto* synapse = dynamic_cast<const BackSynapse*>(object)) return synapse->dual;
  return nullptr;
}

bool isBackward(const Soma* object) {
  return dynamic_cast<const BackAxon*>(object) != nullptr ||
         dynamic_cast<const BackSynapse*>(object) != nullptr;
}

// The edges a component declares as their sender: an axon's outputs (the
// delayed synapses it does not fire included), a synapse's output axon.
std::vector<const Soma*> outputsOf(const Soma* object) {
  if (const auto* axon = dynamic_cast<const Axon*>(object)) {
    return {axon->allOutputs.begin(), axon->allOutputs.end()};
  }
  const auto* synapse = dynamic_cast<const Synapse*>(object);
  if (synapse != nullptr && synapse->targetAxon != nullptr) return {synapse->targetAxon};
  return {};
}

// How often from declares an edge to to.
int sends(const Soma* from, const Soma* to) {
  const std::vector<const Soma*> outputs = outputsOf(from);
  return static_cast<int>(std::count(outputs.begin(), outputs.end(), to));
}

// The network as the pointers of its components describe it: the control's
// axons and synapses, then whatever they point to that is not registered,
// so that an edge to such a component is still seen from both ends.
class Wiring {
 public:
  explicit Wiring(const StaticControl& control) : control_(control) {
    for (const std::vector<Soma*>* list : {&control.axonList, &control.synapseList}) {
      for (const Soma* object : *list) add(object);
    }
    // By index: adding grows the list being walked.
    for (size_t i = 0; i < components_.size(); ++i) {
      const Soma* object = components_[i];
      for (const Soma* output : outputsOf(object)) add(output);
      if (const auto* synapse = dynamic_cast<const Synapse*>(object)) add(synapse->sourceAxon);
      add(dualOf(object));
    }
  }

  // One end at a time first, then the mirror: a missing end also breaks
  // the mirror, and the end is the fault to name.
  std::string fault() const {
    std::string found = unsentInput();
    if (found.empty()) found = unreadOutput();
    if (found.empty()) found = inputCountMismatch();
    if (found.empty()) found = unmirroredEdge();
    return found.empty() ? found : formatString(messages::kWiringFault, found.c_str());
  }

 private:
  void add(const Soma* object) {
    if (object == nullptr || (!object->isAxon() && !object->isSynapse())) return;
    if (std::find(components_.begin(), components_.end(), object) == components_.end()) {
      components_.push_back(object);
    }
  }

  // Class word and place in the control's list; a twin adds its dual.
  std::string name(const Soma* object) const {
    std::string named = place(object);
    const Soma* dual = dualOf(object);
    if (dual != nullptr) {
      named = formatString(messages::kWiringTwin, named.c_str(), place(dual).c_str());
    }
    return named;
  }

  std::string place(const Soma* object) const {
    const std::vector<Soma*>& list = object->isSynapse() ? control_.synapseList : control_.axonList;
    const auto at = std::find(list.begin(), list.end(), object);
    if (at == list.end()) return formatString(messages::kWiringUnregistered, object->className());
    return formatString(messages::kWiringPlace, object->className(),
                        static_cast<int>(at - list.begin()) + 1);
  }

  // A synapse that reads an axon which does not connect its output to it.
  std::string unsentInput() const {
    for (const Soma* object : components_) {
      const auto* synapse = dynamic_cast<const Synapse*>(object);
      if (synapse == nullptr || synapse->sourceAxon == nullptr) continue;
      if (sends(synapse->sourceAxon, synapse) == 0) {
        return formatString(messages::kWiringUnsentInput, name(synapse).c_str(),
                            name(synapse->sourceAxon).c_str());
      }
    }
    return {};
  }

  // An axon that connects its output to a synapse which reads another axon.
  std::string unreadOutput() const {
    for (const Soma* object : components_) {
      const auto* axon = dynamic_cast<const Axon*>(object);
      if (axon == nullptr) continue;
      for (const Soma* output : axon->allOutputs) {
        const auto* synapse = dynamic_cast<const Synapse*>(output);
        if (synapse == nullptr || synapse->sourceAxon == axon) continue;
        const std::string source =
            synapse->sourceAxon != nullptr ? name(synapse->sourceAxon) : messages::kWiringNoAxon;
        return formatString(messages::kWiringUnreadOutput, name(axon).c_str(),
                            name(synapse).c_str(), source.c_str());
      }
    }
    return {};
  }

  // An axon whose input count differs from the edges that reach it; the
  // count carries no names, so every sender is named.
  std::string inputCountMismatch() const {
    for (const Soma* object : components_) {
      const auto* axon = dynamic_cast<const Axon*>(object);
      if (axon == nullptr) continue;
      int senders = 0;
      std::string names;
      for (const Soma* sender : components_) {
        for (int n = sends(sender, axon); n > 0; --n) {
          ++senders;
          names += (names.empty() ? "" : ", ") + name(sender);
        }
      }
      if (senders != axon->fanIn) {
        return formatString(messages::kWiringInputCount, name(axon).c_str(), axon->fanIn, senders,
                            names.empty() ? messages::kWiringNoComponent : names.c_str());
      }
    }
    return {};
  }

  // The first backward component whose dual is object.
  const Soma* twinOf(const Soma* object) const {
    for (const Soma* twin : components_) {
      if (dualOf(twin) == object) return twin;
    }
    return nullptr;
  }

  // An edge between two components with counterparts (twins of forward
  // ones, duals of backward ones) whose counterparts lack the reverse edge.
  std::string unmirroredEdge() const {
    for (const Soma* from : components_) {
      for (const Soma* to : outputsOf(from)) {
        if (to == nullptr || isBackward(to) != isBackward(from)) continue;
        const bool backward = isBackward(from);
        const Soma* fromCounterpart = backward ? dualOf(from) : twinOf(from);
        const Soma* toCounterpart = backward ? dualOf(to) : twinOf(to);
        if (fromCounterpart == nullptr || toCounterpart == nullptr) continue;
        if (sends(toCounterpart, fromCounterpart) == 0) {
          return formatString(messages::kWiringUnmirrored, name(from).c_str(), name(to).c_str(),
                              name(toCounterpart).c_str(), name(fromCounterpart).c_str());
        }
      }
    }
    return {};
  }

  const StaticControl& control_;
  std::vector<const Soma*> components_;  // registered axons, synapses, then the rest reached
};

}  // namespace

std::string wiringFault(const StaticControl& control) { return Wiring(control).fault(); }

void checkWiring(const StaticControl& control) {
  const std::string found = wiringFault(control);
  if (!found.empty()) fatal(found);
}

}  // namespace kq
