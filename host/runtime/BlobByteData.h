#pragma once
// TBlobByteData: a reference-counted byte array the size of one pointer.
//
// Copies share the bytes and count holders; the bytes go when the last
// holder lets go. A null reference is null; an empty array (a value of no
// bytes, as SQL's '') is an array of length 0, distinct from null. Changing the bytes (MutableData,
// SetLength) first gives this holder its own copy if others share the array, so they keep theirs.
// Not thread-safe: a dataset and its arrays live on one thread.
//
// Record slots: the engine keeps arrays inside raw record memory, where a
// zero-filled slot is null. The Slot* functions work on such
// pointer-sized slots without constructing objects in them.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#pragma GCC visibility push(default)

namespace qvl {

class TBlobByteData {
 public:
  TBlobByteData() noexcept = default;
  TBlobByteData(const void* Data, std::size_t Size);
  explicit TBlobByteData(const std::vector<std::uint8_t>& Bytes)
      : TBlobByteData(Bytes.data(), Bytes.size()) {}
  explicit TBlobByteData(const std::string& Bytes) : TBlobByteData(Bytes.data(), Bytes.size()) {}
  TBlobByteData(const TBlobByteData& Other) noexcept;
  TBlobByteData(TBlobByteData&& Other) noexcept : FRep(Other.FRep) { Other.FRep = nullptr; }
  TBlobByteData& operator=(const TBlobByteData& Other) noexcept;
  TBlobByteData& operator=(TBlobByteData&& Other) noexcept {
    if (this != &Other) {
      Release();
      FRep = Other.FRep;
      Other.FRep = nullptr;
    }
    return *this;
  }
  ~TBlobByteData() { Release(); }

  std::size_t Length() const noexcept { return FRep ? FRep->Length : 0; }
  bool IsNull() const noexcept { return FRep == nullptr; }
  // No bytes: null or an empty array.
  bool IsEmpty() const noexcept { return Length() == 0; }
  const std::uint8_t* Data() const noexcept { return FRep ? FRep->Bytes() : nullptr; }
  // The bytes, unshared first.
  std::uint8_t* MutableData();
  // Resizes to NewLength; new bytes are zero. Length 0 leaves an empty array.
  void SetLength(std::size_t NewLength);
  // Gives this holder its own copy when the array is shared.
  void MakeUnique();
  // Number of holders of the array (0 for null).
  std::size_t RefCount() const noexcept { return FRep ? FRep->Refs : 0; }
  // Makes it null.
  void Clear() noexcept { Release(); }
  // An empty array, not null.
  static TBlobByteData Empty() { return TBlobByteData("", 0); }

  std::vector<std::uint8_t> ToBytes() const;
  std::string ToString() const;
  // Null equals only null.
  friend bool operator==(const TBlobByteData& A, const TBlobByteData& B);

  // ---- raw record slots (sizeof(void*) bytes, zero = null) ----
  static constexpr std::size_t kSlotSize = sizeof(void*);
  static TBlobByteData SlotGet(const void* Slot) noexcept {  // a shared reference
    TBlobByteData out;
    out.FRep = LoadRep(Slot);
    if (out.FRep) ++out.FRep->Refs;
    return out;
  }
  static void SlotAssign(void* Slot, const TBlobByteData& Value);  // releases the old content
  // Hands Value's hold to the slot (Value ends empty); releases the old content.
  static void SlotMove(void* Slot, TBlobByteData&& Value) noexcept {
    TBlobByteData old;
    old.FRep = LoadRep(Slot);
    StoreRep(Slot, Value.FRep);
    Value.FRep = nullptr;
  }
  static void SlotRelease(void* Slot) noexcept;  // leaves the slot null
  // Counts one more holder for a slot whose bytes were copied raw.
  static void SlotAddRef(void* Slot) noexcept;
  static std::size_t SlotLength(const void* Slot) noexcept;
  static std::size_t SlotRefCount(const void* Slot) noexcept;
  static const std::uint8_t* SlotData(const void* Slot) noexcept {
    Rep* rep = LoadRep(Slot);
    return rep ? rep->Bytes() : nullptr;
  }
  // Resizes the slot's array (copy first if shared); new bytes are zero.
  static void SlotSetLength(void* Slot, std::size_t NewLength);
  // The slot's bytes, unshared first.
  static std::uint8_t* SlotMutableData(void* Slot);

 private:
  // The bytes follow the header in the same block.
  struct Rep {
    std::size_t Refs;
    std::size_t Length;
    std::uint8_t* Bytes() { return reinterpret_cast<std::uint8_t*>(this + 1); }
  };
  // A slot holds the Rep pointer itself; memcpy keeps the access free of
  // aliasing and alignment assumptions about record memory.
  static Rep* LoadRep(const void* Slot) noexcept {
    Rep* rep;
    std::memcpy(&rep, Slot, sizeof rep);
    return rep;
  }
  static void StoreRep(void* Slot, Rep* Value) noexcept { std::memcpy(Slot, &Value, sizeof Value); }
  void Release() noexcept {
    if (FRep && --FRep->Refs == 0) Free(FRep);
    FRep = nullptr;
  }
  static void Free(Rep* R) noexcept;
  static Rep* NewRep(const void* Data, std::size_t Size, std::size_t Copy);
  Rep* FRep = nullptr;
};

static_assert(sizeof(TBlobByteData) == sizeof(void*), "a blob reference is one pointer");

}  // namespace qvl

#pragma GCC visibility pop
