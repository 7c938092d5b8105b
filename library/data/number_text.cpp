#include "data/number_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

namespace kq {

namespace {

// A halfway point between two doubles has at most 767 significant decimal
// digits (54 bits in hexadecimal), so keeping more than that, plus one
// sticky digit standing for everything dropped, rounds every input exactly
// as the full digit string would, from a bounded buffer.
constexpr int kMaxDecimalDigits = 800;
constexpr int kMaxHexDigits = 32;
// The decimal exponent handed to the final conversion is clamped far beyond
// the range of any double. The written exponent is saturated much later, so
// that a run of zeros of any length that it offsets still counts, without
// letting a hostile exponent overflow the 64-bit arithmetic.
constexpr int64_t kExponentCap = 100000;
constexpr int64_t kWrittenExponentCap = int64_t{1} << 60;

inline int lower(int c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }
inline bool isDigit(int c) { return c >= '0' && c <= '9'; }

inline bool isWordChar(int c) {
  const int l = lower(c);
  return isDigit(c) || (l >= 'a' && l <= 'z') || c == '_';
}

inline int hexValue(int c) {
  if (isDigit(c)) return c - '0';
  const int l = lower(c);
  if (l >= 'a' && l <= 'f') return l - 'a' + 10;
  return -1;
}

inline double signedNan(bool negative) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  return negative ? -nan : nan;
}

inline double signedInfinity(bool negative) {
  const double inf = std::numeric_limits<double>::infinity();
  return negative ? -inf : inf;
}

// Collects the digits of one decimal or hexadecimal number as a scanner
// meets them, writing them straight into the canonical text "d.ddd...e..."
// that the final conversion reads, and turns them into the correctly
// rounded double.
class NumberBuilder {
 public:
  explicit NumberBuilder(bool hex) : hex_(hex), limit_(hex ? kMaxHexDigits : kMaxDecimalDigits) {}

  // d is the digit's value; c its character, in lower case.
  void mantissaDigit(int d, char c) {
    ++mantissaDigits_;
    if (stored_ == 0) {
      if (afterDot_) --pointShift_;
      if (d == 0) return;  // a leading zero
      text_[0] = c;
      text_[1] = '.';
      stored_ = 1;
    } else if (stored_ < limit_) {
      text_[1 + stored_++] = c;
      if (afterDot_) --pointShift_;
    } else {
      if (d != 0) sticky_ = true;
      if (!afterDot_) ++pointShift_;
    }
  }
  void dot() { afterDot_ = true; }
  void exponentSign(bool negative) { exponentNegative_ = negative; }
  void exponentDigit(int d) {
    if (exponent_ < kWrittenExponentCap / 10) exponent_ = exponent_ * 10 + d;
  }
  int64_t mantissaDigits() const { return mantissaDigits_; }

  double finish(bool negative) {
    double magnitude = 0.0;
    if (stored_ > 0) {
      const int64_t written = exponentNegative_ ? -exponent_ : exponent_;
      // The value is d1.d2d3... times the base to this power.
      int64_t point = pointShift_ + stored_ - 1;
      if (hex_) point *= 4;
      point += written;
      if (point > kExponentCap) point = kExponentCap;
      if (point < -kExponentCap) point = -kExponentCap;

      char* out = text_ + 1 + stored_;
      if (sticky_) *out++ = '1';
      *out++ = hex_ ? 'p' : 'e';
      out = std::to_chars(out, text_ + sizeof text_, point).ptr;
      const std::from_chars_result r = std::from_chars(
          text_, out, magnitude, hex_ ? std::chars_format::hex : std::chars_format::general);
      // Out of range means the rounded value is 0 or infinite (subnormal
      // results come back as they are); the exponent tells which.
      if (r.ec == std::errc::result_out_of_range) {
        magnitude = point > 0 ? std::numeric_limits<double>::infinity() : 0.0;
      }
    }
    return negative ? -magnitude : magnitude;
  }

