#pragma once

// The character classes of the "C" locale that every reader of numbers and
// weight-file text uses: the number text's parsers and scanners and the
// weight file's headers and text cursor. They take a character as an int
// (a stream's character, EOF included, or a char of a text), never consult
// the environment's locale, and give false for EOF and for every byte
// outside ASCII.

namespace kq {

// White space: blank, tab, line feed, vertical tab, form feed, carriage
// return.
inline bool isBlankChar(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

inline bool isDigitChar(int c) { return c >= '0' && c <= '9'; }

// The ASCII upper-case letters in lower case; every other character as it is.
inline int lowerChar(int c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

// A letter, a digit or '_': a character that continues a word.
inline bool isWordChar(int c) {
  const int l = lowerChar(c);
  return isDigitChar(c) || (l >= 'a' && l <= 'z') || c == '_';
}

// A character of a decimal number's text: a digit, a sign, a point or an
// exponent mark.
inline bool isNumberChar(int c) {
  return isDigitChar(c) || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}

}  // namespace kq
