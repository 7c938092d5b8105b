#include <kqnet/core/fatal.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>
#include <vector>

#include <kqnet/core/messages.h>

namespace kq {

namespace {

std::string vformat(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (needed <= 0) return std::string();
  std::string text(static_cast<size_t>(needed) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(needed));
  return text;
}

#ifndef KQNET_FATAL_THROWS
// An allocation that fails ends the run like any other exhausted resource,
// with the at-exit destructors still closing the files.
void outOfMemoryHandler() {
  std::set_new_handler(nullptr);
  fatalOutOfMemory();
}

[[maybe_unused]] const bool handlerInstalled = [] {
  std::set_new_handler(outOfMemoryHandler);
  return true;
}();
#endif

}  // namespace

std::string formatString(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformat(format, args);
  va_end(args);
  return text;
}

void fatal(const std::string& message) {
#ifdef KQNET_FATAL_THROWS
  throw FatalError(message);
#else
  std::fflush(stdout);
  std::fputs(message.c_str(), stderr);
  std::fflush(stderr);
  std::exit(1);
#endif
}

void fatalf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformat(format, args);
  va_end(args);
  fatal(text);
}

void fatalOutOfMemory() { fatal(messages::kOutOfMemory); }

void fatalAtExit(const std::string& message) {
  std::fputs(message.c_str(), stderr);
  std::fflush(stderr);
  std::_Exit(1);
}

int32_t checkedCount(int64_t n) {
  if (n < 0) return 0;
  if (n > std::numeric_limits<int32_t>::max()) fatalOutOfMemory();
  return static_cast<int32_t>(n);
}

int32_t checkedProduct(int64_t a, int64_t b) {
  if (a <= 0 || b <= 0) return 0;
  // Both factors fit in 32 bits, so the product fits in 64.
  if (a > std::numeric_limits<int32_t>::max() || b > std::numeric_limits<int32_t>::max()) {
    fatalOutOfMemory();
  }
  return checkedCount(a * b);
}

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
