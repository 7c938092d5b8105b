// A plain per-exemplar loop over one program's network, to measure the
// programs against: it reads the weight file and the data files of the
// working directory once each, runs the forward pass of every exemplar with
// the same arithmetic in the same order (the weights in panels of 8 rows,
// one SIMD lane per row, each lane one running sum in ascending input
// order; the C library's tanh), and writes the same probes and cost line.
// bench_programs checks that its files are byte-identical to the program's.
//
// Usage: plain_loop Orvane|Belmot|Quillet|Dravik   (in the program's folder)

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

// Eight output rows side by side. With -ffp-contract=off the products and
// the additions stay separate, as in the library.
typedef double Lanes __attribute__((vector_size(64)));
typedef double Pair __attribute__((vector_size(16)));
constexpr int kPanel = 8;

struct Shape {
  const char* name;
  std::vector<int> sizes;  // input layer, hidden layers, output layer
  bool context;            // an integrator memory of the input feeds hidden1
  bool skips;              // every layer also feeds every later layer
  int exemplars;
  int freeParameters;
};

const Shape kShapes[] = {
    {"Orvane", {8, 50, 50, 50, 37, 30, 25, 21, 18, 6}, true, false, 6000, 10816},
    {"Belmot", {8, 50, 50, 50, 50, 42, 35, 30, 26, 14}, true, false, 13217, 14419},
    {"Quillet", {8, 50, 50, 50, 50, 42, 35, 14}, false, true, 13217, 38367},
    {"Dravik", {8, 50, 50, 50, 50, 42, 35, 14}, true, false, 13217, 12659},
};

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "plain_loop: %s\n", what.c_str());
  std::exit(1);
}

std::string readFile(const std::string& name) {
  std::FILE* file = std::fopen(name.c_str(), "rb");
  if (file == nullptr) fail("cannot open " + name);
  std::string text;
  char buffer[1 << 16];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  std::fclose(file);
  return text;
}

// Every number of [p, end), in order.
std::vector<double> numbers(const char* p, const char* end) {
  std::vector<double> values;
  while (true) {
    while (p < end && (*p == ' ' || *p == '\n' || *p == '\t' || *p == '\r')) ++p;
    if (p >= end) break;
    double x;
    const std::from_chars_result r = std::from_chars(p, end, x);
    if (r.ec != std::errc()) fail("not a number");
    values.push_back(x);
    p = r.ptr;
  }
  return values;
}

// The weight file's sections by key, each as its numbers.
std::unordered_map<std::string, std::vector<double>> readSections(const std::string& name) {
  const std::string text = readFile(name);
  std::unordered_map<std::string, std::vector<double>> sections;
  size_t at = 0;
  while (at < text.size()) {
    const size_t lineEnd = std::min(text.find('\n', at), text.size());
    if (text[at] != '#') fail("section expected");
    const std::string_view header(text.data() + at + 1, lineEnd - at - 1);
    const std::string key(header.substr(0, header.find(' ')));
    size_t bodyEnd = lineEnd;
    while (bodyEnd < text.size() &&
           !(text[bodyEnd] == '\n' && bodyEnd + 1 < text.size() && text[bodyEnd + 1] == '#')) {
      ++bodyEnd;
    }
    const size_t bodyStart = std::min(lineEnd + 1, text.size());
    if (key != "KqWeightFileVersion") {
      sections[key] = numbers(text.data() + bodyStart, text.data() + std::max(bodyStart, bodyEnd));
    }
    at = bodyEnd + 1;
  }
  return sections;
}

const std::vector<double>& section(const std::unordered_map<std::string, std::vector<double>>& s,
                                   const std::string& key) {
  const auto found = s.find(key);
  if (found == s.end()) fail("no section " + key);
  return found->second;
}

struct Mapping {
  std::vector<double> scale, offset;
};

// n, then n (scale, offset) pairs.
Mapping mapping(const std::vector<double>& v) {
  Mapping m;
  const size_t n = static_cast<size_t>(v.at(0));
  for (size_t i = 0; i < n; ++i) {
    m.scale.push_back(v.at(1 + 2 * i));
    m.offset.push_back(v.at(2 + 2 * i));
  }
  return m;
}

// "%22.16e " through to_chars.
char* putValue(char* out, double x) {
  char digits[32];
  const int n = static_cast<int>(
      std::to_chars(digits, digits + sizeof digits, x, std::chars_format::scientific, 16).ptr -
      digits);
  for (int i = n; i < 22; ++i) *out++ = ' ';
  std::memcpy(out, digits, static_cast<size_t>(n));
  out += n;
  *out++ = ' ';
  return out;
}

