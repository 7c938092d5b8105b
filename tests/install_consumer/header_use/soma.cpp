// A component's record operations, called with its header alone.
#include <kqnet/core/soma.h>

void useSomaRecords(kq::Soma& soma, std::FILE* file, std::string& text) {
  soma.readWeights(file, kq::kNewestWeightFileVersion);
  soma.readState(file, kq::kDefaultWeightFileVersion);
  kq::WeightTextCursor cursor{text.c_str()};
  soma.readWeightsFromText(cursor, kq::kNewestWeightFileVersion);
  soma.readStateFromText(cursor, kq::kNewestWeightFileVersion);
  soma.saveWeights();
  soma.writeSavedWeights(file, 1);
  soma.writeWeights(file, 1);
  soma.writeWeightsToText(text, 0);
  soma.writeStateToText(text);
}
