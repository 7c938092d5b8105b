// A component's weights stay in the storage its observers and its outside
// instance point at: whole-vector writes copy values in, sizes change only
// through the component, and a detached observer is let go.

#include <kqnet/core/weight_vector.h>

#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <kqnet/axons/axon.h>
#include <kqnet/backward/back_axon.h>
#include <kqnet/core/soma.h>
#include <kqnet/core/spatial_access.h>
#include <kqnet/criteria/criterion.h>
#include <kqnet/data/transmitter.h>
#include <kqnet/momentum/momentum.h>

namespace {

using kq::WeightVector;
using V = std::vector<double>;

// The members that would grow, shrink or hand away the array are not offered.
template <typename W>
concept Resizable = requires(W w) {
  w.resize(1);
}
|| requires(W w) { w.push_back(1.0); }
|| requires(W w) { w.emplace_back(1.0); }
|| requires(W w) { w.pop_back(); }
|| requires(W w) { w.insert(w.cbegin(), 1.0); }
|| requires(W w) { w.erase(w.cbegin()); }
|| requires(W w) { w.clear(); }
|| requires(W w) { w.reserve(1); }
|| requires(W w) { w.shrink_to_fit(); };
static_assert(!Resizable<WeightVector>);
static_assert(Resizable<std::vector<double>>);

// Records where its block was at each transfer and what it held.
class RecordingAccess : public kq::SpatialAccess {
 public:
  const char* className() const override { return "RecordingAccess"; }
  void transfer() override {
    blocks.push_back(data);
    seen.emplace_back(data, data + length);
  }
  std::vector<double*> blocks;
  std::vector<V> seen;
};

TEST(WeightVectorTest, WholeWritesCopyIntoTheStorageThatIsThere) {
  kq::Soma soma;
  RecordingAccess observer;
  soma.ownWeightAccess = &observer;
  soma.setWeightCount(3, 1);
  const double* storage = std::as_const(soma.weights).data();
  WeightVector& w = soma.weights;
  const auto expectWritten = [&](const V& values, const char* what) {
    EXPECT_EQ(w, values) << what;
    EXPECT_EQ(std::as_const(w).data(), storage) << what;
    EXPECT_EQ(observer.data, storage) << what;
  };
  WeightVector other{1, 2, 3};
  w = other;
  expectWritten({1, 2, 3}, "copy assignment");
  w = WeightVector{4, 5, 6};
  expectWritten({4, 5, 6}, "assignment from a temporary");
  w = V{7, 8, 9};
  expectWritten({7, 8, 9}, "a vector");
  w = {1, 1, 2};
  expectWritten({1, 1, 2}, "a list");
  w.assign(3, 0.5);
  expectWritten({0.5, 0.5, 0.5}, "assign");
  std::istringstream text("3 2 1");
  w.assign(std::istream_iterator<double>(text), std::istream_iterator<double>());
  expectWritten({3, 2, 1}, "assign from a single-pass range");
  V values{-1, -2, -3};
  w.swap(values);
  expectWritten({-1, -2, -3}, "swap with a vector");
  EXPECT_EQ(values, (V{3, 2, 1}));
  std::swap(w, other);
  expectWritten({1, 2, 3}, "std::swap");
  EXPECT_EQ(other, (V{-1, -2, -3}));
  WeightVector moved = std::move(soma.weights);
  expectWritten({1, 2, 3}, "moving away, which copies");
  EXPECT_EQ(moved, (V{1, 2, 3}));
  soma.ownWeightAccess = nullptr;
}

TEST(WeightVectorTest, AWholeWriteOfAnotherSizeThrowsAndChangesNothing) {
  WeightVector w{1, 2, 3};
  const double* storage = std::as_const(w).data();
  const uint64_t writes = w.writeCount();
  EXPECT_THROW(w = V(2, 1.0), std::length_error);
  EXPECT_THROW(w.assign(4, 0.0), std::length_error);
  V longer{1, 2, 3, 4};
  EXPECT_THROW(w.swap(longer), std::length_error);
  try {
    w = {9};
  } catch (const std::length_error& e) {
    EXPECT_STREQ(e.what(),
                 "kq::WeightVector: 1 values for 3 weights; a component's weights change size "
                 "only through Soma::setWeightCount");
  }
  EXPECT_EQ(w, (V{1, 2, 3}));
  EXPECT_EQ(std::as_const(w).data(), storage);
  EXPECT_EQ(w.writeCount(), writes);
  EXPECT_EQ(longer, (V{1, 2, 3, 4}));
}

// An outside instance of two parameters whose storage the component gives.
struct Instance {
  kq::ParameterVector* parameters;
  kq::ParameterVector vector;
};
Instance outside{&outside.vector, {nullptr, 2}};
void* createOutside(void*) { return &outside; }

TEST(WeightVectorTest, NewStorageIsBoundBeforeAnyoneReadsItAndFreedStorageIsLetGo) {
  kq::Soma soma;
  RecordingAccess own;
  soma.ownWeightAccess = &own;
  soma.setWeightCount(3, 1);
  soma.setPerformFunctions(nullptr, reinterpret_cast<kq::GenericFunction>(&createOutside), nullptr,
                           nullptr, 0);
  ASSERT_EQ(soma.weightTotal(), 5);
  ASSERT_EQ(outside.vector.data, std::as_const(soma.weights).data() + 3);
  own.blocks.clear();
  own.seen.clear();
  soma.randomRange = 0.0;
  soma.setWeightCount(4, 1);  // new storage, then the randomisation steps the observer
  ASSERT_EQ(own.blocks.size(), 1u);
  EXPECT_EQ(own.blocks[0], std::as_const(soma.weights).data());
  EXPECT_EQ(own.seen[0], V(4, 0.0));
  EXPECT_EQ(outside.vector.data, std::as_const(soma.weights).data() + 4);
  soma.releaseWeights();
  EXPECT_EQ(outside.vector.data, nullptr);
  EXPECT_EQ(own.data, nullptr);
  soma.setWeightCount(2, 1);
  EXPECT_EQ(outside.vector.data, std::as_const(soma.weights).data() + 2);
  soma.ownWeightAccess = nullptr;
}

TEST(WeightVectorTest, ADetachedOrReplacedObserverIsLetGoAtOnce) {
  kq::Soma soma;
  RecordingAccess first;
  RecordingAccess behind;  // chained behind the first: bound through it
  RecordingAccess second;
  first.setNext(&behind);
  soma.ownWeightAccess = &first;
  soma.setWeightCount(4, 1);
  ASSERT_EQ(behind.data, std::as_const(soma.weights).data());
  uint64_t writes = soma.weights.writeCount();
  soma.ownWeightAccess = &second;  // replaced
  EXPECT_EQ(first.data, nullptr);
  EXPECT_EQ(behind.data, nullptr);
  EXPECT_GT(soma.weights.writeCount(), writes);  // it may have written on its way out
  const V before = soma.weights;
  first.fill(0.5);
  behind.fill(0.5);
  EXPECT_EQ(soma.weights, before);
  // One the caller bound elsewhere meanwhile stays where the caller put it.
  soma.bindWeightAccess();
  double elsewhere[4] = {};
  second.setData(elsewhere, 4, 1);
  soma.ownWeightAccess = nullptr;
  EXPECT_EQ(second.data, elsewhere);
  writes = soma.weights.writeCount();
  soma.ownWeightAccess = nullptr;  // nothing attached: nothing to let go
  EXPECT_EQ(soma.weights.writeCount(), writes);
}

TEST(WeightVectorTest, EitherEndOfAnObserverLinkMayGoFirst) {
  kq::Soma soma;
  soma.setWeightCount(3, 1);
  // An observer that goes while attached takes itself out of the field,
  // and what it may have written counts.
  {
    RecordingAccess gone;
    soma.ownWeightAccess = &gone;
    ASSERT_EQ(gone.data, std::as_const(soma.weights).data());
  }
  EXPECT_EQ(soma.ownWeightAccess.get(), nullptr);
  auto deleted = std::make_unique<RecordingAccess>();
  soma.instanceWeightAccess = deleted.get();
  const uint64_t writes = soma.weights.writeCount();
  deleted.reset();
  EXPECT_EQ(soma.instanceWeightAccess.get(), nullptr);
  EXPECT_GT(soma.weights.writeCount(), writes);
  soma.jogWeights();  // steps the observers: none is left to step
  // A component that goes unbinds what is attached, with its chain.
  RecordingAccess kept;
  RecordingAccess behind;
  kept.setNext(&behind);
  {
    kq::Soma going;
    going.setWeightCount(4, 1);
    going.ownWeightAccess = &kept;
    ASSERT_EQ(behind.data, std::as_const(going.weights).data());
  }
  EXPECT_EQ(kept.data, nullptr);
  EXPECT_EQ(behind.data, nullptr);
  kept.fill(1.0);  // reaches nothing
  // So does one that releases its weights; storing the observer elsewhere
  // takes it from the field it was in.
  soma.ownWeightAccess = &kept;
  ASSERT_EQ(kept.data, std::as_const(soma.weights).data());
  soma.release();
  EXPECT_EQ(kept.data, nullptr);
  soma.setWeightCount(2, 1);
  kq::Soma other;
  other.setWeightCount(5, 1);
  other.instanceWeightAccess = &kept;
  EXPECT_EQ(soma.ownWeightAccess.get(), nullptr);
}

// Every other field that holds an observer is the same link: storing
// binds, an observer deleted while stored leaves its field (the next
// notification reaches nothing), and a component that goes, or frees the
// block, unbinds what it holds.
TEST(WeightVectorTest, EveryObserverFieldIsTheSameTwoWayLink) {
  kq::TanhAxon axon;
  axon.setRows(2);
  kq::L2Criterion criterion;
  criterion.setRows(2);
  kq::ThresholdTransmitter transmitter;
  transmitter.setSize(2, 1);
  kq::BackTanhAxon twin;
  twin.setDual(&axon);
  kq::Momentum rule;
  rule.setBackprop(&twin);
  rule.forward = &axon;
  const auto pass = [&] {
    axon.fire();
    criterion.fire();
    criterion.computeCost(1, 1);
    transmitter.setThreshold(0.5);
    transmitter.step();
    rule.setStepSize(0.1);
    rule.setMomentum(0.5);
    rule.applyUpdate(axon);
  };
  struct Field {
    const char* name;
    std::function<void(kq::SpatialAccess*)> store;
    std::function<kq::SpatialAccess*()> held;
    std::function<const double*()> block;  // where storing binds it; null: nothing
  };
  const std::vector<Field> fields{
      {"output", [&](auto* a) { axon.setOutputAccess(a); }, [&] { return axon.outputAccess.get(); },
       [&]() -> const double* { return axon.currentFrame(); }},
      {"input", [&](auto* a) { axon.setInputAccess(a); }, [&] { return axon.inputAccess.get(); },
       [&]() -> const double* { return axon.currentFrame(); }},
      {"desired", [&](auto* a) { criterion.setDesiredAccess(a); },
       [&] { return criterion.desiredAccess.get(); },
       [&]() -> const double* { return criterion.desired.data(); }},
      {"cost", [&](auto* a) { criterion.setCostAccess(a); },
       [&] { return criterion.costAccess.get(); },
       [&]() -> const double* { return &criterion.costSum; }},
      {"performance", [&](auto* a) { criterion.setPerformanceAccess(a); },
       [&] { return criterion.performanceAccess.get(); },
       [&]() -> const double* { return criterion.performanceRecord.data(); }},
      {"roc", [&](auto* a) { criterion.setRocAccess(a); },
       [&] { return criterion.rocAccess.get(); },
       [&]() -> const double* { return criterion.rocTable.data(); }},
      {"confusion", [&](auto* a) { criterion.setConfusionAccess(a); },
       [&] { return criterion.confusionAccess.get(); },
       [&]() -> const double* { return criterion.confusionPercent.data(); }},
      {"threshold", [&](auto* a) { transmitter.thresholdObserver = a; },
       [&] { return transmitter.thresholdObserver.get(); }, [] { return nullptr; }},
      {"step", [&](auto* a) { rule.attachStepObserver(a); },
       [&] { return rule.stepObserver.get(); },
       [&]() -> const double* { return rule.stepSizes.data(); }},
      {"velocity", [&](auto* a) { rule.attachVelocityObserver(a); },
       [&] { return rule.velocityObserver.get(); },
       [&]() -> const double* { return rule.velocity.data(); }},
      {"momentum", [&](auto* a) { rule.attachMomentumObserver(a); },
       [&] { return rule.momentumObserver.get(); },
       [&]() -> const double* { return rule.momentums.data(); }},
  };
  for (const Field& field : fields) {
    auto observer = std::make_unique<RecordingAccess>();
    field.store(observer.get());
    EXPECT_EQ(observer->data, field.block()) << field.name;
    observer.reset();
    EXPECT_EQ(field.held(), nullptr) << field.name;
    pass();
  }
  auto buffer = std::make_unique<kq::SpatialData>();
  transmitter.setSmoothingBuffer(buffer.get());
  EXPECT_EQ(buffer->length, 2);
  buffer.reset();
  EXPECT_EQ(transmitter.smoothingBuffer.get(), nullptr);
  pass();
  // The other order: what the fields hold is unbound when its block goes.
  std::vector<std::unique_ptr<RecordingAccess>> kept;
  for (const Field& field : fields) {
    kept.push_back(std::make_unique<RecordingAccess>());
    field.store(kept.back().get());
  }
  for (kq::Engine* owner : std::initializer_list<kq::Engine*>{&axon, &criterion, &rule}) {
    owner->release();
  }
  for (size_t i = 0; i < fields.size(); ++i) {
    if (std::string(fields[i].name) != "cost" && std::string(fields[i].name) != "threshold") {
      EXPECT_EQ(kept[i]->data, nullptr) << fields[i].name;
    }
  }
}

}  // namespace
