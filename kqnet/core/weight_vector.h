#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <kqnet/core/claimed_array.h>

// The weights of a component: a fixed number of doubles in storage that
// only the component replaces (Soma::setWeightCount and releaseWeights).
// Nothing here can move the storage: whole-vector writes (assignments,
// assign, swaps) copy the values into the array that is there, and one of
// another size throws std::length_error, leaving the weights as they were.
// The members that would grow or shrink the array are not offered.
//
// What points into the weights or is sized from them, and who re-points it:
// - the observers stored in ownWeightAccess and instanceWeightAccess, and
//   the chains behind them: the component's bindWeightAccess binds them to
//   what the weights hold (whole rows of the own part, the instance part
//   after it) when one is stored, when the storage is replaced or freed and
//   when a synapse's matrix changes shape. Either end of the link may be
//   destroyed first; each takes itself out of the other (WeightAccessRef,
//   SpatialAccess).
// - the outside instance's parameter vector: pointed at the instance part
//   by setWeightCount, cleared by releaseWeights; recreateInstance gives
//   storage again to a vector that no longer matches it (core/perform.h).
// - copies derived from the weights: remade by the write count below.
// - the learning rules' per-weight arrays: a rule follows its accumulator's
//   new size at the next batch (Gradient::applyUpdate); the control's weight
//   index for the second-order methods ends the run instead, naming
//   prepareLearning (StaticControl's learning hooks).
//
// Every writing access counts one write: an element, an iterator, a pointer
// from data(), a whole-vector write, the storage replaced. A copy derived
// from the weights (a full synapse's packed panels) remembers the count it
// was made at and is remade when the count moved, so no write a caller makes
// through this interface is missed; any number of such copies can compare.
// Reads through const access count nothing, which is why the sums read the
// weights through a const view.
//
// A pointer, iterator, span or reference taken before a sum and written
// through after it bypasses the count: take it again after the sum, or call
// Soma::weightsChanged after writing through it.
//
// The storage is a ClaimedArray: it holds its bytes on the memory ledger
// while it exists. What may point at a component's observers, and who
// unlinks them: core/access_ref.h.

namespace kq {

class Soma;

class WeightVector {
 public:
  // The plain vector the weights are exchanged with, and the counted one
  // they are held in.
  using Values = std::vector<double>;
  using Storage = ClaimedArray<double>::Values;
  using value_type = double;
  using size_type = Storage::size_type;
  using difference_type = Storage::difference_type;
  using reference = double&;
  using const_reference = const double&;
  using pointer = double*;
  using const_pointer = const double*;
  using iterator = Storage::iterator;
  using const_iterator = Storage::const_iterator;
  using reverse_iterator = Storage::reverse_iterator;
  using const_reverse_iterator = Storage::const_reverse_iterator;

  WeightVector() = default;
  explicit WeightVector(size_type count, double value = 0.0) : values_(count, value) {}
  WeightVector(std::initializer_list<double> list) : values_(list) {}
  explicit WeightVector(const Values& values) : values_(values.begin(), values.end()) {}
  // Copies only: there is no move, so that moving a component's weights
  // away copies them and leaves its storage where its observers point.
  WeightVector(const WeightVector& other) : values_(other.values_) {}
  ~WeightVector() = default;

  // Whole-vector writes: the values are copied into the present storage.
  WeightVector& operator=(const WeightVector& other) {
    return copyIn(other.values_.begin(), other.values_.size());
  }
  WeightVector& operator=(const Values& values) { return copyIn(values.begin(), values.size()); }
  WeightVector& operator=(std::initializer_list<double> list) {
    return copyIn(list.begin(), list.size());
  }
  void assign(size_type count, double value) {
    requireSize(count);
    std::fill(values_.begin(), values_.end(), value);
    ++writes_;
  }
  template <typename InputIt>
  void assign(InputIt first, InputIt last) {
    if constexpr (std::is_base_of_v<std::forward_iterator_tag,
                                    typename std::iterator_traits<InputIt>::iterator_category>) {
      copyIn(first, static_cast<size_type>(std::distance(first, last)));
    } else {
      const Values values(first, last);  // a single pass: count it first
      copyIn(values.begin(), values.size());
    }
  }
  void assign(std::initializer_list<double> list) { copyIn(list.begin(), list.size()); }
  // Exchanges the values, each side keeping its storage. Unlike a vector's,
  // these swaps throw on unequal sizes: exchanging the arrays instead would
  // leave the observers on the storage that went.
  void swap(WeightVector& other) {  // NOLINT(bugprone-exception-escape)
    requireSize(other.size());
    std::swap_ranges(values_.begin(), values_.end(), other.values_.begin());
    ++writes_;
    ++other.writes_;
  }
  void swap(Values& other) {  // NOLINT(bugprone-exception-escape)
    requireSize(other.size());
    std::swap_ranges(values_.begin(), values_.end(), other.begin());
    ++writes_;
  }

