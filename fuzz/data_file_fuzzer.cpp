// A data file made of the input, read as text records of 1, 8 and 14 values
// with normalisation on, record after record until it has wrapped over the
// input several times; then as binary records. Every record is compared
// with a model that reads the same bytes with the C library's fscanf("%lf")
// element by element, seeking to the start at the end of the file, and maps
// each value through the same scale and offset. A file without numbers, or
// a token that is no number, must end the run with the read message at
// exactly the element where the model's read fails; the object left behind
// must still be safe to step and to destroy.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include <kqnet/core/fatal.h>
#include <kqnet/data/data_file.h>

namespace {

using kqfuzz::InputCopy;

constexpr int kTextWidths[] = {1, 8, 14};
constexpr int kBinaryWidths[] = {1, 3};
// Element reads per width at most, so that a long input stays fast.
constexpr int64_t kMaxElementReads = 20000;

// Per-element pairs that change every value and its sign in turn.
double scaleOf(int i) {
  static constexpr double kScales[] = {1.0, -0.5, 3.0, 0.0, 1e300};
  return kScales[i % 5];
}
double offsetOf(int i) { return 0.25 * i - 1.0; }

void enableNormalization(kq::DataFile& file, int width) {
  file.normalizationOn = 1;
  for (int i = 0; i < width; ++i) {
    file.scale[static_cast<size_t>(i)] = scaleOf(i);
    file.offset[static_cast<size_t>(i)] = offsetOf(i);
  }
}

std::string readMessage(const std::string& path) {
  return kq::formatString("Error: Unable to read file %s.\n", path.c_str());
}

// The numbers fscanf finds before its first failure.
int64_t countNumbers(const InputCopy& input) {
  kqfuzz::FileHandle file = kqfuzz::memoryFile(input);
  int64_t n = 0;
  for (double value = 0.0; std::fscanf(file.get(), "%lf", &value) == 1;) ++n;
  return n;
}

// The text reader as the C library gives it: false at the element whose
// read fails even after a rewind.
class TextModel {
 public:
  explicit TextModel(const InputCopy& input) : file_(kqfuzz::memoryFile(input)) {}

  bool nextRecord(std::vector<double>& record, int& failedAt) {
    for (size_t i = 0; i < record.size(); ++i) {
      int r = std::fscanf(file_.get(), "%lf", &record[i]);
      if (r == EOF) {
        std::fseek(file_.get(), 0, SEEK_SET);
        r = std::fscanf(file_.get(), "%lf", &record[i]);
      }
      if (r != 1) {
        failedAt = static_cast<int>(i);
        return false;
      }
    }
    if (std::feof(file_.get()) != 0) std::fseek(file_.get(), 0, SEEK_SET);
    for (size_t i = 0; i < record.size(); ++i) {
      const int k = static_cast<int>(i);
      record[i] = scaleOf(k) * record[i] + offsetOf(k);
    }
    return true;
  }

