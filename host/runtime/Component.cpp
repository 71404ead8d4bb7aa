#include "qvl/host/runtime/Component.h"

#include <algorithm>

#include "qvl/host/runtime/Exceptions.h"
#include "qvl/host/runtime/RTLConsts.h"
#include "qvl/host/runtime/Strings.h"

namespace qvl {

namespace {
bool IsValidIdent(const std::string& s) {
  if (s.empty()) return false;
  auto alpha = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (!alpha(s[0])) return false;
  return std::all_of(s.begin() + 1, s.end(),
                     [&](char c) { return alpha(c) || (c >= '0' && c <= '9'); });
}
}  // namespace

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner != nullptr) AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  Destroying();
  // Owned components go first, newest first, while this one is still whole.
  DestroyComponents();
  if (FOwner != nullptr) FOwner->RemoveComponent(this);
}

void TComponent::Destroying() {
  if (FNotified) return;
  FNotified = true;
  FComponentState |= csDestroying;
  // Each notified component unlinks itself, so work on a snapshot.
  while (!FFreeNotifies.empty()) {
    TComponent* other = FFreeNotifies.back();
    FFreeNotifies.pop_back();
    other->RemoveNotification(this);
    other->Notification(this, opRemove);
  }
  for (auto& c : FComponents) c->Destroying();
}

void TComponent::DestroyComponents() {
  while (!FComponents.empty()) {
    std::unique_ptr<TComponent> last = std::move(FComponents.back());
    FComponents.pop_back();
    last->FOwner = nullptr;
    Notification(last.get(), opRemove);
    last.reset();
  }
}

TComponent* TComponent::Components(int Index) const {
  if (Index < 0 || Index >= ComponentCount())
    throw EListError(Format(SListIndexError, {std::to_string(Index)}));
  return FComponents[static_cast<std::size_t>(Index)].get();
}

TComponent* TComponent::FindComponent(const std::string& AName) const {
  if (AName.empty()) return nullptr;
  for (const auto& c : FComponents)
    if (SameTextAscii(c->FName, AName)) return c.get();
  return nullptr;
}

void TComponent::SetName(const std::string& NewName) {
  if (NewName == FName) return;
  if (!NewName.empty() && !IsValidIdent(NewName))
    throw EComponentError(Format(SInvalidComponentName, {NewName}));
  if (FOwner != nullptr && !NewName.empty()) {
    TComponent* other = FOwner->FindComponent(NewName);
    if (other != nullptr && other != this)
      throw EComponentError(Format(SDuplicateComponentName, {NewName}));
  }
  FName = NewName;
}

void TComponent::InsertComponent(TComponent* AComponent) {
  if (!AComponent->FName.empty() && FindComponent(AComponent->FName) != nullptr)
    throw EComponentError(Format(SDuplicateComponentName, {AComponent->FName}));
  FComponents.emplace_back(AComponent);
  AComponent->FOwner = this;
  NotifyAll(AComponent, opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
  auto it = std::find_if(FComponents.begin(), FComponents.end(),
                         [&](const auto& p) { return p.get() == AComponent; });
  if (it == FComponents.end()) return;
  // The component is being destroyed by its own delete: give up ownership
  // without destroying it a second time.
  it->release();
  FComponents.erase(it);
  AComponent->FOwner = nullptr;
  NotifyAll(AComponent, opRemove);
}

void TComponent::NotifyAll(TComponent* AComponent, TOperation Operation) {
  Notification(AComponent, Operation);
}

void TComponent::FreeNotification(TComponent* AComponent) {
  if (AComponent == nullptr || AComponent == this) return;
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end())
    FFreeNotifies.push_back(AComponent);
  if (std::find(AComponent->FFreeNotifies.begin(), AComponent->FFreeNotifies.end(), this) ==
      AComponent->FFreeNotifies.end())
    AComponent->FFreeNotifies.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
  if (AComponent == nullptr) return;
  RemoveNotification(AComponent);
  AComponent->RemoveNotification(this);
}

void TComponent::RemoveNotification(TComponent* AComponent) {
  auto it = std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent);
  if (it != FFreeNotifies.end()) FFreeNotifies.erase(it);
}

void TComponent::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove && AComponent != nullptr) RemoveFreeNotification(AComponent);
  // Pass the news on to what this component owns (snapshot: handlers may
  // destroy components).
  std::vector<TComponent*> owned;
  owned.reserve(FComponents.size());
  for (auto& c : FComponents) owned.push_back(c.get());
  for (TComponent* c : owned)
    if (c != AComponent) c->Notification(AComponent, Operation);
}

void TComponent::BeginLoading() {
  FComponentState |= csLoading | csReading;
}

void TComponent::EndLoading() {
  FComponentState &= static_cast<TComponentState>(~csReading);
  Loaded();
}

void TComponent::Loaded() {
  FComponentState &= static_cast<TComponentState>(~csLoading);
}

}  // namespace qvl
