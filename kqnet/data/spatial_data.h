#pragma once

#include <cstdint>
#include <cstdio>

#include <kqnet/core/claimed_array.h>
#include <kqnet/core/spatial_access.h>
#include <kqnet/core/weight_file_version.h>

// The data accesses that hold data of their own (core/spatial_access.h has
// the chain and the binding they share).
//
// SpatialData: adds a buffer the access may own, and an active switch.
// InputSpatialData: adds per-element normalisation (scale x + offset) and a
// scratch copy for writing; data files derive from it.

namespace kq {

class SpatialData : public SpatialAccess {
 public:
  const char* className() const override { return "SpatialData"; }

  // Frees the owned buffer, unbinds, and steps so a chained access sees the
  // empty block.
  virtual void releaseBuffer();
  // An owned zero-filled buffer of n elements, bound; no step, no re-binding.
  virtual void reserve(int n);
  // Records the shape and reserves a buffer of that size.
  virtual void setSize(int newRows, int newColumns);

  ClaimedArray<double> ownedBuffer;  // the buffer reserve allocated
  uint32_t active = 1;               // 0 switches transfers off
};

class InputSpatialData : public SpatialData {
 public:
  void setSize(int newRows, int newColumns) override;

  // In place on the bound block: x := scale x + offset.
  void applyNormalization();
  // Into scratch: (x - offset) / scale; the block is left alone.
  void normalize();
  // The normalisation record of the weight file (normalization_record.cpp):
  // a count and one scale, offset pair per element, elements beyond
  // normalizationSize dropped; a reading object's file from version 214
  // carries a second block, which is read past.
  void readNormalization(std::FILE* file, KqWeightFileVersion version);

  uint32_t normalizationOn = 0;   // map every value through scale and offset
  int32_t normalizationSize = 0;  // elements of the three arrays below
  ClaimedArray<double> scratch;   // normalised copy that a writer writes out
  uint32_t reading = 0;           // 1 reads into the block, 0 writes it out
  ClaimedArray<double> scale;     // per-element factor (1 until the weight file sets it)
  ClaimedArray<double> offset;    // per-element offset (0 until the weight file sets it)
};

}  // namespace kq
