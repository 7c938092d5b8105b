// The weight file's version line and section lookup over a file made of the
// input: the programs' own (class word, key) pairs, and pairs taken from the
// input's first header so that the fuzzer reaches found sections and their
// bodies quickly. Every outcome (the version, the section found with the
// position after its class word, the two fatal messages) is compared with a
// model of the layout that works on the bytes in memory; the body after a
// found section is read with the counted readers and compared with the C
// library's fscanf over the same bytes. The same input is also opened by
// name as a program opens its weight file (read once, headers indexed in one
// pass), and every lookup there must end as the model's does.

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include <kqnet/core/fatal.h>
#include <kqnet/core/number_text.h>
#include <kqnet/core/record_numbers.h>
#include <kqnet/weightfile/indexed_weight_file.h>
#include <kqnet/weightfile/weight_file.h>

namespace {

using kqfuzz::InputCopy;
using kqfuzz::isBlank;

constexpr size_t kMessageTokenPrefix = 4096;

// The pairs the programs look up.
constexpr const char* kProgramSections[][2] = {
    {"File", "inputFile"},
    {"File", "desiredFile"},
    {"DataWriter", "activeOutputProbe"},
    {"DataWriter", "activeDesiredProbe"},
    {"Axon", "inputAxon"},
    {"TanhAxon", "hidden1Axon"},
    {"TanhAxon", "outputAxon"},
    {"L2Criterion", "criterion"},
    {"IntegratorAxon", "contextAxon"},
    {"BackIntegratorAxon", "contextAxonBackprop"},
    {"FullSynapse", "hidden1Synapse"},
    {"BackFullSynapse", "hidden1SynapseBackprop"},
    {"ConjugateGradient", "hidden1SynapseBackpropGradient"},
    {"Momentum", "outputSynapseBackpropGradient"},
    {"StaticControl", "control"},
};

// The whitespace-delimited token at or after pos, as "%s" takes it.
bool nextToken(const std::string& text, size_t pos, size_t& begin, size_t& end) {
  while (pos < text.size() && isBlank(static_cast<unsigned char>(text[pos]))) ++pos;
  if (pos >= text.size()) return false;
  begin = pos;
  while (pos < text.size() && !isBlank(static_cast<unsigned char>(text[pos]))) ++pos;
  end = pos;
  return true;
}

bool tokenIs(const std::string& text, size_t begin, size_t end, const std::string& word) {
  return end - begin == word.size() && text.compare(begin, end - begin, word) == 0;
}

uint16_t modelVersion(const std::string& text) {
  size_t pos = 0;
  for (;;) {
    const size_t hash = text.find('#', pos);
    if (hash == std::string::npos) return kq::kDefaultWeightFileVersion;
    size_t begin = 0, end = 0;
    if (!nextToken(text, hash + 1, begin, end)) return kq::kDefaultWeightFileVersion;
    pos = end;
    if (!tokenIs(text, begin, end, "KqWeightFileVersion")) continue;
    // "%hu" without its wrap-around: a sign '-' or a value above 65535 is
    // no version.
    size_t p = end;
    while (p < text.size() && isBlank(static_cast<unsigned char>(text[p]))) ++p;
    bool negative = false;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
    uint64_t value = 0;
    size_t digits = 0;
    for (; p < text.size() && kqfuzz::isDigit(static_cast<unsigned char>(text[p])); ++p, ++digits) {
      if (value <= 65536) value = value * 10 + static_cast<uint64_t>(text[p] - '0');
    }
    if (digits == 0 || negative || value > 65535) return kq::kDefaultWeightFileVersion;
    return static_cast<uint16_t>(value);
  }
}

// The word found as the message shows it: a byte outside printable ASCII
// as \x and two lowercase hex digits.
std::string shownWord(const std::string& word) {
  std::string shown;
  for (const char c : word) {
    const auto byte = static_cast<unsigned char>(c);
    shown += byte >= 0x20 && byte < 0x7f ? std::string(1, c) : kq::formatString("\\x%02x", byte);
  }
  return shown;
}

struct SectionOutcome {
  bool found = false;
  size_t position = 0;  // after the class word, when found
  std::string message;  // the fatal message otherwise
};

SectionOutcome modelSection(const std::string& text, const std::string& word,
                            const std::string& key) {
  SectionOutcome outcome;
  size_t pos = 0;
  for (;;) {
    const size_t hash = text.find('#', pos);
    size_t begin = 0, end = 0;
    if (hash == std::string::npos || !nextToken(text, hash + 1, begin, end)) break;
    pos = end;
    if (!tokenIs(text, begin, end, key)) continue;
    std::string found;
    size_t wordBegin = 0, wordEnd = 0;
    if (nextToken(text, end, wordBegin, wordEnd)) {
      if (tokenIs(text, wordBegin, wordEnd, word)) {
        outcome.found = true;
        outcome.position = wordEnd;
        return outcome;
      }
      found = text.substr(wordBegin, std::min(wordEnd - wordBegin, kMessageTokenPrefix));
    }
    outcome.message =
        kq::formatString("The %s named %s does not match the %s found in the weight file.",
                         word.c_str(), key.c_str(), shownWord(found).c_str());
    return outcome;
  }
  outcome.message = kq::formatString("The %s named %s was not found in the weight file.",
                                     word.c_str(), key.c_str());
  return outcome;
}

int32_t clampToInt32(long v) {
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

// A counted read as a record reader writes it with the C library: count
// calls of fscanf whose results are not checked, so a read that finds no
// number leaves its element as it was. The loop ends early at the end of
// the file, or at a failed read that did not move the stream: every later
// read would be the same.
struct CountedRead {
  int64_t made = 0;       // reads made
  int64_t succeeded = 0;  // reads that stored a number
};

template <typename T>
CountedRead modelCountedRead(std::FILE* model, const char* format, int64_t count, T* kept,
                             int64_t keep) {
  CountedRead read;
  for (; read.made < count; ++read.made) {
    const long before = std::ftell(model);
    T value{};
    const int r = std::fscanf(model, format, &value);
    if (r == EOF) break;
    if (r == 1) {
      if (read.made < keep) kept[read.made] = value;
      ++read.succeeded;
    } else if (std::ftell(model) == before) {
      break;
    }
  }
  return read;
}

// The reads a counted reader reports: count when every read found a number;
// otherwise it may stop early on a stream that every later read would
// leave as it is, so only the bounds hold.
void checkReadsMade(int64_t made, int64_t count, const CountedRead& model, const char* what) {
  const int64_t reads = std::max<int64_t>(count, 0);
  const bool agrees =
      model.succeeded == reads ? made == reads : made >= model.succeeded && made <= reads;
  KQFUZZ_CHECK(agrees, "%s: %lld reads made, the fscanf loop made %lld", what,
               static_cast<long long>(made), static_cast<long long>(model.made));
}

// A section's body as a record reader takes it: a count, that many values
// (a few kept), then a few integers; compared with fscanf on a second
// stream over the same bytes.
void readBodyLikeARecord(std::FILE* file, const InputCopy& input, long start) {
  kqfuzz::FileHandle model = kqfuzz::memoryFile(input);
  std::fseek(model.get(), start, SEEK_SET);

  int32_t count = 0;
  const kq::ScanStatus status = kq::scanInt(file, count);
  long modelCount = 0;
  const int modelStatus = std::fscanf(model.get(), "%ld", &modelCount);
  KQFUZZ_CHECK((status == kq::ScanStatus::kValue) == (modelStatus == 1), "count read at %ld",
               start);
  KQFUZZ_CHECK(std::ftell(file) == std::ftell(model.get()), "position after the count");
  if (status != kq::ScanStatus::kValue) return;
  KQFUZZ_CHECK(count == clampToInt32(modelCount), "count %d against %ld", count, modelCount);

  constexpr int64_t kKept = 16;
  double kept[kKept];
  double modelKept[kKept];
  for (int64_t i = 0; i < kKept; ++i) kept[i] = modelKept[i] = -7.0 - static_cast<double>(i);
  const int64_t keep = std::min<int64_t>(count, kKept);
  const int64_t made = kq::readWeightValues(file, count, kept, keep);
  checkReadsMade(made, count, modelCountedRead(model.get(), "%lf", count, modelKept, keep),
                 "values");
  for (int64_t i = 0; i < kKept; ++i) {
    KQFUZZ_CHECK(kqfuzz::sameValue(kept[i], modelKept[i]), "value %lld: %a, fscanf %a",
                 static_cast<long long>(i), kept[i], modelKept[i]);
  }
  KQFUZZ_CHECK(std::ftell(file) == std::ftell(model.get()), "position after the values");

  long unused[3];
  const int64_t skipped = kq::skipWeightInts(file, 3);
  checkReadsMade(skipped, 3, modelCountedRead(model.get(), "%ld", 3, unused, 0), "integers");
  KQFUZZ_CHECK(std::ftell(file) == std::ftell(model.get()), "position after the integers");
}

// The lookup of the file opened by name: the same position after the class
// word, or the same fatal message.
void checkIndexedLookup(kq::WeightFile& weights, const SectionOutcome& expected,
                        const std::string& word, const std::string& key) {
  try {
    const long position = std::ftell(weights.section(word.c_str(), key.c_str()));
    KQFUZZ_CHECK(expected.found, "opened by name, found where the model has: %s",
                 expected.message.c_str());
    KQFUZZ_CHECK(position == static_cast<long>(expected.position),
                 "opened by name, at %ld, model at %zu", position, expected.position);
  } catch (const kq::FatalError& error) {
    KQFUZZ_CHECK(!expected.found, "opened by name, not found, model finds it at %zu",
                 expected.position);
    KQFUZZ_CHECK(expected.message == error.what(), "opened by name, message \"%s\", model \"%s\"",
                 error.what(), expected.message.c_str());
  }
}

void checkLookup(std::FILE* file, kq::WeightFile& weights, const InputCopy& input,
                 const std::string& text, const std::string& word, const std::string& key) {
  const SectionOutcome expected = modelSection(text, word, key);
  checkIndexedLookup(weights, expected, word, key);
  try {
    std::FILE* positioned = kq::findWeightSection(file, word.c_str(), key.c_str());
    KQFUZZ_CHECK(positioned == file, "another handle returned");
    KQFUZZ_CHECK(expected.found, "found where the model has: %s", expected.message.c_str());
    const long position = std::ftell(file);
    KQFUZZ_CHECK(position == static_cast<long>(expected.position), "at %ld, model at %zu", position,
                 expected.position);
    readBodyLikeARecord(file, input, position);
  } catch (const kq::FatalError& error) {
    KQFUZZ_CHECK(!expected.found, "not found, model finds it at %zu", expected.position);
    KQFUZZ_CHECK(expected.message == error.what(), "message \"%s\", model \"%s\"", error.what(),
                 expected.message.c_str());
  }
}

// The key and class word of the input's first header, as a program would
// pass them (C strings: cut at a NUL).
bool firstHeader(const std::string& text, std::string& key, std::string& word) {
  const size_t hash = text.find('#');
  size_t begin = 0, end = 0;
  if (hash == std::string::npos || !nextToken(text, hash + 1, begin, end)) return false;
  key = text.substr(begin, end - begin).c_str();
  word.clear();
  size_t wordBegin = 0, wordEnd = 0;
  if (nextToken(text, end, wordBegin, wordEnd)) {
    word = text.substr(wordBegin, wordEnd - wordBegin).c_str();
  }
  return !key.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const InputCopy input(data, size);
  const std::string text(input.data(), input.size());
  kqfuzz::FileHandle file = kqfuzz::memoryFile(input);
  static const kqfuzz::ScratchFile scratch("weight_file");
  kqfuzz::writeWholeFile(scratch.path(), input);
  kq::WeightFile weights;
  KQFUZZ_CHECK(weights.open(scratch.path().c_str()), "a regular file did not open");

  try {
    const uint16_t version = kq::readWeightFileVersion(file.get());
    const uint16_t expected = modelVersion(text);
    KQFUZZ_CHECK(version == expected, "version %u, model %u", version, expected);
    KQFUZZ_CHECK(weights.version() == expected, "opened by name, version %u, model %u",
                 weights.version(), expected);

    for (const auto& pair : kProgramSections)
      checkLookup(file.get(), weights, input, text, pair[0], pair[1]);

    std::string key, word;
    if (firstHeader(text, key, word)) {
      checkLookup(file.get(), weights, input, text, word, key);
      checkLookup(file.get(), weights, input, text, word + "X", key);
      checkLookup(file.get(), weights, input, text, word, key + "X");
    }

    // Lookups leave the file anywhere, at its end too; the version is still
    // read from the top.
    KQFUZZ_CHECK(kq::readWeightFileVersion(file.get()) == expected, "version read again");
  } catch (const kq::FatalError& error) {
    // Every fatal path above is caught where it is expected; one that gets
    // here is an input fault the model does not know.
    kqfuzz::failCheck("unexpected fatal error: %s", error.what());
  }
  return 0;
}
