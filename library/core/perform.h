#pragma once

#include <cstdint>

// Outside computations: a component may hand its built-in computation to a
// perform function supplied with a record. Nothing in the library installs
// one; with no record every component runs its own computation.

namespace kq {

// The parameter vector an outside instance may carry as its first member;
// a component keeps those values inside its own weight array.
struct ParameterVector {
  double* data = nullptr;  // storage, pointed into the owner's weights
  int32_t length = 0;      // number of parameters
};

// The signatures differ by class; each caller converts to its own form.
using GenericFunction = void (*)();

struct PerformRecord {
  GenericFunction perform = nullptr;  // replaces the built-in computation
  GenericFunction create = nullptr;   // builds or rebuilds the outside instance
  GenericFunction destroy = nullptr;  // disposes of a replaced instance
  void* instance = nullptr;           // the current outside instance
};

// The parameter vector of an instance (its first member), or null.
inline ParameterVector* instanceParameters(void* instance) {
  if (instance == nullptr) return nullptr;
  return *static_cast<ParameterVector**>(instance);
}

}  // namespace kq
