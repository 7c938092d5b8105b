// The record readers of the weight file's sections over the input: the
// first byte picks the object (axons, context axons and their backward twin,
// synapses with and without delay, a criterion, a plain Soma, the
// conjugate-gradient and momentum rules, reading and writing data files,
// the run control in each learning mode with and without globals), the
// second the file version, and the rest is the record body, read from a
// stream and, where the object has one, by the text twin from a copy.
// Checked: every object keeps the sizes the record does not set; an axon
// takes only a shape within 1..1000000 and otherwise fails with the shape
// message before it changes; a body of plain integers reads the same
// through both twins, and a plain weights or normalisation record gives the
// values a token model gives. The stream readers are also run over a stream
// registered under a file name, as a program's weight file is: a plain body
// reads there as it does on a bare stream, except that a weights record
// ending before the object's weight total ends in the unreadable-file
// message, and with one of its tokens turned into a word the read ends in
// that message exactly when the reader gets as far as that token. Over
// any body, the readers of a registered stream that read the text it was
// opened over, as a program's weight file is read, give the same message,
// the same values and the same position as the stream's own reads. The
// sanitizers and libFuzzer's limits catch crashes, leaks and allocations a
// hostile count could drive.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include <kqnet/axons/axon.h>
#include <kqnet/axons/context_axon.h>
#include <kqnet/backward/back_context_axon.h>
#include <kqnet/control/control.h>
#include <kqnet/core/claimed_array.h>
#include <kqnet/core/fatal.h>
#include <kqnet/core/messages.h>
#include <kqnet/core/record_numbers.h>
#include <kqnet/core/records.h>
#include <kqnet/core/soma.h>
#include <kqnet/core/weight_file_version.h>
#include <kqnet/criteria/criterion.h>
#include <kqnet/data/data_file.h>
#include <kqnet/learning/cg_globals.h>
#include <kqnet/learning/conjugate_gradient.h>
#include <kqnet/momentum/momentum.h>
#include <kqnet/synapses/synapse.h>

namespace {

using kqfuzz::InputCopy;

constexpr kq::KqWeightFileVersion kVersions[] = {100, 123, 124, 213, 214, 215, 216, 223, 224,
                                                 234, 235, 241, 242, 244, 245, 246, 247};
constexpr int kVersionCount = sizeof kVersions / sizeof kVersions[0];

// An axon record may legitimately ask for any shape up to 1000000 x
// 1000000; the fuzzer keeps to small ones so that its runs stay fast. A
// criterion's statistics hold three squares of its length, so it keeps to
// far smaller ones: 128 x 128 cells each, well inside the time per input.
constexpr int64_t kLargestFuzzedLength = 4096;
constexpr int64_t kLargestFuzzedCriterionLength = 128;

constexpr char kWeightFileName[] = "Fuzzed.kqw";
const std::string kUnreadable = "Error: Unable to read file Fuzzed.kqw.\n";

// The stream a file reader reads from, registered under kWeightFileName
// while namedStreams is set, and with the text it reads while inMemory is
// set too, as a program's weight file is; where the reader left it is kept
// in lastPosition when it goes.
bool namedStreams = false;
bool inMemory = false;
long lastPosition = 0;

class BodyStream {
 public:
  explicit BodyStream(const InputCopy& body) : file_(kqfuzz::memoryFile(body)) {
    if (namedStreams) {
      named_.emplace(file_.get(), kWeightFileName, inMemory ? body.data() : nullptr, body.size());
    }
  }
  ~BodyStream() { lastPosition = std::ftell(file_.get()); }
  BodyStream(const BodyStream&) = delete;
  BodyStream& operator=(const BodyStream&) = delete;
  std::FILE* get() const { return file_.get(); }

