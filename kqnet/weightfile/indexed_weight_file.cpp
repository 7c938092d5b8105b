#include <kqnet/weightfile/indexed_weight_file.h>

#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <utility>

#include <kqnet/core/char_class.h>
#include <kqnet/core/fatal.h>
#include <kqnet/core/memory.h>
#include <kqnet/core/messages.h>
#include <kqnet/core/number_text.h>
#include <kqnet/weightfile/weight_file.h>

namespace kq {

namespace {

inline bool blankAt(const char* text, size_t at) {
  return isBlankChar(static_cast<unsigned char>(text[at]));
}

size_t skipBlanks(const char* text, size_t size, size_t at) {
  while (at < size && blankAt(text, at)) ++at;
  return at;
}

size_t tokenEnd(const char* text, size_t size, size_t at) {
  while (at < size && !blankAt(text, at)) ++at;
  return at;
}

bool isRegularFile(const struct stat& status) { return S_ISREG(status.st_mode); }

}  // namespace

void WeightHeaderIndex::build(const char* text, size_t size) {
  clear();
  text_ = text;
  size_t at = 0;
  while (at < size) {
    const void* hash = std::memchr(text + at, '#', size - at);
    if (hash == nullptr) break;
    const size_t begin =
        skipBlanks(text, size, static_cast<size_t>(static_cast<const char*>(hash) - text) + 1);
    if (begin == size) break;
    const size_t end = tokenEnd(text, size, begin);
    add(begin, end);
    at = end;
  }
}

void WeightHeaderIndex::clear() {
  slots_.release();
  capacity_ = 0;
  used_ = 0;
  text_ = nullptr;
}

size_t WeightHeaderIndex::slotOf(std::string_view key) const {
  const size_t mask = capacity_ - 1;
  const size_t hash = std::hash<std::string_view>{}(key);
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.end == 0 || std::string_view(text_ + slot.begin, slot.end - slot.begin) == key) {
      return i;
    }
  }
}

void WeightHeaderIndex::add(size_t begin, size_t end) {
  // At most three quarters full, so that every probe meets an empty slot soon.
  if (4 * (used_ + 1) > 3 * capacity_) grow();
  Slot& slot = slots_[slotOf(std::string_view(text_ + begin, end - begin))];
  // A later header with the same key is never reached by a lookup.
  if (slot.end != 0) return;
  slot = Slot{begin, end};
  ++used_;
}

void WeightHeaderIndex::grow() {
  constexpr size_t kFirstCapacity = 64;
  const size_t capacity = capacity_ == 0 ? kFirstCapacity : 2 * capacity_;
  // The old table stays claimed while the keys move out of it.
  const ClaimedArray<Slot> old(std::move(slots_));
  slots_.assign(capacity, Slot{});
  capacity_ = capacity;
  for (const Slot& slot : old) {
    if (slot.end != 0) {
      slots_[slotOf(std::string_view(text_ + slot.begin, slot.end - slot.begin))] = slot;
    }
  }
}

size_t WeightHeaderIndex::keyEnd(std::string_view key) const {
  if (used_ == 0) return kNone;
  const Slot& slot = slots_[slotOf(key)];
  return slot.end == 0 ? kNone : slot.end;
}

size_t locateWeightSection(const WeightHeaderIndex& index, const char* text, size_t size,
                           const char* classWord, const char* key) {
  const char* word = classWord != nullptr ? classWord : "";
  const char* name = key != nullptr ? key : "";
  const size_t keyEnd = index.keyEnd(name);
  if (keyEnd == WeightHeaderIndex::kNone) fatalf(messages::kSectionNotFound, word, name);
  const size_t begin = skipBlanks(text, size, keyEnd);
  const size_t end = tokenEnd(text, size, begin);
  const std::string_view found(text + begin, end - begin);
  // A key with nothing after it has an empty class word, which matches no
  // word asked for.
  if (!found.empty() && found == word) return end;
  const std::string reported(found.substr(0, kReportedTokenPrefix));
  fatalf(messages::kSectionMismatch, word, name, reported.c_str());
}

WeightFile::~WeightFile() { close(); }

bool WeightFile::open(const char* name) {
  close();
  struct stat status {};
  // Checked before opening too: opening a pipe waits for its writer.
  if (name == nullptr || ::stat(name, &status) != 0 || !isRegularFile(status)) return false;
  std::FILE* file = std::fopen(name, "r");
  if (file == nullptr) return false;
  if (::fstat(fileno(file), &status) != 0 || !isRegularFile(status) || status.st_size < 0) {
    std::fclose(file);
    return false;
  }
  // A copy that could not stay in memory as a whole, beside what is held
  // already, is refused before it is tried, the file closed first. The
  // copy is held while every shape of the file is read, so it is claimed.
  if (!fitsInMemory(status.st_size)) {
    std::fclose(file);
    fatalOutOfMemory();
  }
  // The size found now bounds what is read, whatever the file does later.
  const size_t size = static_cast<size_t>(status.st_size);
  text_.assignForOverwrite(size);
  size_ = std::fread(text_.data(), 1, size, file);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    close();
    return false;
  }

  index_.build(text_.data(), size_);
  stream_ = fmemopen(text_.data(), size_, "r");
  if (stream_ == nullptr) fatalOutOfMemory();
  name_ = name;
  named_.emplace(stream_, name_, text_.data(), size_);

  const size_t versionEnd = index_.keyEnd(kWeightFileVersionKey);
  uint16_t number = 0;
  if (versionEnd != WeightHeaderIndex::kNone &&
      std::fseek(stream_, static_cast<long>(versionEnd), SEEK_SET) == 0 &&
      scanUnsigned16(stream_, number) == ScanStatus::kValue) {
    version_ = number;
  }
  return true;
}

void WeightFile::close() {
  named_.reset();
  if (stream_ != nullptr) std::fclose(stream_);
  stream_ = nullptr;
  index_.clear();
  text_.release();
  size_ = 0;
  version_ = kDefaultWeightFileVersion;
}

std::FILE* WeightFile::section(const char* classWord, const char* key) {
  const size_t at = locateWeightSection(index_, text_.data(), size_, classWord, key);
  std::fseek(stream_, static_cast<long>(at), SEEK_SET);
  return stream_;
}

}  // namespace kq
