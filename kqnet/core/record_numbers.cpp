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

// The characters of a registered stream, read through the stream.
class StreamChars {
 public:
  explicit StreamChars(std::FILE* file) : file_(file) {}

  // Where the record goes on: blanks are skipped, and the next character
  // either begins a read (true) or ends the record early, at the end of the
  // file or at the next section's '#' (false). The character stays in the
  // stream, so the read that follows consumes what fscanf would.
  bool recordGoesOn() {
    int c;
    do {
      c = getc_unlocked(file_);
    } while (isBlankChar(c));
    if (c == EOF) return false;
    std::ungetc(c, file_);
    return c != '#';
  }
  ScanStatus readDouble(double& value) { return scanDouble(file_, value); }
  ScanStatus readInt(int32_t& value) { return scanInt(file_, value); }

 private:
  std::FILE* file_;
};

// The same characters taken from the text the stream was opened over, from
// where the stream stands; the stream is moved on to where the reads
// stopped when this goes.
class TextChars {
 public:
  TextChars(std::FILE* file, const char* text, const char* at, const char* end)
      : file_(file), text_(text), at_(at), end_(end) {}
  ~TextChars() { std::fseek(file_, static_cast<long>(at_ - text_), SEEK_SET); }
  TextChars(const TextChars&) = delete;
  TextChars& operator=(const TextChars&) = delete;

  bool recordGoesOn() {
    while (at_ < end_ && isBlankChar(static_cast<unsigned char>(*at_))) ++at_;
    return at_ < end_ && *at_ != '#';
  }
  ScanStatus readDouble(double& value) { return scanDouble(at_, end_, value); }
  ScanStatus readInt(int32_t& value) { return scanInt(at_, end_, value); }

 private:
  std::FILE* file_;
  const char* text_;
  const char* at_;
  const char* end_;
};

// Runs read over the characters of the registered stream file: from its
// text where it has one, otherwise through the stream.
template <class Read>
auto readRegistered(std::FILE* file, const NamedWeightStream& named, Read read) {
  if (named.text() != nullptr) {
    const long at = std::ftell(file);
    if (at >= 0 && static_cast<size_t>(at) <= named.size()) {
      TextChars chars(file, named.text(), named.text() + at, named.text() + named.size());
      return read(chars);
    }
  }
  StreamChars chars(file);
  return read(chars);
}

[[noreturn]] void unreadable(const char* name) { fatalf(messages::kUnableToReadFile, name); }

template <class Chars>
int64_t readNamedValues(Chars& chars, const char* name, int64_t count, double* dest, int64_t keep) {
  int64_t i = 0;
  for (double value = 0.0; i < count && chars.recordGoesOn(); ++i) {
    if (chars.readDouble(value) != ScanStatus::kValue) unreadable(name);
    if (i < keep) dest[i] = value;
  }
  return i;
}

template <class Chars>
bool readNamedInt(Chars& chars, const char* name, int32_t& value) {
  if (!chars.recordGoesOn()) return false;
  int32_t read = 0;
  if (chars.readInt(read) != ScanStatus::kValue) unreadable(name);
  value = read;
  return true;
}

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

NamedWeightStream::NamedWeightStream(std::FILE* file, std::string name, const char* text,
                                     size_t size)
    : NamedWeightStream(file, std::move(name)) {
  text_ = text;
  size_ = text != nullptr ? size : 0;
}

NamedWeightStream::~NamedWeightStream() {
  for (NamedWeightStream** link = &registeredStreams; *link != nullptr; link = &(*link)->next_) {
    if (*link == this) {
      *link = next_;
      return;
    }
  }
}

const NamedWeightStream* NamedWeightStream::find(const std::FILE* file) {
  for (const NamedWeightStream* s = registeredStreams; s != nullptr; s = s->next_) {
    if (s->file_ == file) return s;
  }
  return nullptr;
}

const char* NamedWeightStream::nameOf(const std::FILE* file) {
  const NamedWeightStream* named = find(file);
  return named != nullptr ? named->name() : nullptr;
}

int64_t readWeightValues(std::FILE* file, int64_t count, double* dest, int64_t keep) {
  if (const NamedWeightStream* named = NamedWeightStream::find(file)) {
    return readRegistered(file, *named, [&](auto& chars) {
      return readNamedValues(chars, named->name(), count, dest, keep);
    });
  }
  int64_t i = 0;
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
  if (const NamedWeightStream* named = NamedWeightStream::find(file)) {
    return readRegistered(file, *named, [&](auto& chars) {
      int64_t i = 0;
      for (int32_t value = 0; i < count && readNamedInt(chars, named->name(), value); ++i) {
      }
      return i;
    });
  }
  int64_t i = 0;
  for (int32_t value = 0; i < count; ++i) {
    const ScanStatus status = scanInt(file, value);
    if (status == ScanStatus::kEnd) break;
    if (status == ScanStatus::kNoMatch && i + 1 < count && readsAreStuck(file, false)) break;
  }
  return i;
}

bool readWeightInt(std::FILE* file, int32_t& value) {
  if (const NamedWeightStream* named = NamedWeightStream::find(file)) {
    return readRegistered(file, *named,
                          [&](auto& chars) { return readNamedInt(chars, named->name(), value); });
  }
  int32_t read = 0;
  if (scanInt(file, read) != ScanStatus::kValue) return false;
  value = read;
  return true;
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