 private:
  kqfuzz::FileHandle file_;
  std::optional<kq::NamedWeightStream> named_;
};

enum Kind {
  kTanhAxon,
  kDelayedSynapse,
  kDirectSynapse,
  kIntegratorAxon,
  kBackIntegratorAxon,
  kCriterion,
  kPlainSoma,
  kConjugateGradient,
  kMomentum,
  kReadingDataFile,
  kWritingDataFile,
  kControlFirst,  // six control kinds: mode 0/1/2, without and with globals
  kKindCount = kControlFirst + 6,
};

std::vector<double> frameOf(const kq::Soma* soma, int64_t count) {
  if (soma == nullptr || soma->currentFrame() == nullptr) return {};
  return std::vector<double>(soma->currentFrame(), soma->currentFrame() + count);
}

bool sameVector(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (!kqfuzz::sameValue(a[i], b[i])) return false;
  }
  return true;
}

// For the plain vectors and for the weights (a WeightVector) alike.
template <typename Values>
void zero(Values& v) {
  std::fill(v.begin(), v.end(), 0.0);
}

void zeroFrame(kq::Soma* soma, int64_t count) {
  if (soma != nullptr && soma->currentFrame() != nullptr) {
    std::fill_n(soma->currentFrame(), std::min<int64_t>(count, soma->frameSize), 0.0);
  }
}

// Tokens of a body made only of short decimal integers between blanks;
// false for any other body. Both twins read such a body alike.
bool plainTokens(const InputCopy& body, std::vector<double>& tokens) {
  const char* p = body.data();
  const char* end = p + body.size();
  while (p < end) {
    if (*p == ' ' || *p == '\n' || *p == '\t' || *p == '\r') {
      ++p;
      continue;
    }
    const char* start = p;
    if (*p == '-') ++p;
    const char* digits = p;
    while (p < end && kqfuzz::isDigit(static_cast<unsigned char>(*p))) ++p;
    if (p == digits || p - digits > 9) return false;
    if (p < end && !(*p == ' ' || *p == '\n' || *p == '\t' || *p == '\r')) return false;
    // As "%lf" takes it: "-0" is a negative zero.
    tokens.push_back(std::strtod(start, nullptr));
  }
  return true;
}

// The first two integers as the file reader and as the text reader take
// them: the shape of an axon record, of at most largest elements.
bool shapeIsSmall(const InputCopy& body, int64_t largest) {
  int32_t rows = 0, columns = 0;
  {
    kqfuzz::FileHandle file = kqfuzz::memoryFile(body);
    kq::FileRecordReader reader(file.get());
    reader.readInt(rows);
    reader.readInt(columns);
  }
  if (int64_t{rows} * columns > largest) return false;
  rows = columns = 0;
  kq::WeightTextCursor cursor{body.data()};
  kq::TextRecordReader reader(cursor);
  reader.readInt(rows);
  reader.readInt(columns);
  return int64_t{rows} * columns <= largest;
}

// What a reader left: the values both twins must agree on, and the sizes.
struct Outcome {
  bool failed = false;
  std::string message;
  int32_t rows = 0, columns = 0, length = 0, active = 0;
  int32_t weightTotal = 0;  // of the object after reading
  std::vector<double> weights, frame, memory, first, second, third, fourth, fifth;
  std::vector<size_t> sizes;
};

void checkSameOutcome(const Outcome& a, const Outcome& b, int kind, int version) {
  KQFUZZ_CHECK(a.failed == b.failed && a.message == b.message,
               "kind %d version %d: file %s \"%s\", text %s \"%s\"", kind, version,
               a.failed ? "failed" : "read", a.message.c_str(), b.failed ? "failed" : "read",
               b.message.c_str());
  KQFUZZ_CHECK(
      a.rows == b.rows && a.columns == b.columns && a.active == b.active && a.length == b.length,
      "kind %d version %d: shape %dx%d/%d vs %dx%d/%d", kind, version, a.rows, a.columns, a.active,
      b.rows, b.columns, b.active);
  KQFUZZ_CHECK(sameVector(a.weights, b.weights), "kind %d version %d: weights differ", kind,
               version);
  KQFUZZ_CHECK(sameVector(a.frame, b.frame), "kind %d version %d: frame differs", kind, version);
  KQFUZZ_CHECK(sameVector(a.memory, b.memory), "kind %d version %d: memory differs", kind, version);
  KQFUZZ_CHECK(sameVector(a.first, b.first) && sameVector(a.second, b.second) &&
                   sameVector(a.third, b.third) && sameVector(a.fourth, b.fourth) &&
                   sameVector(a.fifth, b.fifth),
               "kind %d version %d: state vectors differ", kind, version);
  KQFUZZ_CHECK(a.sizes == b.sizes, "kind %d version %d: sizes differ", kind, version);
}

