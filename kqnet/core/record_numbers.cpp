#include <kqnet/core/record_numbers.h>

#include <string>
#include <utility>

#include <kqnet/core/char_class.h>
#include <kqnet/core/fatal.h>
#include <kqnet/core/messages.h>
#include <kqnet/core/number_text.h>

namespace kq {

namespace {

bool hasWord(const char* p, const char* word) {
  for (; *word != '\0'; ++p, ++word) {
    if (lowerChar(*p) != *word) return false;
  }
  return true;
}

// The end of a "nan", "inf" or "infinity" word (any case, with an optional
// sign) standing alone at p, or null.
const char* specialWordEnd(const char* p) {
  if (*p == '+' || *p == '-') ++p;
  const char* end = nullptr;
  if (hasWord(p, "infinity")) {
    end = p + 8;
  } else if (hasWord(p, "inf") || hasWord(p, "nan")) {
    end = p + 3;
  }
  if (end == nullptr || isWordChar(*end)) return nullptr;
  return end;
}

NamedWeightStream* registeredStreams = nullptr;

// Where a registered stream's record goes on: blanks are skipped, and the
// next character either begins a read (true) or ends the record early, at
// the end of the file or at the next section's '#' (false). The character
// stays in the stream, so the read that follows consumes what fscanf would.
bool recordGoesOn(std::FILE* file) {
  int c;
  do {
    c = getc_unlocked(file);
  } while (isBlankChar(c));
  if (c == EOF) return false;
  std::ungetc(c, file);
  return c != '#';
}

[[noreturn]] void unreadable(const char* name) { fatalf(messages::kUnableToReadFile, name); }

// After a read that found no number: true when every later read must fail
// the same way, because the next character (blanks aside, which every read
// skips) cannot begin a number and a read would consume nothing. A failed
// read that stopped in front of a blank ("- 5", ". 5", "nax 5") leaves a
// stream that the next read moves on, so reading goes on there.
bool readsAreStuck(std::FILE* file, bool doubles) {
  int c;
  do {
    c = std::getc(file);
  } while (isBlankChar(c));
  if (c == EOF) return true;
  std::ungetc(c, file);
  if (isDigitChar(c) || c == '+' || c == '-') return false;
  if (!doubles) return true;
  return !(c == '.' || c == 'n' || c == 'N' || c == 'i' || c == 'I');
}

}  // namespace

NamedWeightStream::NamedWeightStream(std::FILE* file, std::string name)
    : file_(file), name_(std::move(name)), next_(registeredStreams) {
  registeredStreams = this;
}

NamedWeightStream::~NamedWeightStream() {
  for (NamedWeightStream** link = &registeredStreams; *link != nullptr; link = &(*link)->next_) {
    if (*link == this) {
      *link = next_;
      return;
    }
  }
}

const char* NamedWeightStream::nameOf(const std::FILE* file) {
  for (const NamedWeightStream* s = registeredStreams; s != nullptr; s = s->next_) {
    if (s->file_ == file) return s->name_.c_str();
  }
  return nullptr;
}

int64_t readWeightValues(std::FILE* file, int64_t count, double* dest, int64_t keep) {
  int64_t i = 0;
  if (const char* name = NamedWeightStream::nameOf(file)) {
    for (double value = 0.0; i < count && recordGoesOn(file); ++i) {
      if (scanDouble(file, value) != ScanStatus::kValue) unreadable(name);
      if (i < keep) dest[i] = value;
    }
    return i;
  }
  for (double value = 0.0; i < count; ++i) {
    const ScanStatus status = scanDouble(file, value);
    if (status == ScanStatus::kEnd) break;
    if (status == ScanStatus::kNoMatch) {
      // Looking ahead skips blanks, so it is done only while reads remain:
      // after the last read the stream stands where fscanf would leave it.
      if (i + 1 < count && readsAreStuck(file, true)) break;
      continue;  // the element keeps its value
    }
    if (i < keep) dest[i] = value;
  }
  return i;
}

int64_t skipWeightInts(std::FILE* file, int64_t count) {
  int64_t i = 0;
  if (NamedWeightStream::nameOf(file) != nullptr) {
    for (int32_t value = 0; i < count && readWeightInt(file, value); ++i) {
    }
    return i;
  }
  for (int32_t value = 0; i < count; ++i) {
    const ScanStatus status = scanInt(file, value);
    if (status == ScanStatus::kEnd) break;
    if (status == ScanStatus::kNoMatch && i + 1 < count && readsAreStuck(file, false)) break;
  }
  return i;
}

bool readWeightInt(std::FILE* file, int32_t& value) {
  const char* name = NamedWeightStream::nameOf(file);
  if (name != nullptr && !recordGoesOn(file)) return false;
  int32_t read = 0;
  const ScanStatus status = scanInt(file, read);
  if (status == ScanStatus::kValue) {
    value = read;
    return true;
  }
  if (name != nullptr) unreadable(name);
  return false;
}

int32_t WeightTextCursor::readInt() {
  if (position == nullptr) return 0;
  const char* p = position;
  while (*p != '\0' && *p != '+' && *p != '-' && !isDigitChar(*p)) ++p;
  position = p;
  if (*p == '\0') return 0;
  const char* tokenEnd = p;
  while (*tokenEnd != '\0' && !isBlankChar(static_cast<unsigned char>(*tokenEnd))) ++tokenEnd;
  int32_t value = 0;
  parseInt(p, tokenEnd, value);
  // The whole token is passed, however long, so no buffer bounds it.
  position = tokenEnd;
  return value;
}

double WeightTextCursor::readDouble() {
  if (position == nullptr) return 0.0;
  const char* start = position;
  const char* p = start;
  const char* special = nullptr;
  for (; *p != '\0'; ++p) {
    if (isDigitChar(*p)) break;
    if (*p == '+' || *p == '-') {
      special = specialWordEnd(p);
      break;
    }
    // A written nan or inf reads back as itself, so a record holding one
    // does not shift every value after it.
    const int l = lowerChar(*p);
    if ((l == 'n' || l == 'i') && (p == start || !isWordChar(p[-1]))) {
      special = specialWordEnd(p);
      if (special != nullptr) break;
    }
  }
  double value = 0.0;
  if (special != nullptr) {
    parseDouble(p, special, value);
    position = special;
    return value;
  }
  const char* end = p;
  while (isNumberChar(*end)) ++end;
  // The whole run is converted, however long; what of it forms no number
  // (an empty run, a lone sign) gives 0.0.
  parseDouble(p, end, value);
  position = end;
  return value;
}

void WeightTextCursor::readValues(int64_t count, double* dest, int64_t keep) {
  const int64_t kept = count < keep ? count : keep;
  for (int64_t i = 0; i < count; ++i) {
    const double value = readDouble();
    if (i < keep) dest[i] = value;
    if (position == nullptr || *position == '\0') {
      for (int64_t k = i + 1; k < kept; ++k) dest[k] = 0.0;
      return;
    }
  }
}

}  // namespace kq
