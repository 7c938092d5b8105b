#pragma once

// Data sources shared by the benchmarks: an in-memory record stream, so
// that the timings measure the network and not file reading.

#include <algorithm>
#include <cstdlib>
#include <vector>

#include <kqnet/core/spatial_access.h>

namespace kqbench {

// Hands out the next of a fixed set of records on every transfer.
class RecordSource : public kq::SpatialAccess {
 public:
  const char* className() const override { return "RecordSource"; }
  void transfer() override {
    if (data == nullptr || records.empty()) return;
    const std::vector<double>& record = records[next];
    next = (next + 1) % records.size();
    std::copy(record.begin(), record.begin() + std::min<size_t>(record.size(), length), data);
  }

  std::vector<std::vector<double>> records;
  size_t next = 0;
};

// count records of width values in [-1, 1], from the seeded standard generator.
inline std::vector<std::vector<double>> randomRecords(size_t count, size_t width) {
  std::vector<std::vector<double>> records(count, std::vector<double>(width));
  for (auto& record : records) {
    for (double& value : record) value = (std::rand() % 2001 - 1000) / 1000.0;
  }
  return records;
}

}  // namespace kqbench