// The shape message an axon must give for the dimensions it refused.
void checkShapeMessage(const std::string& message) {
  const bool rowsMessage = message.rfind("Number of rows in axon out of range. Read ", 0) == 0;
  const bool columnsMessage =
      message.rfind("Number of columns in axon out of range. Read ", 0) == 0;
  KQFUZZ_CHECK(rowsMessage || columnsMessage, "unexpected fatal message \"%s\"", message.c_str());
  const char* number = message.c_str() + message.find("Read ") + 5;
  const long value = std::strtol(number, nullptr, 10);
  KQFUZZ_CHECK(value < 1 || value > 1000000, "refused an in-range dimension: \"%s\"",
               message.c_str());
  const std::string tail = ", valid range is 1-1000000.";
  KQFUZZ_CHECK(message.size() > tail.size() &&
                   message.compare(message.size() - tail.size(), tail.size(), tail) == 0,
               "message \"%s\" does not end as the shape message does", message.c_str());
}

// Reads an axon-family record, through the file or the text twin, and
// checks what the Part of the record the axon must keep.
template <typename AxonType, typename Setup, typename Capture>
Outcome readAxonFamily(const InputCopy& body, kq::KqWeightFileVersion version, bool text,
                       Setup setup, Capture capture) {
  AxonType axon;
  setup(axon);
  Outcome out;
  try {
    if (text) {
      kq::WeightTextCursor cursor{body.data()};
      axon.readWeightsFromText(cursor, version);
    } else {
      BodyStream file(body);
      axon.readWeights(file.get(), version);
    }
  } catch (const kq::FatalError& error) {
    if (namedStreams && error.what() == kUnreadable) throw;
    out.failed = true;
    out.message = error.what();
    checkShapeMessage(out.message);
    // Refused before the axon changes.
    KQFUZZ_CHECK(axon.rows == 3 && axon.columns == 1 && axon.length == 3,
                 "a refused shape changed the axon to %dx%d", axon.rows, axon.columns);
  }
  KQFUZZ_CHECK(axon.rows >= 1 && axon.rows <= 1000000 && axon.columns >= 1 &&
                   axon.columns <= 1000000 && axon.length == axon.rows * axon.columns,
               "shape %dx%d length %d", axon.rows, axon.columns, axon.length);
  // The sizes are those a fresh axon of the same shape has.
  AxonType fresh;
  setup(fresh);
  fresh.setRows(axon.rows);
  fresh.setColumns(axon.columns);
  KQFUZZ_CHECK(axon.weights.size() == fresh.weights.size() &&
                   axon.savedWeights.size() == fresh.savedWeights.size() &&
                   axon.frameSize == fresh.frameSize && axon.weightTotal() == fresh.weightTotal() &&
                   axon.ringLength == fresh.ringLength,
               "sizes after reading differ from a fresh %dx%d axon", axon.rows, axon.columns);
  out.rows = axon.rows;
  out.columns = axon.columns;
  out.length = axon.length;
  out.active = axon.active;
  out.weightTotal = axon.weightTotal();
  out.weights = axon.weights;
  out.sizes = {axon.weights.size(), axon.savedWeights.size(), static_cast<size_t>(axon.frameSize)};
  capture(axon, fresh, out);
  return out;
}

