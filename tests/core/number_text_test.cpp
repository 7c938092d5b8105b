#include <kqnet/core/number_text.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

// The library's conversions are checked against the C library itself:
// printf for the bytes written, strtod for the values read, and fscanf for
// the characters a file read consumes.

namespace {

using kq::ScanStatus;

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNan = std::numeric_limits<double>::quiet_NaN();

uint64_t bitsOf(double x) {
  uint64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  return bits;
}

double fromBits(uint64_t bits) {
  double x;
  std::memcpy(&x, &bits, sizeof x);
  return x;
}

// Same value bit for bit; any two nans of the same sign count as equal.
bool sameValue(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) {
    return std::isnan(a) && std::isnan(b) && std::signbit(a) == std::signbit(b);
  }
  return bitsOf(a) == bitsOf(b);
}

std::string formatted(double x) {
  char field[kq::kValueFieldCapacity];
  return std::string(field, static_cast<size_t>(kq::formatValue(field, x)));
}

std::string printfFormatted(double x) {
  char field[64];
  const int n = std::snprintf(field, sizeof field, "%22.16e ", x);
  return std::string(field, static_cast<size_t>(n));
}

std::vector<double> edgeValues() {
  return {0.0,
          -0.0,
          1.0,
          -1.0,
          0.1,
          1.0 / 3.0,
          2.5,
          1e22,
          9.999999999999999e22,
          1e23,
          123456789012345678.0,
          DBL_MAX,
          -DBL_MAX,
          DBL_MIN,
          -DBL_MIN,
          std::numeric_limits<double>::denorm_min(),
          -std::numeric_limits<double>::denorm_min(),
          std::nextafter(DBL_MIN, 0.0),
          1e-310,
          1e100,
          1e-100,
          1e300,
          1e-300,
          5e-324,
          0.30000000000000004,
          1.0000000000000002,
          9.5,
          0.95,
          kInf,
          -kInf,
          kNan,
          -kNan};
}

// --- Formatting -----------------------------------------------------------

TEST(FormatValue, WritesPrintfFieldsForHandPickedValues) {
  EXPECT_EQ(formatted(3.0), "3.0000000000000000e+00 ");
  EXPECT_EQ(formatted(-2.5), "-2.5000000000000000e+00 ");
  EXPECT_EQ(formatted(0.0), "0.0000000000000000e+00 ");
  EXPECT_EQ(formatted(-0.0), "-0.0000000000000000e+00 ");
  EXPECT_EQ(formatted(0.1), "1.0000000000000001e-01 ");
  EXPECT_EQ(formatted(1024.0), "1.0240000000000000e+03 ");
  EXPECT_EQ(formatted(-DBL_MAX), "-1.7976931348623157e+308 ");
  EXPECT_EQ(formatted(std::numeric_limits<double>::denorm_min()), "4.9406564584124654e-324 ");
  EXPECT_EQ(formatted(kNan), "                   nan ");
  EXPECT_EQ(formatted(-kNan), "                  -nan ");
  EXPECT_EQ(formatted(kInf), "                   inf ");
  EXPECT_EQ(formatted(-kInf), "                  -inf ");
}

TEST(FormatValue, MatchesPrintfOnEdgeValues) {
  for (double x : edgeValues()) EXPECT_EQ(formatted(x), printfFormatted(x)) << std::hexfloat << x;
}

TEST(FormatValue, MatchesPrintfOnRandomBitPatternsAndRanges) {
  std::mt19937_64 rng(20240601);
  std::uniform_real_distribution<double> unit(-2.0, 2.0);
  for (int i = 0; i < 200000; ++i) {
    const double pattern = fromBits(rng());
    ASSERT_EQ(formatted(pattern), printfFormatted(pattern)) << std::hexfloat << pattern;
    const double ordinary = unit(rng);
    ASSERT_EQ(formatted(ordinary), printfFormatted(ordinary)) << std::hexfloat << ordinary;
    // Subnormals: only the low mantissa bits set.
    const double subnormal = fromBits(rng() & 0x800FFFFFFFFFFFFFull);
    ASSERT_EQ(formatted(subnormal), printfFormatted(subnormal)) << std::hexfloat << subnormal;
  }
}

