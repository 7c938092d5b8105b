#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "core/engine.h"
#include "core/weight_file_version.h"

// A data access is bound to a block of doubles that another object owns (an
// activity frame, a criterion's statistics, weights). The owner calls step
// when the block has new contents and setDataAndStep when the block moved;
// the access then runs its transfer and passes the call down its chain, so
// one notification reaches a data file, a probe and a transmitter in a fixed
// order.
//
// SpatialAccess: the chain and the binding; transfer does nothing.
// SpatialData: adds a buffer the access may own, and an active switch.
// InputSpatialData: adds per-element normalisation (scale x + offset) and a
// scratch copy for writing; data files derive from it.

namespace kq {

class SpatialAccess : public Engine {
 public:
  ~SpatialAccess() override = default;

  // The block moved to p (same shape) and has new contents.
  virtual void setDataAndStep(double* p);
  // The block has new contents.
  virtual void step();
  // The class's action on the block.
  virtual void transfer() {}
  // Binds this access and the chain behind it to a block of that shape.
  virtual void setData(double* p, int newRows, int newColumns);
  // Chains a behind this access and binds it to this block; null unchains.
  virtual void setNext(SpatialAccess* a);

  // Sets every element of the bound block to x, then steps.
  void fill(double x);
  // Copies length values from src into the bound block, then steps.
  void copyFrom(const double* src);

  SpatialAccess* next = nullptr;  // next access of the chain
  uint32_t transferCount = 0;     // compared with transferPeriod
  uint32_t transferPeriod = 0;    // every notification transfers while both are 0
  double* data = nullptr;         // the bound block
  int32_t rows = 0;               // rows of the bound block
  int32_t columns = 0;            // columns of the bound block
  int32_t length = 0;             // elements of the bound block

 protected:
  bool transfersNow() const { return transferCount == transferPeriod; }
};

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

  std::vector<double> ownedBuffer;  // the buffer reserve allocated
  uint32_t active = 1;              // 0 switches transfers off
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

  uint32_t normalizationOn = 0;  // map every value through scale and offset
  int32_t normalizationSize = 0; // elements of the three arrays below
  std::vector<double> scratch;   // normalised copy that a writer writes out
  uint32_t reading = 0;          // 1 reads into the block, 0 writes it out
  std::vector<double> scale;     // per-element factor (1 until the weight file sets it)
  std::vector<double> offset;    // per-element offset (0 until the weight file sets it)
};

}  // namespace kq
