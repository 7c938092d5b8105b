#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// The numbers of the weight-file records: read from a positioned weight
// file, whose outer layout (the version line and the sections) is read in
// weightfile/weight_file.h, or from text held in memory (WeightTextCursor).
// The objects read their records through these (core/records.h).

namespace kq {

// A stream that a program opened by name for its load, registered for as
// long as this object lives. The record readers over a registered stream
// take a token that is not a number for what it is, a damaged file, and end
// the process with "Error: Unable to read file <name>.\n" instead of reading
// past it: the values after it would keep whatever the object held before,
// and the run would end as if the file had been read. A record that ends
// early, at the next section's '#' or at the end of the file, still leaves
// the values it lacks as they are, except a weights record, which must be
// whole: the weights it lacked would keep their random starting values
// (FileRecordReader ends the process as above). nan and inf are numbers.
// Streams that were never registered keep the lenient rule below.
//
// A stream opened over text the program holds in memory (fmemopen over
// text[0, size)) is registered with that text: its readers then take their
// numbers from the text itself, where the stream stands, instead of one
// character at a time through the stream, and leave the stream positioned
// right after what they read. They accept, refuse and store exactly what
// the stream's own reads would.
class NamedWeightStream {
 public:
  NamedWeightStream(std::FILE* file, std::string name);
  NamedWeightStream(std::FILE* file, std::string name, const char* text, size_t size);
  ~NamedWeightStream();
  NamedWeightStream(const NamedWeightStream&) = delete;
  NamedWeightStream& operator=(const NamedWeightStream&) = delete;

  // The registration of file, or null.
  static const NamedWeightStream* find(const std::FILE* file);
  // The name file was registered with, or null.
  static const char* nameOf(const std::FILE* file);

  const char* name() const { return name_.c_str(); }
  // The text the stream reads, or null; size() characters long.
  const char* text() const { return text_; }
  size_t size() const { return size_; }

 private:
  std::FILE* file_;
  std::string name_;
  const char* text_ = nullptr;
  size_t size_ = 0;
  NamedWeightStream* next_;  // the one registered before this one
};

// Count-driven reads of a record body. They read count numbers, store the
// first keep of them into dest and drop the rest, and return the reads made.
// On a registered stream they stop where the record ends early (see above).
// On any other stream a read that finds no number leaves its element as it
// was; they stop at the end of the file, or when a read fails in front of a
// character that no read can move past: every later read would fail the
// same way, so a hostile count costs nothing and the result is the same as
// reading on.
int64_t readWeightValues(std::FILE* file, int64_t count, double* dest, int64_t keep);
int64_t skipWeightInts(std::FILE* file, int64_t count);

// One integer of a record ("%d"); false, value unchanged, when there is no
// number to read. The rule of registered streams holds here too.
bool readWeightInt(std::FILE* file, int32_t& value);

// A reading position in a NUL-terminated weight text held in memory.
struct WeightTextCursor {
  const char* position = nullptr;  // the current character

  // The next integer: the cursor moves to the next sign or digit, the
  // number there is read (saturated to 32 bits) and the cursor passes the
  // whole white-space delimited token ("12abc" gives 12). At the end of the
  // text it returns 0 and the cursor stays.
  int32_t readInt();

  // The next number: the cursor moves to the next sign or digit (or a
  // "nan" / "inf" word, as the writers print them), takes the run of
  // digits, signs, points and exponent marks there (".5" reads as 5) and
  // converts what of it forms a number; 0.0 when nothing does.
  double readDouble();

  // The text twin of readWeightValues: count numbers, the first keep of them
  // stored. Past the end of the text every read gives 0.0, so the kept
  // elements left are set to 0.0 at once instead of one read at a time.
  void readValues(int64_t count, double* dest, int64_t keep);
};

}  // namespace kq
