#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include <kqnet/core/memory.h>

// The one way the library sizes an array that grows with a shape or a data
// file. A ClaimedArray holds its elements in storage of exactly its size,
// and the bytes of that storage on the memory ledger (core/memory.h) for as
// long as it holds them: the figure on the ledger is derived from the size
// by the array itself, so it can neither drift from the array nor be written
// apart from it.
//
// Only the sizing members change the size: assign, the whole-array
// assignments and release. Each claims the new size first and allocates
// after; a size that does not fit beside the other claims ends the process
// with "Error: Out of memory." and leaves the array as it was. Elements are
// read and written as in a std::vector, at the same cost. A copy claims
// anew; a move hands the storage and its claim over together.
//
// Arrays sized together are checked together, before the first of them
// changes (sizeTogether below). An array that several owners read is handed
// over to shared ownership (share): its claim then goes with the last
// reader, when the memory goes.

namespace kq {

// For a buffer that a read fills at once (the weight file's text): elements
// made without a value are left as they are, so sizing the buffer costs no
// pass over it. Elements given a value are made as usual.
template <typename T>
struct OverwrittenAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = OverwrittenAllocator<U>;
  };
  OverwrittenAllocator() = default;
  template <typename U>
  explicit OverwrittenAllocator(const OverwrittenAllocator<U>& /*other*/) noexcept {}
  template <typename U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

template <typename T, typename Allocator = std::allocator<T>>
class ClaimedArray {
 public:
  using Values = std::vector<T, Allocator>;
  using value_type = T;
  using size_type = typename Values::size_type;
  using difference_type = typename Values::difference_type;
  using reference = T&;
  using const_reference = const T&;
  using pointer = T*;
  using const_pointer = const T*;
  using iterator = typename Values::iterator;
  using const_iterator = typename Values::const_iterator;
  using reverse_iterator = typename Values::reverse_iterator;
  using const_reverse_iterator = typename Values::const_reverse_iterator;

  // An element's bytes; the elements may themselves be pointers.
  static constexpr uint64_t kElementBytes = sizeof(T);  // NOLINT(bugprone-sizeof-expression)

  ClaimedArray() = default;
  explicit ClaimedArray(size_type count, const T& value = T()) { assign(count, value); }
  ClaimedArray(std::initializer_list<T> list) { assign(list.begin(), list.end()); }
  template <typename It, typename = typename std::iterator_traits<It>::iterator_category>
  ClaimedArray(It first, It last) {
    assign(first, last);
  }
  ClaimedArray(const ClaimedArray& other) { assign(other.begin(), other.end()); }
  ClaimedArray(ClaimedArray&&) noexcept = default;
  ~ClaimedArray() = default;

  ClaimedArray& operator=(const ClaimedArray& other) {
    if (this != &other) assign(other.begin(), other.end());
    return *this;
  }
  ClaimedArray& operator=(ClaimedArray&&) noexcept = default;
  ClaimedArray& operator=(std::initializer_list<T> list) {
    assign(list.begin(), list.end());
    return *this;
  }
  ClaimedArray& operator=(const Values& elements) {
    assign(elements.begin(), elements.end());
    return *this;
  }

  // Bytes that count elements take on the ledger (beyond 64 bits: the
  // largest figure, which no machine has).
  static int64_t bytesFor(size_type count) {
    constexpr auto kLargest = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (count > kLargest / kElementBytes) return std::numeric_limits<int64_t>::max();
    return static_cast<int64_t>(count * kElementBytes);
  }
  // Bytes more (negative: fewer) that this array claims once it holds count
  // elements.
  int64_t growthTo(size_type count) const { return bytesFor(count) - claim.bytes(); }

