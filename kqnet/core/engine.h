#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include <kqnet/core/claimed_array.h>

// The object model shared by every network object: a class word and a
// kind test (CoreObject), and a table of indexed parameters that outside
// tools may fill and read through the classes' accessors (Engine).

namespace kq {

class StaticControl;
class Engine;

// 0 one element of a boolean vector, 1 boolean, 2 integer, 3 double,
// 4 one element of a double vector.
enum ParameterKind : int32_t {
  kBoolElement = 0,
  kBool = 1,
  kInteger = 2,
  kDouble = 3,
  kDoubleElement = 4,
};

// An entry of an Engine's parameter table. The library installs none; it
// serves whoever does.
struct ParameterDescriptor {
  int32_t kind = kDouble;       // which accessor pair serves the parameter
  int32_t accessorSlot = 0;     // entry in the class's accessor table for that kind
  int32_t parameterIndex = 0;   // index in the engine's table
  int32_t valueCount = 0;       // number of doubles in values
  double upper = 0.0;           // upper end of the window
  double lower = 0.0;           // lower end of the window
  double maximum = 0.0;         // largest value the upper end may take
  double minimum = 0.0;         // smallest value the lower end may take
  double halfWidth = 0.0;       // half width that enabling centres on the current value
  ClaimedArray<double> values;  // per-element values

  double readValue(Engine& engine, int element) const;
  void centreWindow(Engine& engine);
  void setWindow(double newLower, double newUpper);
  void setUpper(double x);
  void setLower(double x);
  void resizeValues(int n);
};

class CoreObject {
 public:
  virtual ~CoreObject() = default;

  // The class word: the constant name a weight-file section carries.
  virtual const char* className() const = 0;
  // Called once at teardown, before destruction: frees the object's arrays.
  virtual void release() {}
  // True when name is the word of this class or of a base that answers.
  virtual bool isKindOf(const char* name) const;
};

// Adds the parameter table of 72 indexed entries. A class with own
// parameters overrides the accessors of its kinds; indices below its first
// own index go to its base, and Engine's own accessors answer 0.
class Engine : public CoreObject {
 public:
  static constexpr int kParameterCount = 72;

  Engine();

  bool isKindOf(const char* name) const override;

  // The indexed accessors: ParameterDescriptor::readValue reads them by the
  // descriptor's kind and outside tools set them. An override serves its
  // class's own indices through its accessor table and hands every lower
  // index to its base; Engine's own answer 0 and do nothing.
  //
  // One element of a boolean vector parameter; no class overrides it.
  virtual int getBoolAt(int index, int element);
  // Sets one element of a boolean vector parameter; no class overrides it.
  virtual void setBoolAt(int index, int element, int value);
  // A boolean parameter (axons, the backward control).
  virtual int getBool(int index);
  // Sets a boolean parameter (axons, the backward control).
  virtual void setBool(int index, int value);
  // One element of a double vector parameter (Soma's weight-shaped one).
  virtual double getDoubleAt(int index, int element);
  // Sets one element of a double vector parameter.
  virtual void setDoubleAt(int index, double value, int element);
  // An integer parameter (axons, synapses, the backward control).
  virtual int getInt(int index);
  // Sets an integer parameter.
  virtual void setInt(int index, int value);
  // A double parameter (Soma, the linear axons, transmitters, step rules).
  virtual double getDouble(int index);
  // Sets a double parameter.
  virtual void setDouble(int index, double value);
  // Told by enableParameter after an enabled flag changed; Soma resizes the
  // weight-shaped parameter's values here.
  virtual void parametersChanged() {}
  // Joins the control, once per object during set-up; the control reference
  // must be set before. Overrides call their base first, then join a list.
  virtual void registerWithControl();
  // Preparation before a run: the program calls the control's, which calls
  // the backward criteria controls'; 0 means nothing was done.
  virtual int prepareLearning() { return 0; }
  // How many indices the class adds; a constant of the class.
  virtual int ownParameterCount() const { return 0; }
  // The first index the class adds: its base's first plus its base's count.
  virtual int firstOwnParameterIndex() const { return 0; }
  // Switches an enabled flag for an outside tool; no class overrides it.
  virtual void enableParameter(int index, int on, int centre);

  // The descriptor at index, or null outside the table.
  ParameterDescriptor* descriptorAt(int index) const;

  StaticControl* control = nullptr;  // the control the object belongs to
  std::array<ParameterDescriptor*, kParameterCount> parameters{};  // descriptors
  std::array<int32_t, kParameterCount> parameterEnabled{};         // enabled flags
  int32_t parametersDirty = 1;        // an enabled flag changed since registration
  int32_t enabledParameterCount = 0;  // +1 per enabling, -1 per disabling

 protected:
  // CoreObject's test, for the controls, which skip the Engine word.
  bool isCoreObject(const char* name) const { return CoreObject::isKindOf(name); }
};

// Compares two class words exactly; a null name matches nothing.
bool sameWord(const char* name, const char* word);

// A table of accessor entries of one kind: an own parameter's slot selects
// the entry. A missing descriptor, a slot outside the table or an unfilled
// entry answers 0 and does nothing.
template <typename Entry, int N>
struct AccessorTable {
  std::array<Entry, N> entries{};

  Entry find(const Engine& engine, int index) const {
    const ParameterDescriptor* descriptor = engine.descriptorAt(index);
    if (descriptor == nullptr) return nullptr;
    const int slot = descriptor->accessorSlot;
    if (slot < 0 || slot >= N) return nullptr;
    return entries[static_cast<size_t>(slot)];
  }
};

using DoubleGetter = double (*)(Engine&);
using DoubleSetter = void (*)(Engine&, double);
using DoubleElementGetter = double (*)(Engine&, int element);
using DoubleElementSetter = void (*)(Engine&, double, int element);
using IntGetter = int (*)(Engine&);
using IntSetter = void (*)(Engine&, int);

}  // namespace kq
