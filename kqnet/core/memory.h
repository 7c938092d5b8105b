#pragma once

#include <cstdint>

// Physical memory and what the process holds of it. With overcommitted
// memory a request beyond the machine may well be granted, and the process
// then killed without a word while it fills the memory; and one shape from a
// file sizes many arrays at once (an axon's rows resize every synapse at its
// ends), each of which would fit alone. So every array sized from a shape or
// count that a file gave holds a MemoryClaim for its bytes, and the claims
// of the whole process, taken together, never exceed physical memory: a
// claim that would is refused before its array is allocated.

namespace kq {

// The figure the checks measure against: the machine's physical memory
// (pages x page size, asked of the system at each call), or the figure a
// test set; -1 when the system does not tell, and then nothing is refused.
int64_t physicalMemory();

// For tests: the checks take bytes as the machine's physical memory, so
// that a test reaches the limit with small shapes and without the machine's
// own memory; restorePhysicalMemory returns to the machine's figure.
void setPhysicalMemory(int64_t bytes);
void restorePhysicalMemory();

// Bytes the claims of the process hold together.
int64_t claimedMemory();

// Whether bytes more fit in physical memory beside what the claims hold;
// true when the system does not tell.
bool fitsInMemory(int64_t bytes);

// Ends with fatalOutOfMemory when bytes more do not fit beside the claims:
// for a sizing about to claim that much in several steps, checked at once
// before the first of them.
void requireMemory(int64_t bytes);

// Puts bytes on the ledger, or ends with fatalOutOfMemory, leaving the
// ledger as it was, when they do not fit beside the other claims: the
// claiming allocator's check (core/claimed_array.h).
void claimMemory(int64_t bytes);
// Gives bytes claimed by claimMemory back.
void giveBackMemory(int64_t bytes) noexcept;

// The bytes one owner's array (or arrays sized together) takes, on the
// process's ledger from the moment they are claimed until they are given
// back. Re-sizing replaces the claim, so sizing again and again never adds
// up. A copy claims its bytes anew; a move hands them over. The library
// keeps no such claim beside an array (a figure that could drift from it):
// its arrays claim through their allocator (ClaimedArray,
// core/claimed_array.h).
class MemoryClaim {
 public:
  MemoryClaim() = default;
  ~MemoryClaim() { release(); }
  MemoryClaim(const MemoryClaim& other) { set(other.held); }
  MemoryClaim& operator=(const MemoryClaim& other);
  MemoryClaim(MemoryClaim&& other) noexcept : held(other.held) { other.held = 0; }
  MemoryClaim& operator=(MemoryClaim&& other) noexcept;

  // Called before the array is (re)allocated: the claim becomes bytes. When
  // the other claims and bytes together exceed physical memory the process
  // ends with fatalOutOfMemory and nothing changes; shrinking always passes.
  // The old and the new array side by side during the re-allocation are
  // not counted.
  void set(int64_t bytes);
  // Gives the bytes back, once the array is freed.
  void release();
  int64_t bytes() const { return held; }

 private:
  int64_t held = 0;  // bytes on the ledger for this claim
};

}  // namespace kq
