#pragma once

// The four programs' networks, for timing their phases inside one process,
// built from the programs' own tables; bench_programs also checks that a run
// from them writes the same files as the built program.

#include <memory>
#include <string>

#include "Belmot/belmot_network.h"
#include "Dravik/dravik_network.h"
#include "Orvane/orvane_network.h"
#include "Quillet/quillet_network.h"

namespace kqbench {

using kq::programs::NetworkValues;
using kq::programs::NetworkView;
namespace orvane = kq::programs::orvane;
namespace belmot = kq::programs::belmot;
namespace quillet = kq::programs::quillet;
namespace dravik = kq::programs::dravik;

// A network made on the heap (the programs make theirs as globals) with
// its view; destroying it closes the data files and probes.
struct ProgramNetwork {
  virtual ~ProgramNetwork() = default;
  NetworkView view;
  const NetworkValues* values = nullptr;
};

template <class N>
struct ProgramNetworkOf : ProgramNetwork {
  explicit ProgramNetworkOf(const NetworkValues& v) : network(std::make_unique<N>()) {
    view = network->view();
    values = &v;
  }
  std::unique_ptr<N> network;
};

// name is one of "Orvane", "Belmot", "Quillet", "Dravik".
inline std::unique_ptr<ProgramNetwork> makeProgramNetwork(const std::string& name) {
  if (name == "Orvane") return std::make_unique<ProgramNetworkOf<orvane::Net>>(orvane::kValues);
  if (name == "Belmot") return std::make_unique<ProgramNetworkOf<belmot::Net>>(belmot::kValues);
  if (name == "Quillet") return std::make_unique<ProgramNetworkOf<quillet::Net>>(quillet::kValues);
  if (name == "Dravik") return std::make_unique<ProgramNetworkOf<dravik::Net>>(dravik::kValues);
  return nullptr;
}

}  // namespace kqbench