template <typename ContextType>
void setupContext(ContextType& axon) {
  axon.setRows(3);
  zero(axon.weights);
  zeroFrame(axon.memory.get(), axon.length);
}

template <typename ContextType>
void captureMemory(ContextType& axon, ContextType& fresh, Outcome& out) {
  KQFUZZ_CHECK(axon.memory != nullptr && fresh.memory != nullptr &&
                   axon.memory->frameSize == fresh.memory->frameSize,
               "memory sizes differ from a fresh axon");
  KQFUZZ_CHECK(axon.memory->frameSize >= axon.length, "memory frame %d shorter than length %d",
               axon.memory->frameSize, axon.length);
  out.memory = frameOf(axon.memory.get(), axon.length);
}

Outcome readOne(int kind, const InputCopy& body, kq::KqWeightFileVersion version, bool text) {
  switch (kind) {
    case kTanhAxon:
      return readAxonFamily<kq::TanhAxon>(
          body, version, text,
          [](kq::TanhAxon& a) {
            a.setRows(3);
            zero(a.weights);
          },
          [](kq::TanhAxon&, kq::TanhAxon&, Outcome&) {});
    case kIntegratorAxon:
      return readAxonFamily<kq::IntegratorAxon>(
          body, version, text, setupContext<kq::IntegratorAxon>, captureMemory<kq::IntegratorAxon>);
    case kBackIntegratorAxon:
      return readAxonFamily<kq::BackIntegratorAxon>(body, version, text,
                                                    setupContext<kq::BackIntegratorAxon>,
                                                    captureMemory<kq::BackIntegratorAxon>);
    case kCriterion:
      return readAxonFamily<kq::L2Criterion>(
          body, version, text,
          [](kq::L2Criterion& c) {
            c.setRows(3);
            zero(c.weights);
            zero(c.desiredMin);
            zero(c.desiredMax);
          },
          [](kq::L2Criterion& c, kq::L2Criterion& fresh, Outcome& out) {
            KQFUZZ_CHECK(c.desiredMin.size() == fresh.desiredMin.size() &&
                             c.desiredMax.size() == fresh.desiredMax.size(),
                         "desired range sizes differ from a fresh criterion");
            out.first = c.desiredMin;
            out.second = c.desiredMax;
          });
    case kDelayedSynapse:
    case kDirectSynapse: {
      kq::Axon input, output;
      kq::FullSynapse synapse;
      input.setRows(3);
      output.setRows(2);
      synapse.setDelay(kind == kDelayedSynapse ? 1 : 0);
      input.connectOutput(&synapse);
      synapse.connectInput(&input);
      synapse.connectOutput(&output);
      output.connectInput(&synapse);
      zero(synapse.weights);
      zeroFrame(&synapse, synapse.length);
      const size_t weightsBefore = synapse.weights.size();
      const int32_t totalBefore = synapse.weightTotal();
      const int32_t lengthBefore = synapse.length;
      const int32_t frameBefore = synapse.frameSize;
      if (text) {
        kq::WeightTextCursor cursor{body.data()};
        synapse.readWeightsFromText(cursor, version);
      } else {
        BodyStream file(body);
        try {
          synapse.readWeights(file.get(), version);
        } catch (const kq::FatalError&) {
          synapse.release();
          throw;
        }
      }
      KQFUZZ_CHECK(synapse.weights.size() == weightsBefore &&
                       synapse.weightTotal() == totalBefore && synapse.length == lengthBefore &&
                       synapse.frameSize == frameBefore,
                   "a synapse record changed the synapse's sizes");
      Outcome out;
      out.weightTotal = synapse.weightTotal();
      out.weights = synapse.weights;
      out.frame = frameOf(&synapse, std::min(synapse.length, synapse.frameSize));
      // Break the links before the objects go.
      synapse.release();
      return out;
    }
    case kPlainSoma: {
      kq::Soma soma;
      soma.setWeightCount(12, 1);
      zero(soma.weights);
      const size_t before = soma.weights.size();
      if (text) {
        kq::WeightTextCursor cursor{body.data()};
        soma.readWeightsFromText(cursor, version);
      } else {
        BodyStream file(body);
        soma.readWeights(file.get(), version);
      }
      KQFUZZ_CHECK(soma.weights.size() == before, "a weights record resized the weights");
      Outcome out;
      out.weightTotal = soma.weightTotal();
      out.weights = soma.weights;
      return out;
    }
    case kConjugateGradient:
    case kMomentum: {
      kq::Soma target;
      target.setWeightCount(3, 1);
      std::unique_ptr<kq::Gradient> gradient;
      if (kind == kConjugateGradient) {
        gradient = std::make_unique<kq::ConjugateGradient>();
      } else {
        gradient = std::make_unique<kq::Momentum>();
      }
      gradient->setBackprop(&target);
      Outcome out;
      auto* cg = dynamic_cast<kq::ConjugateGradient*>(gradient.get());
      auto* momentum = dynamic_cast<kq::Momentum*>(gradient.get());
      std::vector<kq::ClaimedArray<double>*> vectors;
      if (cg != nullptr) {
        vectors = {&cg->weightCopy, &cg->baseWeights, &cg->direction, &cg->steepestDescent,
                   &cg->curvature};
      } else {
        vectors = {&momentum->velocity};
      }
      std::vector<size_t> before;
      for (kq::ClaimedArray<double>* v : vectors) {
        zero(*v);
        before.push_back(v->size());
      }
      if (text) {
        kq::WeightTextCursor cursor{body.data()};
        gradient->readWeightsFromText(cursor, version);
      } else {
        BodyStream file(body);
        try {
          gradient->readWeights(file.get(), version);
        } catch (const kq::FatalError&) {
          gradient->release();
          throw;
        }
      }
      for (size_t k = 0; k < vectors.size(); ++k) {
        KQFUZZ_CHECK(vectors[k]->size() == before[k], "a gradient record resized vector %zu", k);
      }
      KQFUZZ_CHECK(gradient->weightCount == 3, "weight count %d", gradient->weightCount);
      std::vector<double>* slots[] = {&out.first, &out.second, &out.third, &out.fourth, &out.fifth};
      for (size_t k = 0; k < vectors.size(); ++k) *slots[k] = *vectors[k];
      gradient->release();
      return out;
    }
    default:
      kqfuzz::failCheck("kind %d has no text twin", kind);
  }
}

