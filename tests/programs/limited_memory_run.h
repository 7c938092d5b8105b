#pragma once

// Runs of a program's example (examples/<Program>/) under the memory checks.
// The figure they measure against can be set only inside the process, so
// these runs are not the built executable but its network, built from the
// program's own tables and run by runNetwork as its main does, in a child
// process of the test (a death test) working in the example's copy.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/network_program.h"
#include "program_reference.h"
#include <kqnet/core/memory.h>

namespace kqtest {

constexpr int64_t kHalfGigabyte = int64_t{512} << 20;

// The example's files in a fresh folder; with a key, the TanhAxon section
// of that key has rows rows.
inline std::filesystem::path exampleCopy(const std::string& program, const std::string& key = "",
                                         int rows = 0) {
  const auto dir = freshDirectory(program + key + std::to_string(rows));
  for (const auto& entry :
       std::filesystem::directory_iterator(std::filesystem::path(KQ_EXAMPLES_DIR) / program)) {
    std::filesystem::copy_file(entry.path(), dir / entry.path().filename());
  }
  if (key.empty()) return dir;
  const auto weights = dir / (program + ".kqw");
  std::string text = readAll(weights);
  const std::string header = "#" + key + " TanhAxon\n";
  const size_t begin = text.find(header) + header.size();
  text.replace(begin, text.find(' ', begin) - begin, std::to_string(rows));
  std::ofstream(weights, std::ios::binary) << text;
  return dir;
}

// On the figure the run ends with the out-of-memory message alone and code
// 1, before any of the five probes has a line.
template <class Net>
void expectOutOfMemoryBeforeAnyProbeLine(const std::filesystem::path& dir,
                                         const kq::programs::NetworkValues& values,
                                         int64_t figure) {
  EXPECT_EXIT(
      {
        std::filesystem::current_path(dir);
        kq::setPhysicalMemory(figure);
        static Net network;  // made in the child only, left to the exit as a program's own
        std::exit(kq::programs::runNetwork(network, values));
      },
      ::testing::ExitedWithCode(1), "^Error: Out of memory\\.\n$");
  int probes = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().filename().string().rfind("active", 0) != 0) continue;
    ++probes;
    EXPECT_EQ(std::filesystem::file_size(entry.path()), 0u) << entry.path();
  }
  EXPECT_EQ(probes, 5);
}

// Bytes of the data files' own arrays (buffer, scale, offset, scratch) and
// of the cost transmitter's smoothing buffer: their release frees nothing,
// they go with the objects at exit.
inline int64_t dataFileBytes(const kq::programs::NetworkView& n) {
  size_t doubles = n.costTransmitter->smoothingBuffer->ownedBuffer.size();
  for (const kq::DataFile* file :
       {n.inputFile, n.activeOutputProbe, n.desiredFile, n.activeDesiredProbe, n.activeCostProbe,
        n.activePerformanceProbe, n.activeROCProbe, n.activeConfusionMatrixProbe}) {
    doubles +=
        file->ownedBuffer.size() + file->scale.size() + file->offset.size() + file->scratch.size();
  }
  return static_cast<int64_t>(doubles * sizeof(double));
}

// Releases, one by one, every object of the network whose release frees
// arrays, as the teardown does once it has freed the percent-error base.
inline void releaseArrayHolders(const kq::programs::NetworkView& n) {
  std::vector<kq::Engine*> objects = {n.inputAxon, n.inputAxonBackprop, n.criterion,
                                      n.criterionBackprop};
  for (const kq::programs::LayerView& l : n.layers) {
    objects.insert(objects.end(), {l.synapse, l.synapseBackprop, l.synapseGradient, l.axon,
                                   l.axonBackprop, l.axonGradient});
  }
  if (n.context.axon != nullptr) {
    objects.insert(objects.end(), {n.context.axon, n.context.axonBackprop, n.context.synapse,
                                   n.context.synapseBackprop, n.context.synapseGradient});
  }
  for (const kq::programs::SkipView& s : n.skips) {
    objects.insert(objects.end(), {s.synapse, s.synapseBackprop, s.synapseGradient});
  }
  objects.insert(objects.end(), {n.control, n.controlBackprop});
  for (kq::Engine* object : objects) object->release();
}

// A complete run of ten exemplars gives back, by its teardown, every byte
// it claimed but the data files' own arrays. Released one by one instead,
// its objects leave the program's percent-error base beside those, one
// double per output.
template <class Net>
void expectEveryClaimGivenBack(const std::string& program, kq::programs::NetworkValues values) {
  const auto dir = exampleCopy(program);
  values.exemplarsPerEpoch = 10;
  for (const bool teardown : {true, false}) {
    EXPECT_EXIT(
        {
          std::filesystem::current_path(dir);
          if (std::freopen("stdout.txt", "w", stdout) == nullptr) std::exit(2);
          const int64_t before = kq::claimedMemory();
          static Net network;
          const kq::programs::NetworkView view = network.view();
          int64_t expected = 0;
          if (teardown) {
            if (kq::programs::runNetwork(network, values) != 0) std::exit(3);
          } else {
            kq::programs::setUpNetwork(view, values);
            kq::programs::loadNetworkWeights(view, values);
            kq::programs::runEpochs(view, values);
            releaseArrayHolders(view);
            expected = values.layers.back().rows * int64_t{sizeof(double)};
          }
          expected += dataFileBytes(view);
          std::fprintf(stderr, "%lld",
                       static_cast<long long>(kq::claimedMemory() - before - expected));
          std::exit(0);
        },
        ::testing::ExitedWithCode(0), "^0$")
        << (teardown ? "teardown" : "objects released one by one");
  }
}

}  // namespace kqtest
