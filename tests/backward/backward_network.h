#pragma once

// A library network of tanh layers with its mirrored backward network,
// wired the way the programs wire theirs: each synapse with its twin, each
// axon with its twin, the squared-error criterion fed by the output layer
// and the backward criteria control that starts the backward pass. Links
// may skip layers. The test drives one forward pass (fireRoots) and one
// backward pass (stepDualFrameBack on every twin, fire the backward root,
// restoreDualFramePosition on every twin).

#include <cstddef>
#include <memory>
#include <vector>

#include "../synapses/network_helpers.h"
#include "gradient_check.h"
#include <kqnet/axons/axon.h>
#include <kqnet/backward/back_axon.h>
#include <kqnet/backward/back_criteria_control.h>
#include <kqnet/backward/back_synapse.h>
#include <kqnet/control/control.h>
#include <kqnet/criteria/criterion.h>
#include <kqnet/synapses/synapse.h>

namespace kqtest {

class BackwardNetwork {
 public:
  // Layer 0 is a plain input axon; links connect earlier to later layers.
  // Links are attached to their source in the order given, so a source
  // fires the link given last first.
  BackwardNetwork(const std::vector<int>& sizes, const std::vector<std::pair<int, int>>& links) {
    const size_t layerCount = sizes.size();
    for (size_t l = 1; l < layerCount; ++l) {
      layers.push_back(std::make_unique<kq::TanhAxon>());
      layerTwins.push_back(std::make_unique<kq::BackTanhAxon>());
    }
    for (size_t i = 0; i < links.size(); ++i) {
      synapses.push_back(std::make_unique<kq::FullSynapse>());
      synapseTwins.push_back(std::make_unique<kq::BackFullSynapse>());
    }
    linkEnds = links;

    input.setRows(sizes[0]);
    inputTwin.setRows(sizes[0]);
    for (size_t l = 1; l < layerCount; ++l) {
      layer(l)->setRows(sizes[l]);
      layerTwin(l)->derivativeOffset = 0.0;
      layerTwin(l)->setRows(sizes[l]);
    }
    const int outputs = sizes.back();
    criterion.setRows(outputs);
    criterionTwin.setRows(outputs);

    input.setInputAccess(&inputs);
    inputTwin.setDual(&input);
    for (size_t i = 0; i < links.size(); ++i) synapseTwins[i]->setDual(synapses[i].get());
    for (size_t l = 1; l < layerCount; ++l) layerTwin(l)->setDual(layer(l));
    criterion.setDesiredAccess(&desired);
    criterionTwin.setDual(&criterion);

    for (size_t i = 0; i < links.size(); ++i) {
      kq::Axon* a = axonAt(links[i].first);
      kq::Axon* b = axonAt(links[i].second);
      kq::BackAxon* aTwin = twinAt(links[i].first);
      kq::BackAxon* bTwin = twinAt(links[i].second);
      kq::FullSynapse* s = synapses[i].get();
      kq::BackFullSynapse* sTwin = synapseTwins[i].get();
      a->connectOutput(s);
      s->connectInput(a);
      s->connectOutput(b);
      b->connectInput(s);
      sTwin->connectInput(bTwin);
      sTwin->connectOutput(aTwin);
      aTwin->connectInput(sTwin);
      bTwin->connectOutput(sTwin);
    }
    kq::Axon* last = layer(layerCount - 1);
    last->connectOutput(&criterion);
    criterion.connectInput(last);
    criterionTwin.connectOutput(layerTwin(layerCount - 1));
    layerTwin(layerCount - 1)->connectInput(&criterionTwin);

    for (kq::Engine* object : objects()) {
      object->control = &control;
      object->registerWithControl();
    }
    control.learning = 0;
    control.clearRoots();
    control.addRoot(&input, 0);
    control.numberDepths();
  }

  // Every object in the programs' order: input pair, then per layer the
  // synapses into it with their twins and the layer with its twin, then the
  // criterion pair.
  std::vector<kq::Engine*> objects() {
    std::vector<kq::Engine*> list{&input, &inputTwin};
    for (size_t l = 1; l <= layers.size(); ++l) {
      for (size_t i = 0; i < linkEnds.size(); ++i) {
        if (linkEnds[i].second != static_cast<int>(l)) continue;
        list.push_back(synapses[i].get());
        list.push_back(synapseTwins[i].get());
      }
      list.push_back(layer(l));
      list.push_back(layerTwin(l));
    }
    list.push_back(&criterion);
    list.push_back(&criterionTwin);
    return list;
  }

