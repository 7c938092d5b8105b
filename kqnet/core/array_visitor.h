#pragma once

#include <cstdint>
#include <type_traits>

#include <kqnet/core/claimed_array.h>
#include <kqnet/core/weight_vector.h>

// A sizing list (sizeTogether, core/claimed_array.h) that the levels of a
// class tree build together through a virtual member: each level hands its
// own arrays to the visitor, then asks the level above for the rest, so that
// the whole of an owner's arrays is checked as one and sized as one. The
// visitor is seen through this interface, whatever the list does with it.

namespace kq {

class ArrayVisitor {
 public:
  virtual void operator()(ClaimedArray<double>& array, int64_t count, double value) const = 0;
  virtual void operator()(ClaimedArray<int32_t>& array, int64_t count, int32_t value) const = 0;
  virtual void operator()(WeightVector& weights, int64_t count, double value) const = 0;

 protected:
  ArrayVisitor() = default;
  ArrayVisitor(const ArrayVisitor&) = default;
  ArrayVisitor& operator=(const ArrayVisitor&) = default;
  ~ArrayVisitor() = default;
};

template <typename Size>
class ArrayVisitorOf final : public ArrayVisitor {
 public:
  explicit ArrayVisitorOf(Size& size) : size_(size) {}
  void operator()(ClaimedArray<double>& array, int64_t count, double value) const override {
    size_(array, count, value);
  }
  void operator()(ClaimedArray<int32_t>& array, int64_t count, int32_t value) const override {
    size_(array, count, value);
  }
  void operator()(WeightVector& weights, int64_t count, double value) const override {
    size_(weights, count, value);
  }

 private:
  Size& size_;
};

// The list that each(visitor) builds, in the form sizeTogether and growthOf
// take.
template <typename Each>
auto arrayList(Each each) {
  return [each](auto&& size) {
    const ArrayVisitorOf<std::remove_reference_t<decltype(size)>> visitor(size);
    each(visitor);
  };
}

}  // namespace kq