TEST(FormatInt, MatchesPrintfAndAppendsTheSeparator) {
  for (int32_t v : {0, 7, -7, 1000000, std::numeric_limits<int32_t>::max(),
                    std::numeric_limits<int32_t>::min()}) {
    char field[kq::kIntFieldCapacity];
    char expected[32];
    std::snprintf(expected, sizeof expected, "%d", v);
    EXPECT_EQ(std::string(field, static_cast<size_t>(kq::formatInt(field, v))), expected);
  }
  std::string text;
  kq::appendInt(text, 12, ' ');
  kq::appendInt(text, -3, '\n');
  kq::appendValue(text, 0.5);
  EXPECT_EQ(text, "12 -3\n5.0000000000000000e-01 ");
}

TEST(PutValue, WritesTheSameBytesToAStream) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(kq::putInt(file, 42, ' '));
  EXPECT_TRUE(kq::putValue(file, -kNan));
  EXPECT_TRUE(kq::putInt(file, -1, '\n'));
  std::rewind(file);
  char text[128] = {};
  const size_t n = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  EXPECT_EQ(std::string(text, n), "42                   -nan -1\n");
}

// --- Reading text in memory -----------------------------------------------

// parseDouble against strtod: the same value and the same characters used.
void expectParsesLikeStrtod(const std::string& text) {
  char* strtodEnd = nullptr;
  const double expected = std::strtod(text.c_str(), &strtodEnd);
  const size_t expectedUsed = static_cast<size_t>(strtodEnd - text.c_str());
  double value = -777.0;
  const char* end = kq::parseDouble(text.data(), text.data() + text.size(), value);
  ASSERT_EQ(static_cast<size_t>(end - text.data()), expectedUsed) << "[" << text << "]";
  if (expectedUsed == 0) {
    EXPECT_EQ(value, -777.0) << "[" << text << "]";
  } else {
    ASSERT_TRUE(sameValue(value, expected))
        << "[" << text << "] " << std::hexfloat << value << " vs " << expected;
  }
}

TEST(ParseDouble, MatchesStrtodOnPrintedRandomValues) {
  std::mt19937_64 rng(7);
  char text[64];
  for (int i = 0; i < 100000; ++i) {
    const double x = fromBits(rng());
    std::snprintf(text, sizeof text, "%.17g", x);
    expectParsesLikeStrtod(text);
    std::snprintf(text, sizeof text, "%22.16e", x);
    expectParsesLikeStrtod(text);
    std::snprintf(text, sizeof text, "%.*e", static_cast<int>(rng() % 25), x);
    expectParsesLikeStrtod(text);
    std::snprintf(text, sizeof text, "%a", x);
    expectParsesLikeStrtod(text);
  }
}

TEST(ParseDouble, MatchesStrtodOnLongDigitStringsAndHexDigits) {
  std::mt19937_64 rng(11);
  for (int i = 0; i < 4000; ++i) {
    std::string text = (rng() & 1) ? "0." : "";
    if (rng() & 1) text.append(rng() % 400, '0');
    const int digits = 1 + static_cast<int>(rng() % 1200);
    for (int j = 0; j < digits; ++j) text += static_cast<char>('0' + rng() % 10);
    if (rng() & 1) {
      text += 'e';
      text += std::to_string(static_cast<int>(rng() % 900) - 450);
    }
    expectParsesLikeStrtod(text);

    std::string hex = "0x";
    const int hexDigits = 1 + static_cast<int>(rng() % 60);
    const int dotBefore = (rng() & 1) ? static_cast<int>(rng() % hexDigits) : -1;
    for (int j = 0; j < hexDigits; ++j) {
      if (j == dotBefore) hex += '.';
      hex += "0123456789abcdef"[rng() % 16];
    }
    hex += 'p';
    hex += std::to_string(static_cast<int>(rng() % 2400) - 1200);
    expectParsesLikeStrtod(hex);
  }
}

