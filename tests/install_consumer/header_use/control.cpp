// The control's record, read with its header alone.
#include <kqnet/control/control.h>

void useControlRecord(kq::StaticControl& control, std::FILE* file) {
  control.readLearningState(file, kq::kNewestWeightFileVersion);
}
