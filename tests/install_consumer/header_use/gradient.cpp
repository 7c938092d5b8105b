// A rule's record operations, called with its header alone.
#include <kqnet/learning/gradient.h>

void useGradientRecords(kq::Gradient& gradient, std::FILE* file, std::string& text) {
  gradient.readWeights(file, kq::kNewestWeightFileVersion);
  gradient.readState(file, kq::kDefaultWeightFileVersion);
  kq::WeightTextCursor cursor{text.c_str()};
  gradient.readWeightsFromText(cursor, kq::kNewestWeightFileVersion);
  gradient.readStateFromText(cursor, kq::kNewestWeightFileVersion);
  gradient.saveWeights();
  gradient.writeSavedWeights(file);
  gradient.writeWeights(file);
  gradient.writeWeightsToText(text);
  gradient.writeStateToText(text);
}