TEST(ParseDouble, RoundsExactHalfwayPointsLikeStrtod) {
  // The exact midpoint of two neighbouring doubles, printed in full, and the
  // same digits nudged up by one in the last place: ties and near-ties.
  std::mt19937_64 rng(13);
  for (int i = 0; i < 1500; ++i) {
    const double x = fromBits(rng() & 0x7FEFFFFFFFFFFFFFull);
    const double y = std::nextafter(x, kInf);
    const long double mid = (static_cast<long double>(x) + static_cast<long double>(y)) / 2;
    char text[1000];
    std::snprintf(text, sizeof text, "%.780Le", mid);
    expectParsesLikeStrtod(text);
    std::string nudged = text;
    const size_t e = nudged.find('e');
    nudged[e - 1] = nudged[e - 1] == '9' ? '8' : static_cast<char>(nudged[e - 1] + 1);
    expectParsesLikeStrtod(nudged);
  }
}

TEST(ParseDouble, GivesInfinityAndZeroOutsideTheRangeAsStrtodDoes) {
  const struct {
    const char* text;
    double expected;
  } cases[] = {
      {"1e400", kInf},
      {"-1e400", -kInf},
      {"1e-400", 0.0},
      {"-1e-400", -0.0},
      {"1e99999999999999999999", kInf},
      {"1e-99999999999999999999", 0.0},
      {"2.4703282292062327e-324", 0.0},
      {"2.4703282292062328e-324", std::numeric_limits<double>::denorm_min()},
      {"4e-324", std::numeric_limits<double>::denorm_min()},
      {"1.7976931348623158e308", DBL_MAX},
      {"1.7976931348623159e308", kInf},
      {"0x1p-1075", 0.0},
      {"0x1.8p-1075", std::numeric_limits<double>::denorm_min()},
      {"0x1p1024", kInf},
  };
  for (const auto& c : cases) {
    double value = -777.0;
    kq::parseDouble(c.text, c.text + std::strlen(c.text), value);
    EXPECT_TRUE(sameValue(value, c.expected)) << c.text << " gave " << std::hexfloat << value;
    expectParsesLikeStrtod(c.text);
  }
}

TEST(ParseDouble, AcceptsSignsHexFloatsAndWordsAndRejectsNonNumbers) {
  for (const char* text : {"+1.5", "-0X1P-3",   "0x1.8p3", "0x.8", "0x",    "0x.",      "0xg",
                           "inf",  "-Infinity", "infin",   "NaN",  "-nan",  "nan(123)", "nan(",
                           "1e",   "1e+",       "1e+x",    ".5",   "5.",    ".",        "-",
                           "+-1",  "e5",        "  \t12",  "",     "1.2.3", "00000001", "-0"}) {
    expectParsesLikeStrtod(text);
  }
  double value = 0.0;
  const char text[] = "+0x1.8p3";
  EXPECT_EQ(kq::parseDouble(text, text + 8, value), text + 8);
  EXPECT_EQ(value, 12.0);
}

TEST(ParseDouble, MatchesStrtodOnRandomCharacterSoup) {
  std::mt19937_64 rng(17);
  const char alphabet[] = "0123456789+-.eExXpPaAnNiIfFtTyY( )\n";
  for (int i = 0; i < 100000; ++i) {
    std::string text;
    const int n = static_cast<int>(rng() % 14);
    for (int j = 0; j < n; ++j) text += alphabet[rng() % (sizeof alphabet - 1)];
    // strtod reads a nan's parenthesised text as a payload; ours does not.
    if (text.find('(') != std::string::npos) continue;
    expectParsesLikeStrtod(text);
  }
}