  // Reading.
  size_type size() const { return values_.size(); }
  bool empty() const { return values_.empty(); }
  size_type max_size() const { return values_.vector().max_size(); }
  const double& operator[](size_type i) const { return values_[i]; }
  const double& at(size_type i) const { return values_.at(i); }
  const double& front() const { return values_.front(); }
  const double& back() const { return values_.back(); }
  const double* data() const { return values_.data(); }
  const_iterator begin() const { return values_.begin(); }
  const_iterator end() const { return values_.end(); }
  const_iterator cbegin() const { return values_.cbegin(); }
  const_iterator cend() const { return values_.cend(); }
  const_reverse_iterator rbegin() const { return values_.rbegin(); }
  const_reverse_iterator rend() const { return values_.rend(); }
  const_reverse_iterator crbegin() const { return values_.crbegin(); }
  const_reverse_iterator crend() const { return values_.crend(); }
  const Storage& values() const { return values_.vector(); }
  // A plain copy of the values, for code that takes a std::vector<double>:
  // it does not follow later writes.
  operator Values() const { return Values(values_.begin(), values_.end()); }
  // Bytes more (negative: fewer) the storage claims once it holds count
  // values; as an entry of a sizing list (sizeTogether), sized by
  // reallocate (the value is always 0).
  int64_t growthTo(size_type count) const { return values_.growthTo(count); }
  int64_t growthTo(size_type count, double /*value*/) const { return values_.growthTo(count); }

  // Element writing: each counts a write.
  double& operator[](size_type i) { return counted()[i]; }
  double& at(size_type i) { return counted().at(i); }
  double& front() { return counted().front(); }
  double& back() { return counted().back(); }
  double* data() { return counted().data(); }
  iterator begin() { return counted().begin(); }
  iterator end() { return counted().end(); }
  reverse_iterator rbegin() { return counted().rbegin(); }
  reverse_iterator rend() { return counted().rend(); }

  // Writes counted so far; it only ever grows.
  uint64_t writeCount() const { return writes_; }

 private:
  // The component replaces the storage and counts writes made through
  // pointers it handed out; its observer field counts what a departing
  // observer may have written.
  friend class Soma;
  friend void resizeArray(WeightVector& weights, size_type count, double /*value*/) {
    weights.reallocate(count);
  }

  ClaimedArray<double>& counted() {
    ++writes_;
    return values_;
  }
  void markWritten() { ++writes_; }
  // count zero-filled doubles (count 0 frees the storage); a count beyond
  // physical memory ends the process before anything changes.
  void reallocate(size_type count) {
    values_.assign(count, 0.0);
    ++writes_;
  }
  void requireSize(size_type count) const {
    if (count != values_.size()) {
      throw std::length_error("kq::WeightVector: " + std::to_string(count) + " values for " +
                              std::to_string(values_.size()) +
                              " weights; a component's weights change size only through "
                              "Soma::setWeightCount");
    }
  }
  template <typename It>
  WeightVector& copyIn(It first, size_type count) {
    requireSize(count);
    std::copy_n(first, count, values_.begin());
    ++writes_;
    return *this;
  }

  ClaimedArray<double> values_;
  uint64_t writes_ = 0;
};

inline bool operator==(const WeightVector& a, const WeightVector& b) {
  return a.values() == b.values();
}
inline bool operator==(const WeightVector& a, const WeightVector::Values& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

// NOLINTBEGIN(bugprone-exception-escape): they throw as the members do.
inline void swap(WeightVector& a, WeightVector& b) { a.swap(b); }
inline void swap(WeightVector& a, WeightVector::Values& b) { a.swap(b); }
inline void swap(WeightVector::Values& a, WeightVector& b) { b.swap(a); }
// NOLINTEND(bugprone-exception-escape)

}  // namespace kq
