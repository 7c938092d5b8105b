#pragma once

// Pieces shared by the criterion tests: an access that records every block
// it is stepped with, a desired feed, and a criterion fed exemplar by
// exemplar without a network in front of it.

#include <algorithm>
#include <string>
#include <vector>

#include <kqnet/control/control.h>
#include <kqnet/core/soma.h>
#include <kqnet/core/spatial_access.h>
#include <kqnet/criteria/criterion.h>

namespace kqtest {

// Keeps a copy of the bound block, and the reset flag, at every transfer.
class BlockLog : public kq::SpatialAccess {
 public:
  const char* className() const override { return "BlockLog"; }
  void transfer() override {
    records.push_back(data != nullptr ? std::vector<double>(data, data + length)
                                      : std::vector<double>{});
    resetting.push_back(kq::resettingFlag);
    if (order != nullptr) order->push_back(name);
  }

  std::vector<std::vector<double>> records;   // one per transfer
  std::vector<int> resetting;                 // resettingFlag at each transfer
  std::string name;                           // logged into order
  std::vector<std::string>* order = nullptr;  // shared transfer log
};

// Fills the bound block with the record set before the exemplar.
class DesiredFeed : public kq::SpatialAccess {
 public:
  const char* className() const override { return "DesiredFeed"; }
  void transfer() override {
    if (data == nullptr) return;
    const size_t n = std::min(record.size(), static_cast<size_t>(length));
    std::copy(record.begin(), record.begin() + static_cast<std::ptrdiff_t>(n), data);
  }

  std::vector<double> record;  // the next desired record
};

// An L2 criterion of a given width whose outputs are written straight into
// its frame before it fires.
struct CriterionBench {
  explicit CriterionBench(int outputs, int thresholds = 100, kq::StaticControl* control = nullptr) {
    criterion.rocThresholdCount = thresholds;
    if (control != nullptr) {
      criterion.control = control;
      criterion.registerWithControl();
    }
    criterion.setRows(outputs);
    criterion.setDesiredAccess(&feed);
  }

  void attachAll() {
    criterion.setCostAccess(&cost);
    criterion.setPerformanceAccess(&performance);
    criterion.setRocAccess(&roc);
    criterion.setConfusionAccess(&confusion);
  }

  // One exemplar: the desired record, the outputs, one firing.
  void present(const std::vector<double>& desired, const std::vector<double>& outputs) {
    feed.record = desired;
    std::copy(outputs.begin(), outputs.end(), criterion.currentFrame());
    criterion.fire();
  }

  kq::L2Criterion criterion;
  DesiredFeed feed;
  BlockLog cost;
  BlockLog performance;
  BlockLog roc;
  BlockLog confusion;
};

}  // namespace kqtest