 private:
  bool hex_;
  int limit_;  // significant digits kept
  bool afterDot_ = false;
  bool sticky_ = false;
  bool exponentNegative_ = false;
  int stored_ = 0;                     // significant digits in text_
  int64_t mantissaDigits_ = 0;         // every mantissa digit met, zeros included
  int64_t pointShift_ = 0;             // places the point moves relative to the kept integer
  int64_t exponent_ = 0;               // written exponent's magnitude, saturated
  char text_[kMaxDecimalDigits + 32];  // first digit, '.', the others, then the exponent
};

// Case-insensitive match of word at p.
bool startsWithWord(const char* p, const char* end, const char* word) {
  const size_t n = std::strlen(word);
  if (static_cast<size_t>(end - p) < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (lower(static_cast<unsigned char>(p[i])) != word[i]) return false;
  }
  return true;
}

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

template <class Source>
class Replay {
 public:
  Replay(Source& source, const char* taken, int count) : source_(source), taken_(taken), count_(count) {}
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
    if (c == EOF || lower(c) != *w) return false;
  }
  return true;
}

// The integer conversions: an optional sign and decimal digits, the
// magnitude saturated once it passes every 32-bit value.
struct IntegerText {
  bool negative = false;
  uint64_t magnitude = 0;
  int digits = 0;

  void addDigit(int d) {
    ++digits;
    if (magnitude <= uint64_t{1} << 32) magnitude = magnitude * 10 + static_cast<uint64_t>(d);
  }
  int32_t saturated() const {
    if (negative) {
      return magnitude >= uint64_t{1} << 31 ? std::numeric_limits<int32_t>::min()
                                            : -static_cast<int32_t>(magnitude);
    }
    return magnitude > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())
               ? std::numeric_limits<int32_t>::max()
               : static_cast<int32_t>(magnitude);
  }
};

// Feeds the run of mantissa digits starting with c to number; returns the
// first character after it.
template <class Source>
int takeMantissaDigits(Source& in, int c, bool hex, NumberBuilder& number, int& collected) {
  if (hex) {
    for (int d; (d = hexValue(c)) >= 0; c = in.get(), ++collected) {
      number.mantissaDigit(d, static_cast<char>(lower(c)));
    }
  } else {
    for (; isDigit(c); c = in.get(), ++collected) {
      number.mantissaDigit(c - '0', static_cast<char>(c));
    }
  }
  return c;
}

ScanStatus scanInteger(std::FILE* file, IntegerText& number) {
  StreamSource in{file};
  int c = skipBlanks(in);
  if (c == EOF) return ScanStatus::kEnd;
  if (c == '-' || c == '+') {
    number.negative = c == '-';
    c = in.get();
  }
  while (isDigit(c)) {
    number.addDigit(c - '0');
    c = in.get();
  }
  if (c != EOF) in.unget(c);
  return number.digits > 0 ? ScanStatus::kValue : ScanStatus::kNoMatch;
}

}  // namespace

int formatValue(char* out, double x) {
  constexpr int kWidth = 22;
  // to_chars with a precision rounds the exact binary value to nearest, as
  // printf does, so the digits agree; it is several times faster. Finite
  // values take 22 or more characters and are written in place; only the
  // short words ("inf", "nan") move right behind their padding.
  const std::to_chars_result r =
      std::to_chars(out, out + kValueFieldCapacity - 1, x, std::chars_format::scientific, 16);
  int n = static_cast<int>(r.ptr - out);
  if (n < kWidth) {
    const int pad = kWidth - n;
    std::memmove(out + pad, out, static_cast<size_t>(n));
    std::memset(out, ' ', static_cast<size_t>(pad));
    n = kWidth;
  }
  out[n] = ' ';
  return n + 1;
}

int formatInt(char* out, int32_t v) {
  return static_cast<int>(std::to_chars(out, out + kIntFieldCapacity, v).ptr - out);
}

void appendValue(std::string& text, double x) {
  char field[kValueFieldCapacity];
  text.append(field, static_cast<size_t>(formatValue(field, x)));
}

