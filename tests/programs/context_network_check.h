#pragma once

// End-to-end checks of a context network program (an input layer feeding
// tanh layers and an integrator memory of the input, conjugate-gradient
// state): writes a seeded weight file and small data files, runs the built
// program in a folder of its own and recomputes every output, desired echo
// and the cost line with plain loops from the same numbers; the statistics
// probes are checked against the criterion's formulas in program_reference.h.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "program_reference.h"

namespace programs_test {

struct ContextNet {
  std::string name;        // program name; the weight file is name + ".kqw"
  std::vector<int> sizes;  // hidden layers, then the output layer
  int exemplars = 0;       // the program's fixed exemplar count
  int freeParameters = 0;  // the k of AIC and MDL the program sets
};

struct Values {
  std::vector<double> inScale, inOffset, dScale, dOffset, opScale, opOffset, dpScale, dpOffset;
  std::vector<std::vector<double>> weights;  // per layer, row by row
  std::vector<std::vector<double>> biases;   // per layer
  std::vector<double> contextWeights, memory, contextSynapse;
  std::vector<std::vector<double>> inputs, desired;  // data records
  std::vector<double> desiredMin, desiredMax;        // the criterion's stored desired ranges
};

inline std::string number(double x) {
  char text[64];
  std::snprintf(text, sizeof text, "%22.16e ", x);
  return text;
}

inline std::string record(const std::vector<double>& v) {
  std::string s = std::to_string(v.size()) + " ";
  for (double x : v) s += number(x);
  return s + "\n";
}

class ProgramRun {
 public:
  ProgramRun(const ContextNet& net, unsigned seed, const std::string& folder)
      : net_(net), folder_(folder) {
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
    std::mt19937 rng(seed);
    auto uniform = [&](double lo, double hi) {
      return std::uniform_real_distribution<double>(lo, hi)(rng);
    };
    auto fill = [&](int n, double lo, double hi) {
      std::vector<double> v(static_cast<size_t>(n));
      for (double& x : v) x = uniform(lo, hi);
      return v;
    };
    const int outputs = net.sizes.back();
    v_.inScale = fill(8, 0.5, 1.5);
    v_.inOffset = fill(8, -0.2, 0.2);
    v_.dScale = fill(outputs, 0.5, 1.5);
    v_.dOffset = fill(outputs, -0.2, 0.2);
    v_.opScale = fill(outputs, 0.5, 1.5);
    v_.opOffset = fill(outputs, -0.2, 0.2);
    v_.dpScale = fill(outputs, 0.5, 1.5);
    v_.dpOffset = fill(outputs, -0.2, 0.2);
    int previous = 8;
    for (int rows : net.sizes) {
      v_.weights.push_back(fill(rows * previous, -0.4, 0.4));
      v_.biases.push_back(fill(rows, -0.1, 0.1));
      previous = rows;
    }
    v_.contextWeights = fill(8, 0.2, 0.9);
    v_.memory = fill(8, -0.5, 0.5);
    v_.contextSynapse = fill(net.sizes[0] * 8, -0.3, 0.3);
    for (int r = 0; r < 7; ++r) v_.inputs.push_back(fill(8, -1.0, 1.0));
    for (int r = 0; r < 5; ++r) v_.desired.push_back(fill(outputs, -0.9, 0.9));
    v_.desiredMin = fill(outputs, -1.0, -0.5);
    v_.desiredMax = fill(outputs, 0.5, 1.0);
  }

  const Values& values() const { return v_; }
  std::string path(const std::string& file) const { return folder_ + "/" + file; }

