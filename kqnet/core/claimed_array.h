#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
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
// allocated through ClaimingAllocator, which puts the bytes on the memory
// ledger (core/memory.h) as it allocates them and gives them back as it
// frees them: the figure on the ledger is the storage itself, so it can
// neither drift from the array nor be written in the wrong order, and every
// copy, nested array and replaced storage is counted while it exists.
//
// Only the sizing members change the size: assign, the whole-array
// assignments and release. A sizing that does not fit beside the other
// claims ends the process with "Error: Out of memory." and leaves the array
// as it was. Elements are read and written as in a std::vector, at the same
// cost.
//
// Arrays sized together are checked together, before the first of them
// changes (sizeTogether below). An array that several owners read is handed
// over to shared ownership (share): its bytes then go with the last reader,
// when the memory goes.

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

// Bytes that count elements of bytes each take (beyond 64 bits: the
// largest figure, which no machine has).
inline int64_t bytesOfElements(uint64_t count, uint64_t bytes) {
  constexpr auto kLargest = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (bytes != 0 && count > kLargest / bytes) return std::numeric_limits<int64_t>::max();
  return static_cast<int64_t>(count * bytes);
}

// a + b, saturating at the largest figure.
inline int64_t addBytes(int64_t a, int64_t b) {
  if (b > 0 && a > std::numeric_limits<int64_t>::max() - b)
    return std::numeric_limits<int64_t>::max();
  return a + b;
}

// Base's allocation, counted: allocate claims the bytes first (refused with
// "Error: Out of memory." when they do not fit), deallocate gives them back.
template <typename T, typename Base = std::allocator<T>>
struct ClaimingAllocator : Base {
  using value_type = T;
  using propagate_on_container_move_assignment = std::true_type;
  using is_always_equal = std::true_type;
  template <typename U>
  struct rebind {
    using other =
        ClaimingAllocator<U, typename std::allocator_traits<Base>::template rebind_alloc<U>>;
  };
  ClaimingAllocator() = default;
  template <typename U, typename B>
  explicit ClaimingAllocator(const ClaimingAllocator<U, B>& /*other*/) noexcept {}

  static constexpr uint64_t kElementBytes = sizeof(T);  // NOLINT(bugprone-sizeof-expression)

  T* allocate(std::size_t n) {
    const int64_t bytes = bytesOfElements(n, kElementBytes);
    claimMemory(bytes);
    try {
      return std::allocator_traits<Base>::allocate(static_cast<Base&>(*this), n);
    } catch (...) {
      giveBackMemory(bytes);
      throw;
    }
  }
  void deallocate(T* p, std::size_t n) noexcept {
    std::allocator_traits<Base>::deallocate(static_cast<Base&>(*this), p, n);
    giveBackMemory(bytesOfElements(n, kElementBytes));
  }
  friend bool operator==(const ClaimingAllocator&, const ClaimingAllocator&) { return true; }
};

// The rows of a table as a sizing value: each row count copies of value.
template <typename T>
struct Rows {
  std::size_t count = 0;  // elements per row
  T value{};              // what each element is filled with
};

template <typename T, typename Allocator>
class ClaimedArray;

template <typename T>
struct IsClaimedArray : std::false_type {};
template <typename T, typename A>
struct IsClaimedArray<ClaimedArray<T, A>> : std::true_type {};

template <typename T, typename Allocator = std::allocator<T>>
class ClaimedArray {
 public:
  using Values = std::vector<T, ClaimingAllocator<T, Allocator>>;
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
  explicit ClaimedArray(size_type count, const T& value = T()) : values(count, value) {}
  ClaimedArray(std::initializer_list<T> list) : values(list) {}
  template <typename It, typename = typename std::iterator_traits<It>::iterator_category>
  ClaimedArray(It first, It last) {
    assign(first, last);
  }
  ClaimedArray(const ClaimedArray& other) : values(other.values) {}
  ClaimedArray(ClaimedArray&&) noexcept = default;
  ~ClaimedArray() = default;

  ClaimedArray& operator=(const ClaimedArray& other) {
    if (this != &other) assign(other.begin(), other.end());
    return *this;
  }
  // Moving an array onto itself keeps it.
  ClaimedArray& operator=(ClaimedArray&& other) noexcept {
    if (this != &other) values = std::move(other.values);
    return *this;
  }
  ClaimedArray& operator=(std::initializer_list<T> list) {
    assign(list.begin(), list.end());
    return *this;
  }
  ClaimedArray& operator=(const Values& elements) {
    assign(elements.begin(), elements.end());
    return *this;
  }
  ClaimedArray& operator=(const std::vector<T>& elements) {
    assign(elements.begin(), elements.end());
    return *this;
  }

