#pragma once

// Shared pieces of the end-to-end program tests: a weight-file text builder,
// the data-file and run helpers, and a plain reference of the criterion's
// measures written out from their formulas. Each program test builds its
// network's weights here, computes the outputs with its own forward pass and
// compares every probe line with the values formatted as the probes print
// them.

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

namespace kqtest {

inline std::string formatValue(double v) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%22.16e ", v);
  return buffer;
}

inline std::string formatLine(const std::vector<double>& values) {
  std::string line;
  for (double v : values) line += formatValue(v);
  return line;
}

// Values drawn from a seeded generator and passed through their printed form,
// so the test computes with exactly what the program reads back.
class ValueSource {
 public:
  explicit ValueSource(unsigned seed) : engine(seed) {}
  double draw(double low, double high) {
    std::uniform_real_distribution<double> dist(low, high);
    return roundTrip(dist(engine));
  }
  std::vector<double> draws(int n, double low, double high) {
    std::vector<double> v(static_cast<size_t>(n));
    for (double& x : v) x = draw(low, high);
    return v;
  }
  static double roundTrip(double v) { return std::strtod(formatValue(v).c_str(), nullptr); }

 private:
  std::mt19937 engine;
};

// A weight file in the record layouts the program reads.
struct WeightText {
  std::string text;

  explicit WeightText(int version) {
    text = "#KqWeightFileVersion " + std::to_string(version) + "\n";
  }
  void header(const std::string& key, const std::string& word) {
    text += "#" + key + " " + word + "\n";
  }
  void values(const std::vector<double>& v) {
    text += std::to_string(v.size()) + " ";
    for (double x : v) text += formatValue(x);
    text += "\n";
  }
  // scale, offset pairs; a reading file carries an empty second block.
  void normalization(const std::vector<double>& scale, const std::vector<double>& offset,
                     bool reading) {
    text += std::to_string(scale.size()) + "\n";
    for (size_t i = 0; i < scale.size(); ++i)
      text += formatValue(scale[i]) + formatValue(offset[i]) + "\n";
    if (reading) text += "0\n";
  }
  void axonShape(int rows) { text += std::to_string(rows) + " 1\n1\n"; }
  void line(const std::string& s) { text += s + "\n"; }
  void write(const std::filesystem::path& path) const {
    std::ofstream out(path, std::ios::binary);
    out << text;
  }
};

// Normalisation of one data file or probe.
struct Normalization {
  std::vector<double> scale;
  std::vector<double> offset;

  static Normalization random(ValueSource& source, int n) {
    Normalization m;
    m.scale = source.draws(n, 0.5, 1.5);
    m.offset = source.draws(n, -0.2, 0.2);
    return m;
  }
  double apply(double x, int i) const { return scale[i] * x + offset[i]; }
  double invert(double y, int i) const { return (y - offset[i]) / scale[i]; }
};

inline void writeNumbers(const std::filesystem::path& path, const std::vector<double>& numbers) {
  std::ofstream out(path, std::ios::binary);
  for (size_t i = 0; i < numbers.size(); ++i)
    out << formatValue(numbers[i]) << ((i % 5 == 4) ? "\n" : "");
  out << "\n";
}

// Record e of a text data file read element by element with wrapping.
inline std::vector<double> wrappedRecord(const std::vector<double>& numbers, long e, int width) {
  std::vector<double> r(static_cast<size_t>(width));
  const long n = static_cast<long>(numbers.size());
  for (int i = 0; i < width; ++i)
    r[static_cast<size_t>(i)] = numbers[static_cast<size_t>((e * width + i) % n)];
  return r;
}