TEST(ParseInt, SaturatesInsteadOfWrapping) {
  const struct {
    const char* text;
    int32_t expected;
    size_t used;
  } cases[] = {{"12abc", 12, 2},
               {"-7", -7, 2},
               {"+7", 7, 2},
               {"  42", 42, 4},
               {"2147483647", 2147483647, 10},
               {"2147483648", 2147483647, 10},
               {"99999999999", 2147483647, 11},
               {"-2147483648", std::numeric_limits<int32_t>::min(), 11},
               {"-99999999999", std::numeric_limits<int32_t>::min(), 12}};
  for (const auto& c : cases) {
    int32_t value = 0;
    const char* end = kq::parseInt(c.text, c.text + std::strlen(c.text), value);
    EXPECT_EQ(value, c.expected) << c.text;
    EXPECT_EQ(static_cast<size_t>(end - c.text), c.used) << c.text;
  }
  int32_t untouched = 5;
  for (const char* text : {"", "-", "+-1", "x1", " - 1"}) {
    EXPECT_EQ(kq::parseInt(text, text + std::strlen(text), untouched), text) << text;
    EXPECT_EQ(untouched, 5) << text;
  }
}

// --- Reading from a stream --------------------------------------------------

// A stream over the given bytes (a temporary file, so that seeking and
// positions behave as they do on the data files).
std::FILE* streamOver(const std::string& text) {
  std::FILE* file = std::tmpfile();
  if (file == nullptr) return nullptr;
  std::fwrite(text.data(), 1, text.size(), file);
  std::rewind(file);
  return file;
}

// Reads the text with fscanf, with scanDouble from a stream and with
// scanDouble over the text in memory side by side until the first failure,
// comparing outcome, value, position and end-of-file state.
void expectScansLikeFscanf(const std::string& text) {
  std::FILE* expected = streamOver(text);
  std::FILE* actual = streamOver(text);
  ASSERT_NE(expected, nullptr);
  ASSERT_NE(actual, nullptr);
  const char* at = text.data();
  for (int read = 0; read < 40; ++read) {
    double a = -777.0;
    double b = -777.0;
    double c = -777.0;
    const int rc = std::fscanf(expected, "%lf", &a);
    const ScanStatus status = kq::scanDouble(actual, b);
    const ScanStatus inMemory = kq::scanDouble(at, text.data() + text.size(), c);
    const ScanStatus expectedStatus =
        rc == EOF ? ScanStatus::kEnd : (rc == 0 ? ScanStatus::kNoMatch : ScanStatus::kValue);
    ASSERT_EQ(status, expectedStatus) << "[" << text << "] read " << read;
    ASSERT_EQ(inMemory, expectedStatus) << "[" << text << "] read " << read;
    ASSERT_TRUE(sameValue(a, b)) << "[" << text << "] read " << read;
    ASSERT_TRUE(sameValue(a, c)) << "[" << text << "] read " << read;
    ASSERT_EQ(std::ftell(actual), std::ftell(expected)) << "[" << text << "] read " << read;
    ASSERT_EQ(at - text.data(), std::ftell(expected)) << "[" << text << "] read " << read;
    ASSERT_EQ(std::feof(actual) != 0, std::feof(expected) != 0) << "[" << text << "]";
    if (rc != 1) break;
  }
  std::fclose(expected);
  std::fclose(actual);
}

TEST(ScanDouble, ConsumesAndStoresWhatFscanfDoes) {
  for (const char* text :
       {"1 2 3", "1 2 3\n", "100ergs", "1.5e 2", "1e+x",     "1e+",          "-",        "- 5",
        ".",     "-.",      ".5",      "0x",     "0xg",      "0x.",          "0x.p3",    "0xp3",
        "0x1p",  "0x1.8p3", "nanx",    "nax",    "-nan(12)", "infx",         "infinity", "infinit",
        "INF",   "  ",      "",        "+5",     "1e5e3",    "1..2",         "0",        "0e",
        "e5",    "+-1",     "1e-400",  "1e400",  "-0X1P-3",  "  \n\t 7.25\n"}) {
    expectScansLikeFscanf(text);
  }
}

