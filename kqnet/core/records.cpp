#include <kqnet/core/records.h>

#include <algorithm>

#include <kqnet/core/fatal.h>
#include <kqnet/core/messages.h>
#include <kqnet/core/number_text.h>
#include <kqnet/core/record_numbers.h>
#include <kqnet/core/soma.h>

namespace kq {

namespace {

bool atTextEnd(const WeightTextCursor& cursor) {
  return cursor.position == nullptr || *cursor.position == '\0';
}

// True when a sign or digit stands somewhere ahead, so that readInt finds a
// number to take.
bool numberAhead(const WeightTextCursor& cursor) {
  if (cursor.position == nullptr) return false;
  for (const char* p = cursor.position; *p != '\0'; ++p) {
    if (*p == '+' || *p == '-' || (*p >= '0' && *p <= '9')) return true;
  }
  return false;
}

}  // namespace

bool FileRecordReader::readInt(int32_t& value) { return readWeightInt(file, value); }

bool FileRecordReader::readValues(int64_t count, double* dest, int64_t keep) {
  if (count <= 0) return true;
  return readWeightValues(file, count, dest, keep) == count;
}

bool FileRecordReader::skipInts(int64_t count) {
  if (count <= 0) return true;
  return skipWeightInts(file, count) == count;
}

void FileRecordReader::weightsEndedEarly() {
  if (const char* name = NamedWeightStream::nameOf(file)) {
    fatalf(messages::kUnableToReadFile, name);
  }
}

bool TextRecordReader::readInt(int32_t& value) {
  if (!numberAhead(cursor)) {
    // Nothing left to read: the cursor goes to the end, as readInt would.
    if (cursor.position != nullptr) cursor.readInt();
    return false;
  }
  value = cursor.readInt();
  return true;
}

bool TextRecordReader::readValues(int64_t count, double* dest, int64_t keep) {
  if (count <= 0) return true;
  cursor.readValues(count, dest, keep);
  return !atTextEnd(cursor);
}

bool TextRecordReader::skipInts(int64_t count) {
  for (int64_t i = 0; i < count; ++i) {
    if (atTextEnd(cursor)) return false;
    cursor.readInt();
  }
  return true;
}

void FileRecordWriter::putInt(int32_t value, char separator) { kq::putInt(file, value, separator); }

void FileRecordWriter::putValue(double value) { kq::putValue(file, value); }

void FileRecordWriter::putLineEnd() { std::fputc('\n', file); }

void TextRecordWriter::putInt(int32_t value, char separator) { appendInt(text, value, separator); }

void TextRecordWriter::putValue(double value) { appendValue(text, value); }

void TextRecordWriter::putLineEnd() { text += '\n'; }

bool readCountedValues(RecordReader& reader, double* dest, int64_t keep) {
  int32_t count = 0;
  if (!reader.readInt(count)) return false;
  reader.readValues(count, dest, dest != nullptr ? keep : 0);
  return true;
}

bool readCountedPairs(RecordReader& reader, double* first, double* second, int64_t keep) {
  int32_t count = 0;
  if (!reader.readInt(count)) return false;
  if (first == nullptr || second == nullptr) keep = 0;
  bool more = true;
  // Once the source has run out only the object's own elements are visited
  // (a text source sets them to 0.0, a file leaves them), so a hostile count
  // costs nothing.
  for (int64_t i = 0; i < count && (more || i < keep); ++i) {
    double pair[2] = {0.0, 0.0};
    if (i < keep) {
      pair[0] = first[i];
      pair[1] = second[i];
    }
    more = reader.readValues(2, pair, 2) && more;
    if (i < keep) {
      first[i] = pair[0];
      second[i] = pair[1];
    }
  }
  return true;
}

void writeValueLine(RecordWriter& writer, int32_t count, const double* values, int64_t available) {
  writer.putInt(count, ' ');
  if (values == nullptr) available = 0;
  for (int64_t i = 0; i < count; ++i) writer.putValue(i < available ? values[i] : 0.0);
  writer.putLineEnd();
}

FrameView frameView(const Soma* source, int32_t count) {
  FrameView view;
  view.count = count;
  if (source != nullptr && source->currentFrame() != nullptr) {
    view.values = source->currentFrame();
    view.available = std::max(source->frameSize, 0);
  }
  return view;
}

void readFrameRecord(RecordReader& reader, const FrameView& frame) {
  readCountedValues(reader, frame.values, std::min<int64_t>(frame.count, frame.available));
}

void writeFrameRecord(RecordWriter& writer, const FrameView& frame) {
  writeValueLine(writer, frame.count, frame.values, frame.available);
}

void saveFrame(ClaimedArray<double>& snapshot, const FrameView& frame) {
  const size_t size = static_cast<size_t>(std::max(frame.count, 0));
  if (snapshot.size() != size) snapshot.assign(size, 0.0);
  const int64_t available = frame.values != nullptr ? frame.available : 0;
  for (size_t i = 0; i < size; ++i) {
    snapshot[i] = static_cast<int64_t>(i) < available ? frame.values[i] : 0.0;
  }
}

void writeFrameState(RecordWriter& writer, ClaimedArray<double>& snapshot, const FrameView& frame,
                     bool fromSnapshot) {
  if (!fromSnapshot || snapshot.empty()) {
    writeFrameRecord(writer, frame);
    return;
  }
  writeValueLine(writer, frame.count, snapshot.data(), static_cast<int64_t>(snapshot.size()));
  snapshot.release();
}

}  // namespace kq
