// A deeper network with a context memory: three inputs, tanh layers of
// five and four elements and two tanh outputs, trained with momentum. An
// integrator axon keeps a leaky average of the inputs, and a synapse with
// a delay of one exemplar carries that average of the exemplars before the
// present one into the first hidden layer, which so has two inputs. It
// learns outputs that depend on earlier inputs as well as on the present
// ones (context_memory/ makes the data).
//
// It is wired like small_network/, with three more things to do: the
// layer between the input and the output is repeated once, the first
// hidden layer counts two inputs, and the memory has its own group of five
// objects (axon, twin, synapse, twin, gradient).

#pragma once

#include <vector>

#include <kqnet/axons/axon.h>
#include <kqnet/axons/context_axon.h>
#include <kqnet/backward/back_axon.h>
#include <kqnet/backward/back_context_axon.h>
#include <kqnet/backward/back_criteria_control.h>
#include <kqnet/backward/back_synapse.h>
#include <kqnet/control/back_static_control.h>
#include <kqnet/control/control.h>
#include <kqnet/core/engine.h>
#include <kqnet/criteria/criterion.h>
#include <kqnet/data/data_file.h>
#include <kqnet/data/spatial_data.h>
#include <kqnet/momentum/momentum.h>
#include <kqnet/synapses/synapse.h>

namespace context {

inline constexpr int kInputs = 3;
inline constexpr int kHidden1 = 5;
inline constexpr int kHidden2 = 4;
inline constexpr int kOutputs = 2;

// The files of one network, in the working directory; records as in
// small_network/ (kInputs and kOutputs numbers each).
struct Files {
  const char* input = nullptr;        // read: the inputs of every exemplar
  const char* desired = nullptr;      // read: the desired outputs of every exemplar
  const char* performance = nullptr;  // written: the six measures of every epoch
};

// The smallest and the largest desired value of each output, which the
// normalised error of the performance measures divides by.
struct DesiredRange {
  double min[kOutputs];
  double max[kOutputs];
};

class Network {
 public:
  // exemplars is the number of records in the data files, one pass and
  // one batch update per epoch.
  Network(const Files& files, int exemplars, const DesiredRange& range);
  ~Network();
  Network(const Network&) = delete;
  Network& operator=(const Network&) = delete;

  bool save(const char* fileName);
  bool load(const char* fileName);

  // As in small_network/: learning on (1) or off (0) before the first
  // epoch; one epoch and its cost; the end of a run with learning on.
  void startRun(int learning);
  double runEpoch();
  void finishRun();

  // Every object, in object order (each forward object, its twin, the
  // twin's gradient), the context group after the criterion's, as the
  // four programs order theirs.
  kq::Axon input;
  kq::BackAxon inputBackprop;
  kq::DataFile inputFile;
  kq::FullSynapse hidden1Synapse;
  kq::BackFullSynapse hidden1SynapseBackprop;
  kq::Momentum hidden1SynapseGradient;
  kq::TanhAxon hidden1;
  kq::BackTanhAxon hidden1Backprop;
  kq::Momentum hidden1Gradient;
  kq::FullSynapse hidden2Synapse;
  kq::BackFullSynapse hidden2SynapseBackprop;
  kq::Momentum hidden2SynapseGradient;
  kq::TanhAxon hidden2;
  kq::BackTanhAxon hidden2Backprop;
  kq::Momentum hidden2Gradient;
  kq::FullSynapse outputSynapse;
  kq::BackFullSynapse outputSynapseBackprop;
  kq::Momentum outputSynapseGradient;
  kq::TanhAxon output;
  kq::BackTanhAxon outputBackprop;
  kq::Momentum outputGradient;
  kq::L2Criterion criterion;
  kq::BackCriteriaControl criterionBackprop;
  kq::DataFile desiredFile;
  // The criterion sums its cost only while a cost access is attached; a
  // bare SpatialData, which does nothing with the cost, is enough.
  kq::SpatialData costAccess;
  kq::DataFile performanceProbe;
  // The memory: the integrator axon, fed by the input axon; the delayed
  // synapse that carries it into hidden1; their twins; the synapse's
  // gradient. The memory weights themselves stay fixed.
  kq::IntegratorAxon contextAxon;
  kq::BackIntegratorAxon contextAxonBackprop;
  kq::FullSynapse contextSynapse;
  kq::BackFullSynapse contextSynapseBackprop;
  kq::Momentum contextSynapseGradient;
  kq::StaticControl control;
  kq::BackStaticControl controlBackprop;

 private:
  struct Trainable {
    kq::Momentum* gradient;
    kq::Soma* backprop;
    kq::Soma* forward;
  };
  struct Section {
    const char* key;
    const char* classWord;
    kq::Soma* soma;
    kq::Gradient* gradient;
  };

  std::vector<kq::Engine*> objects();
  std::vector<Trainable> trainables();
  std::vector<Section> sections();
  void backwardPass();

  int batchCount = 0;  // backward passes since the last batch update
};

}  // namespace context
