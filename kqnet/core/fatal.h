#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

// One road out of the process for every input fault and exhausted resource:
// the message goes to standard error and the process ends with code 1. A
// fuzzing build (KQNET_FATAL_THROWS) throws FatalError instead, so that the
// fuzzer can keep going after a rejected input.

namespace kq {

class FatalError : public std::runtime_error {
 public:
  explicit FatalError(const std::string& message) : std::runtime_error(message) {}
};

// Writes the message unchanged (no line end added) and ends the process.
[[noreturn]] void fatal(const std::string& message);

// printf-style form for the message templates of messages.h.
[[noreturn]] void fatalf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "Error: Out of memory.\n".
[[noreturn]] void fatalOutOfMemory();

// For destructors that run at process exit, where exit() must not be called
// again: writes the message, flushes and ends with _Exit(1).
[[noreturn]] void fatalAtExit(const std::string& message);

// Element counts are 32-bit throughout; a product that does not fit is an
// allocation the process could never make. Negative counts count as 0.
int32_t checkedCount(int64_t n);

// rows x columns (or any two factors) computed in 64 bits and checked.
int32_t checkedProduct(int64_t a, int64_t b);

// A word taken from a file, for a message: each byte outside printable
// ASCII becomes \x and two hex digits (\x00 for a NUL), so that the word
// shows on the screen as it differs in the file, where "%s" would stop at a
// NUL or print a control byte unseen. A word of printable bytes stays as it
// is.
std::string printableWord(std::string_view word);

// Formats like printf into a std::string.
std::string formatString(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kq
