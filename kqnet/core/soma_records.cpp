#include <algorithm>

#include <kqnet/core/records.h>
#include <kqnet/core/soma.h>

// The weights record of every Soma: the stored count, which the reader reads
// and ignores, the object's weight total of values, then the class's state
// record. The object's own count decides how many values are read, so a
// record written for another size is absorbed rather than followed. A
// record that gives fewer values than that is handed to the reader
// (weightsEndedEarly), which refuses it on a program's weight file.
//
// Every operation here is one form of a hook: the file and text twins differ
// only in the reader or writer they hand it.

namespace kq {

void Soma::readWeights(std::FILE* file, KqWeightFileVersion version) {
  FileRecordReader reader(file);
  readRecord(reader, version);
}

void Soma::readWeightsFromText(WeightTextCursor& cursor, KqWeightFileVersion version) {
  TextRecordReader reader(cursor);
  readRecord(reader, version);
}

void Soma::readState(std::FILE* file, KqWeightFileVersion version) {
  FileRecordReader reader(file);
  readStateRecord(reader, version);
}

void Soma::readStateFromText(WeightTextCursor& cursor, KqWeightFileVersion version) {
  TextRecordReader reader(cursor);
  readStateRecord(reader, version);
}

void Soma::writeWeights(std::FILE* file, int blankLine) {
  FileRecordWriter writer(file);
  writeRecord(writer, blankLine, false);
}

void Soma::writeWeightsToText(std::string& text, int blankLine) {
  TextRecordWriter writer(text);
  writeRecord(writer, blankLine, false);
}

void Soma::writeSavedWeights(std::FILE* file, int blankLine) {
  FileRecordWriter writer(file);
  writeRecord(writer, blankLine, true);
}

void Soma::writeSavedWeightsToText(std::string& text, int blankLine) {
  TextRecordWriter writer(text);
  writeRecord(writer, blankLine, true);
}

void Soma::writeState(std::FILE* file) {
  FileRecordWriter writer(file);
  writeStateRecord(writer, false);
}

void Soma::writeStateToText(std::string& text) {
  TextRecordWriter writer(text);
  writeStateRecord(writer, false);
}

void Soma::writeSavedState(std::FILE* file) {
  FileRecordWriter writer(file);
  writeStateRecord(writer, true);
}

void Soma::writeSavedStateToText(std::string& text) {
  TextRecordWriter writer(text);
  writeStateRecord(writer, true);
}

void Soma::readRecord(RecordReader& reader, KqWeightFileVersion version) {
  int32_t storedCount = 0;
  const int64_t total = weightTotal();
  // A record without a readable count is taken as missing: it gives no
  // values at all.
  if (!reader.readInt(storedCount)) {
    if (total > 0) reader.weightsEndedEarly();
    return;
  }
  const int64_t kept = std::min<int64_t>(total, static_cast<int64_t>(weights.size()));
  if (!reader.readValues(total, weights.data(), kept)) reader.weightsEndedEarly();
  readStateRecord(reader, version);
}

void Soma::writeRecord(RecordWriter& writer, int blankLine, bool fromSnapshot) {
  const ClaimedArray<double>::Values& values =
      fromSnapshot ? savedWeights.vector() : weights.values();
  writeValueLine(writer, weightTotal(), values.data(), static_cast<int64_t>(values.size()));
  writeStateRecord(writer, fromSnapshot);
  if (blankLine != 0) writer.putLineEnd();
}

void Soma::saveWeights() {
  // The saved weights are allocated with the weights; should they ever
  // differ in size, they follow the weights so the copy fits.
  if (savedWeights.size() != weights.size()) savedWeights.assign(weights.size(), 0.0);
  const int64_t total = std::min<int64_t>(weightTotal(), static_cast<int64_t>(weights.size()));
  std::copy_n(weights.cbegin(), total, savedWeights.begin());
  saveState();
}

}  // namespace kq
