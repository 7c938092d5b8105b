// Reading and writing data files: one epoch of the programs' shape, 13217
// records of 14 values, through DataFile, beside the C library's own
// formatted I/O and the floor that std::from_chars / std::to_chars set
// (the whole file in one read, or one large buffer of text written out).

#include <benchmark/benchmark.h>

#include <charconv>
#include <cstring>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <kqnet/data/data_file.h>

namespace {

constexpr int kRecords = 13217;
constexpr int kWidth = 14;

// The files live in the temporary directory and are removed at exit.
struct ScratchFiles {
  ~ScratchFiles() {
    for (const std::string& path : paths) std::filesystem::remove(path);
  }
  std::vector<std::string> paths;
};
ScratchFiles scratchFiles;

std::string scratchPath(const char* name) {
  std::string path = (std::filesystem::temp_directory_path() / name).string();
  scratchFiles.paths.push_back(path);
  return path;
}

std::vector<double> epochValues() {
  std::mt19937_64 rng(2024);
  std::uniform_real_distribution<double> values(-1.0, 1.0);
  std::vector<double> all(static_cast<size_t>(kRecords) * kWidth);
  for (double& x : all) x = values(rng);
  return all;
}

// A text file of one epoch, written once.
const std::string& textEpochFile() {
  static const std::string path = [] {
    const std::string name = scratchPath("kqnet_bench_epoch.asc");
    std::FILE* file = std::fopen(name.c_str(), "w");
    const std::vector<double> all = epochValues();
    for (int r = 0; r < kRecords; ++r) {
      for (int k = 0; k < kWidth; ++k) std::fprintf(file, "%22.16e ", all[r * kWidth + k]);
      std::fputc('\n', file);
    }
    std::fclose(file);
    return name;
  }();
  return path;
}

const std::string& binaryEpochFile() {
  static const std::string path = [] {
    const std::string name = scratchPath("kqnet_bench_epoch.bin");
    std::FILE* file = std::fopen(name.c_str(), "wb");
    const std::vector<double> all = epochValues();
    std::fwrite(all.data(), sizeof(double), all.size(), file);
    std::fclose(file);
    return name;
  }();
  return path;
}

void countValues(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations() * kRecords * kWidth);
}

void BM_DataFileReadText(benchmark::State& state) {
  std::vector<double> block(kWidth);
  for (auto _ : state) {
    kq::DataFile reader;
    reader.setFileName(textEpochFile().c_str());
    reader.setMode(1, kq::kTextFile);
    reader.setData(block.data(), kWidth, 1);
    for (int r = 0; r < kRecords; ++r) reader.step();
    benchmark::DoNotOptimize(block.data());
  }
  countValues(state);
}
BENCHMARK(BM_DataFileReadText)->Unit(benchmark::kMillisecond);

void BM_DataFileWriteText(benchmark::State& state) {
  const std::vector<double> all = epochValues();
  const std::string name = scratchPath("kqnet_bench_probe.asc");
  for (auto _ : state) {
    kq::DataFile probe;
    probe.setFileName(name.c_str());
    probe.setMode(0, kq::kTextFile);
    for (int r = 0; r < kRecords; ++r) {
      probe.setData(const_cast<double*>(&all[r * kWidth]), kWidth, 1);
      probe.step();
    }
    probe.close();
  }
  countValues(state);
}
BENCHMARK(BM_DataFileWriteText)->Unit(benchmark::kMillisecond);

void BM_DataFileReadBinary(benchmark::State& state) {
  std::vector<double> block(kWidth);
  for (auto _ : state) {
    kq::DataFile reader;
    reader.setFileName(binaryEpochFile().c_str());
    reader.setMode(1, kq::kBinaryFile);
    reader.setData(block.data(), kWidth, 1);
    for (int r = 0; r < kRecords; ++r) reader.step();
    benchmark::DoNotOptimize(block.data());
  }
  countValues(state);
}
BENCHMARK(BM_DataFileReadBinary)->Unit(benchmark::kMillisecond);

