// The network the examples share: two inputs, a hidden layer of six tanh
// elements and one tanh output, built from the library's classes and wired
// the way the four programs wire theirs, with the learning rule the caller
// chooses. Construction sets the network up; load and save move its trained
// state through a weight file; startRun, runEpoch and finishRun drive it;
// the destructor tears it down. It learns d = 0.8 x0 x1.

#pragma once

#include <memory>
#include <vector>

#include <kqnet/axons/axon.h>
#include <kqnet/backward/back_axon.h>
#include <kqnet/backward/back_criteria_control.h>
#include <kqnet/backward/back_synapse.h>
#include <kqnet/control/back_static_control.h>
#include <kqnet/control/control.h>
#include <kqnet/core/engine.h>
#include <kqnet/criteria/criterion.h>
#include <kqnet/data/data_file.h>
#include <kqnet/learning/gradient.h>
#include <kqnet/synapses/synapse.h>

namespace example {

inline constexpr int kInputs = 2;
inline constexpr int kHidden = 6;
inline constexpr int kOutputs = 1;

// One exemplar: the two inputs and the desired output.
struct Sample {
  double x0;
  double x1;
  double d;
};

// d = 0.8 x0 x1 on a points x points grid over [low, high] x [low, high].
std::vector<Sample> gridSamples(int points, double low, double high);
// The samples as two text data files, one record per line; false when one
// cannot be written.
bool writeDataFiles(const std::vector<Sample>& samples, const char* inputName,
                    const char* desiredName);

// Gradient descent with momentum, scaled conjugate gradient, or
// Levenberg-Marquardt.
enum class Rule { momentum, conjugateGradient, levenbergMarquardt };

// The files of one network, in the working directory. A data file reads
// white-space separated numbers record after record (kInputs or kOutputs
// numbers each) whatever the line breaks, and again from the start after
// the last one.
struct Files {
  const char* input = nullptr;    // read: the inputs of every exemplar
  const char* desired = nullptr;  // read: the desired output of every exemplar
  const char* cost = nullptr;     // written: the cost of every epoch; none when null
  const char* outputs = nullptr;  // written: the output of every exemplar; none when null
};

class Network {
 public:
  // exemplars is the number of records in the data files: one pass over
  // them, and one batch update at its end.
  Network(Rule rule, const Files& files, int exemplars);
  ~Network();
  Network(const Network&) = delete;
  Network& operator=(const Network&) = delete;

  // The weight file: a version line and one section per object with
  // trained state. False when the file cannot be written or opened.
  bool save(const char* fileName);
  bool load(const char* fileName);

  // Before the first epoch, after load: learning on (1) or off (0).
  void startRun(int learning);
  // One epoch; its cost, half the mean squared error.
  double runEpoch();
  // After the last epoch of a run with learning on.
  void finishRun();

  // Every object of the network, in the order in which the programs declare
  // theirs (each forward object, then its backward twin, then the twin's
  // gradient): construction, registration and release follow it.
  // Input layer: a plain axon that its data file fills.
  kq::Axon input;
  kq::BackAxon inputBackprop;
  kq::DataFile inputFile;
  // Hidden layer: the synapse into it, then the layer's tanh axon.
  kq::FullSynapse hiddenSynapse;
  kq::BackFullSynapse hiddenSynapseBackprop;
  std::unique_ptr<kq::Gradient> hiddenSynapseGradient;
  kq::TanhAxon hidden;
  kq::BackTanhAxon hiddenBackprop;
  std::unique_ptr<kq::Gradient> hiddenGradient;
  // Output layer, likewise, and the probe that writes its outputs.
  kq::FullSynapse outputSynapse;
  kq::BackFullSynapse outputSynapseBackprop;
  std::unique_ptr<kq::Gradient> outputSynapseGradient;
  kq::TanhAxon output;
  kq::BackTanhAxon outputBackprop;
  std::unique_ptr<kq::Gradient> outputGradient;
  kq::DataFile outputProbe;
  // The squared-error criterion, its desired data and the cost writer.
  kq::L2Criterion criterion;
  kq::BackCriteriaControl criterionBackprop;
  kq::DataFile desiredFile;
  kq::DataFile costProbe;
  // The run control and its backward twin, which names the learning rule.
  kq::StaticControl control;
  kq::BackStaticControl controlBackprop;

 private:
  // A trainable component: its gradient, the backward twin whose
  // accumulator the gradient reads, and the forward object it updates.
  struct Trainable {
    kq::Gradient* gradient;
    kq::Soma* backprop;
    kq::Soma* forward;
  };
  // One section of the weight file: exactly one of soma and gradient is set.
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

}  // namespace example
