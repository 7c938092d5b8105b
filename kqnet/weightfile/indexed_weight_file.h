#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include <kqnet/core/claimed_array.h>
#include <kqnet/core/record_numbers.h>
#include <kqnet/core/weight_file_version.h>

// A program's weight file, read into memory once when it is opened. One
// pass over the text finds every header; each lookup then goes straight to
// the first header that carries its key, instead of scanning the file from
// the top again for every section. Lookups mean exactly what
// findWeightSection means, with the same two fatal messages, and the
// objects read their records as before, from a stream positioned right
// after the class word; the stream is registered with the text it reads,
// so their readers take the numbers from that text directly.

namespace kq {

// The headers of a weight text: for every key token, where the first one
// that a scan from the top visits ends. A scan visits the token after each
// '#' and goes on right after that token, so a '#' inside a token opens
// nothing, and a '#' with only white space after it ends the headers; the
// tokens it visits are the same whatever key it is looking for.
//
// The headers are held sorted by key and found by binary search: building
// takes O(n log n) key comparisons and a lookup O(log n), whatever keys the
// file holds and in whatever order. A hash would be faster on friendly keys, but keys crafted to
// share their hash bits would make every filing probe all the others. A
// program asks for its sections in the order in which it wrote them, so a
// lookup first tries the header that follows the last one found.
//
// A file may carry any number of distinct keys, so the array is a
// ClaimedArray, claimed before each growth: a file of millions of headers
// ends out of memory instead of outgrowing the machine unseen.
class WeightHeaderIndex {
 public:
  static constexpr size_t kNone = static_cast<size_t>(-1);

  // Indexes text[0, size); the text must outlive the index.
  void build(const char* text, size_t size);
  void clear();

  // The offset just past the first key token equal to key, or kNone.
  size_t keyEnd(std::string_view key) const;

  // Key comparisons that build and the lookups since have made, the work
  // whose bound above does not depend on the keys.
  uint64_t comparisons() const { return comparisons_; }

 private:
  // Where a key token lies in the text.
  struct Header {
    size_t begin = 0;
    size_t length = 0;
    uint64_t head = 0;    // the key's first eight bytes, which most comparisons settle on
    size_t next = kNone;  // where the header after it in the text stands in the array
  };

  std::string_view keyOf(const Header& header) const {
    return {text_ + header.begin, header.length};
  }
  // Appends a header, doubling the array (the one place it is sized and
  // claimed) when it is full.
  void add(size_t begin, size_t end);
  // Sorts the headers by key, equal keys in the order of the text, so that
  // the first of them is the one a scan from the top would meet, and links
  // each to the header after it in the text. A merge sort: O(n log n)
  // comparisons whatever order the file gives, where an order can drive a
  // quicksort to its slow fallback.
  void sortByKey();
  // Whether the header at i carries key, whose head is given.
  bool keyAt(size_t i, std::string_view key, uint64_t head) const;

  const char* text_ = nullptr;
  ClaimedArray<Header> headers_;  // [0, used_): sorted by key, equal keys in text order
  size_t used_ = 0;
  mutable size_t hint_ = kNone;  // the header tried first: the one after the last found
  mutable uint64_t comparisons_ = 0;
};

// Where the section of (classWord, key) begins in text: the offset right
// after its class word. Ends the process as findWeightSection does when no
// header carries the key, or when the first one that does carries another
// class word.
size_t locateWeightSection(const WeightHeaderIndex& index, const char* text, size_t size,
                           const char* classWord, const char* key);

class WeightFile {
 public:
  WeightFile() = default;
  ~WeightFile();
  WeightFile(const WeightFile&) = delete;
  WeightFile& operator=(const WeightFile&) = delete;

  // Reads the regular file name whole, indexes it and reads its version;
  // a file that reports a size of 0 (as the files of /proc do) is read to
  // its end. False, with nothing held, when name is not a regular file (a
  // directory, a device or a pipe would never end or never begin) or
  // cannot be opened or read. A file larger than the machine's memory, or
  // one whose copy cannot be allocated, ends the process out of memory.
  bool open(const char* name);

  // Lets go of the text and the stream.
  void close();

  // The version line's number, 100 without one (readWeightFileVersion).
  KqWeightFileVersion version() const { return version_; }

  // The stream positioned right after the class word of the section, for
  // the object's reader; ends the process as findWeightSection does. The
  // stream is registered under the file's name, with its text
  // (NamedWeightStream).
  std::FILE* section(const char* classWord, const char* key);

 private:
  std::string name_;
  ClaimedArray<char, OverwrittenAllocator<char>> text_;  // the file's bytes, from 0
  size_t size_ = 0;                                      // bytes read into text_
  WeightHeaderIndex index_;
  std::FILE* stream_ = nullptr;  // over text_
  std::optional<NamedWeightStream> named_;
  KqWeightFileVersion version_ = kDefaultWeightFileVersion;
};

}  // namespace kq
