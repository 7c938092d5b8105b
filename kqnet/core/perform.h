#pragma once

#include <cstdint>
#include <utility>

// Outside computations: a component may hand its built-in computation to a
// perform function supplied with a record, together with a create function
// that builds an outside instance sized to the component and a destroy
// function for a replaced instance. Nothing in the library installs one;
// with no record every component runs its own computation.
//
// A record carries generic pointers; each class converts them to its own
// exact type below when it calls. Every call gets the owner's user datum as
// one more, last argument (uint64_t) when the datum is non-zero, through the
// WithDatum<F> form of the same type. Which function each class expects is
// named by its performName; the create and destroy types follow the class
// family:
//
//   performAxon                 AxonPerform            create AxonCreate
//   performBiasAxon             BiasAxonPerform        create AxonCreate
//   performLinearAxon           LinearAxonPerform      create AxonCreate
//   performContextAxon          ContextAxonPerform     create AxonCreate
//   performCriterion            CriterionPerform       create AxonCreate
//   performBackAxon             BackAxonPerform        create BackAxonCreate
//   performBackBiasAxon         BackBiasAxonPerform    create BackAxonCreate
//   performBackLinearAxon       BackLinearAxonPerform  create BackAxonCreate
//   performBackContextAxon      BackContextAxonPerform create BackAxonCreate
//   performSynapse              SynapsePerform         create SynapseCreate
//   performFullSynapse          FullSynapsePerform     create SynapseCreate
//   performBackSynapse          BackSynapsePerform     create BackSynapseCreate
//   performBackFullSynapse      BackFullSynapsePerform create BackSynapseCreate
//   performStep                 StepPerform            create StepCreate
//   performMomentum             MomentumPerform        create StepCreate
//   (plain Soma, Gradient)      no perform function    create SomaCreate
//   (Transmitter)               TransmitterPerform     create TransmitterCreate
//   (ThresholdTransmitter)      ThresholdPerform       create ThresholdCreate
//
// A BackCriteriaControl names none but calls a BackAxonPerform when given a
// record. Every destroy function is an InstanceDestroy.