void appendInt(std::string& text, int32_t v, char separator) {
  char field[kIntFieldCapacity + 1];
  const int n = formatInt(field, v);
  field[n] = separator;
  text.append(field, static_cast<size_t>(n + 1));
}

bool putValue(std::FILE* file, double x) {
  char field[kValueFieldCapacity];
  const size_t n = static_cast<size_t>(formatValue(field, x));
  return std::fwrite(field, 1, n, file) == n;
}

bool putInt(std::FILE* file, int32_t v, char separator) {
  char field[kIntFieldCapacity + 1];
  const int n = formatInt(field, v);
  field[n] = separator;
  return std::fwrite(field, 1, static_cast<size_t>(n + 1), file) == static_cast<size_t>(n + 1);
}

const char* parseDouble(const char* begin, const char* end, double& value) {
  const char* p = begin;
  while (p < end && isBlankChar(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  if (startsWithWord(p, end, "inf")) {
    p += 3;
    if (startsWithWord(p, end, "inity")) p += 5;
    value = signedInfinity(negative);
    return p;
  }
  if (startsWithWord(p, end, "nan")) {
    p += 3;
    // "nan(chars)" is taken whole; the chars name no payload here.
    if (p < end && *p == '(') {
      const char* q = p + 1;
      while (q < end && isWordChar(static_cast<unsigned char>(*q))) ++q;
      if (q < end && *q == ')') p = q + 1;
    }
    value = signedNan(negative);
    return p;
  }

  bool hex = false;
  if (end - p >= 3 && p[0] == '0' && lower(p[1]) == 'x') {
    const char* q = p + 2;
    if (hexValue(static_cast<unsigned char>(*q)) >= 0 ||
        (*q == '.' && q + 1 < end && hexValue(static_cast<unsigned char>(q[1])) >= 0)) {
      hex = true;
      p = q;
    }
  }
  auto digitValue = [hex](char c) {
    const int d = hexValue(static_cast<unsigned char>(c));
    return (hex || d < 10) ? d : -1;
  };

  NumberBuilder number(hex);
  while (p < end && digitValue(*p) >= 0) {
    number.mantissaDigit(digitValue(*p), static_cast<char>(lower(static_cast<unsigned char>(*p))));
    ++p;
  }
  if (p < end && *p == '.' &&
      (number.mantissaDigits() > 0 || (p + 1 < end && digitValue(p[1]) >= 0))) {
    ++p;
    number.dot();
    while (p < end && digitValue(*p) >= 0) {
      number.mantissaDigit(digitValue(*p),
                           static_cast<char>(lower(static_cast<unsigned char>(*p))));
      ++p;
    }
  }
  if (number.mantissaDigits() == 0) return begin;

  // An exponent counts only when a digit follows its mark and sign.
  if (p < end && lower(static_cast<unsigned char>(*p)) == (hex ? 'p' : 'e')) {
    const char* q = p + 1;
    bool exponentNegative = false;
    if (q < end && (*q == '+' || *q == '-')) {
      exponentNegative = *q == '-';
      ++q;
    }
    if (q < end && isDigit(static_cast<unsigned char>(*q))) {
      number.exponentSign(exponentNegative);
      while (q < end && isDigit(static_cast<unsigned char>(*q))) number.exponentDigit(*q++ - '0');
      p = q;
    }
  }
  value = number.finish(negative);
  return p;
}

const char* parseInt(const char* begin, const char* end, int32_t& value) {
  const char* p = begin;
  while (p < end && isBlankChar(static_cast<unsigned char>(*p))) ++p;
  IntegerText number;
  if (p < end && (*p == '+' || *p == '-')) {
    number.negative = *p == '-';
    ++p;
  }
  while (p < end && isDigit(static_cast<unsigned char>(*p))) number.addDigit(*p++ - '0');
  if (number.digits == 0) return begin;
  value = number.saturated();
  return p;
}

namespace {

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
  if (lower(c) == 'n') {
    if (!expectLetters(in, "an")) return ScanStatus::kNoMatch;
    value = signedNan(negative);
    return ScanStatus::kValue;
  }
  if (lower(c) == 'i') {
    if (!expectLetters(in, "nf")) return ScanStatus::kNoMatch;
    c = in.get();
    if (lower(c) == 'i') {
      if (!expectLetters(in, "nity")) return ScanStatus::kNoMatch;
    } else if (c != EOF) {
      in.unget(c);
    }
    value = signedInfinity(negative);
    return ScanStatus::kValue;
  }

  bool hex = false;
  bool leadingZero = false;
  int collected = 0;
  if (c == '0') {
    collected = 1;
    const int next = in.get();
    if (lower(next) == 'x') {
      hex = true;
      collected = 2;
      c = in.get();
    } else {
      leadingZero = true;
      c = next;
    }
  }
  NumberBuilder number(hex);
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
  if (number.mantissaDigits() > 0 && lower(c) == (hex ? 'p' : 'e')) {
    ++collected;
    c = in.get();
    if (c == '+' || c == '-') {
      number.exponentSign(c == '-');
      c = in.get();
    }
    for (; isDigit(c); c = in.get()) number.exponentDigit(c - '0');
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
    if (lower(c) == 'x') return general();
  }
  for (; isDigit(c); digits = true) {
    if (!take()) return general();
  }
  if (c == '.') {
    if (!take()) return general();
    for (; isDigit(c); digits = true) {
      if (!take()) return general();
    }
  }
  // Words, a lone point and anything that is no number follow the general
  // rules.
  if (!digits) return general();
  if (lower(c) == 'e') {
    if (!take()) return general();
    if ((c == '+' || c == '-') && !take()) return general();
    while (isDigit(c)) {
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

}  // namespace

ScanStatus scanDouble(std::FILE* file, double& value) {
  StreamSource in{file};
  return scanDoubleFrom(in, value);
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
  // A decimal number that ends inside the buffer is converted where it
  // lies; everything else (the end of the buffer reached, words,
  // hexadecimal, values beyond the range) is scanned from the source
  // character by character.
  const char* p = next_;
  const char* const end = end_;
  while (p < end && isBlankChar(static_cast<unsigned char>(*p))) ++p;
  const bool negative = p < end && *p == '-';
  if (p < end && (*p == '-' || *p == '+')) ++p;
  if (p == end || !(isDigit(static_cast<unsigned char>(*p)) || *p == '.') ||
      (end - p >= 2 && p[0] == '0' && lower(static_cast<unsigned char>(p[1])) == 'x')) {
    return scanDoubleFrom(*this, value);
  }
  double magnitude = 0.0;
  const std::from_chars_result r = std::from_chars(p, end, magnitude);
  if (r.ec != std::errc()) return scanDoubleFrom(*this, value);
  // from_chars takes what strtod takes; fscanf also takes an exponent mark
  // and its sign that no digit follows ("1e+" gives 1, "e+" consumed).
  const char* const number = p;
  p = r.ptr;
  if (p < end && lower(static_cast<unsigned char>(*p)) == 'e' &&
      std::find_if(number, p, [](char c) { return lower(static_cast<unsigned char>(c)) == 'e'; }) == p) {
    ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
  }
  // A number that may go on in the next block is read again by the rules.
  if (p == end) return scanDoubleFrom(*this, value);
  value = negative ? -magnitude : magnitude;
  next_ = p;
  return ScanStatus::kValue;
}

ScanStatus scanInt(std::FILE* file, int32_t& value) {
  IntegerText number;
  const ScanStatus status = scanInteger(file, number);
  if (status == ScanStatus::kValue) value = number.saturated();
  return status;
}

ScanStatus scanUnsigned16(std::FILE* file, uint16_t& value) {
  IntegerText number;
  const ScanStatus status = scanInteger(file, number);
  if (status != ScanStatus::kValue) return status;
  if (number.negative || number.magnitude > 65535) return ScanStatus::kNoMatch;
  value = static_cast<uint16_t>(number.magnitude);
  return ScanStatus::kValue;
}

}  // namespace kq