TEST(ScanDouble, MatchesFscanfOnRandomText) {
  std::mt19937_64 rng(19);
  const char soup[] = "0123456789+-.eExXpPaAnNiIfFtTyY \n";
  const char numbers[] = "0123456789.e-+ ";
  for (int i = 0; i < 6000; ++i) {
    std::string text;
    const bool fromSoup = (i & 1) != 0;
    const int n = static_cast<int>(rng() % (fromSoup ? 14 : 40));
    for (int j = 0; j < n; ++j) {
      text += fromSoup ? soup[rng() % (sizeof soup - 1)] : numbers[rng() % (sizeof numbers - 1)];
    }
    expectScansLikeFscanf(text);
  }
  char text[64];
  for (int i = 0; i < 3000; ++i) {
    std::snprintf(text, sizeof text, (i & 1) ? "%22.16e \n" : "%a ", fromBits(rng()));
    expectScansLikeFscanf(text);
  }
}

TEST(ScanDouble, NumbersAroundFortyEightCharactersReadAsFscanfReadsThem) {
  // Short numbers are converted whole, longer ones digit by digit: both
  // sides of the change and numbers that cross it in every part.
  std::mt19937_64 rng(23);
  for (int length = 40; length <= 56; ++length) {
    for (int i = 0; i < 40; ++i) {
      std::string text = (i % 3 == 0) ? "-" : (i % 3 == 1 ? "+" : "");
      const int point = static_cast<int>(rng() % length);
      const int mark = (i % 2 == 0) ? length - 4 : length + 10;
      for (int k = 0; k < length; ++k) {
        if (k == point) text += '.';
        if (k == mark) text += (i % 4 == 0) ? "e-" : "E";
        text += static_cast<char>('0' + rng() % 10);
      }
      text += (i % 5 == 0) ? "e+ 7" : " 3.5";
      expectScansLikeFscanf(text);
    }
  }
  std::string longExponent = "1e";
  longExponent.append(60, '0').append("7 2");
  expectScansLikeFscanf(longExponent);
  std::string longHex = "-0x";
  longHex.append(50, '1').append("p-3 2");
  expectScansLikeFscanf(longHex);
}

// Reads the text with fscanf and with a BlockTextReader side by side until
// the first failure, comparing outcome, value and end-of-file state; the
// values that follow a number show what it consumed.
void expectBlockReadsLikeFscanf(const std::string& text, int reads) {
  std::FILE* expected = streamOver(text);
  std::FILE* actual = streamOver(text);
  ASSERT_NE(expected, nullptr);
  ASSERT_NE(actual, nullptr);
  kq::BlockTextReader reader;
  reader.attach(actual);
  for (int read = 0; read < reads; ++read) {
    double a = -777.0;
    double b = -777.0;
    const int rc = std::fscanf(expected, "%lf", &a);
    const ScanStatus status = reader.scanDouble(b);
    const ScanStatus expectedStatus =
        rc == EOF ? ScanStatus::kEnd : (rc == 0 ? ScanStatus::kNoMatch : ScanStatus::kValue);
    ASSERT_EQ(status, expectedStatus) << "[" << text.substr(0, 80) << "] read " << read;
    ASSERT_TRUE(sameValue(a, b)) << "[" << text.substr(0, 80) << "] read " << read;
    ASSERT_EQ(reader.atEnd(), std::feof(expected) != 0) << "[" << text.substr(0, 80) << "]";
    if (rc != 1) break;
  }
  std::fclose(expected);
  std::fclose(actual);
}

TEST(BlockTextReader, ReadsWhatFscanfReadsInEveryShape) {
  std::mt19937_64 rng(31);
  const char soup[] = "0123456789+-.eExXpPaAnNiIfFtTyY \n";
  const char numbers[] = "0123456789.e-+ ";
  for (int i = 0; i < 4000; ++i) {
    std::string text;
    const bool fromSoup = (i & 1) != 0;
    const int n = static_cast<int>(rng() % (fromSoup ? 14 : 40));
    for (int j = 0; j < n; ++j) {
      text += fromSoup ? soup[rng() % (sizeof soup - 1)] : numbers[rng() % (sizeof numbers - 1)];
    }
    expectBlockReadsLikeFscanf(text, 40);
  }
  for (const char* text : {"1 2 3", "1e+", "1e+x 4", "-", ".", "0x1.8p3 5", "nan(12) 6", "infinity",
                           "1e400 -1e-400 7", "  \n\t 7.25\n", "5.", "-.5e"}) {
    expectBlockReadsLikeFscanf(text, 40);
  }
}

