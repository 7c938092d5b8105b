// Time per exemplar of a forward pass through the Orvane-shaped network:
// 8 inputs, tanh layers of 50, 50, 50, 37, 30, 25, 21, 18 and 6 elements,
// and an integrator context fed by the input axon whose delayed synapse
// carries the previous exemplar's context into the first hidden layer; and
// the multiply-adds per second of the full synapses' sums for the largest
// layer and for Quillet's shapes.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include "bench_support.h"
#include <kqnet/axons/axon.h>
#include <kqnet/axons/context_axon.h>
#include <kqnet/control/control.h>
#include <kqnet/core/spatial_access.h>
#include <kqnet/synapses/packed_weights.h>
#include <kqnet/synapses/synapse.h>

namespace {

using kqbench::randomRecords;
using kqbench::RecordSource;

struct OrvaneShape {
  static constexpr int kInputs = 8;
  static constexpr int kLayers[] = {50, 50, 50, 37, 30, 25, 21, 18, 6};

  OrvaneShape() {
    std::srand(1);
    const int layerCount = static_cast<int>(std::size(kLayers));
    for (int i = 0; i < layerCount; ++i) {
      synapses.push_back(std::make_unique<kq::FullSynapse>());
      axons.push_back(std::make_unique<kq::TanhAxon>());
    }
    inputAxon.setRows(kInputs);
    for (int i = 0; i < layerCount; ++i) {
      axons[i]->setRows(kLayers[i]);
      if (i == 0) axons[i]->setDelay(2);
    }
    contextAxon.setRows(kInputs);
    contextAxon.setDelay(2);
    contextAxon.setRandomCentre(0.8);
    contextAxon.setRandomRange(0.0);
    contextSynapse.setDelay(1);
    inputAxon.setInputAccess(&source);

    inputAxon.connectOutput(synapses[0].get());
    inputAxon.connectOutput(&contextAxon);
    for (int i = 0; i < layerCount; ++i) {
      kq::Axon* before = i == 0 ? &inputAxon : axons[i - 1].get();
      synapses[i]->connectInput(before);
      synapses[i]->connectOutput(axons[i].get());
      axons[i]->connectInput(synapses[i].get());
      if (i == 0) axons[i]->connectInput(&contextSynapse);
      if (i + 1 < layerCount) axons[i]->connectOutput(synapses[i + 1].get());
    }
    contextAxon.connectInput(&inputAxon);
    contextAxon.connectOutput(&contextSynapse);
    contextSynapse.connectInput(&contextAxon);
    contextSynapse.connectOutput(axons[0].get());

    std::vector<kq::Soma*> objects{&inputAxon};
    for (int i = 0; i < layerCount; ++i) {
      objects.push_back(synapses[i].get());
      objects.push_back(axons[i].get());
    }
    objects.push_back(&contextAxon);
    objects.push_back(&contextSynapse);
    for (kq::Soma* object : objects) {
      object->control = &control;
      object->registerWithControl();
    }
    control.clearRoots();
    control.addRoot(&contextSynapse, 1);
    control.addRoot(&inputAxon, 0);
    control.numberDepths();

    source.records = randomRecords(64, kInputs);
  }

  kq::StaticControl control;
  RecordSource source;
  kq::Axon inputAxon;
  std::vector<std::unique_ptr<kq::FullSynapse>> synapses;
  std::vector<std::unique_ptr<kq::TanhAxon>> axons;
  kq::IntegratorAxon contextAxon;
  kq::FullSynapse contextSynapse;
};

void BM_ForwardExemplarOrvane(benchmark::State& state) {
  OrvaneShape network;
  for (auto _ : state) {
    network.control.fireRoots();
    benchmark::DoNotOptimize(network.axons.back()->ringStart());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("one exemplar = fireRoots");
}
BENCHMARK(BM_ForwardExemplarOrvane);

// The largest layer product alone: 50 x 50 weights into a 50-element frame.
void BM_FullSynapse50x50(benchmark::State& state) {
  kq::Axon input;
  kq::Axon output;
  kq::FullSynapse synapse;
  input.setRows(50);
  output.setRows(50);
  input.connectOutput(&synapse);
  synapse.connectInput(&input);
  synapse.connectOutput(&output);
  std::fill(input.currentFrame(), input.currentFrame() + 50, 0.5);
  for (auto _ : state) {
    synapse.compute();
    benchmark::DoNotOptimize(output.currentFrame());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * 2500);
}
BENCHMARK(BM_FullSynapse50x50);

// Quillet's 28 full synapses (the chain 8-50-50-50-50-42-35-14 and every
// skip to a layer beyond the next), 38076 weights, between plain axons.
struct QuilletSums {
  static constexpr int kLayers[] = {8, 50, 50, 50, 50, 42, 35, 14};
  static constexpr int kLayerCount = static_cast<int>(std::size(kLayers));

  QuilletSums() {
    std::srand(1);
    for (int l = 0; l < kLayerCount; ++l) {
      axons.push_back(std::make_unique<kq::Axon>());
      axons.back()->setRows(kLayers[l]);
    }
    for (int from = 0; from < kLayerCount; ++from) {
      for (int to = from + 1; to < kLayerCount; ++to) {
        synapses.push_back(std::make_unique<kq::FullSynapse>());
        kq::FullSynapse& s = *synapses.back();
        axons[from]->connectOutput(&s);
        s.connectInput(axons[from].get());
        s.connectOutput(axons[to].get());
        madds += s.ownCount;
      }
    }
    for (auto& axon : axons) {
      std::fill(axon->currentFrame(), axon->currentFrame() + axon->length, 0.5);
    }
  }

  std::vector<std::unique_ptr<kq::Axon>> axons;
  std::vector<std::unique_ptr<kq::FullSynapse>> synapses;
  int64_t madds = 0;
};

// Arg 0: the widest path the processor runs; 1: the baseline path.
void BM_QuilletForwardSums(benchmark::State& state) {
  QuilletSums network;
  const kq::SumPath before =
      kq::selectSumPath(state.range(0) == 0 ? kq::SumPath::widest : kq::SumPath::baseline);
  for (auto _ : state) {
    for (auto& synapse : network.synapses) synapse->compute();
    benchmark::ClobberMemory();
  }
  kq::selectSumPath(before);
  state.SetItemsProcessed(state.iterations() * network.madds);
  state.SetLabel(state.range(0) == 0 ? "multiply-adds, widest path"
                                     : "multiply-adds, baseline path");
}
BENCHMARK(BM_QuilletForwardSums)->Arg(0)->Arg(1);

// The same sums one term at a time, row after row, for comparison.
void BM_QuilletForwardSumsOneTermLoop(benchmark::State& state) {
  QuilletSums network;
  for (auto _ : state) {
    for (auto& synapse : network.synapses) {
      const double* w = synapse->weights.data();
      const double* x = synapse->currentFrame();
      double* y = synapse->targetAxon->currentFrame();
      const int nIn = synapse->inputLength;
      for (int j = 0; j < synapse->length; ++j) {
        for (int k = 0; k < nIn; ++k) y[j] += w[j * nIn + k] * x[k];
      }
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * network.madds);
  state.SetLabel("multiply-adds");
}
BENCHMARK(BM_QuilletForwardSumsOneTermLoop);

}  // namespace