// The normalisation record: file only; a plain body is checked against the
// token model (count, then pairs, the first three kept).
void readNormalization(int kind, const InputCopy& body, kq::KqWeightFileVersion version,
                       const std::vector<double>* tokens) {
  kq::DataFile data;
  data.setSize(3, 1);
  data.reading = kind == kReadingDataFile ? 1 : 0;
  zero(data.scale);
  zero(data.offset);
  const size_t scaleSize = data.scale.size(), offsetSize = data.offset.size();
  {
    BodyStream file(body);
    data.readNormalization(file.get(), version);
  }
  KQFUZZ_CHECK(data.scale.size() == scaleSize && data.offset.size() == offsetSize &&
                   data.normalizationSize == 3,
               "the normalisation record resized the arrays");
  if (tokens == nullptr || tokens->empty()) return;
  const int64_t count = static_cast<int64_t>((*tokens)[0]);
  for (int64_t i = 0; i < 3; ++i) {
    double scale = 0.0, offset = 0.0;
    const size_t at = static_cast<size_t>(1 + 2 * i);
    if (i < count && at < tokens->size()) scale = (*tokens)[at];
    if (i < count && at + 1 < tokens->size()) offset = (*tokens)[at + 1];
    KQFUZZ_CHECK(kqfuzz::sameValue(data.scale[static_cast<size_t>(i)], scale) &&
                     kqfuzz::sameValue(data.offset[static_cast<size_t>(i)], offset),
                 "normalisation pair %lld: %g %g, model %g %g", static_cast<long long>(i),
                 data.scale[static_cast<size_t>(i)], data.offset[static_cast<size_t>(i)], scale,
                 offset);
  }
}

