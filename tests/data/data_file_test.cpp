#include <kqnet/data/data_file.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

// Each test works on its own files in the test's scratch directory.

namespace {

using kq::DataFile;
using kq::kBinaryFile;
using kq::kStandardStreams;
using kq::kTextFile;

void writeBytes(const std::string& name, const std::string& bytes) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string readBytes(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string doublesAsBytes(const std::vector<double>& values) {
  return std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(double));
}

// A reader of records of n values from the named file, on its own buffer.
void openReader(DataFile& file, const std::string& name, int type, int n) {
  file.setFileName(name.c_str());
  ASSERT_EQ(file.setMode(1, type), 1);
  file.setSize(n, 1);
}

std::vector<double> nextRecord(DataFile& file) {
  file.step();
  return std::vector<double>(file.data, file.data + file.length);
}

// Counts the transfers that reach it through a chain.
class CountingAccess : public kq::SpatialAccess {
 public:
  const char* className() const override { return "CountingAccess"; }
  void transfer() override { ++transfers; }
  int transfers = 0;
};

using Record = std::vector<double>;

// --- Reading text ------------------------------------------------------------

TEST(DataFileText, RecordsWrapElementByElementAtTheEndOfTheFile) {
  writeBytes("wrap.asc", "1 2 3\n");
  DataFile file;
  openReader(file, "wrap.asc", kTextFile, 2);
  EXPECT_EQ(nextRecord(file), (Record{1, 2}));
  EXPECT_EQ(nextRecord(file), (Record{3, 1}));
  EXPECT_EQ(nextRecord(file), (Record{2, 3}));
  EXPECT_EQ(nextRecord(file), (Record{1, 2}));
}

TEST(DataFileText, LastNumberWithoutLineEndGivesTheSameSequence) {
  writeBytes("noend.asc", "1 2 3");
  DataFile file;
  openReader(file, "noend.asc", kTextFile, 2);
  EXPECT_EQ(nextRecord(file), (Record{1, 2}));
  EXPECT_EQ(nextRecord(file), (Record{3, 1}));
  EXPECT_EQ(nextRecord(file), (Record{2, 3}));
  EXPECT_EQ(nextRecord(file), (Record{1, 2}));

  // A record that ends exactly at the unterminated last number.
  DataFile whole;
  openReader(whole, "noend.asc", kTextFile, 3);
  EXPECT_EQ(nextRecord(whole), (Record{1, 2, 3}));
  EXPECT_EQ(nextRecord(whole), (Record{1, 2, 3}));
}

TEST(DataFileText, ReadsAnyLineLayoutAndWhatPercentLfAccepts) {
  writeBytes("layout.asc", "\n  +1.5\t-2e1\n\n0x1.8p1 inf\r\n-INF nan 1e400 1e-400\n");
  DataFile file;
  openReader(file, "layout.asc", kTextFile, 8);
  const Record r = nextRecord(file);
  EXPECT_EQ(r[0], 1.5);
  EXPECT_EQ(r[1], -20.0);
  EXPECT_EQ(r[2], 3.0);
  EXPECT_EQ(r[3], std::numeric_limits<double>::infinity());
  EXPECT_EQ(r[4], -std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(r[5]));
  EXPECT_EQ(r[6], std::numeric_limits<double>::infinity());
  EXPECT_EQ(r[7], 0.0);
}

TEST(DataFileText, FilesOfManyBlocksWrapAsFscanfReadsThem) {
  // Several blocks of printed values with irregular spacing, ending in a
  // number without a line end; records of 14 wrap in mid-record, and the
  // same file is read again after a reopen.
  std::mt19937_64 rng(41);
  std::uniform_real_distribution<double> uniform(-1e3, 1e3);
  std::string text;
  char field[64];
  for (int i = 0; text.size() < 200000; ++i) {
    std::snprintf(field, sizeof field, (i % 9 == 0) ? "%.17g\n" : "%22.16e ", uniform(rng));
    text += field;
    if (i % 13 == 0) text += "\t  ";
  }
  text += "7.5";
  writeBytes("blocks.asc", text);

  std::FILE* model = std::fopen("blocks.asc", "r");
  ASSERT_NE(model, nullptr);
  DataFile file;
  openReader(file, "blocks.asc", kTextFile, 14);
  for (int record = 0; record < 3000; ++record) {
    if (record == 1500) {
      ASSERT_EQ(file.open(), 1);
      std::rewind(model);
    }
    Record expected(14);
    for (double& value : expected) {
      if (std::fscanf(model, "%lf", &value) == EOF) {
        std::rewind(model);
        ASSERT_EQ(std::fscanf(model, "%lf", &value), 1);
      }
    }
    if (std::feof(model) != 0) std::rewind(model);
    ASSERT_EQ(nextRecord(file), expected) << "record " << record;
  }
  std::fclose(model);
}

// Reads console input redirected from the named file: 0 when it gives the
// records a text file gives.
int consoleRecordsFollowTheTextRule(const char* name) {
  if (std::freopen(name, "r", stdin) == nullptr) return 3;
  DataFile pairs;
  pairs.setMode(1, kStandardStreams);
  pairs.setSize(2, 1);
  const Record expected[] = {{1, 2}, {3, 1}, {2, 3}, {1, 2}};
  for (const Record& record : expected) {
    if (nextRecord(pairs) != record) return 4;
  }
  DataFile whole;
  whole.setMode(1, kStandardStreams);
  whole.setSize(3, 1);
  std::rewind(stdin);
  for (int i = 0; i < 3; ++i) {
    if (nextRecord(whole) != (Record{1, 2, 3})) return 5;
  }
  return 0;
}

TEST(DataFileText, StandardInputFromAFileWrapsAsATextFileDoes) {
  // The last number has no line end, so the end of the file is met right
  // after the record that holds it; that record is kept, not read again.
  writeBytes("console_in.asc", "1 2 3");
  EXPECT_EXIT(std::exit(consoleRecordsFollowTheTextRule("console_in.asc")),
              testing::ExitedWithCode(0), "");
}

// --- Reading binary ----------------------------------------------------------

TEST(DataFileBinary, WrapsToTheFirstRecordAfterTheLast) {
  writeBytes("three.bin", doublesAsBytes({1, 2, 3, 4, 5, 6}));
  DataFile file;
  openReader(file, "three.bin", kBinaryFile, 2);
  EXPECT_EQ(nextRecord(file), (Record{1, 2}));
  EXPECT_EQ(nextRecord(file), (Record{3, 4}));
  EXPECT_EQ(nextRecord(file), (Record{5, 6}));
  EXPECT_EQ(nextRecord(file), (Record{1, 2}));
  EXPECT_EQ(nextRecord(file), (Record{3, 4}));
}

TEST(DataFileBinary, RecordCutShortIsReplacedByTheFirstRecord) {
  // Two records and half of a third.
  writeBytes("cut.bin", doublesAsBytes({1, 2, 3, 4, 5}));
  DataFile file;
  openReader(file, "cut.bin", kBinaryFile, 2);
  EXPECT_EQ(nextRecord(file), (Record{1, 2}));
  EXPECT_EQ(nextRecord(file), (Record{3, 4}));
  EXPECT_EQ(nextRecord(file), (Record{1, 2}));
  EXPECT_EQ(nextRecord(file), (Record{3, 4}));
  EXPECT_EQ(nextRecord(file), (Record{1, 2}));
}

TEST(DataFileBinary, HoldRereadsTheSameRecordButNotInText) {
  writeBytes("hold.bin", doublesAsBytes({1, 2, 3, 4}));
  DataFile binary;
  openReader(binary, "hold.bin", kBinaryFile, 2);
  binary.hold = 1;
  EXPECT_EQ(nextRecord(binary), (Record{1, 2}));
  EXPECT_EQ(nextRecord(binary), (Record{1, 2}));

  // Eight bytes back would land inside a text record; text ignores hold.
  writeBytes("hold.asc", "1 2 3 4\n");
  DataFile text;
  openReader(text, "hold.asc", kTextFile, 2);
  text.hold = 1;
  EXPECT_EQ(nextRecord(text), (Record{1, 2}));
  EXPECT_EQ(nextRecord(text), (Record{3, 4}));
}

TEST(DataFileSwitches, HoldEndsTheTransferBeforeOneShotInEveryFileType) {
  writeBytes("held.bin", doublesAsBytes({1, 2, 3, 4}));
  DataFile binary;
  openReader(binary, "held.bin", kBinaryFile, 2);
  binary.hold = 1;
  binary.oneShot = 1;
  EXPECT_EQ(nextRecord(binary), (Record{1, 2}));
  EXPECT_EQ(binary.enabled, 1u);
  EXPECT_EQ(nextRecord(binary), (Record{1, 2}));

  writeBytes("held.asc", "1 2 3 4\n");
  DataFile text;
  openReader(text, "held.asc", kTextFile, 2);
  text.hold = 1;
  text.oneShot = 1;
  EXPECT_EQ(nextRecord(text), (Record{1, 2}));
  EXPECT_EQ(text.enabled, 1u);
  EXPECT_EQ(nextRecord(text), (Record{3, 4}));
}

// --- Normalisation -----------------------------------------------------------

TEST(DataFileNormalization, ReadingMapsEachValueThroughScaleAndOffset) {
  writeBytes("norm.asc", "3 5\n");
  DataFile file;
  openReader(file, "norm.asc", kTextFile, 2);
  file.normalizationOn = 1;
  file.scale[0] = 2.0;
  file.offset[0] = 1.0;
  EXPECT_EQ(nextRecord(file), (Record{7, 5}));
}

TEST(DataFileNormalization, WritingStoresTheInverseAndLeavesTheBlock) {
  DataFile probe;
  probe.setFileName("norm_out.asc");
  ASSERT_EQ(probe.setMode(0, kTextFile), 1);
  probe.setSize(2, 1);
  probe.normalizationOn = 1;
  probe.scale[0] = 2.0;
  probe.offset[0] = 1.0;
  probe.data[0] = 7.0;
  probe.data[1] = -4.0;
  probe.step();
  EXPECT_EQ(probe.data[0], 7.0);
  EXPECT_EQ(probe.data[1], -4.0);
  probe.close();
  EXPECT_EQ(readBytes("norm_out.asc"), "3.0000000000000000e+00 -4.0000000000000000e+00 \n");
}

TEST(DataFileNormalization, OtherBlockLengthsAreReadAndWrittenUnmapped) {
  writeBytes("unmapped.asc", "3 5 9\n");
  DataFile reader;
  openReader(reader, "unmapped.asc", kTextFile, 2);
  reader.normalizationOn = 1;
  reader.scale[0] = 2.0;
  reader.offset[0] = 1.0;
  double block[3] = {0, 0, 0};
  reader.setData(block, 3, 1);
  reader.step();
  EXPECT_EQ(block[0], 3.0);
  EXPECT_EQ(block[1], 5.0);
  EXPECT_EQ(block[2], 9.0);

  // A writer never maps a block of another length through scratch.
  DataFile writer;
  writer.setFileName("unmapped_out.asc");
  ASSERT_EQ(writer.setMode(0, kTextFile), 1);
  writer.setSize(2, 1);
  writer.normalizationOn = 1;
  writer.scale[0] = 2.0;
  writer.scratch[0] = 42.0;
  writer.setData(block, 3, 1);
  writer.step();
  EXPECT_EQ(writer.scratch[0], 42.0);
  writer.close();
  EXPECT_EQ(readBytes("unmapped_out.asc"),
            "3.0000000000000000e+00 5.0000000000000000e+00 9.0000000000000000e+00 \n");
}

// --- Writing -------------------------------------------------------------------

TEST(DataFileProbe, WritesOneLineOfPrintfFieldsPerRecord) {
  DataFile probe;
  probe.setFileName("probe.asc");
  ASSERT_EQ(probe.setMode(0, kTextFile), 1);
  probe.setSize(6, 1);
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  double first[6] = {0.5, -2.5, 0.0, 1024.0, -1.7976931348623157e308, 4.9406564584124654e-324};
  double second[6] = {nan, -nan, inf, -inf, 0.1, -0.0};
  probe.setDataAndStep(first);
  probe.setDataAndStep(second);
  probe.close();
  EXPECT_EQ(readBytes("probe.asc"),
            "5.0000000000000000e-01 -2.5000000000000000e+00 0.0000000000000000e+00 "
            "1.0240000000000000e+03 -1.7976931348623157e+308 4.9406564584124654e-324 \n"
            "                   nan                   -nan                    inf "
            "                  -inf 1.0000000000000001e-01 -0.0000000000000000e+00 \n");
}

TEST(DataFileProbe, LongRecordsAndBinaryRecordsAreWrittenWhole) {
  std::vector<double> values(1000);
  std::string expected;
  for (size_t i = 0; i < values.size(); ++i) {
    values[i] = std::ldexp(static_cast<double>(i) - 500.5, static_cast<int>(i % 40) - 20);
    char field[64];
    std::snprintf(field, sizeof field, "%22.16e ", values[i]);
    expected += field;
  }
  expected += "\n";
  DataFile probe;
  probe.setFileName("long.asc");
  ASSERT_EQ(probe.setMode(0, kTextFile), 1);
  probe.setData(values.data(), 1000, 1);
  probe.step();
  probe.close();
  EXPECT_EQ(readBytes("long.asc"), expected);

  DataFile binary;
  binary.setFileName("out.bin");
  ASSERT_EQ(binary.setMode(0, kBinaryFile), 1);
  binary.setData(values.data(), 3, 1);
  binary.step();
  binary.step();
  binary.close();
  EXPECT_EQ(readBytes("out.bin"),
            doublesAsBytes({values[0], values[1], values[2], values[0], values[1], values[2]}));
}

TEST(DataFileProbe, ManyRecordsGoOutAsPrintfWritesThem) {
  // Far more than one buffer of records, with normalisation on, through a
  // reopen that starts the file again.
  std::mt19937_64 rng(43);
  std::vector<double> block(14);
  std::string expected;
  DataFile probe;
  probe.setFileName("many.asc");
  ASSERT_EQ(probe.setMode(0, kTextFile), 1);
  probe.setSize(14, 1);
  probe.normalizationOn = 1;
  for (int i = 0; i < 14; ++i) {
    probe.scale[static_cast<size_t>(i)] = 0.5 + i;
    probe.offset[static_cast<size_t>(i)] = 0.25 * i;
  }
  probe.setData(block.data(), 14, 1);
  for (int record = 0; record < 6000; ++record) {
    if (record == 100) {
      ASSERT_EQ(probe.open(), 1);
      expected.clear();
    }
    char field[64];
    for (int i = 0; i < 14; ++i) {
      block[static_cast<size_t>(i)] = std::ldexp(static_cast<double>(rng() >> 11), -53 + i);
      std::snprintf(field, sizeof field, "%22.16e ",
                    (block[static_cast<size_t>(i)] - 0.25 * i) / (0.5 + i));
      expected += field;
    }
    expected += "\n";
    probe.step();
  }
  probe.close();
  EXPECT_EQ(readBytes("many.asc"), expected);
}

TEST(DataFileProbe, StandardOutputNeedsNoNameAndIsNeverClosed) {
  testing::internal::CaptureStdout();
  {
    DataFile console;
    EXPECT_EQ(console.setMode(0, kStandardStreams), 1);
    EXPECT_EQ(console.file, stdout);
    console.setSize(1, 1);
    console.data[0] = 0.25;
    console.step();
    EXPECT_EQ(console.close(), 0);
    EXPECT_EQ(console.file, nullptr);
    EXPECT_EQ(console.setMode(0, kStandardStreams), 1);
    console.step();
  }
  std::fputs("still open\n", stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "2.5000000000000000e-01 \n2.5000000000000000e-01 \nstill open\n");
}

// --- Switches ----------------------------------------------------------------

TEST(DataFileSwitches, EmptyNameLeavesTheFileUnopenedAndTransfersNothing) {
  DataFile file;
  EXPECT_EQ(file.setMode(1, kTextFile), 0);
  EXPECT_EQ(file.file, nullptr);
  EXPECT_EQ(file.setMode(1, kBinaryFile), 0);
  file.setSize(2, 1);
  file.data[0] = 8.0;
  file.step();
  EXPECT_EQ(file.data[0], 8.0);
  EXPECT_EQ(file.close(), 0);
}

TEST(DataFileSwitches, InactiveOrDisabledFileDoesNotMove) {
  writeBytes("still.asc", "1 2 3 4\n");
  DataFile file;
  openReader(file, "still.asc", kTextFile, 2);
  file.active = 0;
  file.step();
  EXPECT_EQ(std::ftell(file.file), 0);
  file.active = 1;
  file.enabled = 0;
  file.step();
  EXPECT_EQ(std::ftell(file.file), 0);
  EXPECT_EQ(file.data[0], 0.0);
  file.enabled = 1;
  EXPECT_EQ(nextRecord(file), (Record{1, 2}));
}

TEST(DataFileSwitches, OneShotStopsAfterTheFirstTransfer) {
  writeBytes("once.asc", "1 2 3 4\n");
  DataFile file;
  openReader(file, "once.asc", kTextFile, 2);
  file.oneShot = 1;
  EXPECT_EQ(nextRecord(file), (Record{1, 2}));
  EXPECT_EQ(file.enabled, 0u);
  EXPECT_EQ(nextRecord(file), (Record{1, 2}));
}

TEST(DataFileSwitches, AdjustChannelRaisesOneElementBeforeMappingAndOnlyInsideTheRecord) {
  writeBytes("adjust.asc", "1 2 1 2\n");
  DataFile file;
  openReader(file, "adjust.asc", kTextFile, 2);
  file.normalizationOn = 1;
  file.scale[1] = 10.0;
  file.adjustChannel = 1;
  file.adjustAmount = 0.5;
  EXPECT_EQ(nextRecord(file), (Record{1, 25}));
  file.adjustChannel = 2;  // beyond the record: ignored
  EXPECT_EQ(nextRecord(file), (Record{1, 20}));
}

TEST(DataFileSwitches, UnboundBlockTransfersNothingButTheChainIsStillStepped) {
  writeBytes("unbound.asc", "1 2\n");
  DataFile file;
  openReader(file, "unbound.asc", kTextFile, 2);
  CountingAccess counter;
  file.setNext(&counter);
  file.setData(nullptr, 2, 1);
  file.step();
  EXPECT_EQ(std::ftell(file.file), 0);
  EXPECT_EQ(counter.transfers, 1);
}

TEST(DataFileSwitches, ReaderFeedsTheProbeChainedBehindIt) {
  writeBytes("echo_in.asc", "1 2 3 4\n");
  DataFile reader;
  openReader(reader, "echo_in.asc", kTextFile, 2);
  DataFile echo;
  echo.setFileName("echo_out.asc");
  ASSERT_EQ(echo.setMode(0, kTextFile), 1);
  double block[2] = {0, 0};
  reader.setNext(&echo);
  reader.setData(block, 2, 1);
  reader.step();
  reader.step();
  echo.close();
  EXPECT_EQ(readBytes("echo_out.asc"),
            "1.0000000000000000e+00 2.0000000000000000e+00 \n"
            "3.0000000000000000e+00 4.0000000000000000e+00 \n");
}

// --- Failures ----------------------------------------------------------------

TEST(DataFileFailure, UnopenableFileEndsTheProcess) {
  EXPECT_EXIT(
      {
        DataFile file;
        file.setFileName("no/such/dir/x.asc");
        file.setMode(1, kTextFile);
      },
      testing::ExitedWithCode(1), "^Error: Unable to open file no/such/dir/x\\.asc\\.\n$");
}

TEST(DataFileFailure, TextWithoutAnyNumberEndsTheProcess) {
  writeBytes("blank.asc", "  \n\n");
  writeBytes("empty.asc", "");
  for (const char* name : {"blank.asc", "empty.asc"}) {
    EXPECT_EXIT(
        {
          DataFile file;
          openReader(file, name, kTextFile, 2);
          file.step();
          std::exit(0);
        },
        testing::ExitedWithCode(1), "^Error: Unable to read file " + std::string(name) + "\\.\n$");
  }
}

TEST(DataFileFailure, TokenThatIsNotANumberEndsTheProcess) {
  writeBytes("token.asc", "1 2\n3 x4\n");
  EXPECT_EXIT(
      {
        DataFile file;
        openReader(file, "token.asc", kTextFile, 2);
        file.step();
        if (file.data[0] != 1.0 || file.data[1] != 2.0) std::exit(3);
        file.step();
        std::exit(0);
      },
      testing::ExitedWithCode(1), "^Error: Unable to read file token\\.asc\\.\n$");
}

TEST(DataFileFailure, BinaryFileWithoutACompleteRecordEndsTheProcess) {
  writeBytes("empty.bin", "");
  writeBytes("short.bin", std::string(12, '\0'));
  for (const char* name : {"empty.bin", "short.bin"}) {
    EXPECT_EXIT(
        {
          DataFile file;
          openReader(file, name, kBinaryFile, 2);
          file.step();
          std::exit(0);
        },
        testing::ExitedWithCode(1), "^Error: Unable to read file " + std::string(name) + "\\.\n$");
  }
}

TEST(DataFileFailure, StandardInputAtItsEndEndsTheProcess) {
  EXPECT_EXIT(
      {
        if (std::freopen("/dev/null", "r", stdin) == nullptr) std::exit(3);
        DataFile file;
        file.setMode(1, kStandardStreams);
        file.setSize(1, 1);
        file.step();
        std::exit(0);
      },
      testing::ExitedWithCode(1), "^Error: Unable to read file stdin\\.\n$");
}

TEST(DataFileFailure, StandardInputFromAPipeGivesItsRecordsThenEndsTheProcess) {
  EXPECT_EXIT(
      {
        int ends[2];
        if (pipe(ends) != 0 || write(ends[1], "1 2 3 4", 7) != 7) std::exit(3);
        close(ends[1]);
        dup2(ends[0], 0);
        std::clearerr(stdin);
        DataFile file;
        file.setMode(1, kStandardStreams);
        file.setSize(2, 1);
        file.step();
        if (file.data[0] != 1.0 || file.data[1] != 2.0) std::exit(4);
        file.step();
        if (file.data[0] != 3.0 || file.data[1] != 4.0) std::exit(5);
        file.step();
        std::exit(0);
      },
      testing::ExitedWithCode(1), "^Error: Unable to read file stdin\\.\n$");
}

TEST(DataFileFailure, WritesToAFullDeviceEndTheProcess) {
  // Enough records to overflow the stream's buffer: caught while running.
  EXPECT_EXIT(
      {
        DataFile probe;
        probe.setFileName("/dev/full");
        probe.setMode(0, kTextFile);
        probe.setSize(14, 1);
        for (int i = 0; i < 10000; ++i) probe.step();
        std::exit(0);
      },
      testing::ExitedWithCode(1), "^Error: Unable to write file /dev/full\\.\n$");
  // One buffered record: caught when the file is closed at exit.
  EXPECT_EXIT(
      {
        static DataFile probe;
        probe.setFileName("/dev/full");
        probe.setMode(0, kTextFile);
        probe.setSize(1, 1);
        probe.step();
        std::exit(0);
      },
      testing::ExitedWithCode(1), "^Error: Unable to write file /dev/full\\.\n$");
  // The same through an explicit close.
  EXPECT_EXIT(
      {
        DataFile probe;
        probe.setFileName("/dev/full");
        probe.setMode(0, kBinaryFile);
        probe.setSize(1, 1);
        probe.step();
        probe.close();
        std::exit(0);
      },
      testing::ExitedWithCode(1), "^Error: Unable to write file /dev/full\\.\n$");
}

TEST(DataFileFailure, FailedOrClosedStandardOutputEndsTheProcess) {
  EXPECT_EXIT(
      {
        if (std::freopen("/dev/full", "w", stdout) == nullptr) std::exit(3);
        DataFile console;
        console.setMode(0, kStandardStreams);
        console.setSize(1, 1);
        console.step();
        std::exit(0);
      },
      testing::ExitedWithCode(1), "^Error: Unable to write file stdout\\.\n$");
  EXPECT_EXIT(
      {
        close(1);
        DataFile console;
        console.setMode(0, kStandardStreams);
        console.setSize(1, 1);
        console.step();
        std::exit(0);
      },
      testing::ExitedWithCode(1), "^Error: Unable to write file stdout\\.\n$");
}

}  // namespace
