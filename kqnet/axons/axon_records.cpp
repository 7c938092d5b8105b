#include <kqnet/axons/axon.h>
#include <kqnet/axons/context_axon.h>
#include <kqnet/core/fatal.h>
#include <kqnet/core/messages.h>
#include <kqnet/core/records.h>

namespace kq {

namespace {

constexpr int32_t kLargestDimension = 1000000;

bool dimensionInRange(int32_t value) { return value >= 1 && value <= kLargestDimension; }

}  // namespace

void Axon::readRecord(RecordReader& reader, KqWeightFileVersion version) {
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
  Soma::readRecord(reader, version);
}

void Axon::writeRecord(RecordWriter& writer, int blankLine, bool fromSnapshot) {
  writer.putInt(rows, ' ');
  writer.putInt(columns, '\n');
  writer.putInt(active, '\n');
  Soma::writeRecord(writer, blankLine, fromSnapshot);
}

// Context memory: the memory Soma's current frame, the axon's length of it.

void ContextAxon::readStateRecord(RecordReader& reader, KqWeightFileVersion version) {
  if (version >= kVersionMemoryRecords) readFrameRecord(reader, frameView(memory.get(), length));
}

void ContextAxon::writeStateRecord(RecordWriter& writer, bool fromSnapshot) {
  writeFrameState(writer, savedMemory, frameView(memory.get(), length), fromSnapshot);
}

void ContextAxon::saveState() { saveFrame(savedMemory, frameView(memory.get(), length)); }

}  // namespace kq
