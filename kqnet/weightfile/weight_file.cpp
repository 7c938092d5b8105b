#include <kqnet/weightfile/weight_file.h>

#include <string>

#include <kqnet/core/char_class.h>
#include <kqnet/core/fatal.h>
#include <kqnet/core/messages.h>
#include <kqnet/core/number_text.h>

namespace kq {

namespace {

// Reads up to and including the next '#'; false at the end of the file.
bool skipPastHash(std::FILE* file) {
  int c;
  while ((c = std::getc(file)) != EOF) {
    if (c == '#') return true;
  }
  return false;
}

enum class TokenMatch {
  kNone,       // the file ended before a token began
  kEqual,      // the token equals the wanted word exactly
  kDifferent,  // any other token
};

// Reads the next white-space delimited token as "%s" does (the white space
// after it stays in the stream), comparing it with wanted on the way.
TokenMatch readToken(std::FILE* file, const char* wanted, std::string* kept) {
  int c;
  do {
    c = std::getc(file);
  } while (isBlankChar(c));
  if (c == EOF) return TokenMatch::kNone;
  bool equal = true;
  const char* w = wanted;
  while (c != EOF && !isBlankChar(c)) {
    if (equal) {
      if (*w != '\0' && static_cast<unsigned char>(*w) == c) {
        ++w;
      } else {
        equal = false;
      }
    }
    if (kept != nullptr && kept->size() < kReportedTokenPrefix) {
      kept->push_back(static_cast<char>(c));
    }
    c = std::getc(file);
  }
  if (c != EOF) std::ungetc(c, file);
  return equal && *w == '\0' ? TokenMatch::kEqual : TokenMatch::kDifferent;
}

}  // namespace

KqWeightFileVersion readWeightFileVersion(std::FILE* file) {
  KqWeightFileVersion version = kDefaultWeightFileVersion;
  if (file == nullptr) return version;
  std::rewind(file);
  while (skipPastHash(file)) {
    const TokenMatch match = readToken(file, kWeightFileVersionKey, nullptr);
    // A '#' with nothing after it ends the file's headers.
    if (match == TokenMatch::kNone) break;
    if (match == TokenMatch::kEqual) {
      uint16_t number = 0;
      if (scanUnsigned16(file, number) == ScanStatus::kValue) version = number;
      break;
    }
  }
  return version;
}

std::FILE* findWeightSection(std::FILE* file, const char* classWord, const char* key) {
  const char* word = classWord != nullptr ? classWord : "";
  const char* name = key != nullptr ? key : "";
  if (file != nullptr) {
    std::rewind(file);
    std::string found;
    while (skipPastHash(file)) {
      const TokenMatch match = readToken(file, name, nullptr);
      if (match == TokenMatch::kNone) break;
      if (match == TokenMatch::kDifferent) continue;
      // The first header with the key decides; a key with nothing after it
      // has an empty class word.
      found.clear();
      if (readToken(file, word, &found) == TokenMatch::kEqual) return file;
      fatalf(messages::kSectionMismatch, word, name, printableWord(found).c_str());
    }
  }
  fatalf(messages::kSectionNotFound, word, name);
}

}  // namespace kq
