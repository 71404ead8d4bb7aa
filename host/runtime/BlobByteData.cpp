#include "qvl/host/runtime/BlobByteData.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace qvl {

TBlobByteData::Rep* TBlobByteData::NewRep(const void* Data, std::size_t Size, std::size_t Copy) {
  void* block = std::malloc(sizeof(Rep) + Size);
  if (block == nullptr) throw std::bad_alloc();
  Rep* rep = new (block) Rep{1, Size};
  if (Copy > 0) std::memcpy(rep->Bytes(), Data, Copy);
  if (Copy < Size) std::memset(rep->Bytes() + Copy, 0, Size - Copy);
  return rep;
}

TBlobByteData::TBlobByteData(const void* Data, std::size_t Size) : FRep(NewRep(Data, Size, Size)) {}

TBlobByteData::TBlobByteData(const TBlobByteData& Other) noexcept : FRep(Other.FRep) {
  if (FRep) ++FRep->Refs;
}

TBlobByteData& TBlobByteData::operator=(const TBlobByteData& Other) noexcept {
  if (Other.FRep) ++Other.FRep->Refs;
  Release();
  FRep = Other.FRep;
  return *this;
}

void TBlobByteData::Free(Rep* R) noexcept {
  R->~Rep();
  std::free(R);
}

void TBlobByteData::MakeUnique() {
  if (FRep && FRep->Refs > 1) {
    Rep* copy = NewRep(FRep->Bytes(), FRep->Length, FRep->Length);
    Release();
    FRep = copy;
  }
}

std::uint8_t* TBlobByteData::MutableData() {
  MakeUnique();
  return FRep ? FRep->Bytes() : nullptr;
}

void TBlobByteData::SetLength(std::size_t NewLength) {
  if (FRep != nullptr && NewLength == FRep->Length) {
    MakeUnique();
    return;
  }
  Rep* fresh = NewRep(Data(), NewLength, std::min(Length(), NewLength));
  Release();
  FRep = fresh;
}

std::vector<std::uint8_t> TBlobByteData::ToBytes() const {
  return FRep ? std::vector<std::uint8_t>(FRep->Bytes(), FRep->Bytes() + FRep->Length)
              : std::vector<std::uint8_t>();
}

std::string TBlobByteData::ToString() const {
  return FRep ? std::string(reinterpret_cast<const char*>(FRep->Bytes()), FRep->Length)
              : std::string();
}

bool operator==(const TBlobByteData& A, const TBlobByteData& B) {
  return A.IsNull() == B.IsNull() && A.Length() == B.Length() &&
         (A.Length() == 0 || std::memcmp(A.Data(), B.Data(), A.Length()) == 0);
}

// ---- slots ------------------------------------------------------------------

void TBlobByteData::SlotAssign(void* Slot, const TBlobByteData& Value) {
  TBlobByteData old;
  old.FRep = LoadRep(Slot);  // released when `old` goes
  if (Value.FRep) ++Value.FRep->Refs;
  StoreRep(Slot, Value.FRep);
}

void TBlobByteData::SlotRelease(void* Slot) noexcept {
  TBlobByteData old;
  old.FRep = LoadRep(Slot);
  StoreRep(Slot, nullptr);
}

void TBlobByteData::SlotAddRef(void* Slot) noexcept {
  if (Rep* rep = LoadRep(Slot)) ++rep->Refs;
}

std::size_t TBlobByteData::SlotLength(const void* Slot) noexcept {
  Rep* rep = LoadRep(Slot);
  return rep ? rep->Length : 0;
}

std::size_t TBlobByteData::SlotRefCount(const void* Slot) noexcept {
  Rep* rep = LoadRep(Slot);
  return rep ? rep->Refs : 0;
}

void TBlobByteData::SlotSetLength(void* Slot, std::size_t NewLength) {
  TBlobByteData value;
  value.FRep = LoadRep(Slot);  // adopt the slot's hold
  StoreRep(Slot, nullptr);
  try {
    value.SetLength(NewLength);
  } catch (...) {
    StoreRep(Slot, value.FRep);
    value.FRep = nullptr;
    throw;
  }
  StoreRep(Slot, value.FRep);
  value.FRep = nullptr;
}

std::uint8_t* TBlobByteData::SlotMutableData(void* Slot) {
  SlotSetLength(Slot, SlotLength(Slot));
  return const_cast<std::uint8_t*>(SlotData(Slot));
}

}  // namespace qvl