inline std::vector<std::string> readLines(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

inline std::string readAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs the program in dir with its streams captured.
inline RunResult runProgram(const std::string& program, const std::filesystem::path& dir) {
  const std::string command =
      "cd '" + dir.string() + "' && '" + program + "' > stdout.txt 2> stderr.txt";
  const int status = std::system(command.c_str());
  RunResult r;
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = readAll(dir / "stdout.txt");
  r.err = readAll(dir / "stderr.txt");
  return r;
}

inline std::filesystem::path freshDirectory(const std::string& name) {
  const auto dir = std::filesystem::current_path() / name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

// The criterion's measures over one epoch, from their formulas: costs and
// error sums run exemplar after exemplar in output order.
class CriterionReference {
 public:
  static constexpr int kThresholds = 100;

  CriterionReference(int outputs, std::vector<double> minimum, std::vector<double> maximum,
                     int freeParameters)
      : n(outputs),
        desiredMin(std::move(minimum)),
        desiredMax(std::move(maximum)),
        k(freeParameters),
        sd(outputs),
        sy(outputs),
        sdy(outputs),
        sdd(outputs),
        syy(outputs),
        rocPositive(kThresholds),
        rocNegative(kThresholds),
        truePositive(kThresholds),
        falsePositive(kThresholds),
        confusion(static_cast<size_t>(outputs * outputs)) {}

  void add(const std::vector<double>& d, const std::vector<double>& y) {
    double exemplarCost = 0.0;
    for (int i = 0; i < n; ++i) {
      const double e = d[i] - y[i];
      exemplarCost += 0.5 * (e * e);
    }
    costSum += exemplarCost;
    for (int i = 0; i < n; ++i) {
      const double e = d[i] - y[i];
      squaredError += e * e;
      const double span = d[i] - (-0.9);
      if (span != 0.0) percentError += std::fabs(e / span) * 100.0;
      sd[i] += d[i];
      sy[i] += y[i];
      sdy[i] += d[i] * y[i];
      sdd[i] += d[i] * d[i];
      syy[i] += y[i] * y[i];
    }
    const bool positive = d[0] > -0.9 + (0.9 - -0.9) / 2.0;
    double t = -0.9;
    const double increment = (0.9 - -0.9) / (kThresholds - 1);
    for (int i = 0; i < kThresholds; ++i) {
      (positive ? rocPositive : rocNegative)[i] += 1;
      if (y[0] >= t) (positive ? truePositive : falsePositive)[i] += 1;
      t += increment;
    }
    confusion[static_cast<size_t>(largest(d) * n + largest(y))] += 1.0;
    ++count;
  }

  double cost() const { return costSum / static_cast<double>(static_cast<long>(n) * count); }

  std::vector<double> performance() const {
    const double N = count;
    double correlationSum = 0.0;
    double rangeSum = 0.0;
    for (int i = 0; i < n; ++i) {
      const double numerator = N * sdy[i] - sd[i] * sy[i];
      const double spread = (N * sdd[i] - sd[i] * sd[i]) * (N * syy[i] - sy[i] * sy[i]);
      correlationSum += numerator / std::sqrt(std::fabs(spread));
      rangeSum += desiredMax[i] - desiredMin[i];
    }
    const double cells = static_cast<double>(static_cast<long>(n) * count);
    const double E = squaredError / cells;
    return {E,
            std::sqrt(E) / (rangeSum / n),
            correlationSum / n,
            percentError / cells,
            N * std::log(E) + 2.0 * k,
            N * std::log(E) + 0.5 * k * std::log(N)};
  }

  std::vector<double> roc() const {
    std::vector<double> table;
    double t = -0.9;
    const double increment = (0.9 - -0.9) / (kThresholds - 1);
    for (int i = 0; i < kThresholds; ++i) {
      table.push_back(t);
      table.push_back(rocPositive[i] != 0 ? static_cast<double>(truePositive[i]) / rocPositive[i]
                                          : 0.0);
      table.push_back(rocNegative[i] != 0 ? static_cast<double>(falsePositive[i]) / rocNegative[i]
                                          : 0.0);
      t += increment;
    }
    return table;
  }

  std::vector<double> confusionPercent() const {
    std::vector<double> percent;
    for (int r = 0; r < n; ++r) {
      double sum = 0.0;
      for (int c = 0; c < n; ++c) sum += confusion[static_cast<size_t>(r * n + c)];
      const int rowSum = static_cast<int>(sum);
      for (int c = 0; c < n; ++c) {
        percent.push_back(rowSum != 0 ? confusion[static_cast<size_t>(r * n + c)] / rowSum * 100.0
                                      : 0.0);
      }
    }
    return percent;
  }

 private:
  int largest(const std::vector<double>& v) const {
    int best = 0;
    for (int i = 1; i < n; ++i) {
      if (v[i] > v[best]) best = i;
    }
    return best;
  }

  int n;
  std::vector<double> desiredMin;
  std::vector<double> desiredMax;
  int k;
  long count = 0;
  double costSum = 0.0;
  double squaredError = 0.0;
  double percentError = 0.0;
  std::vector<double> sd, sy, sdy, sdd, syy;
  std::vector<int> rocPositive, rocNegative, truePositive, falsePositive;
  std::vector<double> confusion;
};

// Every line of a probe against the expected lines, value text by value text.
inline void expectLines(const std::filesystem::path& path,
                        const std::vector<std::string>& expected) {
  const std::vector<std::string> lines = readLines(path);
  ASSERT_EQ(lines.size(), expected.size()) << path;
  for (size_t i = 0; i < lines.size(); ++i) {
    ASSERT_EQ(lines[i], expected[i]) << path << " line " << i;
  }
}

}  // namespace kqtest