 private:
  kqfuzz::FileHandle file_;
};

// A record that fails must fail with the read message, leaving the elements
// before the failing one as the model read them.
void expectReadFailure(kq::DataFile& file, const std::string& path,
                       const std::vector<double>& model, int failedAt, int64_t record) {
  std::vector<double> before(file.data, file.data + file.length);
  try {
    file.step();
  } catch (const kq::FatalError& error) {
    KQFUZZ_CHECK(readMessage(path) == error.what(), "message \"%s\"", error.what());
    // The elements before the failing one were read (not yet mapped); the
    // failing one and those after it keep their values.
    for (int i = 0; i < file.length; ++i) {
      const double want =
          i < failedAt ? model[static_cast<size_t>(i)] : before[static_cast<size_t>(i)];
      KQFUZZ_CHECK(kqfuzz::sameValue(file.data[i], want),
                   "element %d of the failed record: %a, want %a", i, file.data[i], want);
    }
    // The half-read object stays usable: stepping it again reads on or
    // fails again, and its destructor closes the file.
    try {
      file.step();
    } catch (const kq::FatalError&) {
    }
    return;
  }
  kqfuzz::failCheck("record %lld read where fscanf fails at element %d",
                    static_cast<long long>(record), failedAt);
}

void readText(const std::string& path, const InputCopy& input, int width, int64_t numbers) {
  kq::DataFile file;
  file.setFileName(path.c_str());
  KQFUZZ_CHECK(file.setMode(1, kq::kTextFile) == 1, "open");
  file.setSize(width, 1);
  enableNormalization(file, width);

  TextModel model(input);
  std::vector<double> expected(static_cast<size_t>(width));
  // Over the numbers three times and then some, so that records straddle
  // the wrap at several offsets.
  const int64_t reads = std::min<int64_t>(3 * numbers + 2 * width, kMaxElementReads);
  const int64_t records = reads / width + 1;
  for (int64_t r = 0; r < records; ++r) {
    int failedAt = -1;
    if (!model.nextRecord(expected, failedAt)) {
      expectReadFailure(file, path, expected, failedAt, r);
      return;
    }
    try {
      file.step();
    } catch (const kq::FatalError& error) {
      kqfuzz::failCheck("width %d record %lld failed where fscanf reads it: %s", width,
                        static_cast<long long>(r), error.what());
    }
    for (int i = 0; i < width; ++i) {
      KQFUZZ_CHECK(kqfuzz::sameValue(file.data[i], expected[static_cast<size_t>(i)]),
                   "width %d record %lld element %d: %a, model %a", width,
                   static_cast<long long>(r), i, file.data[i], expected[static_cast<size_t>(i)]);
    }
  }
}

// Binary records: the bytes as doubles; a record cut short by the end of the
// file is replaced by the first; a file without a whole record cannot be read.
void readBinary(const std::string& path, const InputCopy& input, int width) {
  kq::DataFile file;
  file.setFileName(path.c_str());
  KQFUZZ_CHECK(file.setMode(1, kq::kBinaryFile) == 1, "open");
  file.setSize(width, 1);

  const size_t recordBytes = sizeof(double) * static_cast<size_t>(width);
  const int64_t records = static_cast<int64_t>(input.size() / recordBytes) * 2 + 2;
  size_t position = 0;
  for (int64_t r = 0; r < records; ++r) {
    if (input.size() < recordBytes) {
      try {
        file.step();
      } catch (const kq::FatalError& error) {
        KQFUZZ_CHECK(readMessage(path) == error.what(), "message \"%s\"", error.what());
        return;
      }
      kqfuzz::failCheck("a record read from %zu bytes", input.size());
    }
    if (position + recordBytes > input.size()) position = 0;
    try {
      file.step();
    } catch (const kq::FatalError& error) {
      kqfuzz::failCheck("binary width %d record %lld failed: %s", width, static_cast<long long>(r),
                        error.what());
    }
    KQFUZZ_CHECK(std::memcmp(file.data, input.data() + position, recordBytes) == 0,
                 "binary width %d record %lld", width, static_cast<long long>(r));
    position += recordBytes;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const InputCopy input(data, size);
  static const kqfuzz::ScratchFile scratch("data_file");
  const std::string& path = scratch.path();
  kqfuzz::writeWholeFile(path, input);

  try {
    const int64_t numbers = countNumbers(input);
    for (int width : kTextWidths) readText(path, input, width, numbers);
    for (int width : kBinaryWidths) readBinary(path, input, width);
  } catch (const kq::FatalError& error) {
    // Every expected fatal path is caught where it is expected.
    kqfuzz::failCheck("unexpected fatal error: %s", error.what());
  }
  // Every data file, the ones a read failure left half-done included, has
  // closed its stream: an open FILE stays reachable from the C library, so
  // the leak checker would not see it, but its descriptor shows.
  static const int firstFreeDescriptor = kqfuzz::lowestFreeDescriptor();
  KQFUZZ_CHECK(kqfuzz::lowestFreeDescriptor() == firstFreeDescriptor, "a data file was left open");
  return 0;
}
