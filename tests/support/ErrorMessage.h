#pragma once
// Error: runs a piece of a test and returns the message of the exception it
// raises, or "no error". Only exceptions of class E are caught, so a test
// that expects a database error still fails on any other.

#include <string>
#include <utility>

#include "qvl/host/runtime/Exceptions.h"

namespace qvl::test {

template <class E = Exception, class F>
std::string Error(F&& Run) {
  try {
    std::forward<F>(Run)();
  } catch (const E& e) {
    return e.Message();
  }
  return "no error";
}

}  // namespace qvl::test
