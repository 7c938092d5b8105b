#include <kqnet/core/number_text.h>

#include <charconv>
#include <cstring>

#include <kqnet/core/char_class.h>
#include <kqnet/core/number_builder.h>

namespace kq {

namespace {

// Case-insensitive match of word at p.
bool startsWithWord(const char* p, const char* end, const char* word) {
  const size_t n = std::strlen(word);
  if (static_cast<size_t>(end - p) < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (lowerChar(static_cast<unsigned char>(p[i])) != word[i]) return false;
  }
  return true;
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
  text.append(field, static_cast<size_t>(n) + 1);
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
  return std::fwrite(field, 1, static_cast<size_t>(n) + 1, file) == static_cast<size_t>(n) + 1;
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
    value = detail::signedInfinity(negative);
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
    value = detail::signedNan(negative);
    return p;
  }

  bool hex = false;
  if (end - p >= 3 && p[0] == '0' && lowerChar(p[1]) == 'x') {
    const char* q = p + 2;
    if (detail::hexValue(static_cast<unsigned char>(*q)) >= 0 ||
        (*q == '.' && q + 1 < end && detail::hexValue(static_cast<unsigned char>(q[1])) >= 0)) {
      hex = true;
      p = q;
    }
  }
  auto digitValue = [hex](char c) {
    const int d = detail::hexValue(static_cast<unsigned char>(c));
    return (hex || d < 10) ? d : -1;
  };

  detail::NumberBuilder number(hex);
  while (p < end && digitValue(*p) >= 0) {
    number.mantissaDigit(digitValue(*p),
                         static_cast<char>(lowerChar(static_cast<unsigned char>(*p))));
    ++p;
  }
  if (p < end && *p == '.' &&
      (number.mantissaDigits() > 0 || (p + 1 < end && digitValue(p[1]) >= 0))) {
    ++p;
    number.dot();
    while (p < end && digitValue(*p) >= 0) {
      number.mantissaDigit(digitValue(*p),
                           static_cast<char>(lowerChar(static_cast<unsigned char>(*p))));
      ++p;
    }
  }
  if (number.mantissaDigits() == 0) return begin;

  // An exponent counts only when a digit follows its mark and sign.
  if (p < end && lowerChar(static_cast<unsigned char>(*p)) == (hex ? 'p' : 'e')) {
    const char* q = p + 1;
    bool exponentNegative = false;
    if (q < end && (*q == '+' || *q == '-')) {
      exponentNegative = *q == '-';
      ++q;
    }
    if (q < end && isDigitChar(static_cast<unsigned char>(*q))) {
      number.exponentSign(exponentNegative);
      while (q < end && isDigitChar(static_cast<unsigned char>(*q)))
        number.exponentDigit(*q++ - '0');
      p = q;
    }
  }
  value = number.finish(negative);
  return p;
}

const char* parseInt(const char* begin, const char* end, int32_t& value) {
  const char* p = begin;
  while (p < end && isBlankChar(static_cast<unsigned char>(*p))) ++p;
  detail::IntegerText number;
  if (p < end && (*p == '+' || *p == '-')) {
    number.negative = *p == '-';
    ++p;
  }
  while (p < end && isDigitChar(static_cast<unsigned char>(*p))) number.addDigit(*p++ - '0');
  if (number.digits == 0) return begin;
  value = number.saturated();
  return p;
}

}  // namespace kq
