#include <kqnet/core/engine.h>

#include <gtest/gtest.h>

#include <kqnet/control/control.h>
#include <kqnet/core/soma.h>
#include <kqnet/data/spatial_data.h>
#include <kqnet/learning/gradient.h>

namespace {

using kq::Engine;
using kq::ParameterDescriptor;

TEST(ClassWords, ReportTheWordOfTheClassOrItsNearestAncestor) {
  kq::Soma soma;
  kq::StaticControl control;
  kq::SpatialData data;
  kq::InputSpatialData input;
  kq::Gradient gradient;
  EXPECT_STREQ(soma.className(), "Soma");
  EXPECT_STREQ(control.className(), "StaticControl");
  EXPECT_STREQ(data.className(), "SpatialData");
  EXPECT_STREQ(input.className(), "SpatialData");
  EXPECT_STREQ(gradient.className(), "Gradient");
}

TEST(IsKindOf, EnginesAnswerForTheirChainOfWords) {
  kq::Soma soma;
  EXPECT_TRUE(soma.isKindOf("CoreObject"));
  EXPECT_TRUE(soma.isKindOf("Engine"));
  EXPECT_FALSE(soma.isKindOf("Soma"));  // Soma adds no word of its own
  EXPECT_FALSE(soma.isKindOf("engine"));
  EXPECT_FALSE(soma.isKindOf(nullptr));
  kq::InputSpatialData input;
  EXPECT_TRUE(input.isKindOf("Engine"));
  EXPECT_FALSE(input.isKindOf("SpatialData"));
}

TEST(IsKindOf, ControlsSkipTheEngineWord) {
  kq::StaticControl control;
  EXPECT_TRUE(control.isKindOf("CoreObject"));
  EXPECT_TRUE(control.isKindOf("Control"));
  EXPECT_TRUE(control.isKindOf("StaticControl"));
  EXPECT_FALSE(control.isKindOf("Engine"));
  EXPECT_FALSE(control.isKindOf("staticcontrol"));
  EXPECT_FALSE(control.isKindOf(nullptr));
}

TEST(ParameterCounts, FollowTheClassTable) {
  kq::Soma soma;
  kq::SpatialData data;
  kq::Gradient gradient;
  EXPECT_EQ(soma.firstOwnParameterIndex(), 0);
  EXPECT_EQ(soma.ownParameterCount(), 3);
  EXPECT_EQ(data.ownParameterCount(), 0);
  EXPECT_EQ(gradient.ownParameterCount(), 0);
}

TEST(IndexedAccess, AnswersZeroWithoutDescriptorOrEntry) {
  kq::SpatialData data;
  kq::Gradient gradient;
  kq::Soma soma;
  for (int index : {-1, 0, 2, 5, 71, 72}) {
    EXPECT_EQ(data.getInt(index), 0);
    EXPECT_EQ(data.getBool(index), 0);
    EXPECT_EQ(data.getDouble(index), 0.0);
    EXPECT_EQ(gradient.getDoubleAt(index, 3), 0.0);
    EXPECT_EQ(soma.getDouble(index), 0.0);
    EXPECT_EQ(soma.getDoubleAt(index, 0), 0.0);
    soma.setDouble(index, 4.0);
    soma.setDoubleAt(index, 4.0, 1);
  }
  // A descriptor whose slot lies outside the class's table is ignored too.
  ParameterDescriptor descriptor;
  descriptor.accessorSlot = 9;
  soma.parameters[0] = &descriptor;
  EXPECT_EQ(soma.getDouble(0), 0.0);
  soma.setDouble(0, 1.0);
}

double storedValue = 0.0;

TEST(IndexedAccess, ReachesTheEntryNamedByTheDescriptorSlot) {
  kq::Soma soma;
  ParameterDescriptor descriptor;
  descriptor.kind = kq::kDouble;
  descriptor.accessorSlot = 1;
  descriptor.parameterIndex = 1;
  soma.parameters[1] = &descriptor;
  soma.doubleGetters.entries[1] = [](Engine&) { return storedValue; };
  soma.doubleSetters.entries[1] = [](Engine&, double v) { storedValue = v; };
  soma.setDouble(1, 2.5);
  EXPECT_EQ(storedValue, 2.5);
  EXPECT_EQ(soma.getDouble(1), 2.5);
  EXPECT_EQ(descriptor.readValue(soma, 0), 2.5);
}

TEST(EnableParameter, CountsChangesAndIgnoresOutOfRangeIndices) {
  kq::Soma soma;
  soma.parametersDirty = 0;
  soma.enableParameter(72, 1, 0);
  soma.enableParameter(-1, 1, 0);
  EXPECT_EQ(soma.enabledParameterCount, 0);
  EXPECT_EQ(soma.parametersDirty, 0);

  soma.enableParameter(4, 0, 0);  // never enabled: no change
  EXPECT_EQ(soma.enabledParameterCount, 0);
  EXPECT_EQ(soma.parametersDirty, 0);

  soma.enableParameter(4, 1, 0);
  soma.enableParameter(4, 1, 0);  // twice counts once
  EXPECT_EQ(soma.enabledParameterCount, 1);
  EXPECT_EQ(soma.parameterEnabled[4], 1);
  EXPECT_EQ(soma.parametersDirty, 1);

  soma.enableParameter(5, 1, 1);  // centring without a descriptor is skipped
  soma.enableParameter(4, 0, 0);
  EXPECT_EQ(soma.enabledParameterCount, 1);
  EXPECT_EQ(soma.parameterEnabled[4], 0);
}

TEST(EnableParameter, CentresTheWindowOnTheCurrentValueWithinItsLimits) {
  kq::Soma soma;
  ParameterDescriptor descriptor;
  descriptor.kind = kq::kDouble;
  descriptor.accessorSlot = 0;
  descriptor.halfWidth = 1.0;
  descriptor.maximum = 10.0;
  descriptor.minimum = 2.5;
  soma.parameters[0] = &descriptor;
  soma.doubleGetters.entries[0] = [](Engine&) { return 3.0; };
  soma.enableParameter(0, 1, 1);
  EXPECT_EQ(descriptor.upper, 4.0);
  EXPECT_EQ(descriptor.lower, 2.5);  // 2.0 lies below the minimum

  descriptor.setWindow(-100.0, 100.0);
  EXPECT_EQ(descriptor.upper, 10.0);
  EXPECT_EQ(descriptor.lower, 2.5);
}

TEST(EnableParameter, ResizesTheWeightVectorValuesOfASoma) {
  kq::Soma soma;
  soma.setWeightCount(6, 0);
  ParameterDescriptor descriptor;
  descriptor.kind = kq::kDoubleElement;
  soma.parameters[2] = &descriptor;
  soma.enableParameter(2, 1, 1);
  EXPECT_EQ(descriptor.valueCount, 6);
  ASSERT_EQ(descriptor.values.size(), 6u);
  EXPECT_EQ(descriptor.values[5], 0.0);
}

TEST(ResizeValues, KeepsAnUnchangedSizeAndEmptiesOnZeroOrLess) {
  ParameterDescriptor descriptor;
  descriptor.resizeValues(3);
  descriptor.values[1] = 7.0;
  descriptor.resizeValues(3);
  EXPECT_EQ(descriptor.values[1], 7.0);
  descriptor.resizeValues(-4);
  EXPECT_EQ(descriptor.valueCount, 0);
  EXPECT_TRUE(descriptor.values.empty());
}

TEST(ReadValue, ConvertsEachKindToADouble) {
  kq::Soma soma;
  ParameterDescriptor descriptor;
  descriptor.kind = 9;
  EXPECT_EQ(descriptor.readValue(soma, 0), 0.0);
  descriptor.kind = kq::kBool;
  EXPECT_EQ(descriptor.readValue(soma, 0), 0.0);
  descriptor.kind = kq::kInteger;
  EXPECT_EQ(descriptor.readValue(soma, 0), 0.0);
}

TEST(Registration, SetsTheControlFlagOnceAndConsumesTheDirtyFlag) {
  kq::StaticControl control;
  kq::SpatialData probe;
  probe.control = &control;
  probe.registerWithControl();
  EXPECT_EQ(control.parametersChanged, 1);
  EXPECT_EQ(probe.parametersDirty, 0);
  control.parametersChanged = 0;
  probe.registerWithControl();
  EXPECT_EQ(control.parametersChanged, 0);

  kq::SpatialData orphan;  // without a control nothing happens
  orphan.registerWithControl();
  EXPECT_EQ(orphan.parametersDirty, 0);
}

}  // namespace
