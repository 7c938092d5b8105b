#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include <kqnet/core/number_text.h>
#include <kqnet/data/spatial_data.h>

// DataFile moves records between the bound block and a file: a reading data
// file fills the block with the next record each time its owner steps it
// (an axon's input, a criterion's desired values), a writing one (a probe)
// appends the block as one record. Text records are white-space separated
// numbers read element by element, wrapping to the start of the file at its
// end even in the middle of a record, and written "%22.16e " per value and
// "\n" per record; binary records are the block's raw doubles. With
// normalisation on, a read value x becomes scale x + offset, and a written
// value y is stored as (y - offset) / scale.
//
// DataFile adds the file to InputSpatialData and overrides transfer; it
// keeps the class word "SpatialData" and Engine's registration.

namespace kq {

// 0 text ("r" / "w"), 1 binary ("rb" / "wb"), 2 the standard input when
// reading and the standard output when writing (text rules, never closed).
enum DataFileType : uint32_t {
  kTextFile = 0,
  kBinaryFile = 1,
  kStandardStreams = 2,
};

class DataFile : public InputSpatialData {
 public:
  DataFile();
  ~DataFile() override;
  DataFile(const DataFile&) = delete;
  DataFile& operator=(const DataFile&) = delete;

  // Moves one record; runs through step and setDataAndStep.
  void transfer() override;

  // Keeps the name for the next open; opens nothing.
  void setFileName(const char* name);
  // Sets the direction (1 read, otherwise write) and the type, then opens.
  int setMode(int newReading, int newFileType);
  // Opens the named file or binds the standard stream; 0 when a text or
  // binary file has no name, 1 when a stream is bound. Any other failure
  // ends the process.
  int open();
  // Closes a file opened from a name (never a standard stream); 1 when one
  // was closed successfully. A writer whose last records cannot be stored
  // ends the process.
  int close();

  std::FILE* file = nullptr;        // the open stream
  std::string fileName;             // name of the file to open (kept whole, any length)
  uint32_t fileType = kBinaryFile;  // DataFileType
  uint32_t enabled = 1;             // 0 stops every transfer
  uint32_t hold = 0;                // binary: each transfer steps back one record
  uint32_t oneShot = 0;             // the first transfer clears enabled
  int32_t adjustChannel = -1;       // element raised by adjustAmount each transfer; -1 none
  double adjustAmount = 0.1;        // amount added to element adjustChannel

 private:
  bool readsFile() const { return reading == 1; }
  bool holdsStandardStream() const { return file == stdin || file == stdout; }
  // The name used in messages: the standard streams have none of their own.
  const char* displayName() const;
  [[noreturn]] void failRead() const;
  [[noreturn]] void failWrite();
  void readText(double* q);
  void readBinary(double* q);
  void writeText(const double* q);
  void writeBinary(const double* q);
  // The end-of-file test and the rewind of the transfer, through the block
  // reader when it reads the file.
  bool atEndOfFile() const;
  void rewindFile();
  void releaseStream();

  bool openedForWriting = false;  // the held stream was opened to write
  // A named text file is read a block at a time; the standard input is
  // read as it arrives.
  BlockTextReader textReader;
  // The stream's buffer when writing a named file: large, so that a probe
  // goes out in few system calls. Outlives every stream that uses it.
  std::unique_ptr<char[]> writeBuffer;
};

}  // namespace kq
