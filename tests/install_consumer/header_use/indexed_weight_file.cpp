// A weight file read into memory, with its header alone.
#include <kqnet/weightfile/indexed_weight_file.h>

std::FILE* useIndexedWeightFile(kq::WeightFile& file, const char* name) {
  if (!file.open(name) || file.version() < kq::kVersionControlRecord) return nullptr;
  return file.section("Axon", "input");
}
