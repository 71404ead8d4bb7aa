#include "qvl/host/runtime/Invariants.h"

#include <cstdio>
#include <cstdlib>

namespace qvl {

void InvariantBroken(const char* When, const char* Operation, const std::string& Fault) {
  std::fprintf(stderr, "qvl: invariant broken at the %s of %s: %s\n", When, Operation,
               Fault.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace qvl