// A text file written through one large buffer.
class Writer {
 public:
  explicit Writer(const char* name) : file_(name == nullptr ? stdout : std::fopen(name, "w")) {
    if (file_ == nullptr) fail(std::string("cannot write ") + name);
  }
  ~Writer() {
    flush();
    if (file_ != stdout) std::fclose(file_);
  }
  void line(const double* v, int n) {
    if (used_ + 32 * static_cast<size_t>(n) + 1 > sizeof buffer_) flush();
    char* out = buffer_ + used_;
    for (int i = 0; i < n; ++i) out = putValue(out, v[i]);
    *out++ = '\n';
    used_ = static_cast<size_t>(out - buffer_);
  }
  void flush() {
    std::fwrite(buffer_, 1, used_, file_);
    used_ = 0;
  }

 private:
  std::FILE* file_;
  size_t used_ = 0;
  char buffer_[1 << 20];
};

// One synapse packed for the pass: panel p holds, for every input k, the
// weights of rows 8p..8p+7 side by side (rows past the layer hold 0).
struct Packed {
  int inputs = 0;
  int panels = 0;
  const double* source = nullptr;  // the activity it reads
  std::vector<Lanes> weights;
};

Packed pack(const std::vector<double>& record, int rows, int inputs, const double* source) {
  if (static_cast<int>(record.at(0)) != rows * inputs) fail("synapse size");
  Packed p;
  p.inputs = inputs;
  p.panels = (rows + kPanel - 1) / kPanel;
  p.source = source;
  p.weights.assign(static_cast<size_t>(p.panels) * inputs, Lanes{});
  for (int j = 0; j < rows; ++j) {
    for (int k = 0; k < inputs; ++k) {
      p.weights[static_cast<size_t>(j / kPanel) * inputs + k][j % kPanel] =
          record[1 + static_cast<size_t>(j) * inputs + k];
    }
  }
  return p;
}

std::string layerKey(const Shape& shape, size_t layer) {
  if (layer == 0) return "input";
  if (layer + 1 == shape.sizes.size()) return "output";
  return "hidden" + std::to_string(layer);
}

