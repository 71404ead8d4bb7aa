#pragma once
// TComponent: the host's component model.
//
// Ownership: a component constructed with an owner belongs to it; the owner
// destroys what it owns, newest first, when it is destroyed. A component may
// also be destroyed on its own (delete): it then leaves its owner's list.
// Components without an owner belong to whoever created them (typically a
// std::unique_ptr).
//
// Names: a non-empty Name is a valid identifier and unique, without regard to
// case, among the components of the same owner.
//
// Free notification: A->FreeNotification(B) asks that B hear
// Notification(A, opRemove) when A is destroyed; the link is mutual, so
// destroying B first unlinks it. Owners also hear opInsert and opRemove for
// the components they gain and lose, and pass every notification on to the
// components they own.
//
// Loading: between BeginLoading and EndLoading a component is in the
// csLoading and csReading states (properties being read from a stream);
// EndLoading leaves csReading and calls Loaded, which leaves csLoading.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qvl/host/runtime/Object.h"

#pragma GCC visibility push(default)

namespace qvl {

enum TOperation { opInsert, opRemove };

enum TComponentStateFlag : std::uint8_t {
  csLoading = 1,
  csReading = 2,
  csDestroying = 4,
};
using TComponentState = std::uint8_t;

class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;

  TComponent* GetOwner() const { return FOwner; }
  const std::string& GetName() const { return FName; }
  virtual void SetName(const std::string& NewName);
  std::intptr_t GetTag() const { return FTag; }
  void SetTag(std::intptr_t Value) { FTag = Value; }

  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int Index) const;
  TComponent* FindComponent(const std::string& AName) const;

  TComponentState ComponentState() const { return FComponentState; }
  bool IsLoading() const { return (FComponentState & csLoading) != 0; }
  bool IsReading() const { return (FComponentState & csReading) != 0; }
  bool IsDestroying() const { return (FComponentState & csDestroying) != 0; }

  void FreeNotification(TComponent* AComponent);
  void RemoveFreeNotification(TComponent* AComponent);

  void BeginLoading();
  void EndLoading();

 protected:
  virtual void Notification(TComponent* AComponent, TOperation Operation);
  virtual void Loaded();
  // Marks the component as being destroyed and tells the components that
  // asked for it. Descendants whose destructors need the component intact
  // while others are told call it first; it runs once.
  void Destroying();
  // Destroys the owned components, newest first. The destructor does it; a
  // descendant that must outlive its owned components in part calls it first.
  void DestroyComponents();

 private:
  void InsertComponent(TComponent* AComponent);
  void RemoveComponent(TComponent* AComponent);
  void NotifyAll(TComponent* AComponent, TOperation Operation);
  void RemoveNotification(TComponent* AComponent);

  TComponent* FOwner = nullptr;
  std::string FName;
  std::intptr_t FTag = 0;
  TComponentState FComponentState = 0;
  std::vector<std::unique_ptr<TComponent>> FComponents;
  std::vector<TComponent*> FFreeNotifies;  // mutual, non-owning
  bool FNotified = false;
};

}  // namespace qvl

#pragma GCC visibility pop