  // Bytes that count elements take on the ledger, not counting what the
  // elements hold themselves.
  static int64_t bytesFor(size_type count) { return bytesOfElements(count, kElementBytes); }
  // Bytes the array holds on the ledger: its storage, and the storage of
  // the arrays it holds.
  int64_t heldBytes() const {
    int64_t bytes = bytesFor(values.size());
    if constexpr (IsClaimedArray<T>::value) {
      for (const T& element : values) bytes = addBytes(bytes, element.heldBytes());
    }
    return bytes;
  }
  // Bytes more (negative: fewer) that this array holds once it holds count
  // elements made as value (as Rows for a table of arrays), or count empty
  // ones.
  int64_t growthTo(size_type count) const { return growthTo(count, T()); }
  int64_t growthTo(size_type count, const T& value) const {
    if constexpr (IsClaimedArray<T>::value) return growthWith(count, value.heldBytes());
    return growthWith(count, 0);
  }
  template <typename U>
  int64_t growthTo(size_type count, const Rows<U>& rows) const {
    static_assert(IsClaimedArray<T>::value, "Rows size a table of arrays");
    return growthWith(count, T::bytesFor(rows.count));
  }

  // count copies of value. The same count keeps the storage; another is
  // checked first, then the old storage is freed before the new is made.
  void assign(size_type count, const T& value) {
    if (count == values.size()) {
      std::fill(values.begin(), values.end(), value);
      return;
    }
    if (holds(value)) {  // about to be freed
      const T copy = value;
      assign(count, copy);
      return;
    }
    requireMemory(growthTo(count, value));
    Values().swap(values);
    Values(count, value).swap(values);
  }
  // A table: count rows of rows.count elements, each rows.value. Checked as
  // a whole before any row changes; a table that keeps its row count keeps
  // its rows and refills them.
  template <typename U>
  void assign(size_type count, const Rows<U>& rows) {
    static_assert(IsClaimedArray<T>::value, "Rows size a table of arrays");
    requireMemory(growthTo(count, rows));
    if (count != values.size()) {
      Values().swap(values);
      Values(count).swap(values);
    }
    for (T& row : values) row.assign(rows.count, rows.value);
  }
  // The elements of [first, last), a range that can be walked twice. The
  // new storage is made before the old goes, since the range may lie in it.
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
    Values(first, last).swap(values);
  }
  // count elements whose values the caller writes next: with
  // OverwrittenAllocator they are left unset, else they are made as T().
  void assignForOverwrite(size_type count) {
    if (count == values.size()) return;
    requireMemory(growthTo(count));
    Values().swap(values);
    Values(count).swap(values);
  }
  // Frees the storage, and with it its bytes.
  void release() { Values().swap(values); }
  // Hands the array over to owners that share it; the bytes go along and
  // are given back when the last of them lets go, together with the memory.
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
  // The elements as a vector, for code that only reads them: the counted
  // one itself, or a plain copy (which is not on the ledger, and does not
  // follow later writes).
  const Values& vector() const { return values; }
  operator const Values&() const { return values; }
  operator std::vector<T>() const { return std::vector<T>(values.begin(), values.end()); }

 private:
  // Growth to count elements each holding each bytes of their own.
  int64_t growthWith(size_type count, int64_t each) const {
    return addBytes(bytesFor(count), bytesOfElements(count, static_cast<uint64_t>(each))) -
           heldBytes();
  }
  // Whether value is one of this array's elements.
  bool holds(const T& value) const {
    const T* p = &value;
    return !values.empty() && std::less_equal<const T*>()(values.data(), p) &&
           std::less<const T*>()(p, values.data() + values.size());
  }

  Values values;
};

template <typename T>
bool operator==(const ClaimedArray<T>& a, const ClaimedArray<T>& b) {
  return a.vector() == b.vector();
}
template <typename T>
bool operator==(const ClaimedArray<T>& a, const std::vector<T>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

// How a sizing list sizes one of its arrays: assign, unless the array's
// type says otherwise (a component's weights, core/weight_vector.h).
template <typename Array, typename Value>
void resizeArray(Array& array, std::size_t count, const Value& value) {
  array.assign(count, value);
}

// A sizing of several arrays as one: the list is a callable that calls
// size(array, count, value) once for each array it sizes. growthOf adds up
// what they claim more; sizeTogether checks that sum beside the other claims
// and only then sizes the arrays, the shrinking ones first, so that a sizing
// that does not fit ends with "Error: Out of memory." before any of its
// arrays changes, and one that fits as a whole fits at every step. One list
// serves both, so what is checked is what is sized.
// A list's count as a size: a negative one counts as 0.
template <typename Count>
std::size_t listedCount(Count count) {
  return static_cast<std::size_t>(std::max<Count>(count, 0));
}

template <typename List>
int64_t growthOf(const List& list) {
  int64_t growth = 0;
  list([&growth](const auto& array, auto count, const auto& value) {
    growth = addBytes(growth, array.growthTo(listedCount(count), value));
  });
  return growth;
}

template <typename List>
void sizeTogether(const List& list) {
  requireMemory(growthOf(list));
  for (const bool shrinking : {true, false}) {
    list([shrinking](auto& array, auto count, const auto& value) {
      const std::size_t n = listedCount(count);
      if ((array.growthTo(n, value) < 0) == shrinking) resizeArray(array, n, value);
    });
  }
}

}  // namespace kq