  // count copies of value. The same count keeps the storage; another
  // replaces it, claimed before it is allocated.
  void assign(size_type count, const T& value) {
    if (count == values.size()) {
      std::fill(values.begin(), values.end(), value);
      return;
    }
    claim.set(bytesFor(count));
    Values(count, value).swap(values);
  }
  // The elements of [first, last), a range that can be walked twice.
  template <typename It, typename = typename std::iterator_traits<It>::iterator_category>
  void assign(It first, It last) {
    static_assert(std::is_base_of_v<std::forward_iterator_tag,
                                    typename std::iterator_traits<It>::iterator_category>,
                  "the range is counted before it is copied");
    const auto count = static_cast<size_type>(std::distance(first, last));
    if (count == values.size()) {
      std::copy(first, last, values.begin());
      return;
    }
    claim.set(bytesFor(count));
    Values(first, last).swap(values);
  }
  // count elements whose values the caller writes next: with
  // OverwrittenAllocator they are left unset, else they are made as T().
  void assignForOverwrite(size_type count) {
    if (count == values.size()) return;
    claim.set(bytesFor(count));
    Values(count).swap(values);
  }
  // Frees the storage and gives its bytes back.
  void release() {
    Values().swap(values);
    claim.release();
  }
  // Hands the array over to owners that share it; the claim goes along and
  // is given back when the last of them lets go, together with the memory.
  // This array is left empty.
  std::shared_ptr<T[]> share() && {
    auto holder = std::make_shared<ClaimedArray>(std::move(*this));
    return std::shared_ptr<T[]>(holder, holder->data());
  }

  size_type size() const { return values.size(); }
  bool empty() const { return values.empty(); }
  T& operator[](size_type i) { return values[i]; }
  const T& operator[](size_type i) const { return values[i]; }
  T& at(size_type i) { return values.at(i); }
  const T& at(size_type i) const { return values.at(i); }
  T& front() { return values.front(); }
  const T& front() const { return values.front(); }
  T& back() { return values.back(); }
  const T& back() const { return values.back(); }
  T* data() { return values.data(); }
  const T* data() const { return values.data(); }
  iterator begin() { return values.begin(); }
  iterator end() { return values.end(); }
  const_iterator begin() const { return values.begin(); }
  const_iterator end() const { return values.end(); }
  const_iterator cbegin() const { return values.cbegin(); }
  const_iterator cend() const { return values.cend(); }
  reverse_iterator rbegin() { return values.rbegin(); }
  reverse_iterator rend() { return values.rend(); }
  const_reverse_iterator rbegin() const { return values.rbegin(); }
  const_reverse_iterator rend() const { return values.rend(); }
  const_reverse_iterator crbegin() const { return values.crbegin(); }
  const_reverse_iterator crend() const { return values.crend(); }
  // The elements as a vector, for code that only reads them.
  const Values& vector() const { return values; }
  operator const Values&() const { return values; }

 private:
  // Declared first, so that it is given back after the storage is freed.
  MemoryClaim claim;  // bytesFor(size()), always
  Values values;
};

template <typename T>
bool operator==(const ClaimedArray<T>& a, const ClaimedArray<T>& b) {
  return a.vector() == b.vector();
}
template <typename T>
bool operator==(const ClaimedArray<T>& a, const std::vector<T>& b) {
  return a.vector() == b;
}

// A sizing of several arrays as one: the list is a callable that calls
// size(array, count, value) once for each array it sizes. growthOf adds up
// what they claim more; sizeTogether checks that sum beside the other claims
// and only then assigns each array, so that a sizing that does not fit ends
// with "Error: Out of memory." before any of its arrays changes. One list
// serves both, so what is checked is what is sized.
template <typename List>
int64_t growthOf(const List& list) {
  int64_t growth = 0;
  list([&growth](const auto& array, auto count, const auto&) {
    const int64_t more = array.growthTo(static_cast<size_t>(std::max<decltype(count)>(count, 0)));
    // Saturates: a sum past 64 bits is a request no machine grants.
    if (more > 0 && growth > std::numeric_limits<int64_t>::max() - more) {
      growth = std::numeric_limits<int64_t>::max();
    } else {
      growth += more;
    }
  });
  return growth;
}

template <typename List>
void sizeTogether(const List& list) {
  requireMemory(growthOf(list));
  list([](auto& array, auto count, const auto& value) {
    array.assign(static_cast<size_t>(std::max<decltype(count)>(count, 0)), value);
  });
}

}  // namespace kq
