#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// The one place where numbers become text and text becomes numbers. Every
// reader and writer of the library (data files, probes, weight files, the
// weight text cursor) goes through these functions, so that all of them
// print the same bytes and read the same values.
//
// Printing gives exactly what the C library's printf gives for "%22.16e"
// and "%d" in the "C" locale (its "nan", "-nan", "inf" and "-inf" included);
// reading gives exactly the values of strtod and strtol in the "C" locale,
// and the file scanners consume exactly the characters that fscanf's "%lf",
// "%d" and "%hu" consume. The environment's locale never enters: the
// conversions work on the characters themselves and finish with
// std::to_chars / std::from_chars, which give the same results faster.

namespace kq {

// Longest text of one "%22.16e " field, its trailing blank included.
inline constexpr int kValueFieldCapacity = 32;
// Longest text of one "%d" field.
inline constexpr int kIntFieldCapacity = 12;

// Writes x as "%22.16e " (value right-aligned in 22 characters, then one
// blank) into out, which holds kValueFieldCapacity characters; no NUL is
// added. Returns the number of characters written.
int formatValue(char* out, double x);

// Writes v as "%d" into out (kIntFieldCapacity characters, no NUL).
int formatInt(char* out, int32_t v);

// The same forms appended to a string.
void appendValue(std::string& text, double x);
void appendInt(std::string& text, int32_t v, char separator);

// The same forms written to a stream; false when the stream reports an error.
bool putValue(std::FILE* file, double x);
bool putInt(std::FILE* file, int32_t v, char separator);

// strtod in the "C" locale over [begin, end): leading white space, a sign,
// "inf", "infinity", "nan" (any case), hexadecimal ("0x1.8p3") or decimal
// forms. Values beyond the range give +-inf, values below it +-0, and
// subnormal results keep their correctly rounded value. Returns the end of
// the characters used; when no number starts there it returns begin and
// leaves value alone.
const char* parseDouble(const char* begin, const char* end, double& value);

// strtol (base 10) in the "C" locale over [begin, end), saturated to the
// 32-bit range instead of wrapping. Returns the end of the characters used,
// or begin (value untouched) when no number starts there.
const char* parseInt(const char* begin, const char* end, int32_t& value);

// Outcome of one formatted read from a stream.
enum class ScanStatus {
  kValue,    // a value was stored
  kEnd,      // the stream ended (or failed) before a number began
  kNoMatch,  // the characters there are not a number; nothing was stored
};

// fscanf(file, "%lf"): skips white space, consumes what fscanf consumes and
// stores the value that fscanf stores.
ScanStatus scanDouble(std::FILE* file, double& value);

// fscanf(file, "%d"), saturated to the 32-bit range instead of wrapping.
ScanStatus scanInt(std::FILE* file, int32_t& value);

// The same two scans over text in memory: the characters from at up to
// end, which stands for the end of the file. at moves past exactly what the
// stream scan consumes; the value stored is the same.
ScanStatus scanDouble(const char*& at, const char* end, double& value);
ScanStatus scanInt(const char*& at, const char* end, int32_t& value);

// fscanf(file, "%hu") for a number that must fit 16 bits unsigned: digits
// that follow a '-' sign, or a value above 65535, count as no number (the
// characters are still consumed).
ScanStatus scanUnsigned16(std::FILE* file, uint16_t& value);

// A file read through one large buffer of its own, for a reader that owns
// the stream alone: the scan consumes and stores exactly what scanDouble
// (and so fscanf's "%lf") would on the same characters, but each block of
// the file is taken in one fread, and a number that lies whole in the block
// is read where it lies, as the scan over text in memory reads it. The
// stream's own position runs ahead of the characters consumed; atEnd stands
// in for feof.
class BlockTextReader {
 public:
  static constexpr size_t kBlockSize = size_t{1} << 16;

  // Reads file from its current position on; the buffer is made at the
  // first attach and kept for later ones.
  void attach(std::FILE* file);
  void detach();
  bool attached() const { return file_ != nullptr; }

  // fseek to the start of the file, dropping what was buffered; a stream
  // that cannot seek keeps its state, as the stream itself would.
  void rewind();
  // A read has met the end of the file since the last rewind (feof).
  bool atEnd() const { return atEnd_; }

  ScanStatus scanDouble(double& value);

  // The character source of the scanners.
  int get() {
    if (next_ == end_ && !refill()) return EOF;
    return static_cast<unsigned char>(*next_++);
  }
  // Gives back the character the last get returned.
  void unget(int) { --next_; }

 private:
  bool refill();

  std::FILE* file_ = nullptr;
  std::unique_ptr<char[]> buffer_;
  const char* next_ = nullptr;
  const char* end_ = nullptr;
  bool atEnd_ = false;
};

}  // namespace kq
