// A data file's normalisation record, read with its header alone.
#include <kqnet/data/spatial_data.h>

void useNormalizationRecord(kq::InputSpatialData& data, std::FILE* file) {
  data.readNormalization(file, kq::kNewestWeightFileVersion);
}
