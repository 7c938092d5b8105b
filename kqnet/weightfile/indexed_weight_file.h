#pragma once

#include <cstddef>
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
// A file may carry any number of distinct keys, so the table is a
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

 private:
  // Where a key token lies in the text; end 0 marks an empty slot (a key
  // always follows a '#', so none ends at 0).
  struct Slot {
    size_t begin = 0;
    size_t end = 0;
  };

  // The slot of key: the one holding it, or the empty one where it belongs.
  size_t slotOf(std::string_view key) const;
  // Files the key token text[begin, end) unless an earlier one has the key.
  void add(size_t begin, size_t end);
  // Doubles the table (the one place it is sized and claimed) and files
  // every key again.
  void grow();

  const char* text_ = nullptr;
  ClaimedArray<Slot> slots_;
  size_t capacity_ = 0;  // a power of two once anything is filed
  size_t used_ = 0;
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

  // Reads the regular file name whole, indexes it and reads its version.
  // False, with nothing held, when name is not a regular file (a
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
  ClaimedArray<char, OverwrittenAllocator<char>> text_;  // the file's bytes as read
  size_t size_ = 0;
  WeightHeaderIndex index_;
  std::FILE* stream_ = nullptr;  // over text_
  std::optional<NamedWeightStream> named_;
  KqWeightFileVersion version_ = kDefaultWeightFileVersion;
};

}  // namespace kq
