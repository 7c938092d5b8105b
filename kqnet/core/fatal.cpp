#include <kqnet/core/fatal.h>

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

std::string printableWord(std::string_view word) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string printable;
  printable.reserve(word.size());
  for (const char c : word) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= ' ' && byte <= '~') {
      printable += c;
    } else {
      printable += "\\x";
      printable += kHex[byte >> 4];
      printable += kHex[byte & 0xf];
    }
  }
  return printable;
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

}  // namespace kq
