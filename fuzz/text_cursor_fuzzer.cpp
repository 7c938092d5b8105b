// The weight text cursor's number reading over the input as a text: a pass
// of readDouble, a pass of readInt, a pass alternating them and a counted
// readValues, each read checked against what it must take: the characters
// it passes over, where it stops, and the value, which must be the C
// library's strtod or strtol of the characters taken. The conversions the
// cursor rests on (parseDouble, parseInt) are also compared with strtod and
// strtol directly, from the starts of the input's first tokens.

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include <kqnet/core/char_class.h>
#include <kqnet/core/fatal.h>
#include <kqnet/core/number_text.h>
#include <kqnet/core/record_numbers.h>

namespace {

using kqfuzz::isBlank;
using kqfuzz::isDigit;

constexpr int kMaxConversionStarts = 48;

bool isNumberChar(char c) {
  return isDigit(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.' || c == 'e' ||
         c == 'E';
}

bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool startsANumber(char c) {
  return isDigit(static_cast<unsigned char>(c)) || c == '+' || c == '-';
}

// strtod over exactly [begin, end); 0.0 when nothing converts.
double strtodOf(const char* begin, const char* end) {
  const std::string copy(begin, end);
  char* stop = nullptr;
  const double value = std::strtod(copy.c_str(), &stop);
  return stop == copy.c_str() ? 0.0 : value;
}

int32_t clampToInt32(long v) {
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

class CursorCheck {
 public:
  CursorCheck(const char* text, size_t length) : text_(text), end_(text + length) {}

  // One readDouble from position, checked; returns the new position.
  const char* readDouble(kq::WeightTextCursor& cursor) {
    const char* before = cursor.position;
    const double value = cursor.readDouble();
    const char* after = cursor.position;
    checkProgress(before, after);
    // What the cursor took ends at after: a word (nan, inf, infinity, with
    // an optional sign) or a run of number characters that starts with a
    // digit or a sign. A numeric run can end with no letter but 'e' or 'E'.
    const char* start = after;
    bool took = false;
    if (after > before) {
      const char last = after[-1];
      if (isLetter(last) && last != 'e' && last != 'E') {
        while (start > before && isLetter(start[-1])) --start;
        const bool wordStart = start == before || !isWordChar(start[-1]);
        if (start > before && (start[-1] == '+' || start[-1] == '-')) {
          --start;
          took = isWholeWord(start, after);
        } else {
          took = wordStart && isWholeWord(start, after);
        }
        if (took) {
          KQFUZZ_CHECK(after == end_ || !isWordChar(*after), "word runs on at offset %td",
                       after - text_);
        }
      } else {
        while (start > before && isNumberChar(start[-1])) --start;
        while (start < after && !startsANumber(*start)) ++start;
        took = start < after;
        if (took) {
          KQFUZZ_CHECK(after == end_ || !isNumberChar(*after), "the run goes on at offset %td",
                       after - text_);
        }
      }
    }
    if (!took) {
      // Nothing to take: the cursor ran to the end of the text.
      KQFUZZ_CHECK(after == end_, "readDouble stopped at offset %td and took nothing",
                   after - text_);
      KQFUZZ_CHECK(sameValue(value, 0.0), "value at the end of the text");
      checkSkipped(before, after);
      return after;
    }
    checkSkipped(before, start);
    const double expected = strtodOf(start, after);
    KQFUZZ_CHECK(kqfuzz::sameValue(value, expected), "readDouble at offset %td gave %a, strtod %a",
                 start - text_, value, expected);
    return after;
  }

  // One readInt from position, checked.
  const char* readInt(kq::WeightTextCursor& cursor) {
    const char* before = cursor.position;
    const int32_t value = cursor.readInt();
    const char* after = cursor.position;
    checkProgress(before, after);
    const char* start = before;
    while (start < end_ && !startsANumber(*start)) ++start;
    if (start == end_) {
      KQFUZZ_CHECK(after == end_ && value == 0, "readInt at the end of the text");
      return after;
    }
    const char* tokenEnd = start;
    while (tokenEnd < end_ && !isBlank(static_cast<unsigned char>(*tokenEnd))) ++tokenEnd;
    KQFUZZ_CHECK(after == tokenEnd, "readInt stopped at %td, the token ends at %td", after - text_,
                 tokenEnd - text_);
    const std::string token(start, tokenEnd);
    char* stop = nullptr;
    errno = 0;
    const long parsed = std::strtol(token.c_str(), &stop, 10);
    const int32_t expected = stop == token.c_str() ? 0 : clampToInt32(parsed);
    KQFUZZ_CHECK(value == expected, "readInt at %td gave %d, strtol %d", start - text_, value,
                 expected);
    return after;
  }

 private:
  static bool isWordChar(char c) {
    return isLetter(c) || isDigit(static_cast<unsigned char>(c)) || c == '_';
  }

  // Every read moves the cursor forward inside the text, unless it already
  // stands at the end.
  void checkProgress(const char* before, const char* after) const {
    KQFUZZ_CHECK(after >= before && after <= end_, "cursor left the text: %td -> %td",
                 before - text_, after - text_);
    KQFUZZ_CHECK(after > before || after == end_, "cursor stuck at offset %td", after - text_);
  }

  // strtod takes all of [begin, end) and gives a nan or an infinity.
  static bool isWholeWord(const char* begin, const char* end) {
    const std::string copy(begin, end);
    char* stop = nullptr;
    const double value = std::strtod(copy.c_str(), &stop);
    return stop == copy.c_str() + copy.size() && (std::isnan(value) || std::isinf(value));
  }

  static bool sameValue(double a, double b) { return kqfuzz::sameValue(a, b); }

  // Reading passes over no digit and no sign on its way to a number.
  void checkSkipped(const char* from, const char* to) const {
    for (const char* p = from; p < to; ++p) {
      KQFUZZ_CHECK(!startsANumber(*p), "passed over '%c' at offset %td", *p, p - text_);
    }
  }

  const char* text_;
  const char* end_;
};

// parseDouble and parseInt must agree with strtod and strtol on every
// prefix they are given: the value and the characters used.
void checkConversions(const char* text, size_t length) {
  int starts = 0;
  for (size_t i = 0; i < length && starts < kMaxConversionStarts; ++i) {
    if (i > 0 && !isBlank(static_cast<unsigned char>(text[i - 1]))) continue;
    ++starts;
    const char* begin = text + i;
    const char* end = text + length;

    double value = -7.0;
    const char* used = kq::parseDouble(begin, end, value);
    char* stop = nullptr;
    const double expected = std::strtod(begin, &stop);
    KQFUZZ_CHECK(used == stop, "parseDouble at %zu used %td characters, strtod %td", i,
                 used - begin, stop - begin);
    if (stop == begin) {
      KQFUZZ_CHECK(value == -7.0, "parseDouble stored a value without a number");
    } else {
      KQFUZZ_CHECK(kqfuzz::sameValue(value, expected), "parseDouble at %zu gave %a, strtod %a", i,
                   value, expected);
    }

    int32_t integer = -7;
    const char* usedInt = kq::parseInt(begin, end, integer);
    errno = 0;
    const long parsed = std::strtol(begin, &stop, 10);
    KQFUZZ_CHECK(usedInt == stop, "parseInt at %zu used %td characters, strtol %td", i,
                 usedInt - begin, stop - begin);
    KQFUZZ_CHECK(integer == (stop == begin ? -7 : clampToInt32(parsed)), "parseInt at %zu", i);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const kqfuzz::InputCopy input(data, size);
  const char* text = input.data();
  const size_t length = input.textLength();
  CursorCheck check(text, length);

  try {
    kq::WeightTextCursor doubles{text};
    while (*doubles.position != '\0') check.readDouble(doubles);
    check.readDouble(doubles);

    kq::WeightTextCursor ints{text};
    while (*ints.position != '\0') check.readInt(ints);
    check.readInt(ints);

    // The cursor stands wherever the other kind of read left it.
    kq::WeightTextCursor mixed{text};
    for (size_t i = 0; *mixed.position != '\0'; ++i) {
      if (((i * 7) ^ length) & 1) {
        check.readInt(mixed);
      } else {
        check.readDouble(mixed);
      }
    }

    // A counted read is a run of readDouble, the kept ones stored; past the
    // end of the text every value is 0.
    const int64_t count = size > 0 ? static_cast<unsigned char>(text[0]) : 0;
    const int64_t keep = count / 2 + 1;
    std::vector<double> values(static_cast<size_t>(keep), -7.0);
    kq::WeightTextCursor counted{text};
    counted.readValues(count, values.data(), keep);
    kq::WeightTextCursor single{text};
    for (int64_t i = 0; i < count; ++i) {
      const double expected = single.readDouble();
      if (i < keep) {
        KQFUZZ_CHECK(kqfuzz::sameValue(values[static_cast<size_t>(i)], expected),
                     "readValues value %lld", static_cast<long long>(i));
      }
    }
    for (int64_t i = count; i < keep; ++i) {
      KQFUZZ_CHECK(values[static_cast<size_t>(i)] == -7.0, "readValues wrote past its count");
    }

    checkConversions(text, length);
  } catch (const kq::FatalError& error) {
    // The cursor has no fatal path: text cannot end the process.
    kqfuzz::failCheck("unexpected fatal error: %s", error.what());
  }
  return 0;
}