void readControl(int kind, const InputCopy& body, kq::KqWeightFileVersion version) {
  const int mode = (kind - kControlFirst) % 3;
  const bool withGlobals = kind - kControlFirst >= 3;
  kq::StaticControl control;
  control.learningMode = mode;
  if (withGlobals) control.createLearningGlobals();
  try {
    BodyStream file(body);
    control.readLearningState(file.get(), version);
  } catch (const kq::FatalError& error) {
    if (namedStreams && error.what() == kUnreadable) throw;
    // Only sizes beyond 32 bits may end the read.
    KQFUZZ_CHECK(std::string(error.what()) == "Error: Out of memory.\n", "message \"%s\"",
                 error.what());
    KQFUZZ_CHECK(
        int64_t{control.savedLmState.weightCount} * control.savedLmState.weightCount > INT32_MAX ||
            int64_t{control.savedLmState.weightCount} * control.savedLmState.blockCount > INT32_MAX,
        "out of memory for n=%d m=%d", control.savedLmState.weightCount,
        control.savedLmState.blockCount);
    return;
  }
  const kq::SavedLmState& s = control.savedLmState;
  if (s.present()) {
    const size_t n = static_cast<size_t>(s.weightCount);
    const size_t m = static_cast<size_t>(std::max(s.blockCount, 0));
    KQFUZZ_CHECK(s.weightCount > 0 && s.exemplarJtJ.size() == n * n && s.hessian.size() == n * n &&
                     s.savedHessian.size() == n * n && s.inverse.size() == n * n &&
                     s.jacobian.size() == m * n && s.savedGradient.size() == m * n &&
                     s.previousAccumulator.size() == m * n && s.savedWeights.size() == n &&
                     s.step.size() == n && s.gradientSum.size() == n,
                 "saved state arrays do not match n=%d m=%d", s.weightCount, s.blockCount);
    // Every value the arrays hold came from the file or stays zero: the
    // arrays never outgrow what the input could fill.
    KQFUZZ_CHECK(n * (4 * n + 3 * m + 3) <= body.size(), "arrays of n=%zu m=%zu from %zu bytes", n,
                 m, body.size());
  }
  if (withGlobals) {
    KQFUZZ_CHECK(control.learningGlobals != nullptr, "the globals were lost");
  }
}

// Where each white-space delimited token of body begins and ends.
std::vector<std::pair<size_t, size_t>> tokenSpans(const InputCopy& body) {
  std::vector<std::pair<size_t, size_t>> spans;
  const char* text = body.data();
  for (size_t at = 0; at < body.size();) {
    if (kqfuzz::isBlank(static_cast<unsigned char>(text[at]))) {
      ++at;
      continue;
    }
    const size_t begin = at;
    while (at < body.size() && !kqfuzz::isBlank(static_cast<unsigned char>(text[at]))) ++at;
    spans.emplace_back(begin, at);
  }
  return spans;
}

// The stream reader of kind over body: its fatal message, or "" when it
// read to its end (a shape it refused included).
std::string readByFile(int kind, const InputCopy& body, kq::KqWeightFileVersion version) {
  try {
    if (kind == kReadingDataFile || kind == kWritingDataFile) {
      readNormalization(kind, body, version, nullptr);
    } else if (kind >= kControlFirst) {
      readControl(kind, body, version);
    } else {
      readOne(kind, body, version, false);
    }
  } catch (const kq::FatalError& error) {
    return error.what();
  }
  return "";
}

