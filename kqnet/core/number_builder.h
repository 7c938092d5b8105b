#pragma once

#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

#include <kqnet/core/char_class.h>

// The pieces that the number text's parsers (number_text.cpp) and stream
// scanners (number_scan.cpp) share: the digit collector that turns a digit
// string of any length into the correctly rounded double, and the
// saturating integer. Not an interface of their own; use number_text.h.

namespace kq::detail {

// A halfway point between two doubles has at most 767 significant decimal
// digits (54 bits in hexadecimal), so keeping more than that, plus one
// sticky digit standing for everything dropped, rounds every input exactly
// as the full digit string would, from a bounded buffer.
inline constexpr int kMaxDecimalDigits = 800;
inline constexpr int kMaxHexDigits = 32;
// The decimal exponent handed to the final conversion is clamped far beyond
// the range of any double. The written exponent is saturated much later, so
// that a run of zeros of any length that it offsets still counts, without
// letting a hostile exponent overflow the 64-bit arithmetic.
inline constexpr int64_t kExponentCap = 100000;
inline constexpr int64_t kWrittenExponentCap = int64_t{1} << 60;

inline int hexValue(int c) {
  if (isDigitChar(c)) return c - '0';
  const int l = lowerChar(c);
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

}  // namespace kq::detail
