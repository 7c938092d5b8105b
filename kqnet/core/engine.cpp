#include <kqnet/core/engine.h>

#include <cstring>

namespace kq {

bool sameWord(const char* name, const char* word) {
  return name != nullptr && word != nullptr && std::strcmp(name, word) == 0;
}

bool CoreObject::isKindOf(const char* name) const { return sameWord(name, "CoreObject"); }

Engine::Engine() { parameterEnabled.fill(0); }

bool Engine::isKindOf(const char* name) const {
  return CoreObject::isKindOf(name) || sameWord(name, "Engine");
}

ParameterDescriptor* Engine::descriptorAt(int index) const {
  if (index < 0 || index >= kParameterCount) return nullptr;
  return parameters[static_cast<size_t>(index)];
}

int Engine::getBoolAt(int, int) { return 0; }
void Engine::setBoolAt(int, int, int) {}
int Engine::getBool(int) { return 0; }
void Engine::setBool(int, int) {}
double Engine::getDoubleAt(int, int) { return 0.0; }
void Engine::setDoubleAt(int, double, int) {}
int Engine::getInt(int) { return 0; }
void Engine::setInt(int, int) {}
double Engine::getDouble(int) { return 0.0; }
void Engine::setDouble(int, double) {}

// registerWithControl is defined with the control (control/control.cpp),
// beside the flag it sets.

void Engine::enableParameter(int index, int on, int centre) {
  if (index < 0 || index >= kParameterCount) return;
  int32_t& flag = parameterEnabled[static_cast<size_t>(index)];
  if (flag == on) return;
  flag = on;
  parametersChanged();
  enabledParameterCount += on != 0 ? 1 : -1;
  if (on != 0 && centre != 0) {
    if (ParameterDescriptor* descriptor = descriptorAt(index)) descriptor->centreWindow(*this);
  }
  parametersDirty = 1;
}

double ParameterDescriptor::readValue(Engine& engine, int element) const {
  switch (kind) {
    case kBoolElement:
      return engine.getBoolAt(parameterIndex, element) != 0 ? 1.0 : 0.0;
    case kBool:
      return engine.getBool(parameterIndex) != 0 ? 1.0 : 0.0;
    case kInteger:
      return static_cast<double>(engine.getInt(parameterIndex));
    case kDouble:
      return engine.getDouble(parameterIndex);
    case kDoubleElement:
      return engine.getDoubleAt(parameterIndex, element);
    default:
      return 0.0;
  }
}

void ParameterDescriptor::centreWindow(Engine& engine) {
  if (kind != kInteger && kind != kDouble) return;
  const double v = readValue(engine, 0);
  setWindow(v - halfWidth, v + halfWidth);
}

void ParameterDescriptor::setWindow(double newLower, double newUpper) {
  setUpper(newUpper);
  setLower(newLower);
}

void ParameterDescriptor::setUpper(double x) { upper = x > maximum ? maximum : x; }

void ParameterDescriptor::setLower(double x) { lower = minimum > x ? minimum : x; }

void ParameterDescriptor::resizeValues(int n) {
  if (n < 0) n = 0;
  if (n == valueCount) return;
  valueCount = n;
  values.assign(static_cast<size_t>(n), 0.0);
}

}  // namespace kq
