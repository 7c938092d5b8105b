// Time per exemplar of a training step through the Orvane-shaped network:
// one forward pass (8 inputs, tanh layers of 50, 50, 50, 37, 30, 25, 21, 18
// and 6 elements, an integrator context, the squared-error criterion) and
// one backward pass through the mirrored twins, accumulating every weight
// and bias gradient, in the order the programs run it.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include "bench_support.h"
#include <kqnet/axons/axon.h>
#include <kqnet/axons/context_axon.h>
#include <kqnet/backward/back_axon.h>
#include <kqnet/backward/back_context_axon.h>
#include <kqnet/backward/back_criteria_control.h>
#include <kqnet/backward/back_synapse.h>
#include <kqnet/control/control.h>
#include <kqnet/core/spatial_access.h>
#include <kqnet/criteria/criterion.h>
#include <kqnet/synapses/synapse.h>

namespace {

using kqbench::RecordSource;

using kqbench::randomRecords;

struct OrvaneTraining {
  static constexpr int kInputs = 8;
  static constexpr int kLayers[] = {50, 50, 50, 37, 30, 25, 21, 18, 6};
  static constexpr int kLayerCount = static_cast<int>(std::size(kLayers));

  OrvaneTraining() {
    std::srand(1);
    for (int i = 0; i < kLayerCount; ++i) {
      synapses.push_back(std::make_unique<kq::FullSynapse>());
      synapseTwins.push_back(std::make_unique<kq::BackFullSynapse>());
      axons.push_back(std::make_unique<kq::TanhAxon>());
      axonTwins.push_back(std::make_unique<kq::BackTanhAxon>());
    }
    inputAxon.setRows(kInputs);
    inputTwin.setRows(kInputs);
    for (int i = 0; i < kLayerCount; ++i) {
      axons[i]->setRows(kLayers[i]);
      if (i == 0) axons[i]->setDelay(2);
      axonTwins[i]->derivativeOffset = 0.001;
      axonTwins[i]->setRows(kLayers[i]);
      if (i == 0) axonTwins[i]->setDelay(2);
    }
    criterion.setRows(kLayers[kLayerCount - 1]);
    criterionTwin.setRows(kLayers[kLayerCount - 1]);
    contextAxon.setRows(kInputs);
    contextAxon.setDelay(2);
    contextAxon.setRandomCentre(0.8);
    contextAxon.setRandomRange(0.0);
    contextTwin.derivativeOffset = 0.0;
    contextTwin.setRows(kInputs);
    contextTwin.setDelay(2);
    contextSynapse.setDelay(1);
    contextSynapseTwin.setDelay(1);

    inputAxon.setInputAccess(&inputs);
    inputTwin.setDual(&inputAxon);
    for (int i = 0; i < kLayerCount; ++i) {
      synapseTwins[i]->setDual(synapses[i].get());
      axonTwins[i]->setDual(axons[i].get());
    }
    criterion.setDesiredAccess(&desired);
    criterionTwin.setDual(&criterion);
    contextTwin.setDual(&contextAxon);
    contextSynapseTwin.setDual(&contextSynapse);

    inputAxon.connectOutput(synapses[0].get());
    inputAxon.connectOutput(&contextAxon);
    inputTwin.connectInput(synapseTwins[0].get());
    inputTwin.connectInput(&contextTwin);
    for (int i = 0; i < kLayerCount; ++i) {
      kq::Axon* a = i == 0 ? &inputAxon : axons[i - 1].get();
      kq::BackAxon* aTwin =
          i == 0 ? &inputTwin : static_cast<kq::BackAxon*>(axonTwins[i - 1].get());
      kq::FullSynapse* s = synapses[i].get();
      kq::BackFullSynapse* sTwin = synapseTwins[i].get();
      kq::TanhAxon* b = axons[i].get();
      kq::BackTanhAxon* bTwin = axonTwins[i].get();
      s->connectInput(a);
      s->connectOutput(b);
      sTwin->connectInput(bTwin);
      sTwin->connectOutput(aTwin);
      b->connectInput(s);
      if (i == 0) b->connectInput(&contextSynapse);
      if (i + 1 < kLayerCount) {
        b->connectOutput(synapses[i + 1].get());
        bTwin->connectInput(synapseTwins[i + 1].get());
      } else {
        b->connectOutput(&criterion);
        bTwin->connectInput(&criterionTwin);
      }
      bTwin->connectOutput(sTwin);
      if (i == 0) bTwin->connectOutput(&contextSynapseTwin);
    }
    criterion.connectInput(axons.back().get());
    criterionTwin.connectOutput(axonTwins.back().get());
    contextAxon.connectInput(&inputAxon);
    contextAxon.connectOutput(&contextSynapse);
    contextTwin.connectInput(&contextSynapseTwin);
    contextTwin.connectOutput(&inputTwin);
    contextSynapse.connectInput(&contextAxon);
    contextSynapse.connectOutput(axons[0].get());
    contextSynapseTwin.connectInput(axonTwins[0].get());
    contextSynapseTwin.connectOutput(&contextTwin);

    std::vector<kq::Engine*> objects{&inputAxon, &inputTwin};
    for (int i = 0; i < kLayerCount; ++i) {
      objects.push_back(synapses[i].get());
      objects.push_back(synapseTwins[i].get());
      objects.push_back(axons[i].get());
      objects.push_back(axonTwins[i].get());
    }
    for (kq::Engine* object :
         std::vector<kq::Engine*>{&criterion, &criterionTwin, &contextAxon, &contextTwin,
                                  &contextSynapse, &contextSynapseTwin}) {
      objects.push_back(object);
    }
    for (kq::Engine* object : objects) {
      object->control = &control;
      object->registerWithControl();
    }
    control.learning = 0;
    control.clearRoots();
    control.addRoot(&contextSynapse, 1);
    control.addRoot(&inputAxon, 0);
    control.numberDepths();

    inputs.records = randomRecords(64, kInputs);
    desired.records = randomRecords(64, kLayers[kLayerCount - 1]);
    // The backward pass in program order: the twins' duals step back, the
    // roots fire, the duals return.
    order.push_back({&inputTwin, nullptr});
    for (int i = 0; i < kLayerCount; ++i) {
      order.push_back({nullptr, synapseTwins[i].get()});
      order.push_back({axonTwins[i].get(), nullptr});
    }
    order.push_back({&criterionTwin, nullptr});
    order.push_back({&contextTwin, nullptr});
    order.push_back({nullptr, &contextSynapseTwin});
  }

