// The stream side of the number text: the scanners that consume exactly
// what fscanf consumes, over a stream, a block reader's buffer or text in
// memory, and the block reader.

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <system_error>

#include <kqnet/core/char_class.h>
#include <kqnet/core/number_builder.h>
#include <kqnet/core/number_text.h>

namespace kq {

namespace {

// Each stream belongs to one object on one thread, so the per-character
// lock of getc buys nothing; it costs more than half of a number's scan.
inline int readChar(std::FILE* file) {
#if defined(_POSIX_C_SOURCE) || defined(__GLIBC__)
  return getc_unlocked(file);
#else
  return std::getc(file);
#endif
}

// The scanners read characters from a source: a stream, a block reader, or
// the characters a scan has already taken followed by the rest of a source.
struct StreamSource {
  std::FILE* file;
  int get() { return readChar(file); }
  void unget(int c) { std::ungetc(c, file); }
};

// Text in memory, its end standing for the end of the file.
struct TextSource {
  const char* at;
  const char* end;
  int get() { return at < end ? static_cast<unsigned char>(*at++) : EOF; }
  void unget(int) { --at; }
};

template <class Source>
class Replay {
 public:
  Replay(Source& source, const char* taken, int count)
      : source_(source), taken_(taken), count_(count) {}
  int get() { return at_ < count_ ? static_cast<unsigned char>(taken_[at_++]) : source_.get(); }
  // Only the character that ends a number goes back, and it came from the source.
  void unget(int c) { source_.unget(c); }

