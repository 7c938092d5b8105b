#pragma once

#include <unistd.h>

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

// What every fuzz target needs: the input as a stream or as a file, a
// NUL-terminated copy whose end the address sanitizer guards, and a check
// that stops the run so that libFuzzer keeps the input that broke it.
// Every target compares the library with a plain model of what it must do
// with the same bytes (often the C library itself), so that a wrong value is
// caught as surely as a crash.

namespace kqfuzz {

// Reports a broken expectation and aborts: libFuzzer saves the input.
[[noreturn]] __attribute__((format(printf, 1, 2))) inline void failCheck(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::fputs("fuzz check failed: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
  std::abort();
}

#define KQFUZZ_CHECK(condition, ...)                                  \
  do {                                                                \
    if (!(condition)) kqfuzz::failCheck(#condition ": " __VA_ARGS__); \
  } while (0)

struct FileCloser {
  void operator()(std::FILE* file) const {
    if (file != nullptr) std::fclose(file);
  }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// The input on a heap block of its own, exactly as long as the input plus a
// terminating NUL: a read past the NUL is an overflow the sanitizer sees.
class InputCopy {
 public:
  InputCopy(const uint8_t* data, size_t size) : size_(size), bytes_(new char[size + 1]) {
    if (size > 0) std::memcpy(bytes_.get(), data, size);
    bytes_[size] = '\0';
  }
  const char* data() const { return bytes_.get(); }
  char* data() { return bytes_.get(); }
  size_t size() const { return size_; }
  // The text as a C string sees: up to the first NUL.
  size_t textLength() const { return std::strlen(bytes_.get()); }

 private:
  size_t size_;
  std::unique_ptr<char[]> bytes_;
};

// A read-only stream over the bytes (which must outlive it).
inline FileHandle memoryFile(const InputCopy& input) {
  // fmemopen does not write to a buffer opened for reading.
  FileHandle file(fmemopen(const_cast<char*>(input.data()), input.size(), "r"));
  if (!file) failCheck("fmemopen failed");
  return file;
}

// One file per fuzzing process (workers run side by side), rewritten for
// every input and removed at exit. It lives in KQNET_FUZZ_SCRATCH when that
// is set (run_fuzzers.sh sets it and removes what a crashed run leaves),
// else in memory (/dev/shm) where the machine has it: rewriting a file on
// disk tens of thousands of times a second waits on the disk instead of
// fuzzing.
class ScratchFile {
 public:
  explicit ScratchFile(const char* stem) {
    const char* dir = std::getenv("KQNET_FUZZ_SCRATCH");
    if (dir == nullptr || *dir == '\0') dir = "/dev/shm";
    if (access(dir, W_OK) != 0) {
      dir = std::getenv("TMPDIR");
      if (dir == nullptr || *dir == '\0') dir = "/tmp";
    }
    path_ = std::string(dir) + "/kqnet_fuzz_" + stem + "_" +
            std::to_string(static_cast<long>(getpid()));
  }
  ~ScratchFile() { std::remove(path_.c_str()); }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline void writeWholeFile(const std::string& path, const InputCopy& input) {
  FileHandle file(std::fopen(path.c_str(), "wb"));
  if (!file) failCheck("cannot create %s", path.c_str());
  if (input.size() > 0 && std::fwrite(input.data(), 1, input.size(), file.get()) != input.size()) {
    failCheck("cannot write %s", path.c_str());
  }
}

// The descriptor the next open would get: it grows when a stream is left open.
inline int lowestFreeDescriptor() {
  const int fd = dup(0);
  if (fd >= 0) close(fd);
  return fd;
}

// Same value bit for bit.
inline bool sameBits(double a, double b) {
  uint64_t x, y;
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return x == y;
}

// Same value; two nans of the same sign count as equal whatever their payload.
inline bool sameValue(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) {
    return std::isnan(a) && std::isnan(b) && std::signbit(a) == std::signbit(b);
  }
  return sameBits(a, b);
}

// White space in the "C" locale.
inline bool isBlank(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

}  // namespace kqfuzz
