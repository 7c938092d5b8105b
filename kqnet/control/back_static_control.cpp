#include <kqnet/control/back_static_control.h>

namespace kq {

bool BackStaticControl::isKindOf(const char* name) const {
  return Control::isKindOf(name) || sameWord(name, "BackStaticControl");
}

int BackStaticControl::getBool(int index) {
  if (index < kFirstOwnIndex) return Engine::getBool(index);
  IntGetter entry = boolGetters.find(*this, index);
  return entry != nullptr ? entry(*this) : 0;
}

void BackStaticControl::setBool(int index, int value) {
  if (index < kFirstOwnIndex) return Engine::setBool(index, value);
  if (IntSetter entry = boolSetters.find(*this, index)) entry(*this, value);
}

int BackStaticControl::getInt(int index) {
  if (index < kFirstOwnIndex) return Engine::getInt(index);
  IntGetter entry = intGetters.find(*this, index);
  return entry != nullptr ? entry(*this) : 0;
}

void BackStaticControl::setInt(int index, int value) {
  if (index < kFirstOwnIndex) return Engine::setInt(index, value);
  if (IntSetter entry = intSetters.find(*this, index)) entry(*this, value);
}

void BackStaticControl::setLearningMethod(const std::string& name) {
  if (name != learningMethod && control != nullptr) control->deleteLearningGlobals();
  learningMethod = name;
}

}  // namespace kq
