#pragma once

#include <string>

#include <kqnet/control/control.h>

// BackStaticControl: the backward twin of the run control. It takes part in
// no firing and enters no list; it holds the name of the learning method,
// from which the StaticControl derives its LearningMode when it is given
// this object. Changing the name drops the control's learning globals,
// which belong to the old method.

namespace kq {

class BackStaticControl : public Control {
 public:
  const char* className() const override { return "BackStaticControl"; }
  bool isKindOf(const char* name) const override;
  int getBool(int index) override;
  void setBool(int index, int value) override;
  int getInt(int index) override;
  void setInt(int index, int value) override;
  int ownParameterCount() const override { return 2; }
  int firstOwnParameterIndex() const override { return kFirstOwnIndex; }

  // A different name on an object with a control first has the control
  // delete its learning globals; then the name is kept.
  void setLearningMethod(const std::string& name);

  static constexpr int kFirstOwnIndex = 0;

  AccessorTable<IntGetter, 1> intGetters;  // the integer parameter
  AccessorTable<IntSetter, 1> intSetters;
  AccessorTable<IntGetter, 1> boolGetters;  // the boolean parameter
  AccessorTable<IntSetter, 1> boolSetters;
  // "ConjugateGradient", "LevenbergMarquardt" or another rule's name. A
  // string, so a long name can never overrun a buffer.
  std::string learningMethod;
};

}  // namespace kq