int run(const Shape& shape) {
  const auto sections = readSections(std::string(shape.name) + ".kqw");
  const size_t layers = shape.sizes.size();
  const int outputs = shape.sizes.back();
  const int inputs = shape.sizes[0];
  const Mapping inputMap = mapping(section(sections, "inputFile"));
  const Mapping desiredMap = mapping(section(sections, "desiredFile"));
  const Mapping outputProbeMap = mapping(section(sections, "activeOutputProbe"));
  const Mapping desiredProbeMap = mapping(section(sections, "activeDesiredProbe"));

  // Activities, each padded to whole panels; biases per layer.
  std::vector<std::vector<double>> activity(layers);
  std::vector<std::vector<double>> bias(layers);
  for (size_t l = 0; l < layers; ++l) {
    activity[l].assign(static_cast<size_t>((shape.sizes[l] + kPanel - 1) / kPanel * kPanel), 0.0);
    if (l == 0) continue;
    const std::vector<double>& axon = section(sections, layerKey(shape, l) + "Axon");
    bias[l].assign(axon.begin() + 4, axon.begin() + 4 + shape.sizes[l]);
  }
  const std::vector<double>& criterionRecord = section(sections, "criterion");
  std::vector<double> desiredMin(static_cast<size_t>(outputs)),
      desiredMax(static_cast<size_t>(outputs));
  for (int i = 0; i < outputs; ++i) {
    desiredMin[i] = criterionRecord.at(5 + 2 * static_cast<size_t>(i));
    desiredMax[i] = criterionRecord.at(6 + 2 * static_cast<size_t>(i));
  }

  // Synapses into each layer in firing order: the context synapse (a root,
  // fired first), then the skips by source layer, the chain synapse last.
  std::vector<double> memory, memoryWeights, delayed;
  std::vector<std::vector<Packed>> into(layers);
  if (shape.context) {
    const std::vector<double>& axon = section(sections, "contextAxon");
    memoryWeights.assign(axon.begin() + 4, axon.begin() + 4 + inputs);
    memory.assign(axon.begin() + 5 + inputs, axon.begin() + 5 + 2 * inputs);
    const std::vector<double>& synapse = section(sections, "contextSynapse");
    const size_t weights = static_cast<size_t>(synapse.at(0));
    delayed.assign(synapse.begin() + 2 + static_cast<long>(weights),
                   synapse.begin() + 2 + static_cast<long>(weights) + inputs);
    into[1].push_back(pack(synapse, shape.sizes[1], inputs, delayed.data()));
  }
  for (size_t t = 1; t < layers; ++t) {
    for (size_t s = shape.skips ? 0 : t - 1; s + 1 < t; ++s) {
      std::string target = layerKey(shape, t) + "Axon";
      target[0] = static_cast<char>(target[0] - 'a' + 'A');
      into[t].push_back(pack(section(sections, layerKey(shape, s) + "AxonTo" + target + "Synapse"),
                             shape.sizes[t], shape.sizes[s], activity[s].data()));
    }
    const std::string chain = t + 1 == layers ? "outputSynapse" : layerKey(shape, t) + "Synapse";
    into[t].push_back(
        pack(section(sections, chain), shape.sizes[t], shape.sizes[t - 1], activity[t - 1].data()));
  }

  const std::string inputText = readFile("inputFile.asc");
  const std::string desiredText = readFile("desiredFile.asc");
  const std::vector<double> inputValues =
      numbers(inputText.data(), inputText.data() + inputText.size());
  const std::vector<double> desiredValues =
      numbers(desiredText.data(), desiredText.data() + desiredText.size());
  if (inputValues.empty() || desiredValues.empty()) fail("empty data file");

  Writer outputProbe("activeOutputProbe.asc");
  Writer desiredProbe("activeDesiredProbe.asc");

  // The criterion's accumulators.
  constexpr int kThresholds = 100;
  constexpr double kLow = -0.9, kHigh = 0.9, kReference = -0.9;
  const size_t n = static_cast<size_t>(outputs);
  std::vector<double> sd(n), sy(n), sdy(n), sdd(n), syy(n), desired(n), shown(n);
  std::vector<int> positives(kThresholds), negatives(kThresholds), truePositives(kThresholds),
      falsePositives(kThresholds);
  std::vector<double> confusion(n * n);
  double costSum = 0.0, squaredError = 0.0, percentError = 0.0;
  size_t inputAt = 0, desiredAt = 0;
  std::vector<Lanes> net(8);

  for (int e = 0; e < shape.exemplars; ++e) {
    double* x = activity[0].data();
    for (int k = 0; k < inputs; ++k) {
      x[k] = inputMap.scale[k] * inputValues[inputAt] + inputMap.offset[k];
      if (++inputAt == inputValues.size()) inputAt = 0;
    }
    for (size_t t = 1; t < layers; ++t) {
      const int panels = (shape.sizes[t] + kPanel - 1) / kPanel;
      for (int p = 0; p < panels; ++p) net[p] = Lanes{};
      for (const Packed& s : into[t]) {
        for (int p = 0; p < panels; ++p) {
          const Lanes* w = s.weights.data() + static_cast<size_t>(p) * s.inputs;
          // The panel's eight sums as four register pairs.
          Pair s0 = {net[p][0], net[p][1]}, s1 = {net[p][2], net[p][3]};
          Pair s2 = {net[p][4], net[p][5]}, s3 = {net[p][6], net[p][7]};
          for (int k = 0; k < s.inputs; ++k) {
            const double* wk = reinterpret_cast<const double*>(w + k);
            const Pair a = {s.source[k], s.source[k]};
            s0 += *reinterpret_cast<const Pair*>(wk) * a;
            s1 += *reinterpret_cast<const Pair*>(wk + 2) * a;
            s2 += *reinterpret_cast<const Pair*>(wk + 4) * a;
            s3 += *reinterpret_cast<const Pair*>(wk + 6) * a;
          }
          net[p] = Lanes{s0[0], s0[1], s1[0], s1[1], s2[0], s2[1], s3[0], s3[1]};
        }
      }
      double* y = activity[t].data();
      for (int j = 0; j < shape.sizes[t]; ++j)
        y[j] = std::tanh(1.0 * net[j / kPanel][j % kPanel] + bias[t][j]);
    }
    if (shape.context) {
      for (int k = 0; k < inputs; ++k) {
        const double w = memoryWeights[k];
        memory[k] = 1.0 * ((1.0 - w) * x[k] + w * memory[k]);
        delayed[k] = memory[k];
      }
    }

    const double* y = activity[layers - 1].data();
    for (size_t i = 0; i < n; ++i) {
      desired[i] = desiredMap.scale[i] * desiredValues[desiredAt] + desiredMap.offset[i];
      if (++desiredAt == desiredValues.size()) desiredAt = 0;
    }
    for (size_t i = 0; i < n; ++i)
      shown[i] = (y[i] - outputProbeMap.offset[i]) / outputProbeMap.scale[i];
    outputProbe.line(shown.data(), outputs);
    for (size_t i = 0; i < n; ++i)
      shown[i] = (desired[i] - desiredProbeMap.offset[i]) / desiredProbeMap.scale[i];
    desiredProbe.line(shown.data(), outputs);

    double exemplarCost = 0.0;
    for (size_t i = 0; i < n; ++i) {
      const double err = desired[i] - y[i];
      exemplarCost += 0.5 * (err * err);
    }
    costSum += exemplarCost;
    for (size_t i = 0; i < n; ++i) {
      const double d = desired[i];
      const double err = d - y[i];
      squaredError += err * err;
      const double span = d - kReference;
      if (span != 0.0) percentError += std::fabs(err / span) * 100.0;
      sd[i] += d;
      sy[i] += y[i];
      sdy[i] += d * y[i];
      sdd[i] += d * d;
      syy[i] += y[i] * y[i];
    }
    const bool positive = desired[0] > kLow + (kHigh - kLow) / 2.0;
    double threshold = kLow;
    const double increment = (kHigh - kLow) / (kThresholds - 1);
    for (int i = 0; i < kThresholds; ++i) {
      ++(positive ? positives : negatives)[i];
      if (y[0] >= threshold) ++(positive ? truePositives : falsePositives)[i];
      threshold += increment;
    }
    size_t desiredClass = 0, outputClass = 0;
    for (size_t i = 1; i < n; ++i) {
      if (desired[i] > desired[desiredClass]) desiredClass = i;
      if (y[i] > y[outputClass]) outputClass = i;
    }
    confusion[desiredClass * n + outputClass] += 1.0;
  }

  // The epoch's measures, as the criterion completes them.
  const double count = shape.exemplars;
  const double cells = static_cast<double>(static_cast<long>(outputs) * shape.exemplars);
  double correlationSum = 0.0, rangeSum = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const double numerator = count * sdy[i] - sd[i] * sy[i];
    const double spread = (count * sdd[i] - sd[i] * sd[i]) * (count * syy[i] - sy[i] * sy[i]);
    correlationSum += numerator / std::sqrt(std::fabs(spread));
    rangeSum += desiredMax[i] - desiredMin[i];
  }
  const double meanSquaredError = squaredError / cells;
  const double performance[6] = {
      meanSquaredError,
      std::sqrt(meanSquaredError) / (rangeSum / outputs),
      correlationSum / outputs,
      percentError / cells,
      count * std::log(meanSquaredError) + 2.0 * shape.freeParameters,
      count * std::log(meanSquaredError) + 0.5 * shape.freeParameters * std::log(count)};
  Writer("activePerformanceProbe.asc").line(performance, 6);

  std::vector<double> roc;
  double threshold = kLow;
  const double increment = (kHigh - kLow) / (kThresholds - 1);
  for (int i = 0; i < kThresholds; ++i) {
    roc.push_back(threshold);
    roc.push_back(positives[i] != 0 ? static_cast<double>(truePositives[i]) / positives[i] : 0.0);
    roc.push_back(negatives[i] != 0 ? static_cast<double>(falsePositives[i]) / negatives[i] : 0.0);
    threshold += increment;
  }
  Writer("activeROCProbe.asc").line(roc.data(), static_cast<int>(roc.size()));

  std::vector<double> percent;
  for (size_t r = 0; r < n; ++r) {
    double sum = 0.0;
    for (size_t c = 0; c < n; ++c) sum += confusion[r * n + c];
    const int rowSum = static_cast<int>(sum);
    for (size_t c = 0; c < n; ++c)
      percent.push_back(rowSum != 0 ? confusion[r * n + c] / rowSum * 100.0 : 0.0);
  }
  Writer("activeConfusionMatrixProbe.asc").line(percent.data(), static_cast<int>(percent.size()));

  const double cost = costSum / cells;
  Writer(nullptr).line(&cost, 1);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) fail("usage: plain_loop Orvane|Belmot|Quillet|Dravik");
  for (const Shape& shape : kShapes) {
    if (std::strcmp(argv[1], shape.name) == 0) return run(shape);
  }
  fail(std::string("unknown program ") + argv[1]);
}