TEST(BlockTextReader, NumbersAcrossBlockBoundariesAndTheEndOfTheFile) {
  // Printed values whose fields fall on the block boundaries at every
  // offset, then a last number without a line end.
  std::mt19937_64 rng(37);
  char field[64];
  std::string text;
  while (text.size() < 3 * kq::BlockTextReader::kBlockSize) {
    std::snprintf(field, sizeof field, "%22.16e ", fromBits(rng()));
    text += field;
    if (rng() % 7 == 0) text += std::string(rng() % 40, rng() % 2 == 0 ? ' ' : '\n');
  }
  text += "-1.25e-3";
  expectBlockReadsLikeFscanf(text, 1 << 20);
  // A digit run longer than a block is read digit by digit.
  std::string longDigits = "3 0.";
  longDigits.append(kq::BlockTextReader::kBlockSize + 100, '0').append("15e2 4");
  expectBlockReadsLikeFscanf(longDigits, 10);
}

TEST(BlockTextReader, RewindStartsAgainAndTheEndStaysUntilThen) {
  std::FILE* file = streamOver("1.5 2.5");
  ASSERT_NE(file, nullptr);
  kq::BlockTextReader reader;
  reader.attach(file);
  double value = 0.0;
  EXPECT_EQ(reader.scanDouble(value), ScanStatus::kValue);
  EXPECT_EQ(value, 1.5);
  EXPECT_FALSE(reader.atEnd());
  EXPECT_EQ(reader.scanDouble(value), ScanStatus::kValue);
  EXPECT_EQ(value, 2.5);
  EXPECT_TRUE(reader.atEnd());  // the last number ran into the end
  EXPECT_EQ(reader.scanDouble(value), ScanStatus::kEnd);
  EXPECT_EQ(reader.scanDouble(value), ScanStatus::kEnd);
  reader.rewind();
  EXPECT_FALSE(reader.atEnd());
  EXPECT_EQ(reader.scanDouble(value), ScanStatus::kValue);
  EXPECT_EQ(value, 1.5);
  std::fclose(file);
}

TEST(ScanInt, MatchesFscanfInRangeAndSaturatesBeyond) {
  for (const char* text : {"12abc", "-5", "+7", "-", "- 5", "x", "", "  ", "0x10", "007", "-0"}) {
    std::FILE* expected = streamOver(text);
    std::FILE* actual = streamOver(text);
    int a = -777;
    int32_t b = -777;
    int32_t c = -777;
    const int rc = std::fscanf(expected, "%d", &a);
    const ScanStatus status = kq::scanInt(actual, b);
    const char* at = text;
    const ScanStatus inMemory = kq::scanInt(at, text + std::strlen(text), c);
    const ScanStatus expectedStatus =
        rc == EOF ? ScanStatus::kEnd : (rc == 0 ? ScanStatus::kNoMatch : ScanStatus::kValue);
    EXPECT_EQ(status, expectedStatus) << text;
    EXPECT_EQ(inMemory, expectedStatus) << text;
    EXPECT_EQ(a, b) << text;
    EXPECT_EQ(a, c) << text;
    EXPECT_EQ(std::ftell(actual), std::ftell(expected)) << text;
    EXPECT_EQ(at - text, std::ftell(expected)) << text;
    std::fclose(expected);
    std::fclose(actual);
  }
  const struct {
    const char* text;
    int32_t expected;
  } saturating[] = {{"99999999999", std::numeric_limits<int32_t>::max()},
                    {"-99999999999", std::numeric_limits<int32_t>::min()},
                    {"2147483648", std::numeric_limits<int32_t>::max()},
                    {"-2147483648", std::numeric_limits<int32_t>::min()}};
  for (const auto& c : saturating) {
    std::FILE* file = streamOver(c.text);
    int32_t value = 0;
    EXPECT_EQ(kq::scanInt(file, value), ScanStatus::kValue);
    EXPECT_EQ(value, c.expected) << c.text;
    std::fclose(file);
  }
}

