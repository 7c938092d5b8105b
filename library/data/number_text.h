#pragma once

#include <cstdint>
#include <cstdio>
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

// fscanf(file, "%hu") for a number that must fit 16 bits unsigned: digits
// that follow a '-' sign, or a value above 65535, count as no number (the
// characters are still consumed).
ScanStatus scanUnsigned16(std::FILE* file, uint16_t& value);

// White space in the "C" locale: blank, tab, line feed, vertical tab, form
// feed, carriage return.
inline bool isBlankChar(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace kq
