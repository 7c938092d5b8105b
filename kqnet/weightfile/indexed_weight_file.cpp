#include <kqnet/weightfile/indexed_weight_file.h>

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
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

// The first eight bytes of a key as one number, the first byte highest,
// zeros past the key's end.
uint64_t keyHead(std::string_view key) {
  uint64_t head = 0;
  constexpr size_t kHeadBytes = sizeof head;
  if (key.size() >= kHeadBytes) {
    std::memcpy(&head, key.data(), kHeadBytes);
    if constexpr (std::endian::native == std::endian::little) head = __builtin_bswap64(head);
    return head;
  }
  for (size_t i = 0; i < kHeadBytes; ++i) {
    head = head << 8 | (i < key.size() ? static_cast<unsigned char>(key[i]) : 0u);
  }
  return head;
}

// The order of the index: by length, then by the head, then by the bytes
// after the head. Any strict order serves a binary search; this one settles
// most comparisons without a pass over the bytes. Negative, 0 or positive,
// as memcmp.
int keyOrder(std::string_view a, uint64_t aHead, std::string_view b, uint64_t bHead) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  if (aHead != bHead) return aHead < bHead ? -1 : 1;
  constexpr size_t kHeadBytes = sizeof aHead;
  if (a.size() <= kHeadBytes) return 0;
  return std::memcmp(a.data() + kHeadBytes, b.data() + kHeadBytes, a.size() - kHeadBytes);
}

bool isRegularFile(const struct stat& status) { return S_ISREG(status.st_mode); }

using Text = ClaimedArray<char, OverwrittenAllocator<char>>;

// Makes text hold capacity bytes, its first kept bytes as they were. The
// copy is held while every shape of the file is read, so it is claimed; one
// that could not stay in memory beside what is held already (the old copy
// too, until its bytes have moved) is refused before it is tried, the file
// closed first.
void growText(Text& text, size_t kept, size_t capacity, std::FILE* file) {
  if (!fitsInMemory(Text::bytesFor(capacity))) {
    std::fclose(file);
    fatalOutOfMemory();
  }
  Text grown;
  grown.assignForOverwrite(capacity);
  if (kept > 0) std::memcpy(grown.data(), text.data(), kept);
  text = std::move(grown);
}

// Reads file to its end into text, which doubles whenever it is full; the
// bytes read.
size_t readToEnd(Text& text, std::FILE* file) {
  constexpr size_t kFirstStep = 4096;
  size_t used = 0;
  while (std::feof(file) == 0 && std::ferror(file) == 0) {
    if (used == text.size()) growText(text, used, used == 0 ? kFirstStep : 2 * used, file);
    used += std::fread(text.data() + used, 1, text.size() - used, file);
  }
  return used;
}

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
  if (used_ > 0) sortByKey();
}

void WeightHeaderIndex::sortByKey() {
  uint64_t made = 0;  // comparisons
  const auto before = [this, &made](const Header& a, const Header& b) {
    ++made;
    return keyOrder(keyOf(a), a.head, keyOf(b), b.head) < 0;
  };
  ClaimedArray<Header> other(used_);
  Header* from = headers_.data();
  Header* to = other.data();
  // Short runs sorted in place first, then runs merged in pairs from one
  // array into the other.
  constexpr size_t kRun = 8;
  for (size_t left = 0; left < used_; left += kRun) {
    const size_t right = std::min(left + kRun, used_);
    for (size_t i = left + 1; i < right; ++i) {
      const Header header = from[i];
      size_t j = i;
      for (; j > left && before(header, from[j - 1]); --j) from[j] = from[j - 1];
      from[j] = header;
    }
  }
  for (size_t width = kRun; width < used_; width *= 2) {
    for (size_t left = 0; left < used_; left += 2 * width) {
      const size_t middle = std::min(left + width, used_);
      const size_t right = std::min(left + 2 * width, used_);
      std::merge(from + left, from + middle, from + middle, from + right, to + left, before);
    }
    std::swap(from, to);
  }
  comparisons_ += made;
  if (from == other.data()) std::swap(headers_, other);

  // Each header's next held its place in the text plus one; it becomes the
  // place in the array of the header after it in the text. The other
  // array, free now, holds the place of each header by its place in the
  // text.
  for (size_t i = 0; i < used_; ++i) other[headers_[i].next - 1].next = i;
  for (size_t i = 0; i < used_; ++i) {
    Header& header = headers_[i];
    header.next = header.next < used_ ? other[header.next].next : kNone;
  }
  hint_ = other[0].next;
}

void WeightHeaderIndex::clear() {
  headers_.release();
  used_ = 0;
  hint_ = kNone;
  comparisons_ = 0;
  text_ = nullptr;
}

void WeightHeaderIndex::add(size_t begin, size_t end) {
  if (used_ == headers_.size()) {
    constexpr size_t kFirstCapacity = 64;
    // The old array stays claimed while the headers move out of it.
    ClaimedArray<Header> grown(used_ == 0 ? kFirstCapacity : 2 * used_);
    std::copy_n(headers_.begin(), used_, grown.begin());
    headers_ = std::move(grown);
  }
  const std::string_view key(text_ + begin, end - begin);
  headers_[used_] = Header{begin, key.size(), keyHead(key), used_ + 1};
  ++used_;
}

bool WeightHeaderIndex::keyAt(size_t i, std::string_view key, uint64_t head) const {
  ++comparisons_;
  return keyOrder(keyOf(headers_[i]), headers_[i].head, key, head) == 0;
}

size_t WeightHeaderIndex::keyEnd(std::string_view key) const {
  const uint64_t head = keyHead(key);
  size_t match = kNone;
  if (hint_ != kNone && keyAt(hint_, key, head) && (hint_ == 0 || !keyAt(hint_ - 1, key, head))) {
    match = hint_;
  } else {
    // The first header of the key, if there is one, is the first that is
    // not before it, and the search ends with a comparison of that header.
    size_t low = 0;
    size_t high = used_;
    while (low < high) {
      const size_t middle = low + (high - low) / 2;
      const Header& header = headers_[middle];
      ++comparisons_;
      const int order = keyOrder(keyOf(header), header.head, key, head);
      if (order < 0) {
        low = middle + 1;
      } else {
        if (order == 0) match = middle;
        high = middle;
      }
    }
    if (match == kNone) return kNone;
  }
  hint_ = headers_[match].next;
  return headers_[match].begin + headers_[match].length;
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
  const std::string reported = printableWord(found.substr(0, kReportedTokenPrefix));
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
  if (status.st_size > 0) {
    // The size found now bounds what is read, whatever the file does later.
    const size_t size = static_cast<size_t>(status.st_size);
    growText(text_, 0, size, file);
    size_ = std::fread(text_.data(), 1, size, file);
  } else {
    // Files that the system makes as they are read (those of /proc) report
    // a size of 0 whatever they hold, so an empty file is read to its end.
    size_ = readToEnd(text_, file);
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    close();
    return false;
  }

  index_.build(text_.data(), size_);
  stream_ = fmemopen(text_.data(), size_, "r");
  if (stream_ == nullptr) fatalOutOfMemory();
  // The readers take their numbers from the text and only move the stream;
  // a buffer would be refilled from the text at every move.
  std::setvbuf(stream_, nullptr, _IONBF, 0);
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
