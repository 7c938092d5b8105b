#pragma once

#include <initializer_list>
#include <utility>
#include <vector>

// The weights of a component: a vector of doubles whose every writing
// access marks it written. A copy of the weights laid out for speed (a full
// synapse's panels) is remade on its next use when the mark is set, so no
// write a caller makes through this interface is missed, whatever it writes
// through: an element, an iterator, a pointer from data(), or the whole
// vector at once. Reads through const access leave the mark alone, which is
// why the sums read the weights through a const view.
//
// A pointer or iterator taken before a sum and written through after it
// bypasses the mark: take it again (or call Soma::weightsChanged) after
// every sum before writing through it.

namespace kq {

class WeightVector {
 public:
  using Values = std::vector<double>;
  using value_type = double;
  using size_type = Values::size_type;
  using difference_type = Values::difference_type;
  using reference = double&;
  using const_reference = const double&;
  using pointer = double*;
  using const_pointer = const double*;
  using iterator = Values::iterator;
  using const_iterator = Values::const_iterator;
  using reverse_iterator = Values::reverse_iterator;
  using const_reverse_iterator = Values::const_reverse_iterator;

  WeightVector() = default;
  explicit WeightVector(size_type count, double value = 0.0) : values_(count, value) {}
  WeightVector(std::initializer_list<double> list) : values_(list) {}
  explicit WeightVector(Values values) : values_(std::move(values)) {}
  WeightVector(const WeightVector& other) : values_(other.values_) {}
  WeightVector(WeightVector&& other) noexcept : values_(std::move(other.values_)) {
    other.written_ = true;
  }
  ~WeightVector() = default;

  WeightVector& operator=(const WeightVector& other) {
    values_ = other.values_;
    written_ = true;
    return *this;
  }
  WeightVector& operator=(WeightVector&& other) noexcept {
    values_ = std::move(other.values_);
    written_ = true;
    other.written_ = true;
    return *this;
  }
  WeightVector& operator=(const Values& values) {
    values_ = values;
    written_ = true;
    return *this;
  }
  WeightVector& operator=(Values&& values) {
    values_ = std::move(values);
    written_ = true;
    return *this;
  }
  WeightVector& operator=(std::initializer_list<double> list) {
    values_ = list;
    written_ = true;
    return *this;
  }

  // Reading.
  size_type size() const { return values_.size(); }
  bool empty() const { return values_.empty(); }
  size_type capacity() const { return values_.capacity(); }
  size_type max_size() const { return values_.max_size(); }
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
  const Values& values() const { return values_; }
  // Reads as the vector it wraps, so code that only reads weights takes a
  // const std::vector<double>& as before.
  operator const Values&() const { return values_; }

  // Writing: each marks the weights written.
  double& operator[](size_type i) { return mark()[i]; }
  double& at(size_type i) { return mark().at(i); }
  double& front() { return mark().front(); }
  double& back() { return mark().back(); }
  double* data() { return mark().data(); }
  iterator begin() { return mark().begin(); }
  iterator end() { return mark().end(); }
  reverse_iterator rbegin() { return mark().rbegin(); }
  reverse_iterator rend() { return mark().rend(); }
  void assign(size_type count, double value) { mark().assign(count, value); }
  template <typename InputIt>
  void assign(InputIt first, InputIt last) {
    mark().assign(first, last);
  }
  void assign(std::initializer_list<double> list) { mark().assign(list); }
  void resize(size_type count) { mark().resize(count); }
  void resize(size_type count, double value) { mark().resize(count, value); }
  void clear() { mark().clear(); }
  void reserve(size_type count) { mark().reserve(count); }
  void shrink_to_fit() { mark().shrink_to_fit(); }
  void push_back(double value) { mark().push_back(value); }
  double& emplace_back(double value) { return mark().emplace_back(value); }
  void pop_back() { mark().pop_back(); }
  iterator insert(const_iterator at, double value) { return mark().insert(at, value); }
  iterator insert(const_iterator at, size_type count, double value) {
    return mark().insert(at, count, value);
  }
  template <typename InputIt>
  iterator insert(const_iterator at, InputIt first, InputIt last) {
    return mark().insert(at, first, last);
  }
  iterator insert(const_iterator at, std::initializer_list<double> list) {
    return mark().insert(at, list);
  }
  iterator erase(const_iterator at) { return mark().erase(at); }
  iterator erase(const_iterator first, const_iterator last) { return mark().erase(first, last); }
  void swap(WeightVector& other) noexcept {
    values_.swap(other.values_);
    written_ = true;
    other.written_ = true;
  }
  void swap(Values& other) noexcept {
    values_.swap(other);
    written_ = true;
  }

  // Whether a writing access came since the last takeWritten; clears it.
  // The one copy kept of a component's weights (its owner's) takes it.
  bool takeWritten() { return std::exchange(written_, false); }

 private:
  Values& mark() {
    written_ = true;
    return values_;
  }

  Values values_;
  bool written_ = true;  // a writing access came since the copy was made
};

inline bool operator==(const WeightVector& a, const WeightVector& b) {
  return a.values() == b.values();
}
inline bool operator==(const WeightVector& a, const WeightVector::Values& b) {
  return a.values() == b;
}

inline void swap(WeightVector& a, WeightVector& b) noexcept { a.swap(b); }
inline void swap(WeightVector& a, WeightVector::Values& b) noexcept { a.swap(b); }
inline void swap(WeightVector::Values& a, WeightVector& b) noexcept { b.swap(a); }

}  // namespace kq