// Whether the weights record of kind, read from a plain body of tokenCount
// numbers, gives fewer values than the object's weight total (bare: the
// body read from a bare stream). The record follows an axon's shape (and,
// from version 224, its flag); a shape refused ends the read before it.
bool weightsEndEarly(int kind, const Outcome& bare, size_t tokenCount,
                     kq::KqWeightFileVersion version) {
  const bool axonRecord = kind == kTanhAxon || kind == kIntegratorAxon ||
                          kind == kBackIntegratorAxon || kind == kCriterion;
  const bool weightsRecord =
      axonRecord || kind == kDelayedSynapse || kind == kDirectSynapse || kind == kPlainSoma;
  if (!weightsRecord || bare.failed || bare.weightTotal <= 0) return false;
  size_t before = 0;
  if (axonRecord) before = version >= kq::kVersionAxonActiveFlag ? 3 : 2;
  return tokenCount < before + 1 + static_cast<size_t>(bare.weightTotal);
}

// A plain body over a registered stream: read as on a bare stream (the
// outcome compared on padded, the body with zeros after it, where the kind
// has one: values the body lacks keep the random values of a resized
// object; bare is the body's outcome on a bare stream), unreadable when its
// weights record ends early, and with one token turned into a word of the
// same length, unreadable exactly when the reader reaches it.
void checkNamedReads(int kind, const InputCopy& body, kq::KqWeightFileVersion version,
                     const InputCopy* padded, const Outcome* bare, size_t tokenCount) {
  if (padded != nullptr) {
    const Outcome bareRead = readOne(kind, *padded, version, false);
    namedStreams = true;
    const Outcome named = readOne(kind, *padded, version, false);
    namedStreams = false;
    checkSameOutcome(named, bareRead, kind, version);
  }
  const bool endsEarly = bare != nullptr && weightsEndEarly(kind, *bare, tokenCount, version);
  namedStreams = true;
  struct Reset {
    ~Reset() { namedStreams = false; }
  } reset;
  const std::string read = readByFile(kind, body, version);
  KQFUZZ_CHECK(read == (endsEarly ? kUnreadable : ""),
               "kind %d version %d: a plain body of %zu numbers %s \"%s\"", kind, version,
               tokenCount, endsEarly ? "whose weights end early gave" : "failed with",
               read.c_str());
  const long reached = lastPosition;

  const std::vector<std::pair<size_t, size_t>> spans = tokenSpans(body);
  if (spans.empty()) return;
  size_t pick = 0;
  for (size_t i = 0; i < body.size(); ++i)
    pick = pick * 31 + static_cast<unsigned char>(body.data()[i]);
  const auto [begin, end] = spans[pick % spans.size()];
  std::string damaged(body.data(), body.size());
  // Of the same length, so that what a reader makes of the bytes left (the
  // control record's size check) stays as it was.
  damaged.replace(begin, end - begin, std::string(end - begin, 'x'));
  const InputCopy damagedBody(reinterpret_cast<const uint8_t*>(damaged.data()), damaged.size());
  const bool reaches = static_cast<long>(end) <= reached;
  const std::string message = readByFile(kind, damagedBody, version);
  KQFUZZ_CHECK((message == kUnreadable) == reaches,
               "kind %d version %d: word at %zu, reader reached %ld, message \"%s\"", kind, version,
               begin, reached, message.c_str());
  if (!reaches) {
    KQFUZZ_CHECK(lastPosition == reached, "kind %d: the word before %zu moved the reader to %ld",
                 kind, begin, lastPosition);
  }
}

// What a reader of kind made of body over a registered stream: its message
// ("" when it read to its end), what it stored where the kind has a text
// twin, and where it left the stream.
struct NamedRead {
  std::string message;
  Outcome outcome;
  long position = 0;
};

NamedRead readNamed(int kind, const InputCopy& body, kq::KqWeightFileVersion version,
                    bool fromText) {
  namedStreams = true;
  inMemory = fromText;
  struct Reset {
    ~Reset() { namedStreams = inMemory = false; }
  } reset;
  NamedRead read;
  if (kind == kReadingDataFile || kind == kWritingDataFile || kind >= kControlFirst) {
    read.message = readByFile(kind, body, version);
  } else {
    try {
      read.outcome = readOne(kind, body, version, false);
    } catch (const kq::FatalError& error) {
      read.message = error.what();
    }
  }
  read.position = lastPosition;
  return read;
}

