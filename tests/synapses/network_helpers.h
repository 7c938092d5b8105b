#pragma once

// Small pieces shared by the forward-network tests: an in-memory data source,
// a recorder of firings and computations, and seeded random fills.

#include <algorithm>
#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include <kqnet/core/spatial_access.h>

namespace kqtest {

// Copies the next of its records into the bound block on every transfer,
// wrapping at the end, the way a data file feeds an input axon.
class RecordSource : public kq::SpatialAccess {
 public:
  const char* className() const override { return "RecordSource"; }
  void transfer() override {
    if (data == nullptr || records.empty()) return;
    const std::vector<double>& record = records[next % records.size()];
    ++next;
    const size_t n = std::min(static_cast<size_t>(length), record.size());
    std::copy(record.begin(), record.begin() + static_cast<std::ptrdiff_t>(n), data);
  }

  std::vector<std::vector<double>> records;  // one per exemplar
  size_t next = 0;                           // record handed out next
};

// Wraps a component class and logs "name.fire" on every arrival and
// "name.compute" whenever the built-in computation runs.
template <typename Base>
class Recorder : public Base {
 public:
  void fire() override {
    if (log != nullptr) log->push_back(name + ".fire");
    Base::fire();
  }
  void compute() override {
    if (log != nullptr) log->push_back(name + ".compute");
    Base::compute();
  }

  std::string name;
  std::vector<std::string>* log = nullptr;
};

// Uniform values in [low, high) from a seeded generator, into a vector or a
// component's weights.
template <typename Values>
void fillRandom(Values& values, std::mt19937_64& generator, double low, double high) {
  std::uniform_real_distribution<double> distribution(low, high);
  for (double& value : values) value = distribution(generator);
}

inline std::vector<std::vector<double>> randomRecords(size_t count, size_t width,
                                                      std::mt19937_64& generator) {
  std::vector<std::vector<double>> records(count, std::vector<double>(width));
  for (auto& record : records) fillRandom(record, generator, -1.0, 1.0);
  return records;
}

}  // namespace kqtest
