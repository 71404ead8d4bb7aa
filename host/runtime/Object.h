#pragma once
// TObject: the root of the host's class tree. It gives every object a
// virtual destructor, so that senders of events and owners of lists can be
// handled through one base. TNotifyEvent is the host's plain event.

#include <functional>

#pragma GCC visibility push(default)

namespace qvl {

class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

// Two events "call the same code" when their callables have the same target
// type; this stands in for comparing method pointers by their code.
template <class F>
bool SameEventCode(const std::function<F>& A, const std::function<F>& B) {
  if (!A || !B) return !A && !B;
  return A.target_type() == B.target_type();
}

}  // namespace qvl

#pragma GCC visibility pop
