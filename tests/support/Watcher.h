#pragma once
// TWatcher: a component that records the notifications it hears (its owned
// components' insertion and removal, the removal of the components it asked
// free notification of) and whether Loaded ran, so that tests can tell
// which components went and in what order.

#include <algorithm>
#include <initializer_list>
#include <utility>
#include <vector>

#include "qvl/host/runtime/Component.h"

namespace qvl::test {

class TWatcher : public TComponent {
 public:
  using TComponent::TComponent;
  std::vector<std::pair<TComponent*, TOperation>> Heard;
  bool LoadedCalled = false;

  // Asks free notification of each of Components.
  void Watch(std::initializer_list<TComponent*> Components) {
    for (TComponent* c : Components) c->FreeNotification(this);
  }
  // Whether the removals heard are those of Components, each once, in any
  // order.
  bool RemovedOnceEach(std::vector<TComponent*> Components) const {
    std::vector<TComponent*> removed = Removed();
    std::sort(removed.begin(), removed.end());
    std::sort(Components.begin(), Components.end());
    return removed == Components;
  }
  // The components whose removal was heard, in order.
  std::vector<TComponent*> Removed() const {
    std::vector<TComponent*> removed;
    for (const auto& [component, operation] : Heard)
      if (operation == opRemove) removed.push_back(component);
    return removed;
  }

 protected:
  void Notification(TComponent* C, TOperation Op) override {
    TComponent::Notification(C, Op);
    Heard.push_back({C, Op});
  }
  void Loaded() override {
    TComponent::Loaded();
    LoadedCalled = true;
  }
};

}  // namespace qvl::test