  void backward() {
    for (const Twin& twin : order) {
      if (twin.axon != nullptr) twin.axon->stepDualFrameBack();
      if (twin.synapse != nullptr) twin.synapse->stepDualFrameBack();
    }
    contextSynapseTwin.fire();
    criterionTwin.fire();
    for (const Twin& twin : order) {
      if (twin.axon != nullptr) twin.axon->restoreDualFramePosition();
      if (twin.synapse != nullptr) twin.synapse->restoreDualFramePosition();
    }
  }

  // One backward object: an axon twin or a synapse twin.
  struct Twin {
    kq::BackAxon* axon;        // set for an axon twin
    kq::BackSynapse* synapse;  // set for a synapse twin
  };

  kq::StaticControl control;
  RecordSource inputs;
  RecordSource desired;
  kq::Axon inputAxon;
  kq::BackAxon inputTwin;
  std::vector<std::unique_ptr<kq::FullSynapse>> synapses;
  std::vector<std::unique_ptr<kq::BackFullSynapse>> synapseTwins;
  std::vector<std::unique_ptr<kq::TanhAxon>> axons;
  std::vector<std::unique_ptr<kq::BackTanhAxon>> axonTwins;
  kq::L2Criterion criterion;
  kq::BackCriteriaControl criterionTwin;
  kq::IntegratorAxon contextAxon;
  kq::BackIntegratorAxon contextTwin;
  kq::FullSynapse contextSynapse;
  kq::BackFullSynapse contextSynapseTwin;
  std::vector<Twin> order;
};

void BM_TrainingExemplarOrvane(benchmark::State& state) {
  OrvaneTraining network;
  for (auto _ : state) {
    network.control.fireRoots();
    network.backward();
    benchmark::DoNotOptimize(network.synapseTwins[0]->weights.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("one exemplar = fireRoots + backward pass");
}
BENCHMARK(BM_TrainingExemplarOrvane);

void BM_BackwardPassOrvane(benchmark::State& state) {
  OrvaneTraining network;
  network.control.fireRoots();
  for (auto _ : state) {
    network.backward();
    benchmark::DoNotOptimize(network.synapseTwins[0]->weights.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("backward pass alone, after one forward pass");
}
BENCHMARK(BM_BackwardPassOrvane);

// The largest transposed product alone: 50 x 50 weights, error and gradient.
void BM_BackFullSynapse50x50(benchmark::State& state) {
  kq::Axon a;
  kq::Axon b;
  kq::FullSynapse s;
  a.setRows(50);
  b.setRows(50);
  a.connectOutput(&s);
  s.connectInput(&a);
  s.connectOutput(&b);
  kq::BackAxon aTwin;
  kq::BackAxon bTwin;
  aTwin.setDual(&a);
  bTwin.setDual(&b);
  kq::BackFullSynapse twin;
  twin.setDual(&s);
  twin.connectInput(&bTwin);
  twin.connectOutput(&aTwin);
  std::fill(a.currentFrame(), a.currentFrame() + 50, 0.5);
  std::fill(bTwin.currentFrame(), bTwin.currentFrame() + 50, 0.25);
  for (auto _ : state) {
    twin.compute();
    benchmark::DoNotOptimize(aTwin.currentFrame());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * 2500);
}
BENCHMARK(BM_BackFullSynapse50x50);

}  // namespace