void BM_DataFileWriteBinary(benchmark::State& state) {
  const std::vector<double> all = epochValues();
  const std::string name = scratchPath("kqnet_bench_probe.bin");
  for (auto _ : state) {
    kq::DataFile probe;
    probe.setFileName(name.c_str());
    probe.setMode(0, kq::kBinaryFile);
    for (int r = 0; r < kRecords; ++r) {
      probe.setData(const_cast<double*>(&all[r * kWidth]), kWidth, 1);
      probe.step();
    }
    probe.close();
  }
  countValues(state);
}
BENCHMARK(BM_DataFileWriteBinary)->Unit(benchmark::kMillisecond);

// The same epoch through fscanf and fprintf, for comparison.
void BM_StdioReadText(benchmark::State& state) {
  std::vector<double> block(kWidth);
  for (auto _ : state) {
    std::FILE* file = std::fopen(textEpochFile().c_str(), "r");
    for (int r = 0; r < kRecords; ++r) {
      for (int k = 0; k < kWidth; ++k) {
        if (std::fscanf(file, "%lf", &block[k]) != 1) state.SkipWithError("short file");
      }
    }
    std::fclose(file);
    benchmark::DoNotOptimize(block.data());
  }
  countValues(state);
}
BENCHMARK(BM_StdioReadText)->Unit(benchmark::kMillisecond);

void BM_StdioWriteText(benchmark::State& state) {
  const std::vector<double> all = epochValues();
  const std::string name = scratchPath("kqnet_bench_stdio.asc");
  for (auto _ : state) {
    std::FILE* file = std::fopen(name.c_str(), "w");
    for (int r = 0; r < kRecords; ++r) {
      for (int k = 0; k < kWidth; ++k) std::fprintf(file, "%22.16e ", all[r * kWidth + k]);
      std::fputc('\n', file);
    }
    std::fclose(file);
  }
  countValues(state);
}
BENCHMARK(BM_StdioWriteText)->Unit(benchmark::kMillisecond);

// The floor of a text read: the file in one read, every number through
// from_chars.
void BM_FromCharsText(benchmark::State& state) {
  std::vector<double> block(kWidth);
  std::string text;
  for (auto _ : state) {
    std::FILE* file = std::fopen(textEpochFile().c_str(), "rb");
    text.clear();
    char chunk[1 << 16];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, n);
    std::fclose(file);
    const char* p = text.data();
    const char* end = p + text.size();
    for (int r = 0; r < kRecords; ++r) {
      for (int k = 0; k < kWidth; ++k) {
        while (p < end && (*p == ' ' || *p == '\n')) ++p;
        p = std::from_chars(p, end, block[k]).ptr;
      }
      benchmark::DoNotOptimize(block.data());
    }
  }
  countValues(state);
}
BENCHMARK(BM_FromCharsText)->Unit(benchmark::kMillisecond);

// The floor of a probe write: every value through to_chars into one large
// buffer, written out whenever it fills.
void BM_ToCharsText(benchmark::State& state) {
  const std::vector<double> all = epochValues();
  const std::string name = scratchPath("kqnet_bench_to_chars.asc");
  std::vector<char> buffer(1 << 16);
  for (auto _ : state) {
    std::FILE* file = std::fopen(name.c_str(), "w");
    size_t used = 0;
    for (int r = 0; r < kRecords; ++r) {
      if (used + 32 * kWidth + 1 > buffer.size()) {
        std::fwrite(buffer.data(), 1, used, file);
        used = 0;
      }
      for (int k = 0; k < kWidth; ++k) {
        char digits[32];
        const int n =
            static_cast<int>(std::to_chars(digits, digits + sizeof digits, all[r * kWidth + k],
                                           std::chars_format::scientific, 16)
                                 .ptr -
                             digits);
        for (int i = n; i < 22; ++i) buffer[used++] = ' ';
        std::memcpy(&buffer[used], digits, static_cast<size_t>(n));
        used += static_cast<size_t>(n);
        buffer[used++] = ' ';
      }
      buffer[used++] = '\n';
    }
    std::fwrite(buffer.data(), 1, used, file);
    std::fclose(file);
  }
  countValues(state);
}
BENCHMARK(BM_ToCharsText)->Unit(benchmark::kMillisecond);

}  // namespace
