// The file's version line written and a section found, with the outer
// layout's header alone.
#include <kqnet/weightfile/weight_file.h>

std::FILE* useWeightFile(std::FILE* file) {
  std::fprintf(file, "#%s %d\n", kq::kWeightFileVersionKey, int{kq::kNewestWeightFileVersion});
  const kq::KqWeightFileVersion version = kq::readWeightFileVersion(file);
  return version >= kq::kVersionControlRecord ? kq::findWeightSection(file, "Axon", "input")
                                              : nullptr;
}
