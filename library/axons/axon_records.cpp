#include "axons/axon.h"
#include "axons/context_axon.h"
#include "core/fatal.h"
#include "core/messages.h"
#include "weightfile/records.h"

namespace kq {

namespace {

constexpr int32_t kLargestDimension = 1000000;

bool dimensionInRange(int32_t value) { return value >= 1 && value <= kLargestDimension; }

}  // namespace

void Axon::readWeights(std::FILE* file, KqWeightFileVersion version) {
  FileRecordReader reader(file);
  readAxonRecord(reader, version);
}

void Axon::readWeightsFromText(WeightTextCursor& cursor, KqWeightFileVersion version) {
  TextRecordReader reader(cursor);
  readAxonRecord(reader, version);
}

void Axon::readAxonRecord(RecordReader& reader, KqWeightFileVersion version) {
  // A dimension that cannot be read stays 0 and is refused as out of range.
  int32_t newRows = 0;
  int32_t newColumns = 0;
  reader.readInt(newRows);
  reader.readInt(newColumns);
  if (!dimensionInRange(newRows)) fatalf(messages::kRowsOutOfRange, newRows);
  if (!dimensionInRange(newColumns)) fatalf(messages::kColumnsOutOfRange, newColumns);
  setRows(newRows);
  setColumns(newColumns);
  if (version >= kVersionAxonActiveFlag) reader.readInt(active);
  readWeightsRecord(reader, version);
}

void Axon::writeAxonRecord(RecordWriter& writer, int blankLine, bool fromSnapshot) {
  writer.putInt(rows, ' ');
  writer.putInt(columns, '\n');
  writer.putInt(active, '\n');
  writeWeightsRecord(writer, blankLine, fromSnapshot);
}

void Axon::writeWeights(std::FILE* file, int blankLine) {
  FileRecordWriter writer(file);
  writeAxonRecord(writer, blankLine, false);
}

void Axon::writeWeightsToText(std::string& text, int blankLine) {
  TextRecordWriter writer(text);
  writeAxonRecord(writer, blankLine, false);
}

void Axon::writeSavedWeights(std::FILE* file, int blankLine) {
  FileRecordWriter writer(file);
  writeAxonRecord(writer, blankLine, true);
}

void Axon::writeSavedWeightsToText(std::string& text, int blankLine) {
  TextRecordWriter writer(text);
  writeAxonRecord(writer, blankLine, true);
}

// Context memory: the memory Soma's current frame, the axon's length of it.

void ContextAxon::readState(std::FILE* file, KqWeightFileVersion version) {
  FileRecordReader reader(file);
  if (version >= kVersionMemoryRecords) readFrameRecord(reader, frameView(memory.get(), length));
}

void ContextAxon::readStateFromText(WeightTextCursor& cursor, KqWeightFileVersion version) {
  TextRecordReader reader(cursor);
  if (version >= kVersionMemoryRecords) readFrameRecord(reader, frameView(memory.get(), length));
}

void ContextAxon::writeState(std::FILE* file) {
  FileRecordWriter writer(file);
  writeFrameRecord(writer, frameView(memory.get(), length));
}

void ContextAxon::writeStateToText(std::string& text) {
  TextRecordWriter writer(text);
  writeFrameRecord(writer, frameView(memory.get(), length));
}

void ContextAxon::saveState() { saveFrame(savedMemory, frameView(memory.get(), length)); }

void ContextAxon::writeSavedState(std::FILE* file) {
  FileRecordWriter writer(file);
  writeSavedFrame(writer, savedMemory, frameView(memory.get(), length));
}

void ContextAxon::writeSavedStateToText(std::string& text) {
  TextRecordWriter writer(text);
  writeSavedFrame(writer, savedMemory, frameView(memory.get(), length));
}

}  // namespace kq
