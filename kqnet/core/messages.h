#pragma once

// Every text the system prints on its own account lives here, so that each
// one is written once and can be checked against the programs' contract.

namespace kq::messages {

// Fatal failures (standard error, then exit code 1).
inline constexpr const char* kCouldNotOpenWeightFile = "Could not open weight file %s";
inline constexpr const char* kSectionNotFound = "The %s named %s was not found in the weight file.";
inline constexpr const char* kSectionMismatch =
    "The %s named %s does not match the %s found in the weight file.";
inline constexpr const char* kRowsOutOfRange =
    "Number of rows in axon out of range. Read %i, valid range is 1-1000000.";
inline constexpr const char* kColumnsOutOfRange =
    "Number of columns in axon out of range. Read %i, valid range is 1-1000000.";
inline constexpr const char* kUnableToOpenFile = "Error: Unable to open file %s.\n";
inline constexpr const char* kOutOfMemory = "Error: Out of memory.\n";
inline constexpr const char* kUnableToReadFile = "Error: Unable to read file %s.\n";
inline constexpr const char* kUnableToWriteFile = "Error: Unable to write file %s.\n";
inline constexpr const char* kWeightsChangedSincePrepared =
    "Error: The trainable weights changed since prepareLearning numbered them; call "
    "prepareLearning before the next batch.\n";
// The wiring check of a debug build: the wrapper, then one detail each.
inline constexpr const char* kWiringFault =
    "Error: The network is wired wrongly: %s. (Axons and synapses are numbered in the order "
    "they registered with the control.)\n";
inline constexpr const char* kWiringInputCount =
    "the input count of %s (connectInput) is %d, but %d components connect their output to it "
    "(connectOutput): %s";
inline constexpr const char* kWiringUnsentInput =
    "%s reads %s (connectInput), but that axon does not connect its output to it (connectOutput)";
inline constexpr const char* kWiringUnreadOutput =
    "%s connects its output to %s (connectOutput), but that synapse reads %s (connectInput)";
inline constexpr const char* kWiringUnmirrored =
    "%s connects its output to %s, but the backward twins do not mirror it: %s does not connect "
    "its output to %s";
// How the wiring messages name a component: class word and place, a
// component outside the lists, a twin with its dual, and the empty ends.
inline constexpr const char* kWiringPlace = "%s #%d";
inline constexpr const char* kWiringUnregistered = "%s (not registered)";
inline constexpr const char* kWiringTwin = "%s [twin of %s]";
inline constexpr const char* kWiringNoAxon = "no axon";
inline constexpr const char* kWiringNoComponent = "none";

// Non-fatal failures (standard output, the operation skipped).
inline constexpr const char* kMatrixSizesMustMatch = "matrices sizes must match";
inline constexpr const char* kMatrixVectorSizesMustMatch =
    "the sizes of the matrix and of the vector must match";
inline constexpr const char* kConjugateGradientLoadError =
    "Error loading weights for Conjugate Gradient.\n";

}  // namespace kq::messages