  // Every section the program reads; a key named in skip is left out.
  void writeWeightFile(const std::string& skip = "") const {
    const int outputs = net_.sizes.back();
    std::string text = "#KqWeightFileVersion 247\n";
    auto section = [&](const std::string& key, const char* word, const std::string& body) {
      if (key != skip) text += "#" + key + " " + word + "\n" + body;
    };
    auto pairs = [](const std::vector<double>& s, const std::vector<double>& o, bool reading) {
      std::string b = std::to_string(s.size()) + "\n";
      for (size_t i = 0; i < s.size(); ++i) b += number(s[i]) + number(o[i]) + "\n";
      return reading ? b + "0\n" : b;
    };
    auto axon = [](int rows, const std::vector<double>& w) {
      return std::to_string(rows) + " 1\n1\n" + record(w);
    };
    auto zeros = [](int n) { return std::vector<double>(static_cast<size_t>(n), 0.0); };
    section("inputFile", "File", pairs(v_.inScale, v_.inOffset, true));
    section("desiredFile", "File", pairs(v_.dScale, v_.dOffset, true));
    section("activeOutputProbe", "DataWriter", pairs(v_.opScale, v_.opOffset, false));
    section("activeDesiredProbe", "DataWriter", pairs(v_.dpScale, v_.dpOffset, false));
    section("inputAxon", "Axon", axon(8, {}));
    std::vector<std::string> keys;
    for (size_t k = 0; k + 1 < net_.sizes.size(); ++k)
      keys.push_back("hidden" + std::to_string(k + 1));
    keys.push_back("output");
    for (size_t k = 0; k < keys.size(); ++k) {
      section(keys[k] + "Axon", "TanhAxon", axon(net_.sizes[k], v_.biases[k]));
    }
    std::vector<double> range;
    for (int i = 0; i < outputs; ++i)
      range.insert(range.end(), {v_.desiredMin[i], v_.desiredMax[i]});
    section("criterion", "L2Criterion",
            axon(outputs, {}) + std::to_string(outputs) + " " +
                record(range).substr(std::to_string(range.size()).size() + 1));
    section("contextAxon", "IntegratorAxon", axon(8, v_.contextWeights) + record(v_.memory));
    section("contextAxonBackprop", "BackIntegratorAxon", axon(8, zeros(8)) + record(zeros(8)));
    std::vector<std::pair<std::string, size_t>> gradients;
    for (size_t k = 0; k < keys.size(); ++k) {
      const std::string key = keys[k] + "Synapse";
      section(key, "FullSynapse", record(v_.weights[k]));
      section(key + "Backprop", "BackFullSynapse",
              record(zeros(static_cast<int>(v_.weights[k].size()))));
      gradients.push_back({key, v_.weights[k].size()});
      gradients.push_back({keys[k] + "Axon", v_.biases[k].size()});
    }
    // The delayed activity of the context synapse is the memory the first
    // exemplar reads; the context axon's memory record holds the same values.
    section("contextSynapse", "FullSynapse", record(v_.contextSynapse) + record(v_.memory));
    section("contextSynapseBackprop", "BackFullSynapse",
            record(zeros(static_cast<int>(v_.contextSynapse.size()))) + record(zeros(8)));
    gradients.push_back({"contextSynapse", v_.contextSynapse.size()});
    for (const auto& [key, count] : gradients) {
      std::string body = std::to_string(count) + "\n";
      for (int line = 0; line < 5; ++line) {
        for (size_t i = 0; i < count; ++i) body += "0 ";
        body += "\n";
      }
      section(key + "BackpropGradient", "ConjugateGradient", body + "\n");
    }
    section("control", "StaticControl", "0 1e9 1 0\n");
    std::ofstream(path(net_.name + ".kqw")) << text;
  }

  void writeData() const {
    std::ofstream in(path("inputFile.asc"));
    for (const auto& r : v_.inputs) {
      for (double x : r) in << number(x);
      in << "\n";
    }
    std::ofstream desired(path("desiredFile.asc"));
    for (const auto& r : v_.desired) {
      for (double x : r) desired << number(x);
      desired << "\n";
    }
  }

