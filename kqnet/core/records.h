#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include <kqnet/core/claimed_array.h>

// The bodies of the weight-file records, written once for both of their
// forms: a reader takes its numbers from a positioned weight file or from a
// weight text cursor, a writer prints to a file or appends to a string. The
// file and text operations exist once, in Soma and in Gradient, each handing
// the matching reader or writer to the one hook a class overrides per
// record, so the twins cannot drift apart.
//
// Counts stored in a record are untrusted: no body allocates or indexes by
// one. Element i is stored only while i is below the object's own element
// count; reads beyond it are dropped, and reading stops as soon as the
// source can give no more numbers.

namespace kq {

class Soma;
struct WeightTextCursor;

// A source of record numbers.
class RecordReader {
 public:
  virtual ~RecordReader() = default;

  // A count, shape or flag. False when no number could be read (the end of
  // the source, or no number there); value is then left as it was.
  virtual bool readInt(int32_t& value) = 0;
  // count values, the first keep of them stored into dest. False when the
  // source ran out before count values (every later read gives nothing).
  virtual bool readValues(int64_t count, double* dest, int64_t keep) = 0;
  // count integers, dropped. False when the source ran out first.
  virtual bool skipInts(int64_t count) = 0;
  // Called when a weights record gave fewer values than the object's weight
  // total (a missing count included). Most sources let the record end there;
  // a program's weight file does not (FileRecordReader).
  virtual void weightsEndedEarly() {}
};

// On a registered stream (NamedWeightStream) a weights record that ends
// early ends the process as an unreadable file: the weights it lacks would
// keep the random values they started with, and every run would give
// another result.
class FileRecordReader final : public RecordReader {
 public:
  explicit FileRecordReader(std::FILE* source) : file(source) {}
  bool readInt(int32_t& value) override;
  bool readValues(int64_t count, double* dest, int64_t keep) override;
  bool skipInts(int64_t count) override;
  void weightsEndedEarly() override;

  std::FILE* file;  // positioned inside the record
};

// Past the end of the text every value reads as 0.0 (the cursor's rule), so
// kept elements beyond the end become 0.0 rather than keeping their values.
class TextRecordReader final : public RecordReader {
 public:
  explicit TextRecordReader(WeightTextCursor& source) : cursor(source) {}
  bool readInt(int32_t& value) override;
  bool readValues(int64_t count, double* dest, int64_t keep) override;
  bool skipInts(int64_t count) override;

  WeightTextCursor& cursor;  // moves past what is read
};

// A sink of record text: "%d " / "%d\n" integers, "%22.16e " values.
class RecordWriter {
 public:
  virtual ~RecordWriter() = default;

  virtual void putInt(int32_t value, char separator) = 0;
  virtual void putValue(double value) = 0;
  virtual void putLineEnd() = 0;
};

// Write errors are not reported: the writers have no file name to name in
// a message and no caller that could act on one.
class FileRecordWriter final : public RecordWriter {
 public:
  explicit FileRecordWriter(std::FILE* sink) : file(sink) {}
  void putInt(int32_t value, char separator) override;
  void putValue(double value) override;
  void putLineEnd() override;

  std::FILE* file;
};

class TextRecordWriter final : public RecordWriter {
 public:
  explicit TextRecordWriter(std::string& sink) : text(sink) {}
  void putInt(int32_t value, char separator) override;
  void putValue(double value) override;
  void putLineEnd() override;

  std::string& text;
};

// A count followed by that many values: element i goes to dest[i] while i
// is below keep. False when the count could not be read (the record is then
// taken as missing and nothing more is read).
bool readCountedValues(RecordReader& reader, double* dest, int64_t keep);

// The same with a pair of values per element, into first[i] and second[i].
bool readCountedPairs(RecordReader& reader, double* first, double* second, int64_t keep);

// "%d " count, count values and "\n". values[i] is printed for i below
// available; an element the object cannot supply prints as 0.0.
void writeValueLine(RecordWriter& writer, int32_t count, const double* values, int64_t available);

// The frame of a frame record (a context axon's memory, a delayed
// synapse's activity): count elements, the first available of which exist
// at values.
struct FrameView {
  double* values = nullptr;  // the frame; null when there is none
  int64_t available = 0;     // elements the frame holds
  int32_t count = 0;         // elements the record carries
};

// The current frame of source (its frame size available), carrying count.
FrameView frameView(const Soma* source, int32_t count);

// A count and that many values, stored into the frame while i is below both
// the frame's count and what it holds.
void readFrameRecord(RecordReader& reader, const FrameView& frame);
void writeFrameRecord(RecordWriter& writer, const FrameView& frame);
// The snapshot scheme: saveFrame copies the frame's count values (0.0 past
// what it holds) into the snapshot, sized to the count and overwritten in
// place when taken again. writeFrameState prints the present frame, or,
// with fromSnapshot, the snapshot, which it then frees (the present frame
// when there is none). The count printed is the frame's count either way.
void saveFrame(ClaimedArray<double>& snapshot, const FrameView& frame);
void writeFrameState(RecordWriter& writer, ClaimedArray<double>& snapshot, const FrameView& frame,
                     bool fromSnapshot);

}  // namespace kq
