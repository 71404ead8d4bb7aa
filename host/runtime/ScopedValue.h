#pragma once
// TScopedValue: gives a variable a value for the guard's lifetime and puts
// back the value it had before, however the scope is left. Guards nest:
// each restores what it found, not a fixed default.

#include <utility>

namespace qvl {

template <class T>
class TScopedValue {
 public:
  TScopedValue(T& AVariable, T Value) : FVariable(AVariable), FSaved(std::move(AVariable)) {
    FVariable = std::move(Value);
  }
  ~TScopedValue() { FVariable = std::move(FSaved); }
  TScopedValue(const TScopedValue&) = delete;
  TScopedValue& operator=(const TScopedValue&) = delete;

 private:
  T& FVariable;
  T FSaved;
};

}  // namespace qvl