 private:
  Source& source_;
  const char* taken_;
  int count_;
  int at_ = 0;
};

template <class Source>
int skipBlanks(Source& in) {
  int c;
  do {
    c = in.get();
  } while (isBlankChar(c));
  return c;
}

// Reads the letters of word; a letter that does not match is consumed, as
// fscanf consumes it.
template <class Source>
bool expectLetters(Source& in, const char* word) {
  for (const char* w = word; *w != '\0'; ++w) {
    const int c = in.get();
    if (c == EOF || lowerChar(c) != *w) return false;
  }
  return true;
}

// Feeds the run of mantissa digits starting with c to number; returns the
// first character after it.
template <class Source>
int takeMantissaDigits(Source& in, int c, bool hex, detail::NumberBuilder& number, int& collected) {
  if (hex) {
    for (int d; (d = detail::hexValue(c)) >= 0; c = in.get(), ++collected) {
      number.mantissaDigit(d, static_cast<char>(lowerChar(c)));
    }
  } else {
    for (; isDigitChar(c); c = in.get(), ++collected) {
      number.mantissaDigit(c - '0', static_cast<char>(c));
    }
  }
  return c;
}

template <class Source>
ScanStatus scanInteger(Source& in, detail::IntegerText& number) {
  int c = skipBlanks(in);
  if (c == EOF) return ScanStatus::kEnd;
  if (c == '-' || c == '+') {
    number.negative = c == '-';
    c = in.get();
  }
  while (isDigitChar(c)) {
    number.addDigit(c - '0');
    c = in.get();
  }
  if (c != EOF) in.unget(c);
  return number.digits > 0 ? ScanStatus::kValue : ScanStatus::kNoMatch;
}

// Any number fscanf's "%lf" reads: words, hexadecimal, digit runs of any
// length.
template <class Source>
ScanStatus scanAnyDouble(Source& in, double& value) {
  // The characters are taken by the rules of the C library's scanf: it
  // collects the longest run that could still begin a number, then converts
  // as much of it as strtod accepts ("1e+" gives 1, with "e+" consumed).
  int c = skipBlanks(in);
  if (c == EOF) return ScanStatus::kEnd;
  bool negative = false;
  if (c == '-' || c == '+') {
    negative = c == '-';
    c = in.get();
    if (c == EOF) return ScanStatus::kNoMatch;
  }
  if (lowerChar(c) == 'n') {
    if (!expectLetters(in, "an")) return ScanStatus::kNoMatch;
    value = detail::signedNan(negative);
    return ScanStatus::kValue;
  }
  if (lowerChar(c) == 'i') {
    if (!expectLetters(in, "nf")) return ScanStatus::kNoMatch;
    c = in.get();
    if (lowerChar(c) == 'i') {
      if (!expectLetters(in, "nity")) return ScanStatus::kNoMatch;
    } else if (c != EOF) {
      in.unget(c);
    }
    value = detail::signedInfinity(negative);
    return ScanStatus::kValue;
  }

  bool hex = false;
  bool leadingZero = false;
  int collected = 0;
  if (c == '0') {
    collected = 1;
    const int next = in.get();
    if (lowerChar(next) == 'x') {
      hex = true;
      collected = 2;
      c = in.get();
    } else {
      leadingZero = true;
      c = next;
    }
  }
  detail::NumberBuilder number(hex);
  if (leadingZero) number.mantissaDigit(0, '0');
  // scanf's collection in its phases: digits, a point and more digits, then
  // an exponent mark (only after a digit) with an optional sign and decimal
  // digits. The first character that fits none ends the number and goes
  // back to the stream.
  c = takeMantissaDigits(in, c, hex, number, collected);
  if (c == '.') {
    number.dot();
    ++collected;
    c = takeMantissaDigits(in, in.get(), hex, number, collected);
  }
  if (number.mantissaDigits() > 0 && lowerChar(c) == (hex ? 'p' : 'e')) {
    ++collected;
    c = in.get();
    if (c == '+' || c == '-') {
      number.exponentSign(c == '-');
      c = in.get();
    }
    for (; isDigitChar(c); c = in.get()) number.exponentDigit(c - '0');
  }
  if (c != EOF) in.unget(c);
  if (collected == 0 || (hex && collected == 2)) return ScanStatus::kNoMatch;
  if (number.mantissaDigits() == 0) {
    // "." has no number in it; "0x." converts as its leading "0".
    if (!hex) return ScanStatus::kNoMatch;
    value = negative ? -0.0 : 0.0;
    return ScanStatus::kValue;
  }
  value = number.finish(negative);
  return ScanStatus::kValue;
}

// Decimal numbers up to this many characters are collected whole and
// converted by from_chars at once; anything else is scanned again from
// its first character by the general rules.
constexpr int kShortNumber = 48;

template <class Source>
ScanStatus scanDoubleFrom(Source& in, double& value) {
  int c = skipBlanks(in);
  if (c == EOF) return ScanStatus::kEnd;
  char text[kShortNumber];
  int n = 0;
  // c has not been taken: it goes back, and the general scan reads the
  // characters taken so far, then the rest of the source.
  auto general = [&] {
    if (c != EOF) in.unget(c);
    Replay<Source> replay(in, text, n);
    return scanAnyDouble(replay, value);
  };
  auto take = [&] {
    if (n == kShortNumber) return false;
    text[n++] = static_cast<char>(c);
    c = in.get();
    return true;
  };

  const bool negative = c == '-';
  if (c == '-' || c == '+') take();
  const int signLength = n;
  bool digits = false;
  if (c == '0') {
    take();
    digits = true;
    if (lowerChar(c) == 'x') return general();
  }
  for (; isDigitChar(c); digits = true) {
    if (!take()) return general();
  }
  if (c == '.') {
    if (!take()) return general();
    for (; isDigitChar(c); digits = true) {
      if (!take()) return general();
    }
  }
  // Words, a lone point and anything that is no number follow the general
  // rules.
  if (!digits) return general();
  if (lowerChar(c) == 'e') {
    if (!take()) return general();
    if ((c == '+' || c == '-') && !take()) return general();
    while (isDigitChar(c)) {
      if (!take()) return general();
    }
  }
  // The characters are those fscanf takes; what strtod accepts of them is
  // the value ("1e+" gives 1).
  double magnitude = 0.0;
  const std::from_chars_result r = std::from_chars(text + signLength, text + n, magnitude);
  // Beyond the range (0 or infinity, as strtod gives them) the general scan
  // converts the same characters again; it stops where this scan stopped.
  if (r.ec != std::errc()) return general();
  if (c != EOF) in.unget(c);
  value = negative ? -magnitude : magnitude;
  return ScanStatus::kValue;
}

// The rare numbers that the scans over a buffer do not read in place, kept
// out of line so that the common case stays short.
template <class Source>
__attribute__((noinline)) ScanStatus scanByCharacters(Source& in, double& value) {
  return scanDoubleFrom(in, value);
}

inline const char* skipBlanks(const char* p, const char* end) {
  while (p < end && isBlankChar(static_cast<unsigned char>(*p))) ++p;
  return p;
}

// fscanf's "%lf" over [p, end) for the common case, a decimal number that
// starts at p (blanks already skipped) and ends before end: stores the
// value and returns the end of what fscanf takes. Null, nothing stored, for
// everything else (words, hexadecimal, no number, values beyond the range,
// or a number that reaches end and may go on past it), which the character
// scan takes.
inline __attribute__((always_inline)) const char* scanInPlace(const char* p, const char* end,
                                                              double& value) {
  const bool negative = p < end && *p == '-';
  if (p < end && (*p == '-' || *p == '+')) ++p;
  if (p == end || !(isDigitChar(static_cast<unsigned char>(*p)) || *p == '.') ||
      (end - p >= 2 && p[0] == '0' && lowerChar(static_cast<unsigned char>(p[1])) == 'x')) {
    return nullptr;
  }
  double magnitude = 0.0;
  const std::from_chars_result r = std::from_chars(p, end, magnitude);
  if (r.ec != std::errc()) return nullptr;
  // from_chars takes what strtod takes; fscanf also takes an exponent mark
  // and its sign that no digit follows ("1e+" gives 1, "e+" consumed).
  const char* const number = p;
  p = r.ptr;
  if (p < end && lowerChar(static_cast<unsigned char>(*p)) == 'e' &&
      std::find_if(number, p,
                   [](char c) { return lowerChar(static_cast<unsigned char>(c)) == 'e'; }) == p) {
    ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
  }
  if (p == end) return nullptr;
  value = negative ? -magnitude : magnitude;
  return p;
}

}  // namespace

ScanStatus scanDouble(std::FILE* file, double& value) {
  StreamSource in{file};
  return scanDoubleFrom(in, value);
}

ScanStatus scanDouble(const char*& at, const char* end, double& value) {
  const char* p = skipBlanks(at, end);
  // A lone digit before a blank, the commonest token of a weight file (the
  // zeros of a state not yet used), is its own value.
  if (end - p >= 2 && isBlankChar(static_cast<unsigned char>(p[1])) &&
      isDigitChar(static_cast<unsigned char>(p[0]))) {
    value = static_cast<double>(p[0] - '0');
    at = p + 1;
    return ScanStatus::kValue;
  }
  if (const char* taken = scanInPlace(p, end, value)) {
    at = taken;
    return ScanStatus::kValue;
  }
  TextSource in{p, end};
  const ScanStatus status = scanByCharacters(in, value);
  at = in.at;
  return status;
}

void BlockTextReader::attach(std::FILE* file) {
  if (buffer_ == nullptr) buffer_ = std::make_unique<char[]>(kBlockSize);
  file_ = file;
  next_ = end_ = buffer_.get();
  atEnd_ = false;
}

void BlockTextReader::detach() {
  file_ = nullptr;
  next_ = end_ = buffer_.get();
  atEnd_ = false;
}

void BlockTextReader::rewind() {
  if (std::fseek(file_, 0, SEEK_SET) != 0) return;
  next_ = end_ = buffer_.get();
  atEnd_ = false;
}

bool BlockTextReader::refill() {
  // Like getc, a read at the end (or after a read error) gives the end, and
  // so does every read after it until the stream is rewound.
  if (atEnd_) return false;
  const size_t n = std::fread(buffer_.get(), 1, kBlockSize, file_);
  next_ = buffer_.get();
  end_ = next_ + n;
  if (n == 0) atEnd_ = true;
  return n != 0;
}

ScanStatus BlockTextReader::scanDouble(double& value) {
  if (const char* taken = scanInPlace(skipBlanks(next_, end_), end_, value)) {
    next_ = taken;
    return ScanStatus::kValue;
  }
  return scanByCharacters(*this, value);
}

ScanStatus scanInt(std::FILE* file, int32_t& value) {
  StreamSource in{file};
  detail::IntegerText number;
  const ScanStatus status = scanInteger(in, number);
  if (status == ScanStatus::kValue) value = number.saturated();
  return status;
}

ScanStatus scanInt(const char*& at, const char* end, int32_t& value) {
  TextSource in{at, end};
  detail::IntegerText number;
  const ScanStatus status = scanInteger(in, number);
  at = in.at;
  if (status == ScanStatus::kValue) value = number.saturated();
  return status;
}

ScanStatus scanUnsigned16(std::FILE* file, uint16_t& value) {
  StreamSource in{file};
  detail::IntegerText number;
  const ScanStatus status = scanInteger(in, number);
  if (status != ScanStatus::kValue) return status;
  if (number.negative || number.magnitude > 65535) return ScanStatus::kNoMatch;
  value = static_cast<uint16_t>(number.magnitude);
  return ScanStatus::kValue;
}

}  // namespace kq
