#include <kqnet/learning/gradient.h>

#include <algorithm>

#include <kqnet/control/control.h>
#include <kqnet/core/perform.h>
#include <kqnet/core/records.h>
#include <kqnet/core/soma.h>
#include <kqnet/core/spatial_access.h>

namespace kq {

void Gradient::setWeightCount(int n) {
  weightCount = n < 1 ? 1 : n;
  recreateInstance();
}

void Gradient::createInstance() {
  if (performRecord == nullptr || performRecord->create == nullptr) return;
  performRecord->instance =
      callOutside<SomaCreate>(performRecord->create, userDatum, performRecord->instance);
}

void Gradient::destroyInstance(void* instance) {
  if (performRecord == nullptr || performRecord->destroy == nullptr) return;
  callOutside<InstanceDestroy>(performRecord->destroy, userDatum, instance);
}

void Gradient::recreateInstance() {
  if (performRecord == nullptr) return;
  // The instance held before is always handed to destroy, even when create
  // returned it unchanged (or it was null): a rule's create function builds
  // a new instance every time.
  void* kept = performRecord->instance;
  createInstance();
  destroyInstance(kept);
}

void Gradient::setPerformRecord(PerformRecord* record) {
  performRecord = record;
  recreateInstance();
}

void Gradient::matchTargetSize() {
  if (backprop == nullptr) {
    setWeightCount(0);
    return;
  }
  const int total = backprop->weightTotal();
  if (total != weightCount) setWeightCount(total);
}

void Gradient::setBackprop(Soma* object) {
  backprop = object;
  matchTargetSize();
}

bool Gradient::ready() const {
  return backprop != nullptr && forward != nullptr && weightCount > 0;
}

void Gradient::applyUpdate(Soma& target) {
  // Without a backprop object there is no accumulator to apply. The rule
  // works on the target it is handed; whether the forward field is set, or
  // the accumulator is empty, does not matter here.
  if (backprop == nullptr) return;
  // The arrays follow the accumulator before the rule runs, so that no
  // weight is left out. The weights they served were drawn anew with the
  // new size (Soma::setWeightCount), so none of their state carries over.
  followTarget();
  // A record without a perform function leaves the built-in rule in charge
  // rather than calling through a null pointer.
  if (performRecord != nullptr && performRecord->perform != nullptr) {
    perform(target);
  } else {
    updateWeights(target);
  }
  backprop->ownWeightAccess.step();
  target.sanitizeWeights();
}

void Gradient::followTarget() {
  if (backprop == nullptr) return;
  if (const int total = backprop->weightTotal(); total > 0 && total != weightCount) {
    matchTargetSize();
  }
}

void Gradient::reset() { resetState(); }

void Gradient::resetState() {
  if (backprop == nullptr) return;
  const int64_t total =
      std::min<int64_t>(backprop->weightTotal(), static_cast<int64_t>(backprop->weights.size()));
  std::fill(backprop->weights.begin(), backprop->weights.begin() + total, 0.0);
  backprop->ownWeightAccess.step();
}

int Gradient::gradientBlockCount() const {
  if (backprop == nullptr || forward == nullptr) return 1;
  // An unsized forward object carries one block.
  if (forward->inputLength <= 0) return 1;
  return backprop->length / forward->inputLength;
}

void Gradient::registerWithControl() {
  Engine::registerWithControl();
  if (backprop != nullptr && backprop->weightTotal() > 0 && control != nullptr) {
    control->gradientList.push_back(this);
    registered = 1;
  } else {
    registered = 0;
  }
}

void Gradient::release() {
  if (control != nullptr && registered != 0) control->removeGradient(this);
  Engine::release();
}

void Gradient::readRecord(RecordReader& reader, KqWeightFileVersion version) {
  matchTargetSize();
  readStateRecord(reader, version);
}

void Gradient::writeRecord(RecordWriter& writer, bool fromSnapshot) {
  followTarget();
  writeStateRecord(writer, fromSnapshot);
  writer.putLineEnd();
}

// The file and text forms, each handing its reader or writer to the record.

void Gradient::readWeights(std::FILE* file, KqWeightFileVersion version) {
  FileRecordReader reader(file);
  readRecord(reader, version);
}

void Gradient::readWeightsFromText(WeightTextCursor& cursor, KqWeightFileVersion version) {
  TextRecordReader reader(cursor);
  readRecord(reader, version);
}

void Gradient::readState(std::FILE* file, KqWeightFileVersion version) {
  FileRecordReader reader(file);
  readStateRecord(reader, version);
}

void Gradient::readStateFromText(WeightTextCursor& cursor, KqWeightFileVersion version) {
  TextRecordReader reader(cursor);
  readStateRecord(reader, version);
}

void Gradient::writeWeights(std::FILE* file) {
  FileRecordWriter writer(file);
  writeRecord(writer, false);
}

void Gradient::writeWeightsToText(std::string& text) {
  TextRecordWriter writer(text);
  writeRecord(writer, false);
}

void Gradient::writeSavedWeights(std::FILE* file) {
  FileRecordWriter writer(file);
  writeRecord(writer, true);
}

void Gradient::writeSavedWeightsToText(std::string& text) {
  TextRecordWriter writer(text);
  writeRecord(writer, true);
}

void Gradient::writeState(std::FILE* file) {
  followTarget();
  FileRecordWriter writer(file);
  writeStateRecord(writer, false);
}

void Gradient::writeStateToText(std::string& text) {
  followTarget();
  TextRecordWriter writer(text);
  writeStateRecord(writer, false);
}

void Gradient::writeSavedState(std::FILE* file) {
  followTarget();
  FileRecordWriter writer(file);
  writeStateRecord(writer, true);
}

void Gradient::writeSavedStateToText(std::string& text) {
  followTarget();
  TextRecordWriter writer(text);
  writeStateRecord(writer, true);
}

}  // namespace kq
