#pragma once

#include <cstdint>

// The weight file's version and the thresholds at which its records gained
// or lost fields. Every record reader compares the version it is given with
// these, so they stand with the object model that declares the readers,
// apart from the file's outer layout (weightfile/).

namespace kq {

// The file's version; readers add fields at fixed thresholds.
using KqWeightFileVersion = uint16_t;

// The version of a file without a version line.
inline constexpr KqWeightFileVersion kDefaultWeightFileVersion = 100;

// Version thresholds of the records: a field is present from the version
// given, or, for the two "No" thresholds, only below it.
// Context memory, delayed activity of a delayed synapse, momentum velocity.
inline constexpr KqWeightFileVersion kVersionMemoryRecords = 124;
// The second block of a reading data file's normalisation record.
inline constexpr KqWeightFileVersion kVersionReadingNormalizationBlock = 214;
// The conjugate-gradient state.
inline constexpr KqWeightFileVersion kVersionConjugateGradientRecord = 216;
// The axon record's active flag.
inline constexpr KqWeightFileVersion kVersionAxonActiveFlag = 224;
// The legacy block after the conjugate-gradient vectors (below this only).
inline constexpr KqWeightFileVersion kVersionNoConjugateGradientLegacy = 235;
// The control's record.
inline constexpr KqWeightFileVersion kVersionControlRecord = 242;
// The extra value ending each Levenberg-Marquardt row (below this only).
inline constexpr KqWeightFileVersion kVersionNoLevenbergExtraValue = 245;
// The criterion's desired range.
inline constexpr KqWeightFileVersion kVersionDesiredRange = 246;
// The newest version, the one the programs assume until the file gives its
// own: every field above is present and neither legacy form is.
inline constexpr KqWeightFileVersion kNewestWeightFileVersion = 247;

}  // namespace kq