namespace kq {

// The parameter vector an outside instance may carry as its first member;
// a component keeps those values inside its own weight array and re-points
// data whenever that array is replaced (core/weight_vector.h). A create
// function may hand back the same instance with the vector re-sized or
// moved: the component then gives it storage in the weights again.
struct ParameterVector {
  double* data = nullptr;  // storage, pointed into the owner's weights
  int32_t length = 0;      // number of parameters
};

// The signatures differ by class; each caller converts to its own form.
using GenericFunction = void (*)();

struct PerformRecord {
  GenericFunction perform = nullptr;  // replaces the built-in computation
  GenericFunction create = nullptr;   // builds or rebuilds the outside instance
  GenericFunction destroy = nullptr;  // disposes of a replaced instance
  void* instance = nullptr;           // the current outside instance
};

// The parameter vector of an instance (its first member), or null.
inline ParameterVector* instanceParameters(void* instance) {
  if (instance == nullptr) return nullptr;
  return *static_cast<ParameterVector**>(instance);
}

// F with the user datum appended as its last parameter.
template <typename F>
struct AppendDatum;
template <typename R, typename... A>
struct AppendDatum<R (*)(A...)> {
  using type = R (*)(A..., uint64_t);
};
template <typename F>
using WithDatum = typename AppendDatum<F>::type;

// Create and destroy: the result of a create call becomes the instance.
using SomaCreate = void* (*)(void* instance);
using AxonCreate = void* (*)(void* instance, int rows, int columns);
using BackAxonCreate = void* (*)(void* instance, void* dualInstance, int dualRows, int dualColumns);
using SynapseCreate = void* (*)(void* instance, int inputRows, int inputColumns, int outputRows,
                                int outputColumns);
using BackSynapseCreate = void* (*)(void* instance, void* dualInstance, int inputRows,
                                    int inputColumns, int outputRows, int outputColumns);
using StepCreate = void* (*)(void* instance, int weightTotal, int perWeightStep);
using TransmitterCreate = void* (*)(void* instance);
using ThresholdCreate = void* (*)(void* instance, int rows, int columns);
using InstanceDestroy = void (*)(void* instance);

// Forward axons and the criterion; activity is the current frame, computed
// in place.
using AxonPerform = void (*)(void* instance, double* activity, int rows, int columns);
using BiasAxonPerform = void (*)(void* instance, double* activity, int rows, int columns,
                                 double* biases);
using LinearAxonPerform = void (*)(void* instance, double* activity, int rows, int columns,
                                   double* biases, double slope);
using ContextAxonPerform = void (*)(void* instance, double* activity, int rows, int columns,
                                    double* memory, double* weights, double slope);
// Returns the exemplar's cost; error receives the error signal.
using CriterionPerform = double (*)(void* instance, double* outputs, int rows, int columns,
                                    double* error, double* desired, int testMode);

// Backward axons: the dual is the forward twin.
using BackAxonPerform = void (*)(void* instance, void* dualInstance, double* dualActivity,
                                 int dualRows, int dualColumns, double* error);
using BackBiasAxonPerform = void (*)(void* instance, void* dualInstance, double* dualActivity,
                                     int dualRows, int dualColumns, double* error,
                                     double* gradients);
using BackLinearAxonPerform = void (*)(void* instance, void* dualInstance, double* dualActivity,
                                       int dualRows, int dualColumns, double* error,
                                       double* gradients, double dualSlope);
using BackContextAxonPerform = void (*)(void* instance, void* dualInstance, double* error,
                                        int dualRows, int dualColumns, double* memory,
                                        double* memoryAgain, double* dualWeights, double dualSlope,
                                        double* gradients);

// Synapses: input is the frame the synapse reads, output the output axon's
// current frame (added into).
using SynapsePerform = void (*)(void* instance, double* input, int inputRows, int inputColumns,
                                double* output, int outputRows, int outputColumns);
using FullSynapsePerform = void (*)(void* instance, double* input, int inputRows, int inputColumns,
                                    double* output, int outputRows, int outputColumns,
                                    double* weights);
// Rows and columns are those of each end's forward twin.
using BackSynapsePerform = void (*)(void* instance, void* dualInstance, double* error,
                                    int inputRows, int inputColumns, double* output, int outputRows,
                                    int outputColumns, double* dualActivity);
using BackFullSynapsePerform = void (*)(void* instance, void* dualInstance, double* error,
                                        int inputRows, int inputColumns, double* output,
                                        int outputRows, int outputColumns, double* dualActivity,
                                        double* dualWeights, double* gradients);

// Update rules: forward weights, their total, the accumulated gradient, the
// step sizes and the rule's switches.
using StepPerform = void (*)(void* instance, double* weights, int weightTotal, double* gradient,
                             double* stepSizes, int perWeightStep, int divisor, int decayOn,
                             double weightDecay);
using MomentumPerform = void (*)(void* instance, double* weights, int weightTotal, double* gradient,
                                 double* stepSizes, int perWeightStep, int divisor, int decayOn,
                                 double weightDecay, double momentum, double* velocity);

// Transmitters: the result is the trigger.
using TransmitterPerform = int (*)(void* instance, double* data, int length);
using ThresholdPerform = int (*)(void* instance, double* smoothed, int rows, int columns,
                                 double threshold, int sense, int triggerMode, int channel);

// The datum forms kept under their earlier names.
using TransmitterCreateWithDatum = WithDatum<TransmitterCreate>;
using TransmitterDestroy = InstanceDestroy;
using TransmitterDestroyWithDatum = WithDatum<InstanceDestroy>;
using TransmitterPerformWithDatum = WithDatum<TransmitterPerform>;
using ThresholdCreateWithDatum = WithDatum<ThresholdCreate>;
using ThresholdPerformWithDatum = WithDatum<ThresholdPerform>;

// Calls function as an F, appending datum when it is non-zero.
template <typename F, typename... Args>
auto callOutside(GenericFunction function, uint64_t datum, Args&&... args) {
  if (datum != 0) {
    return reinterpret_cast<WithDatum<F>>(function)(std::forward<Args>(args)..., datum);
  }
  return reinterpret_cast<F>(function)(std::forward<Args>(args)...);
}

}  // namespace kq