  void forward() { control.fireRoots(); }

  void backward() {
    inputTwin.stepDualFrameBack();
    for (size_t l = 1; l <= layers.size(); ++l) {
      for (size_t i = 0; i < linkEnds.size(); ++i) {
        if (linkEnds[i].second == static_cast<int>(l)) synapseTwins[i]->stepDualFrameBack();
      }
      layerTwin(l)->stepDualFrameBack();
    }
    criterionTwin.stepDualFrameBack();
    criterionTwin.fire();
    inputTwin.restoreDualFramePosition();
    for (size_t l = 1; l <= layers.size(); ++l) {
      for (size_t i = 0; i < linkEnds.size(); ++i) {
        if (linkEnds[i].second == static_cast<int>(l)) synapseTwins[i]->restoreDualFramePosition();
      }
      layerTwin(l)->restoreDualFramePosition();
    }
    criterionTwin.restoreDualFramePosition();
  }

  // The same network as plain vectors, with the library's present weights,
  // slopes and derivative offsets.
  PlainNetwork plain() const {
    PlainNetwork p;
    p.sizes.push_back(input.length);
    p.biases.emplace_back();
    p.slopes.push_back(1.0);
    p.offsets.push_back(0.0);
    for (size_t l = 1; l <= layers.size(); ++l) {
      const kq::TanhAxon& axon = *layer(l);
      p.sizes.push_back(axon.length);
      p.biases.emplace_back(axon.weights.begin(), axon.weights.begin() + axon.length);
      p.slopes.push_back(axon.slope());
      p.offsets.push_back(layerTwin(l)->derivativeOffset);
    }
    for (size_t i = 0; i < linkEnds.size(); ++i) {
      const kq::FullSynapse& s = *synapses[i];
      p.links.push_back(
          {linkEnds[i].first, linkEnds[i].second,
           std::vector<double>(s.weights.begin(),
                               s.weights.begin() + int64_t{s.length} * s.inputLength)});
    }
    return p;
  }

  // The accumulators in the plain network's parameter order.
  std::vector<double> accumulated() const {
    std::vector<double> a;
    for (size_t i = 0; i < linkEnds.size(); ++i) {
      const kq::BackFullSynapse& s = *synapseTwins[i];
      a.insert(a.end(), s.weights.begin(), s.weights.begin() + s.ownCount);
    }
    for (const auto& twin : layerTwins) {
      a.insert(a.end(), twin->weights.begin(), twin->weights.begin() + twin->ownCount);
    }
    return a;
  }

  // Sets every forward weight and bias uniformly in [-range, range).
  void randomizeForward(std::mt19937_64& generator, double range) {
    for (auto& s : synapses) fillRandom(s->weights, generator, -range, range);
    for (auto& a : layers) fillRandom(a->weights, generator, -range, range);
  }

  kq::TanhAxon* layer(size_t l) const { return layers[l - 1].get(); }
  kq::BackTanhAxon* layerTwin(size_t l) const { return layerTwins[l - 1].get(); }
  kq::Axon* axonAt(int l) {
    return l == 0 ? static_cast<kq::Axon*>(&input) : layer(static_cast<size_t>(l));
  }
  kq::BackAxon* twinAt(int l) {
    return l == 0 ? &inputTwin : static_cast<kq::BackAxon*>(layerTwin(static_cast<size_t>(l)));
  }

  kq::StaticControl control;
  RecordSource inputs;   // input records, one per exemplar
  RecordSource desired;  // desired records, one per exemplar
  kq::Axon input;
  kq::BackAxon inputTwin;
  std::vector<std::unique_ptr<kq::TanhAxon>> layers;
  std::vector<std::unique_ptr<kq::BackTanhAxon>> layerTwins;
  std::vector<std::unique_ptr<kq::FullSynapse>> synapses;
  std::vector<std::unique_ptr<kq::BackFullSynapse>> synapseTwins;
  std::vector<std::pair<int, int>> linkEnds;
  kq::L2Criterion criterion;
  kq::BackCriteriaControl criterionTwin;
};

}  // namespace kqtest