TEST(ScanUnsigned16, ReadsDigitsAsHuButRefusesSignsAndLargeValues) {
  const struct {
    const char* text;
    ScanStatus status;
    uint16_t value;
    int next;  // the character left in the stream
  } cases[] = {{"246abc", ScanStatus::kValue, 246, 'a'},
               {"+7 ", ScanStatus::kValue, 7, ' '},
               {"65535", ScanStatus::kValue, 65535, EOF},
               {"65536", ScanStatus::kNoMatch, 9, EOF},
               {"99999999999", ScanStatus::kNoMatch, 9, EOF},
               {"-5", ScanStatus::kNoMatch, 9, EOF},
               {"-0", ScanStatus::kNoMatch, 9, EOF},
               {"abc", ScanStatus::kNoMatch, 9, 'a'},
               {"  ", ScanStatus::kEnd, 9, EOF}};
  for (const auto& c : cases) {
    std::FILE* file = streamOver(c.text);
    uint16_t value = 9;
    EXPECT_EQ(kq::scanUnsigned16(file, value), c.status) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
    EXPECT_EQ(std::getc(file), c.next) << c.text;
    std::fclose(file);
  }
}

// --- Locale ---------------------------------------------------------------

// Switches to a locale whose decimal separator is a comma, building one in
// the temporary directory when the system has none installed.
bool enterCommaLocale(std::string& builtDir) {
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"}) {
    if (std::setlocale(LC_ALL, name) != nullptr) return true;
  }
  const std::string dir =
      (std::filesystem::temp_directory_path() / ("kqnet_test_locales_" + std::to_string(getpid())))
          .string();
  builtDir = dir;
  const std::string build = "mkdir -p '" + dir + "' && localedef -i de_DE -f UTF-8 '" + dir +
                            "/de_DE.UTF-8' >/dev/null 2>&1";
  if (std::system(build.c_str()) != 0) return false;
  setenv("LOCPATH", dir.c_str(), 1);
  return std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
}

TEST(NumberText, IgnoresTheEnvironmentsLocale) {
  std::string builtDir;
  const bool entered = enterCommaLocale(builtDir);
  if (!builtDir.empty()) std::filesystem::remove_all(builtDir);
  if (!entered) GTEST_SKIP() << "no locale with a decimal comma is available";
  ASSERT_EQ(std::string(std::localeconv()->decimal_point), ",");

  EXPECT_EQ(formatted(1.5), "1.5000000000000000e+00 ");
  double value = 0.0;
  const char text[] = "2.25";
  EXPECT_EQ(kq::parseDouble(text, text + 4, value), text + 4);
  EXPECT_EQ(value, 2.25);
  std::FILE* file = streamOver("3.75 4,5");
  EXPECT_EQ(kq::scanDouble(file, value), ScanStatus::kValue);
  EXPECT_EQ(value, 3.75);
  EXPECT_EQ(kq::scanDouble(file, value), ScanStatus::kValue);
  EXPECT_EQ(value, 4.0);  // the comma is not a decimal point here
  std::fclose(file);
  std::setlocale(LC_ALL, "C");
}

TEST(ScanDouble, LongZeroRunsOffsetByLongExponentsKeepTheirValue) {
  // Three million zeros after the point, made up by an exponent of seven
  // digits: the value is 1000, as strtod and fscanf give it.
  const std::string small = "0." + std::string(3000000, '0') + "1e3000004 ";
  double value = 0.0;
  EXPECT_EQ(kq::parseDouble(small.data(), small.data() + small.size(), value),
            small.data() + small.size() - 1);
  EXPECT_EQ(value, 1000.0);
  const std::string large = "1" + std::string(3000000, '0') + "e-3000000";
  EXPECT_EQ(kq::parseDouble(large.data(), large.data() + large.size(), value),
            large.data() + large.size());
  EXPECT_EQ(value, 1.0);

  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  std::fputs(small.c_str(), file);
  std::rewind(file);
  value = 0.0;
  EXPECT_EQ(kq::scanDouble(file, value), kq::ScanStatus::kValue);
  EXPECT_EQ(value, 1000.0);
  std::fclose(file);
}

}  // namespace
