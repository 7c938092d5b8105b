#include <kqnet/core/perform.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <utility>
#include <vector>

#include <kqnet/axons/axon.h>
#include <kqnet/axons/context_axon.h>
#include <kqnet/backward/back_axon.h>
#include <kqnet/backward/back_context_axon.h>
#include <kqnet/backward/back_criteria_control.h>
#include <kqnet/backward/back_synapse.h>
#include <kqnet/core/memory.h>
#include <kqnet/core/soma.h>
#include <kqnet/core/spatial_access.h>
#include <kqnet/criteria/criterion.h>
#include <kqnet/learning/conjugate_gradient.h>
#include <kqnet/learning/gradient.h>
#include <kqnet/momentum/momentum.h>
#include <kqnet/momentum/step.h>
#include <kqnet/synapses/synapse.h>

namespace {

using kq::GenericFunction;
using kq::ParameterVector;
using kq::PerformRecord;
using V = std::vector<double>;

// An outside instance: its first member points at its parameter vector.
struct Instance {
  ParameterVector* parameters = nullptr;
  ParameterVector vector;
  explicit Instance(int length = 0, double* data = nullptr) {
    vector.length = length;
    vector.data = data;
    parameters = &vector;
  }
};

// What the outside functions saw.
struct Log {
  int creates = 0;
  int destroys = 0;
  int performs = 0;
  void* createdFrom = nullptr;  // first argument of the last create
  void* destroyed = nullptr;    // argument of the last destroy
  std::vector<int64_t> sizes;   // int arguments of the last call
  std::vector<void*> pointers;  // pointer arguments of the last call, in order
  std::vector<double> values;   // double arguments of the last call
  uint64_t datum = 0;           // trailing datum of the last call
  Instance* next = nullptr;     // what the next create returns; null: its argument
  int64_t claimedAtCreate = 0;  // the memory ledger during the last four-size create
};
Log calls;

template <typename F>
GenericFunction generic(F f) {
  return reinterpret_cast<GenericFunction>(f);
}

void* createAxon(void* instance, int rows, int columns) {
  ++calls.creates;
  calls.createdFrom = instance;
  calls.sizes = {rows, columns};
  return calls.next != nullptr ? calls.next : instance;
}
void* createAxonWithDatum(void* instance, int rows, int columns, uint64_t datum) {
  calls.datum = datum;
  return createAxon(instance, rows, columns);
}
void* createFourSizes(void* instance, int a, int b, int c, int d) {
  ++calls.creates;
  calls.claimedAtCreate = kq::claimedMemory();
  calls.createdFrom = instance;
  calls.sizes = {a, b, c, d};
  return calls.next != nullptr ? calls.next : instance;
}
void* createBackSynapse(void* instance, void* dualInstance, int a, int b, int c, int d) {
  calls.pointers = {dualInstance};
  return createFourSizes(instance, a, b, c, d);
}
void destroy(void* instance) {
  ++calls.destroys;
  calls.destroyed = instance;
}

void performLinear(void* instance, double* activity, int rows, int columns, double* biases,
                   double slope) {
  ++calls.performs;
  calls.pointers = {instance, activity, biases};
  calls.sizes = {rows, columns};
  calls.values = {slope};
  for (int i = 0; i < rows * columns; ++i) activity[i] = 10.0 + i;
}
void performLinearWithDatum(void* instance, double* activity, int rows, int columns, double* biases,
                            double slope, uint64_t datum) {
  calls.datum = datum;
  performLinear(instance, activity, rows, columns, biases, slope);
}
void performContext(void* instance, double* activity, int rows, int columns, double* memory,
                    double* weights, double slope) {
  ++calls.performs;
  calls.pointers = {instance, activity, memory, weights};
  calls.sizes = {rows, columns};
  calls.values = {slope};
}
void performFullSynapse(void* instance, double* input, int inRows, int inColumns, double* output,
                        int outRows, int outColumns, double* weights) {
  ++calls.performs;
  calls.pointers = {instance, input, output, weights};
  calls.sizes = {inRows, inColumns, outRows, outColumns};
  output[0] += 100.0;
}
double performCriterion(void* instance, double* outputs, int rows, int columns, double* error,
                        double* desired, int testMode) {
  ++calls.performs;
  calls.pointers = {instance, outputs, error, desired};
  calls.sizes = {rows, columns, testMode};
  for (int i = 0; i < rows * columns; ++i) error[i] = -1.0 - i;
  return 0.25;
}
void performBackLinear(void* instance, void* dualInstance, double* dualActivity, int dualRows,
                       int dualColumns, double* error, double* gradients, double dualSlope) {
  ++calls.performs;
  calls.pointers = {instance, dualInstance, dualActivity, error, gradients};
  calls.sizes = {dualRows, dualColumns};
  calls.values = {dualSlope};
}
void performBackContext(void* instance, void* dualInstance, double* error, int dualRows,
                        int dualColumns, double* memory, double* memoryAgain, double* dualWeights,
                        double dualSlope, double* gradients) {
  ++calls.performs;
  calls.pointers = {instance, dualInstance, error, memory, memoryAgain, dualWeights, gradients};
  calls.sizes = {dualRows, dualColumns};
  calls.values = {dualSlope};
}
void performBackFullSynapse(void* instance, void* dualInstance, double* error, int inRows,
                            int inColumns, double* output, int outRows, int outColumns,
                            double* dualActivity, double* dualWeights, double* gradients) {
  ++calls.performs;
  calls.pointers = {instance, dualInstance, error, output, dualActivity, dualWeights, gradients};
  calls.sizes = {inRows, inColumns, outRows, outColumns};
}

// An observer that only counts its notifications.
class CountingAccess : public kq::SpatialAccess {
 public:
  const char* className() const override { return "Counting"; }
  void transfer() override { ++transfers; }
  int transfers = 0;
};

class PerformTest : public ::testing::Test {
 protected:
  void SetUp() override { calls = Log{}; }
};

// The weight formula of the randomisation, replayed from a seed.
std::vector<double> expectedRandomWeights(unsigned seed, int count, double range, double centre) {
  std::srand(seed);
  std::vector<double> out;
  for (int i = 0; i < count; ++i) {
    const int r = std::rand() % 32768;
    out.push_back((2.0 * range / 32767.0) * r - range + centre);
  }
  return out;
}

// A 3-input, 2-output full synapse: 6 own weights.
struct SynapsePair {
  kq::Axon input;
  kq::Axon output;
  kq::FullSynapse synapse;
  SynapsePair() {
    input.setRows(3);
    output.setRows(2);
    input.connectOutput(&synapse);
    synapse.connectInput(&input);
    synapse.connectOutput(&output);
    output.connectInput(&synapse);
  }
};

TEST_F(PerformTest, CreateCallOfAnAxonAppendsTheDatumOnlyWhenItIsNonZero) {
  kq::Axon axon;
  axon.setRows(3);
  axon.setColumns(2);
  Instance first;
  calls.next = &first;
  PerformRecord plain{nullptr, generic(&createAxon), nullptr, nullptr};
  axon.setPerformRecord(&plain);
  EXPECT_EQ(calls.creates, 1);
  EXPECT_EQ(calls.createdFrom, nullptr);
  EXPECT_EQ(calls.sizes, (std::vector<int64_t>{3, 2}));
  EXPECT_EQ(calls.datum, 0u);
  EXPECT_EQ(plain.instance, &first);

  kq::Axon other;
  other.setRows(4);
  calls.next = nullptr;
  other.setPerformFunctions(nullptr, generic(&createAxonWithDatum), nullptr, nullptr, 0x5eed);
  EXPECT_EQ(calls.creates, 2);
  EXPECT_EQ(calls.sizes, (std::vector<int64_t>{4, 1}));
  EXPECT_EQ(calls.datum, 0x5eedu);
  ASSERT_NE(other.performRecord, nullptr);
  EXPECT_EQ(other.userDatum, 0x5eedu);

  // A resize re-creates from the current instance.
  axon.setRows(5);
  EXPECT_EQ(calls.creates, 3);
  EXPECT_EQ(calls.createdFrom, &first);
  EXPECT_EQ(calls.sizes, (std::vector<int64_t>{5, 2}));
}

TEST_F(PerformTest, BackSynapseCreatesOnlyWithItsDualAndNonEmptyEnds) {
  kq::Axon forwardIn;
  kq::Axon forwardOut;
  kq::FullSynapse forward;
  forwardIn.setRows(3);
  forwardOut.setRows(2);
  forward.connectInput(&forwardIn);
  forward.connectOutput(&forwardOut);

  kq::Axon errorIn;   // stands for the twin of forwardOut
  kq::Axon errorOut;  // stands for the twin of forwardIn
  errorIn.setRows(2);
  errorOut.setRows(3);
  PerformRecord record{nullptr, generic(&createBackSynapse), nullptr, nullptr};
  kq::BackSynapse twin;
  twin.setPerformRecord(&record);
  twin.connectInput(&errorIn);
  twin.connectOutput(&errorOut);
  EXPECT_EQ(calls.creates, 0);  // no dual yet

  errorOut.rows = 0;
  twin.setDual(&forward);       // re-connects the input
  EXPECT_EQ(calls.creates, 0);  // an end with no rows

  errorOut.rows = 3;
  twin.reconnect();
  EXPECT_EQ(calls.creates, 1);
  EXPECT_EQ(calls.sizes, (std::vector<int64_t>{2, 1, 3, 1}));
  EXPECT_EQ(calls.pointers, (std::vector<void*>{nullptr}));  // the dual has no record
}

TEST_F(PerformTest, BackSynapseTakesEachEndsSizesFromItsForwardTwin) {
  kq::Axon forwardIn;
  kq::Axon forwardOut;
  forwardIn.setRows(3);
  forwardIn.setColumns(2);
  forwardOut.setRows(2);
  kq::FullSynapse forward;
  forward.connectInput(&forwardIn);
  forward.connectOutput(&forwardOut);
  Instance dualInstance;
  PerformRecord dualRecord{nullptr, nullptr, nullptr, &dualInstance};
  forward.setPerformRecord(&dualRecord);

  kq::BackAxon outTwin;
  outTwin.setDual(&forwardOut);
  kq::BackAxon inTwin;
  inTwin.setDual(&forwardIn);
  kq::BackFullSynapse twin;
  PerformRecord record{nullptr, generic(&createBackSynapse), nullptr, nullptr};
  twin.setPerformRecord(&record);
  twin.setDual(&forward);
  twin.connectInput(&outTwin);
  twin.connectOutput(&inTwin);
  ASSERT_GE(calls.creates, 1);
  EXPECT_EQ(calls.sizes, (std::vector<int64_t>{2, 1, 3, 2}));
  EXPECT_EQ(calls.pointers, (std::vector<void*>{&dualInstance}));
}

TEST_F(PerformTest, InstanceLifeCycleKeepsParametersInsideTheWeights) {
  SynapsePair pair;
  ASSERT_EQ(pair.synapse.ownCount, 6);

  // First creation: 4 parameters without storage join the weights.
  Instance a(4);
  calls.next = &a;
  PerformRecord record{nullptr, generic(&createFourSizes), generic(&destroy), nullptr};
  std::srand(17);
  pair.synapse.setPerformRecord(&record);
  EXPECT_EQ(calls.sizes, (std::vector<int64_t>{3, 1, 2, 1}));
  ASSERT_EQ(pair.synapse.weightTotal(), 10);
  EXPECT_EQ(pair.synapse.instanceCount, 4);
  EXPECT_EQ(a.vector.data, pair.synapse.weights.data() + 6);
  const std::vector<double> drawn = expectedRandomWeights(17, 10, 0.5, 0.0);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(pair.synapse.weights[i], drawn[i]) << "weight " << i;
  EXPECT_EQ(calls.destroys, 0);
  a.vector.data[0] = 0.125;
  a.vector.data[1] = -0.375;

  // Re-creation with 2 parameters: 8 weights, the first 2 old values kept.
  // The old values, copied out first, are on the ledger while create runs.
  Instance b(2);
  calls.next = &b;
  const int64_t held = kq::claimedMemory();
  pair.synapse.sizeWeights();
  EXPECT_EQ(calls.claimedAtCreate - held, 4 * 8);
  ASSERT_EQ(pair.synapse.weightTotal(), 8);
  EXPECT_EQ(b.vector.data, pair.synapse.weights.data() + 6);
  EXPECT_EQ(b.vector.data[0], 0.125);
  EXPECT_EQ(b.vector.data[1], -0.375);
  EXPECT_EQ(calls.destroys, 1);
  EXPECT_EQ(calls.destroyed, &a);

  // Same length with storage of its own: no re-sizing, values copied there.
  double storage[2] = {0.0, 0.0};
  Instance c(2, storage);
  calls.next = &c;
  const double* before = pair.synapse.weights.data();
  const std::vector<double> weightsBefore = pair.synapse.weights;
  pair.synapse.sizeWeights();
  EXPECT_EQ(pair.synapse.weights.data(), before);
  EXPECT_EQ(pair.synapse.weights, weightsBefore);
  EXPECT_EQ(c.vector.data, storage);
  EXPECT_EQ(storage[0], 0.125);
  EXPECT_EQ(storage[1], -0.375);
  EXPECT_EQ(calls.destroyed, &b);

  // A create that returns its argument: neither re-sizing nor destroy.
  calls.next = nullptr;
  const int destroysBefore = calls.destroys;
  pair.synapse.sizeWeights();
  EXPECT_EQ(calls.createdFrom, &c);
  EXPECT_EQ(record.instance, &c);
  EXPECT_EQ(calls.destroys, destroysBefore);
  EXPECT_EQ(pair.synapse.weights, weightsBefore);

  // The record and instance outlive release.
  pair.synapse.release();
  EXPECT_EQ(pair.synapse.performRecord, &record);
  EXPECT_EQ(calls.destroys, destroysBefore);
}

// A realloc-style create: hands back the instance it was given, with its
// parameter vector re-sized or moved in place.
double movedStorage[6] = {};
void* createInPlace(void* instance, int, int, int, int) {
  auto* same = static_cast<Instance*>(instance);
  if (same->vector.length == 4) {
    same->vector.length = 6;
  } else {
    std::copy_n(same->vector.data, same->vector.length, movedStorage);
    same->vector.data = movedStorage;
  }
  return same;
}

TEST_F(PerformTest, AnInstanceResizedOrMovedInPlaceGetsStorageInTheWeightsAgain) {
  SynapsePair pair;
  Instance a(4);
  PerformRecord record{generic(&performFullSynapse), generic(&createFourSizes), generic(&destroy),
                       nullptr};
  calls.next = &a;
  pair.synapse.setPerformRecord(&record);
  ASSERT_EQ(pair.synapse.weightTotal(), 10);
  a.vector.data[3] = 0.75;
  record.create = generic(&createInPlace);
  pair.synapse.sizeWeights();  // 4 -> 6 parameters
  ASSERT_EQ(pair.synapse.weightTotal(), 12);
  EXPECT_EQ(a.vector.data, std::as_const(pair.synapse.weights).data() + 6);
  EXPECT_EQ(a.vector.data[3], 0.75);
  a.vector.data[5] = -0.25;
  pair.synapse.sizeWeights();  // the same 6, moved out of the weights
  ASSERT_EQ(pair.synapse.weightTotal(), 12);
  EXPECT_EQ(a.vector.data, std::as_const(pair.synapse.weights).data() + 6);
  EXPECT_EQ(a.vector.data[3], 0.75);
  EXPECT_EQ(a.vector.data[5], -0.25);
  EXPECT_EQ(calls.destroys, 0);
  pair.synapse.fire();  // the perform call reads the instance inside the weights
  EXPECT_EQ(calls.performs, 1);
}

// Creates whose instance states one parameter per input row: one keeps the
// instance and re-sizes its vector in place, the other makes a new one
// every time.
void* createKeptPerRow(void* instance, int inputRows, int, int, int) {
  static_cast<Instance*>(instance)->vector.length = inputRows;
  return instance;
}
void* createFreshPerRow(void*, int inputRows, int, int, int) { return new Instance(inputRows); }
void destroyFresh(void* instance) { delete static_cast<Instance*>(instance); }

TEST_F(PerformTest, AReSizedSynapseKeepsTheInstancesLeadingParameters) {
  for (const bool fresh : {false, true}) {
    SynapsePair pair;
    Instance kept(0);
    PerformRecord record{nullptr, generic(fresh ? &createFreshPerRow : &createKeptPerRow),
                         generic(fresh ? &destroyFresh : &destroy), fresh ? nullptr : &kept};
    pair.synapse.setPerformRecord(&record);
    auto* instance = static_cast<Instance*>(record.instance);
    ASSERT_EQ(instance->vector.length, 3);
    const V written{0.25, -0.5, 0.75};
    std::copy(written.begin(), written.end(), instance->vector.data);
    pair.input.setRows(5);
    pair.synapse.reconnect();
    instance = static_cast<Instance*>(record.instance);
    ASSERT_EQ(pair.synapse.weightTotal(), 2 * 5 + 5) << fresh;
    EXPECT_EQ(instance->vector.data, std::as_const(pair.synapse.weights).data() + 10) << fresh;
    EXPECT_EQ(V(instance->vector.data, instance->vector.data + 3), written) << fresh;
    if (fresh) destroyFresh(record.instance);
  }
}

TEST_F(PerformTest, NegativeParameterLengthCountsAsNone) {
  SynapsePair pair;
  Instance bad(-3);
  calls.next = &bad;
  PerformRecord record{nullptr, generic(&createFourSizes), nullptr, nullptr};
  pair.synapse.setPerformRecord(&record);
  EXPECT_EQ(pair.synapse.instanceCount, 0);
  EXPECT_EQ(pair.synapse.weightTotal(), 6);
  EXPECT_EQ(bad.vector.data, nullptr);
}

// Installs a record whose instance states a parameter count that, added to
// the 6 own weights, does not fit in 32 bits.
void installHugeInstance() {
  SynapsePair pair;
  Instance huge(std::numeric_limits<int32_t>::max());
  calls.next = &huge;
  PerformRecord record{nullptr, generic(&createFourSizes), nullptr, nullptr};
  pair.synapse.setPerformRecord(&record);
}

TEST(PerformDeathTest, ParameterLengthBeyondThirtyTwoBitsIsOutOfMemory) {
  EXPECT_EXIT(installHugeInstance(), ::testing::ExitedWithCode(1), "^Error: Out of memory\\.\n$");
}

TEST(PerformNames, EveryClassReportsItsOwnOrItsNearestAncestorsName) {
  const auto name = [](const char* text) { return text != nullptr ? std::string(text) : "null"; };
  EXPECT_EQ(name(kq::Soma().performName()), "null");
  EXPECT_EQ(name(kq::Axon().performName()), "performAxon");
  EXPECT_EQ(name(kq::BiasAxon().performName()), "performBiasAxon");
  EXPECT_EQ(name(kq::LinearAxon().performName()), "performLinearAxon");
  EXPECT_EQ(name(kq::TanhAxon().performName()), "performLinearAxon");
  EXPECT_EQ(name(kq::ContextAxon().performName()), "performContextAxon");
  EXPECT_EQ(name(kq::IntegratorAxon().performName()), "performContextAxon");
  EXPECT_EQ(name(kq::BackAxon().performName()), "performBackAxon");
  EXPECT_EQ(name(kq::BackBiasAxon().performName()), "performBackBiasAxon");
  EXPECT_EQ(name(kq::BackLinearAxon().performName()), "performBackLinearAxon");
  EXPECT_EQ(name(kq::BackTanhAxon().performName()), "performBackLinearAxon");
  EXPECT_EQ(name(kq::BackContextAxon().performName()), "performBackContextAxon");
  EXPECT_EQ(name(kq::BackIntegratorAxon().performName()), "performBackContextAxon");
  EXPECT_EQ(name(kq::BackCriteriaControl().performName()), "null");
  EXPECT_EQ(name(kq::Criterion().performName()), "performCriterion");
  EXPECT_EQ(name(kq::L2Criterion().performName()), "performCriterion");
  EXPECT_EQ(name(kq::Synapse().performName()), "performSynapse");
  EXPECT_EQ(name(kq::FullSynapse().performName()), "performFullSynapse");
  EXPECT_EQ(name(kq::BackSynapse().performName()), "performBackSynapse");
  EXPECT_EQ(name(kq::BackFullSynapse().performName()), "performBackFullSynapse");
  EXPECT_EQ(name(kq::Gradient().performName()), "null");
  EXPECT_EQ(name(kq::ConjugateGradient().performName()), "null");
  EXPECT_EQ(name(kq::Step().performName()), "performStep");
  EXPECT_EQ(name(kq::Momentum().performName()), "performMomentum");
}

TEST_F(PerformTest, TanhAxonHandsItsActivationToThePerformFunction) {
  kq::TanhAxon axon;
  axon.setRows(2);
  axon.beta = 0.5;
  double shown[2] = {0.0, 0.0};
  axon.outputCopy = shown;
  Instance instanceTag;
  PerformRecord record{generic(&performLinearWithDatum), nullptr, nullptr, &instanceTag};
  axon.userDatum = 9;
  axon.setPerformRecord(&record);
  double* frame = axon.currentFrame();
  axon.fire();
  EXPECT_EQ(calls.performs, 1);
  EXPECT_EQ(calls.pointers, (std::vector<void*>{&instanceTag, frame, axon.weights.data()}));
  EXPECT_EQ(calls.sizes, (std::vector<int64_t>{2, 1}));
  EXPECT_EQ(calls.values, (std::vector<double>{0.5}));
  EXPECT_EQ(calls.datum, 9u);
  // What the function wrote, not the hyperbolic tangent.
  EXPECT_EQ(shown[0], 10.0);
  EXPECT_EQ(shown[1], 11.0);
}

TEST_F(PerformTest, RecordWithoutPerformFunctionLeavesTheBuiltInComputation) {
  kq::TanhAxon axon;
  axon.setRows(1);
  axon.weights[0] = 0.0;
  double shown = 0.0;
  axon.outputCopy = &shown;
  PerformRecord record{nullptr, nullptr, nullptr, nullptr};
  axon.setPerformRecord(&record);
  axon.currentFrame()[0] = 0.5;
  axon.fire();
  EXPECT_EQ(shown, std::tanh(0.5));
}

TEST_F(PerformTest, ContextAxonPassesItsMemoryFrameWeightsAndSlope) {
  kq::IntegratorAxon axon;
  axon.setRows(3);
  axon.beta = 2.0;
  PerformRecord record{generic(&performContext), nullptr, nullptr, nullptr};
  axon.setPerformRecord(&record);
  double* frame = axon.currentFrame();
  double* memory = axon.memory->currentFrame();
  axon.fire();
  ASSERT_EQ(calls.performs, 1);
  EXPECT_EQ(calls.pointers, (std::vector<void*>{nullptr, frame, memory, axon.weights.data()}));
  EXPECT_EQ(calls.sizes, (std::vector<int64_t>{3, 1}));
  EXPECT_EQ(calls.values, (std::vector<double>{2.0}));
}

TEST_F(PerformTest, FullSynapseHandsItsTransferToThePerformFunction) {
  SynapsePair pair;
  PerformRecord record{generic(&performFullSynapse), nullptr, nullptr, nullptr};
  pair.synapse.setPerformRecord(&record);
  double* input = pair.synapse.currentFrame();
  input[0] = 1.0;
  input[1] = 2.0;
  input[2] = 3.0;
  double* output = pair.output.currentFrame();
  double shown[2] = {0.0, 0.0};
  pair.output.outputCopy = shown;
  pair.synapse.fire();
  ASSERT_EQ(calls.performs, 1);
  EXPECT_EQ(calls.pointers,
            (std::vector<void*>{nullptr, input, output, pair.synapse.weights.data()}));
  EXPECT_EQ(calls.sizes, (std::vector<int64_t>{3, 1, 2, 1}));
  // Only the function's addition reached the output axon.
  EXPECT_EQ(shown[0], 100.0);
  EXPECT_EQ(shown[1], 0.0);
}

TEST_F(PerformTest, CriterionTakesCostAndErrorFromThePerformFunction) {
  kq::L2Criterion criterion;
  criterion.setRows(2);
  CountingAccess performance;
  criterion.setPerformanceAccess(&performance);
  Instance instanceTag;
  PerformRecord record{generic(&performCriterion), nullptr, nullptr, &instanceTag};
  criterion.setPerformRecord(&record);
  double* y = criterion.currentFrame();
  y[0] = 0.5;
  y[1] = -0.5;
  criterion.fire();
  ASSERT_EQ(calls.performs, 1);
  EXPECT_EQ(calls.pointers, (std::vector<void*>{&instanceTag, y, y, criterion.desired.data()}));
  EXPECT_EQ(calls.sizes, (std::vector<int64_t>{2, 1, 0}));
  // The outside cost without the squared-error part; the error copied as
  // the function left it.
  EXPECT_EQ(criterion.exemplarCount, 1);
  EXPECT_EQ(criterion.costSum, 0.25);
  EXPECT_EQ(criterion.exemplarCost, 0.0);
  EXPECT_EQ(criterion.errorBuffer, (std::vector<double>{-1.0, -2.0}));
  // The statistics still saw the outputs.
  EXPECT_EQ(criterion.sumOutput, (std::vector<double>{0.5, -0.5}));
  EXPECT_EQ(criterion.squaredErrorSum, 0.5);
}

TEST_F(PerformTest, BackTanhAxonPassesItsDualAndAccumulator) {
  kq::TanhAxon forward;
  forward.setRows(2);
  forward.beta = 0.75;
  Instance forwardInstance;
  PerformRecord forwardRecord{nullptr, nullptr, nullptr, &forwardInstance};
  forward.setPerformRecord(&forwardRecord);
  kq::BackTanhAxon twin;
  twin.setDual(&forward);
  PerformRecord record{generic(&performBackLinear), nullptr, nullptr, nullptr};
  twin.setPerformRecord(&record);
  double* error = twin.currentFrame();
  error[0] = 1.0;
  error[1] = 2.0;
  double shown[2] = {0.0, 0.0};
  twin.outputCopy = shown;
  twin.learningEnabled = 0;  // the dual keeps its frame
  double* dualFrame = forward.currentFrame();
  twin.fire();
  ASSERT_EQ(calls.performs, 1);
  EXPECT_EQ(calls.pointers,
            (std::vector<void*>{nullptr, &forwardInstance, dualFrame, error, twin.weights.data()}));
  EXPECT_EQ(calls.sizes, (std::vector<int64_t>{2, 1}));
  EXPECT_EQ(calls.values, (std::vector<double>{0.75}));
  EXPECT_EQ(shown[0], 1.0);  // the derivative was not applied
  EXPECT_EQ(shown[1], 2.0);
}

TEST_F(PerformTest, BackIntegratorAxonPassesItsMemoryTwiceAndTheDualsWeights) {
  kq::IntegratorAxon forward;
  forward.setRows(2);
  forward.beta = 1.5;
  kq::BackIntegratorAxon twin;
  twin.setDual(&forward);
  PerformRecord record{generic(&performBackContext), nullptr, nullptr, nullptr};
  twin.setPerformRecord(&record);
  double* error = twin.currentFrame();
  double* memory = twin.memory->currentFrame();
  twin.fire();
  ASSERT_EQ(calls.performs, 1);
  EXPECT_EQ(calls.pointers, (std::vector<void*>{nullptr, nullptr, error, memory, memory,
                                                forward.weights.data(), twin.weights.data()}));
  EXPECT_EQ(calls.sizes, (std::vector<int64_t>{2, 1}));
  EXPECT_EQ(calls.values, (std::vector<double>{1.5}));
}

TEST_F(PerformTest, BackFullSynapsePassesBothEndsTheDualAndTheGradients) {
  SynapsePair forward;
  kq::BackAxon outTwin;
  outTwin.setDual(&forward.output);
  kq::BackAxon inTwin;
  inTwin.setDual(&forward.input);
  kq::BackFullSynapse twin;
  outTwin.connectOutput(&twin);
  twin.setDual(&forward.synapse);
  twin.connectInput(&outTwin);
  twin.connectOutput(&inTwin);
  inTwin.connectInput(&twin);
  PerformRecord record{generic(&performBackFullSynapse), nullptr, nullptr, nullptr};
  twin.setPerformRecord(&record);
  twin.learningEnabled = 0;
  double* error = twin.currentFrame();
  double* output = inTwin.currentFrame();
  double* dualFrame = forward.synapse.currentFrame();
  twin.fire();
  ASSERT_EQ(calls.performs, 1);
  EXPECT_EQ(calls.pointers,
            (std::vector<void*>{nullptr, nullptr, error, output, dualFrame,
                                forward.synapse.weights.data(), twin.weights.data()}));
  EXPECT_EQ(calls.sizes, (std::vector<int64_t>{2, 1, 3, 1}));
}

double performedStepSize = 0.0;
void performStep(void*, double*, int, double*, double* stepSizes, int, int, int, double) {
  ++calls.performs;
  performedStepSize = *stepSizes;
}

TEST_F(PerformTest, GradientRecordWithoutPerformFunctionKeepsTheBuiltInRule) {
  kq::BiasAxon forward;
  forward.setRows(2);
  kq::BackBiasAxon twin;
  twin.setDual(&forward);
  kq::Step rule;
  rule.setBackprop(&twin);
  rule.setStepSize(0.5);
  forward.weights = {1.0, 2.0};
  twin.weights = {0.5, -0.5};
  PerformRecord empty{nullptr, nullptr, nullptr, nullptr};
  rule.setPerformRecord(&empty);
  rule.applyUpdate(forward);
  EXPECT_NE(forward.weights, (std::vector<double>{1.0, 2.0}));  // the built-in step moved them
  EXPECT_EQ(calls.performs, 0);

  PerformRecord outside{generic(&performStep), nullptr, nullptr, nullptr};
  rule.setPerformRecord(&outside);
  const std::vector<double> before = forward.weights;
  twin.weights = {0.5, -0.5};
  rule.applyUpdate(forward);
  EXPECT_EQ(calls.performs, 1);
  EXPECT_EQ(performedStepSize, 0.5);
  EXPECT_EQ(forward.weights, before);
  EXPECT_EQ(twin.weights, (std::vector<double>{0.0, 0.0}));  // the used gradient is cleared
}

}  // namespace
