#include <kqnet/core/memory.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <limits>

#include <kqnet/core/fatal.h>

namespace kq {

namespace {

constexpr int64_t kNoFigure = -1;

// Set by tests only; kNoFigure: the machine's figure.
std::atomic<int64_t> figureForTests{kNoFigure};
// Sizing is single-threaded (no network is sized on two threads at once);
// the atomic only keeps the counter itself whole.
std::atomic<int64_t> claimedBytes{0};

}  // namespace

int64_t physicalMemory() {
  const int64_t set = figureForTests.load(std::memory_order_relaxed);
  if (set != kNoFigure) return set;
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return kNoFigure;
  const uint64_t bytes = static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
  constexpr auto kLargest = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  return static_cast<int64_t>(std::min(bytes, kLargest));
}

void setPhysicalMemory(int64_t bytes) {
  figureForTests.store(std::max<int64_t>(bytes, 0), std::memory_order_relaxed);
}

void restorePhysicalMemory() { figureForTests.store(kNoFigure, std::memory_order_relaxed); }

int64_t claimedMemory() { return claimedBytes.load(std::memory_order_relaxed); }

bool fitsInMemory(int64_t bytes) {
  if (bytes <= 0) return true;
  const int64_t figure = physicalMemory();
  if (figure == kNoFigure) return true;
  const int64_t held = claimedMemory();
  return held <= figure && bytes <= figure - held;
}

void requireMemory(int64_t bytes) {
  if (!fitsInMemory(bytes)) fatalOutOfMemory();
}

void claimMemory(int64_t bytes) {
  requireMemory(bytes);
  claimedBytes.fetch_add(bytes, std::memory_order_relaxed);
}

void giveBackMemory(int64_t bytes) noexcept {
  claimedBytes.fetch_sub(bytes, std::memory_order_relaxed);
}

MemoryClaim& MemoryClaim::operator=(const MemoryClaim& other) {
  if (this != &other) set(other.held);
  return *this;
}

MemoryClaim& MemoryClaim::operator=(MemoryClaim&& other) noexcept {
  if (this != &other) {
    release();
    held = other.held;
    other.held = 0;
  }
  return *this;
}

void MemoryClaim::set(int64_t bytes) {
  bytes = std::max<int64_t>(bytes, 0);
  // Checked as the growth beside every claim, this one's present bytes
  // included: the ledger less the old bytes plus the new.
  requireMemory(bytes - held);
  claimedBytes.fetch_add(bytes - held, std::memory_order_relaxed);
  held = bytes;
}

void MemoryClaim::release() {
  claimedBytes.fetch_sub(held, std::memory_order_relaxed);
  held = 0;
}

}  // namespace kq
