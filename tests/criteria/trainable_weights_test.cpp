// Counting the trainable weights over the control's gradient list.

#include <gtest/gtest.h>

#include <vector>

#include <kqnet/axons/axon.h>
#include <kqnet/backward/back_axon.h>
#include <kqnet/backward/back_synapse.h>
#include <kqnet/control/control.h>
#include <kqnet/criteria/criterion.h>
#include <kqnet/learning/gradient.h>
#include <kqnet/synapses/synapse.h>

namespace {

using kq::Gradient;
using kq::StaticControl;

// A 2 -> 3 tanh layer, its twins and their two gradients, registered.
struct Trainable {
  Trainable() {
    input.setRows(2);
    layer.setRows(3);
    input.connectOutput(&synapse);
    synapse.connectInput(&input);
    synapse.connectOutput(&layer);
    layer.connectInput(&synapse);
    inputTwin.setDual(&input);
    layerTwin.setDual(&layer);
    synapseTwin.setDual(&synapse);
    synapseTwin.connectInput(&layerTwin);
    synapseTwin.connectOutput(&inputTwin);
    synapse.weights = {1, 2, 3, 4, 5, 6};
    layer.weights = {-1, 0.5, 2};
    synapseGradient.setBackprop(&synapseTwin);
    synapseGradient.forward = &synapse;
    layerGradient.setBackprop(&layerTwin);
    layerGradient.forward = &layer;
    inputGradient.setBackprop(&inputTwin);  // no weights: stays out of the list
    inputGradient.forward = &input;
    for (Gradient* g : {&synapseGradient, &layerGradient, &inputGradient}) {
      g->control = &control;
      g->registerWithControl();
    }
    criterion.setRows(3);
    criterion.control = &control;
  }

  StaticControl control;
  kq::Axon input;
  kq::TanhAxon layer;
  kq::FullSynapse synapse;
  kq::BackAxon inputTwin;
  kq::BackTanhAxon layerTwin;
  kq::BackFullSynapse synapseTwin;
  Gradient synapseGradient;
  Gradient layerGradient;
  Gradient inputGradient;
  kq::L2Criterion criterion;
};

TEST(TrainableWeightsTest, CountsTheForwardWeightsOfEveryListedGradient) {
  Trainable net;
  ASSERT_EQ(net.control.gradientList.size(), 2u);
  net.criterion.countTrainableWeights();
  EXPECT_EQ(net.criterion.trainableWeightCount, 9);
  EXPECT_EQ(net.control.trainableWeightTotal(), 9);
  // Without weight decay the regularisation is left alone.
  EXPECT_EQ(net.control.weightEnergy, 0.0);
  EXPECT_EQ(net.control.regularisationBeta, 0.999);
  EXPECT_EQ(net.criterion.desiredCopyResizePending, 0);
}

TEST(TrainableWeightsTest, WeightDecaySumsTheSquaredWeightsAndDerivesTheDataWeight) {
  Trainable net;
  net.control.weightDecay = 1;
  net.control.regularisationAlpha = 0.25;
  net.criterion.countTrainableWeights();
  EXPECT_EQ(net.control.weightEnergy, 1.0 + 4 + 9 + 16 + 25 + 36 + 1 + 0.25 + 4);
  EXPECT_EQ(net.control.regularisationBeta, 0.75);

  net.control.keepRegularisationBeta = 1;
  net.control.regularisationAlpha = 0.5;
  net.criterion.countTrainableWeights();
  EXPECT_EQ(net.control.regularisationBeta, 0.75);
}

TEST(TrainableWeightsTest, AllocatesTheDesiredCopyWhenItIsWanted) {
  Trainable net;
  net.criterion.desiredCopyOn = 1;
  net.criterion.countTrainableWeights();
  EXPECT_EQ(net.criterion.desiredCopy.size(), 3u);
}

TEST(TrainableWeightsTest, WithoutAControlOrForwardObjectsNothingIsCounted) {
  kq::L2Criterion lone;
  lone.setRows(2);
  lone.trainableWeightCount = 5;
  lone.countTrainableWeights();
  EXPECT_EQ(lone.trainableWeightCount, 0);

  Trainable net;
  net.layerGradient.forward = nullptr;
  net.criterion.countTrainableWeights();
  EXPECT_EQ(net.criterion.trainableWeightCount, 6);
  EXPECT_EQ(net.control.trainableWeightTotal(), 6);
}

}  // namespace
