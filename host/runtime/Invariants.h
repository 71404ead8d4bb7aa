#pragma once
// Invariant checks for debug builds, the way SQLite checks its page cache:
// a class with linked structures names its first broken invariant in
// InvariantFault() (empty when all hold), and each operation that changes
// those structures opens a QVL_INVARIANT_SCOPE. The scope checks when the
// outermost such operation starts and when it returns normally (an
// operation left by an exception is checked by the next one); a broken
// invariant is reported on stderr with the operation's name and aborts.
// Release builds (NDEBUG) compile the scopes out; InvariantFault stays
// callable in every build.

#include <exception>
#include <string>

namespace qvl {

[[noreturn]] void InvariantBroken(const char* When, const char* Operation,
                                  const std::string& Fault);

template <class TOwner>
class TInvariantScope {
 public:
  TInvariantScope(const TOwner& AOwner, int& ADepth, const char* AOperation)
      : FOwner(AOwner),
        FDepth(ADepth),
        FOperation(AOperation),
        FExceptions(std::uncaught_exceptions()) {
    if (FDepth++ == 0) Check("start");
  }
  ~TInvariantScope() {
    if (--FDepth == 0 && std::uncaught_exceptions() == FExceptions) Check("end");
  }
  TInvariantScope(const TInvariantScope&) = delete;
  TInvariantScope& operator=(const TInvariantScope&) = delete;

 private:
  void Check(const char* When) const {
    const std::string fault = FOwner.InvariantFault();
    if (!fault.empty()) InvariantBroken(When, FOperation, fault);
  }

  const TOwner& FOwner;
  int& FDepth;
  const char* FOperation;
  int FExceptions;
};

}  // namespace qvl

#ifdef NDEBUG
#define QVL_INVARIANT_SCOPE(Owner, Depth) ((void)0)
#else
#define QVL_INVARIANT_SCOPE(Owner, Depth) \
  const ::qvl::TInvariantScope qvlInvariantScope_((Owner), (Depth), __func__)
#endif
