#include <kqnet/data/data_file.h>

#include <kqnet/core/fatal.h>
#include <kqnet/core/messages.h>
#include <kqnet/core/number_text.h>

namespace kq {

namespace {

// A text record is formatted in pieces of this size, so that a record of
// any length is written without allocating.
constexpr size_t kTextChunk = 4096;

// The buffer of a named file that is written.
constexpr size_t kWriteBufferSize = size_t{1} << 16;

// The stream belongs to one object on one thread: its lock buys nothing.
#if defined(__GLIBC__)
inline size_t writeBytes(const void* bytes, size_t size, size_t count, std::FILE* file) {
  return fwrite_unlocked(bytes, size, count, file);
}
inline size_t readBytes(void* bytes, size_t size, size_t count, std::FILE* file) {
  return fread_unlocked(bytes, size, count, file);
}
inline bool atEnd(std::FILE* file) { return feof_unlocked(file) != 0; }
inline bool hasError(std::FILE* file) { return ferror_unlocked(file) != 0; }
#else
inline size_t writeBytes(const void* bytes, size_t size, size_t count, std::FILE* file) {
  return std::fwrite(bytes, size, count, file);
}
inline size_t readBytes(void* bytes, size_t size, size_t count, std::FILE* file) {
  return std::fread(bytes, size, count, file);
}
inline bool atEnd(std::FILE* file) { return std::feof(file) != 0; }
inline bool hasError(std::FILE* file) { return std::ferror(file) != 0; }
#endif

}  // namespace

DataFile::DataFile() { reading = 1; }

DataFile::~DataFile() {
  if (file == nullptr) return;
  // The standard output is flushed after every record and never closed.
  if (holdsStandardStream()) {
    releaseStream();
    return;
  }
  std::FILE* held = file;
  releaseStream();
  // Destructors run at process exit, where exit cannot be called again.
  if (std::fclose(held) != 0 && openedForWriting) {
    fatalAtExit(formatString(messages::kUnableToWriteFile, fileName.c_str()));
  }
}

void DataFile::setFileName(const char* name) { fileName = name != nullptr ? name : ""; }

int DataFile::setMode(int newReading, int newFileType) {
  reading = static_cast<uint32_t>(newReading);
  fileType = static_cast<uint32_t>(newFileType);
  return open();
}

int DataFile::open() {
  if (file != nullptr) close();
  openedForWriting = !readsFile();
  switch (fileType) {
    case kTextFile:
      if (fileName.empty()) return 0;
      file = std::fopen(fileName.c_str(), readsFile() ? "r" : "w");
      break;
    case kBinaryFile:
      if (fileName.empty()) return 0;
      file = std::fopen(fileName.c_str(), readsFile() ? "rb" : "wb");
      break;
    case kStandardStreams:
      file = readsFile() ? stdin : stdout;
      break;
    default:
      break;
  }
  if (file == nullptr) fatalf(messages::kUnableToOpenFile, fileName.c_str());
  if (fileType == kTextFile && readsFile()) textReader.attach(file);
  if (fileType != kStandardStreams && !readsFile()) {
    if (writeBuffer == nullptr) writeBuffer = std::make_unique<char[]>(kWriteBufferSize);
    std::setvbuf(file, writeBuffer.get(), _IOFBF, kWriteBufferSize);
  }
  return 1;
}

void DataFile::releaseStream() {
  file = nullptr;
  textReader.detach();
}

bool DataFile::atEndOfFile() const {
  return textReader.attached() ? textReader.atEnd() : atEnd(file);
}

void DataFile::rewindFile() {
  if (textReader.attached()) {
    textReader.rewind();
  } else {
    std::fseek(file, 0, SEEK_SET);
  }
}

int DataFile::close() {
  if (file == nullptr) return 0;
  if (holdsStandardStream()) {
    releaseStream();
    return 0;
  }
  std::FILE* held = file;
  releaseStream();
  if (std::fclose(held) == 0) return 1;
  // Records still buffered were lost: the run must not look successful.
  if (openedForWriting) fatalf(messages::kUnableToWriteFile, fileName.c_str());
  return 0;
}

const char* DataFile::displayName() const {
  if (file == stdin) return "stdin";
  if (file == stdout) return "stdout";
  return fileName.c_str();
}

void DataFile::failRead() const { fatalf(messages::kUnableToReadFile, displayName()); }

void DataFile::failWrite() {
  const std::string name = displayName();
  // The stream is let go first, so that closing it at exit does not report
  // the same failure a second time.
  std::FILE* held = file;
  releaseStream();
  if (held != stdin && held != stdout) std::fclose(held);
  fatalf(messages::kUnableToWriteFile, name.c_str());
}

void DataFile::transfer() {
  if (file == nullptr || enabled != 1 || active != 1) return;
  // An unbound access has no block to fill or write out.
  if (data == nullptr) return;

  double* q = data;
  // A writer maps into scratch only when scratch has the block's length;
  // otherwise the block goes out unmapped, as a reader of another length
  // leaves its values unmapped.
  if (!readsFile() && normalizationOn != 0 && length == normalizationSize) {
    normalize();
    q = scratch.data();
  }

  switch (fileType) {
    case kTextFile:
    case kStandardStreams:
      if (readsFile()) {
        readText(q);
      } else {
        writeText(q);
      }
      break;
    case kBinaryFile:
      if (readsFile()) {
        readBinary(q);
      } else {
        writeBinary(q);
      }
      break;
    default:
      break;
  }

  // A text record that ended exactly at the end of the file: the next one
  // starts from the top. (A binary record cut short was replaced above.)
  // Console input follows the text rule too: running the whole transfer
  // again, as for a binary record, would drop a record that was read
  // complete, and would never end on a one-record file without a last line
  // end.
  if (atEndOfFile()) rewindFile();

  if (adjustChannel >= 0 && adjustChannel < length) q[adjustChannel] += adjustAmount;
  if (readsFile() && normalizationOn != 0) applyNormalization();

  // A held record ends the transfer here, so oneShot never applies with it.
  // Stepping back one record is meaningful in a binary file only: a held
  // text or console record is not re-read.
  if (hold != 0) {
    if (fileType == kBinaryFile) {
      std::fseek(file, -static_cast<long>(sizeof(double)) * length, SEEK_CUR);
    }
    return;
  }
  if (oneShot != 0) enabled = 0;
}

void DataFile::readText(double* q) {
  const bool blocks = textReader.attached();
  for (int32_t i = 0; i < length; ++i) {
    ScanStatus status = blocks ? textReader.scanDouble(q[i]) : scanDouble(file, q[i]);
    if (status == ScanStatus::kEnd) {
      // The record goes on from the start of the file. A stream that cannot
      // seek (a pipe) stays at its end, and the second read finds that.
      rewindFile();
      status = blocks ? textReader.scanDouble(q[i]) : scanDouble(file, q[i]);
    }
    // A file without numbers, or a token that is not one, would otherwise
    // leave the stream stuck and the run going on with stale values.
    if (status != ScanStatus::kValue) failRead();
  }
}

void DataFile::readBinary(double* q) {
  if (length <= 0) return;
  const size_t n = static_cast<size_t>(length);
  if (readBytes(q, sizeof(double), n, file) == n) return;
  if (hasError(file)) failRead();
  // A record cut short by the end of the file (or none left) is replaced by
  // the first record; a file without one complete record has none to give.
  if (std::fseek(file, 0, SEEK_SET) != 0 || readBytes(q, sizeof(double), n, file) != n) {
    failRead();
  }
}

void DataFile::writeText(const double* q) {
  char buffer[kTextChunk];
  size_t used = 0;
  for (int32_t i = 0; i < length; ++i) {
    if (used > sizeof buffer - kValueFieldCapacity) {
      writeBytes(buffer, 1, used, file);
      used = 0;
    }
    used += static_cast<size_t>(formatValue(buffer + used, q[i]));
  }
  buffer[used++] = '\n';
  writeBytes(buffer, 1, used, file);
  // The console line is seen at once, and a failed write is caught at the
  // record that failed rather than at exit.
  if (file == stdout && std::fflush(file) != 0) failWrite();
  if (hasError(file)) failWrite();
}

void DataFile::writeBinary(const double* q) {
  if (length > 0) writeBytes(q, sizeof(double), static_cast<size_t>(length), file);
  if (file == stdout && std::fflush(file) != 0) failWrite();
  if (hasError(file)) failWrite();
}

}  // namespace kq