  // Runs the program in the folder; returns its exit code.
  int run() {
    const std::string command = "cd '" + folder_ +
                                "' && '" KQ_PROGRAM_PATH
                                "' ignored arguments"
                                " > stdout.txt 2> stderr.txt";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string read(const std::string& file) const {
    std::ifstream in(path(file));
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  // The expected probe lines and cost line, from plain loops in the order
  // the network adds: the context synapse's terms first, then the chain's.
  void expected(std::vector<std::string>& outputLines, std::vector<std::string>& desiredLines,
                std::string& costLine, kqtest::CriterionReference& criterion) const {
    const int outputs = net_.sizes.back();
    std::vector<double> memory = v_.memory;
    double costSum = 0.0;
    for (int e = 0; e < net_.exemplars; ++e) {
      const auto& raw = v_.inputs[static_cast<size_t>(e) % v_.inputs.size()];
      std::vector<double> x(8);
      for (int k = 0; k < 8; ++k) x[k] = v_.inScale[k] * raw[k] + v_.inOffset[k];
      std::vector<double> layer;
      std::vector<double> previous = x;
      for (size_t l = 0; l < net_.sizes.size(); ++l) {
        const int rows = net_.sizes[l];
        const int in = static_cast<int>(previous.size());
        layer.assign(static_cast<size_t>(rows), 0.0);
        for (int j = 0; j < rows; ++j) {
          if (l == 0) {
            for (int k = 0; k < 8; ++k) layer[j] += v_.contextSynapse[j * 8 + k] * memory[k];
          }
          for (int k = 0; k < in; ++k) layer[j] += v_.weights[l][j * in + k] * previous[k];
          layer[j] = std::tanh(1.0 * layer[j] + v_.biases[l][j]);
        }
        previous = layer;
      }
      for (int k = 0; k < 8; ++k) {
        const double w = v_.contextWeights[k];
        memory[k] = 1.0 * ((1.0 - w) * x[k] + w * memory[k]);
      }
      const auto& rawDesired = v_.desired[static_cast<size_t>(e) % v_.desired.size()];
      std::string out, des;
      double exemplarCost = 0.0;
      std::vector<double> desired(static_cast<size_t>(outputs));
      for (int i = 0; i < outputs; ++i) {
        const double d = v_.dScale[i] * rawDesired[i] + v_.dOffset[i];
        desired[i] = d;
        out += number((previous[i] - v_.opOffset[i]) / v_.opScale[i]);
        des += number((d - v_.dpOffset[i]) / v_.dpScale[i]);
        const double err = d - previous[i];
        exemplarCost += 0.5 * (err * err);
      }
      costSum += exemplarCost;
      criterion.add(desired, previous);
      outputLines.push_back(out);
      desiredLines.push_back(des);
    }
    costLine = number(costSum / (static_cast<double>(outputs) * net_.exemplars)) + "\n";
  }

 private:
  ContextNet net_;
  std::string folder_;
  Values v_;
};

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::stringstream s(text);
  for (std::string line; std::getline(s, line);) result.push_back(line);
  return result;
}

inline int countNumbers(const std::string& line) {
  std::stringstream s(line);
  int n = 0;
  for (double x; s >> x;) ++n;
  return n;
}

// The whole check of one program, for the tests of each network.
inline void checkContextProgram(const ContextNet& net) {
  ProgramRun run(net, 2024, "run");
  run.writeWeightFile();
  run.writeData();
  ASSERT_EQ(run.run(), 0) << run.read("stderr.txt");
  std::vector<std::string> outputLines, desiredLines;
  std::string costLine;
  const int outputs = net.sizes.back();
  kqtest::CriterionReference criterion(outputs, run.values().desiredMin, run.values().desiredMax,
                                       net.freeParameters);
  run.expected(outputLines, desiredLines, costLine, criterion);
  const auto gotOutputs = lines(run.read("activeOutputProbe.asc"));
  const auto gotDesired = lines(run.read("activeDesiredProbe.asc"));
  ASSERT_EQ(gotOutputs.size(), outputLines.size());
  ASSERT_EQ(gotDesired.size(), desiredLines.size());
  for (size_t e = 0; e < outputLines.size(); ++e) {
    ASSERT_EQ(gotOutputs[e], outputLines[e]) << "exemplar " << e;
    ASSERT_EQ(gotDesired[e], desiredLines[e]) << "exemplar " << e;
  }
  EXPECT_EQ(run.read("stdout.txt"), costLine);
  EXPECT_EQ(run.read("stdout.txt"), kqtest::formatValue(criterion.cost()) + "\n");
  EXPECT_EQ(run.read("stderr.txt"), "");
  // One record per epoch: six measures, the 100 x 3 ROC table and the
  // outputs x outputs confusion percentages.
  EXPECT_EQ(countNumbers(run.read("activeROCProbe.asc")), 300);
  EXPECT_EQ(countNumbers(run.read("activeConfusionMatrixProbe.asc")), outputs * outputs);
  kqtest::expectLines(run.path("activePerformanceProbe.asc"),
                      {kqtest::formatLine(criterion.performance())});
  kqtest::expectLines(run.path("activeROCProbe.asc"), {kqtest::formatLine(criterion.roc())});
  kqtest::expectLines(run.path("activeConfusionMatrixProbe.asc"),
                      {kqtest::formatLine(criterion.confusionPercent())});
}

inline void checkFailures(const ContextNet& net) {
  {
    ProgramRun run(net, 7, "no_weights");
    run.writeData();
    EXPECT_EQ(run.run(), 1);
    EXPECT_EQ(run.read("stderr.txt"), "Could not open weight file " + net.name + ".kqw");
    // The probes were opened before the weight file.
    EXPECT_TRUE(std::filesystem::exists(run.path("activeOutputProbe.asc")));
  }
  {
    ProgramRun run(net, 7, "missing_section");
    run.writeData();
    run.writeWeightFile("hidden3SynapseBackpropGradient");
    EXPECT_EQ(run.run(), 1);
    EXPECT_EQ(run.read("stderr.txt"),
              "The ConjugateGradient named hidden3SynapseBackpropGradient was not found in the "
              "weight file.");
  }
  {
    ProgramRun run(net, 7, "no_desired");
    run.writeData();
    std::filesystem::remove(run.path("desiredFile.asc"));
    run.writeWeightFile();
    EXPECT_EQ(run.run(), 1);
    EXPECT_EQ(run.read("stderr.txt"), "Error: Unable to open file desiredFile.asc.\n");
  }
}

}  // namespace programs_test