// The readers over a registered stream that read the text in memory accept,
// refuse and store exactly what they do through the stream, and leave the
// stream where it leaves itself: any body at all.
void checkInMemoryReads(int kind, const InputCopy& body, kq::KqWeightFileVersion version) {
  const NamedRead stream = readNamed(kind, body, version, false);
  const NamedRead text = readNamed(kind, body, version, true);
  KQFUZZ_CHECK(text.message == stream.message,
               "kind %d version %d: in memory \"%s\", stream \"%s\"", kind, version,
               text.message.c_str(), stream.message.c_str());
  checkSameOutcome(text.outcome, stream.outcome, kind, version);
  KQFUZZ_CHECK(text.position == stream.position,
               "kind %d version %d: in memory at %ld, stream at %ld", kind, version, text.position,
               stream.position);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The conjugate-gradient reader reports a count mismatch on the standard
  // output; keep it out of the fuzzer's log.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) kqfuzz::failCheck("no /dev/null");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int kind = data[0] % kKindCount;
  const kq::KqWeightFileVersion version = kVersions[data[1] % kVersionCount];
  const InputCopy body(data + 2, size - 2);
  const int descriptors = kqfuzz::lowestFreeDescriptor();

  std::vector<double> tokens;
  const bool plain = plainTokens(body, tokens);
  const bool axonRecord = kind == kTanhAxon || kind == kIntegratorAxon ||
                          kind == kBackIntegratorAxon || kind == kCriterion;
  const int64_t largest = kind == kCriterion ? kLargestFuzzedCriterionLength : kLargestFuzzedLength;
  if (!axonRecord || shapeIsSmall(body, largest)) checkInMemoryReads(kind, body, version);

  if (kind == kReadingDataFile || kind == kWritingDataFile) {
    readNormalization(kind, body, version, plain ? &tokens : nullptr);
    if (plain) checkNamedReads(kind, body, version, nullptr, nullptr, tokens.size());
  } else if (kind >= kControlFirst) {
    readControl(kind, body, version);
    if (plain) checkNamedReads(kind, body, version, nullptr, nullptr, tokens.size());
  } else {
    if (axonRecord && !shapeIsSmall(body, largest)) return 0;
    const Outcome fromFile = readOne(kind, body, version, false);
    const Outcome fromText = readOne(kind, body, version, true);
    if (plain) {
      // Where the source runs out the twins part ways by design (the file
      // keeps what the object held, the text gives 0.0), so they are
      // compared on the body followed by zeros enough for every element
      // the object could keep.
      const int64_t elements = std::max<int64_t>(fromFile.length, fromText.length);
      std::string padded(body.data(), body.size());
      padded += '\n';
      for (int64_t i = 0; i < 2 * elements + 64; ++i) padded += "0 ";
      const InputCopy paddedBody(reinterpret_cast<const uint8_t*>(padded.data()), padded.size());
      checkSameOutcome(readOne(kind, paddedBody, version, false),
                       readOne(kind, paddedBody, version, true), kind, version);
      checkNamedReads(kind, body, version, &paddedBody, &fromFile, tokens.size());
    }
    if (plain && kind == kPlainSoma && !tokens.empty()) {
      // The stored count is ignored: the twelve weights follow it.
      for (size_t i = 0; i < 12; ++i) {
        const double want = i + 1 < tokens.size() ? tokens[i + 1] : 0.0;
        KQFUZZ_CHECK(kqfuzz::sameValue(fromFile.weights[i], want), "weight %zu: %g, model %g", i,
                     fromFile.weights[i], want);
      }
    }
  }
  KQFUZZ_CHECK(kqfuzz::lowestFreeDescriptor() == descriptors, "a stream was left open");
  return 0;
}
