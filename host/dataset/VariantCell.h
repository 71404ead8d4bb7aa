#pragma once
// TVariantCell: one value of a variant field (TVariantField) as a record
// keeps it, in 16 bytes, with the kind it was stored with.
//
// A database that does not hold a column's values to its declared type gives
// each value its own kind; the cell keeps that kind and the value, so that
// the value reads back exactly and is written back as it was read. Numbers
// and short text or bytes lie in the cell itself; longer text or bytes lie in
// a shared TBlobByteData that the cell refers to, so that copying a record
// copies no bytes. Layout (bytes):
//
//   0      1  kind           TVariantKind; 0 is null (an all-zero cell is null)
//   vkInteger, vkReal:
//   8      8  value          int64 or double, native byte order
//   vkText, vkBytes, vkDecimal:
//   1      1  length         0 to kInlineBytes: the bytes lie in the cell, at 2;
//                            kOutOfLine: they lie in a TBlobByteData
//   2     14  bytes          in place (unused bytes are zero)
//   8      8  reference      out of line: the TBlobByteData's slot (see
//                            BlobByteData.h), which counts the cell as a holder
//
// An empty text or byte value is a value of length 0, distinct from null.
// Values up to kInlineBytes bytes always lie in place, longer ones always out
// of line, and unused bytes are zero: two cells that hold equal values in
// place are equal byte for byte.
//
// TVariantCell owns its hold: copies share the out-of-line bytes (counted),
// the destructor lets go. Records keep cells in raw memory: the Slot*
// functions work on such kSize-byte slots, TVariantCellView reads a cell
// where it lies without counting a holder, and a cell made in place in a
// null slot (it has no alignment of its own) may be filled and left there,
// its hold then the record's. Not thread-safe, as TBlobByteData.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "qvl/host/runtime/BlobByteData.h"
#include "qvl/host/runtime/Variant.h"

#pragma GCC visibility push(default)

namespace qvl {

// The kinds, with their variant types: vkInteger varInt64, vkReal
// varDouble, vkText varString, vkBytes varBytes, vkDecimal varBcd (an exact
// decimal of any width as the database wrote it: digits, "NaN", "Infinity",
// "-Infinity").
enum TVariantKind : std::uint8_t {
  vkNull = 0,
  vkInteger = 'I',
  vkReal = 'R',
  vkText = 'T',
  vkBytes = 'B',
  vkDecimal = 'N',
};

// A look at a cell where it lies (a record's slot, a TVariantCell's bytes),
// valid while that cell keeps its value; a null address reads as null.
class TVariantCellView {
 public:
  explicit TVariantCellView(const void* Cell) noexcept
      : FCell(static_cast<const std::uint8_t*>(Cell)) {}

  TVariantKind Kind() const noexcept {
    return FCell == nullptr ? vkNull : static_cast<TVariantKind>(FCell[0]);
  }
  bool IsNull() const noexcept { return Kind() == vkNull; }
  // An integer, a real or a decimal.
  bool IsNumber() const noexcept {
    const TVariantKind k = Kind();
    return k == vkInteger || k == vkReal || k == vkDecimal;
  }
  // The number of a vkInteger or vkReal cell.
  std::int64_t Integer() const noexcept { return Load<std::int64_t>(); }
  double Real() const noexcept { return Load<double>(); }
  // The bytes of a vkText, vkBytes or vkDecimal cell (no terminator).
  const std::uint8_t* Data() const noexcept {
    return FCell[1] == kOutOfLine ? TBlobByteData::SlotData(FCell + 8) : FCell + 2;
  }
  std::size_t Length() const noexcept {
    return FCell[1] == kOutOfLine ? TBlobByteData::SlotLength(FCell + 8) : FCell[1];
  }
  std::string_view Text() const noexcept {
    return {reinterpret_cast<const char*>(Data()), Length()};
  }

  // The value as a variant of its kind's type (Null for null). A cell whose
  // kind is none of the above raises EDatabaseError.
  Variant ToVariant() const;
  // The value as text: text and bytes as they are, decimals digit for digit
  // as written, integers in decimal, reals in their shortest exact form
  // (RealText); "" for null.
  std::string ToString() const;
  // Same kind and same bytes (a NaN equals itself here).
  bool SameValue(const TVariantCellView& Other) const noexcept;

  static constexpr std::uint8_t kOutOfLine = 0xFF;

 private:
  template <class T>
  T Load() const noexcept {
    T value;
    std::memcpy(&value, FCell + 8, sizeof value);
    return value;
  }
  [[noreturn]] void BadKind() const;
  const std::uint8_t* FCell;
};

class TVariantCell {
 public:
  static constexpr std::size_t kSize = 16;
  static constexpr std::size_t kInlineBytes = 14;

  TVariantCell() noexcept : FBytes{} {}  // null
  TVariantCell(const TVariantCell& Other) noexcept : TVariantCell() { SlotAssign(FBytes, Other); }
  TVariantCell(TVariantCell&& Other) noexcept : TVariantCell() {
    SlotMove(FBytes, std::move(Other));
  }
  TVariantCell& operator=(const TVariantCell& Other) noexcept {
    if (this != &Other) SlotAssign(FBytes, Other);
    return *this;
  }
  TVariantCell& operator=(TVariantCell&& Other) noexcept {
    if (this != &Other) SlotMove(FBytes, std::move(Other));
    return *this;
  }
  ~TVariantCell() { SlotRelease(FBytes); }

  TVariantCellView View() const noexcept { return TVariantCellView(FBytes); }
  TVariantKind Kind() const noexcept { return View().Kind(); }
  bool IsNull() const noexcept { return Kind() == vkNull; }

  void Clear() noexcept { SlotRelease(FBytes); }
  void SetInteger(std::int64_t Value) noexcept { SetNumber(vkInteger, &Value); }
  void SetReal(double Value) noexcept { SetNumber(vkReal, &Value); }
  // Kind is vkText, vkBytes or vkDecimal; Size bytes from Data are copied.
  void SetBytes(TVariantKind Kind, const void* Data, std::size_t Size);

  // The cell of a variant's value: integers (and booleans, as 0 and 1) are
  // vkInteger, doubles vkReal, bytes vkBytes, exact decimals vkDecimal, Null
  // and Unassigned null, anything else its text (vkText).
  static TVariantCell FromVariant(const Variant& Value);
  // The shortest text that reads back as the same double, in fixed notation
  // for exponents from -4 to 15 and scientific beyond, with ".0" on a whole
  // number so that it still reads as a real.
  static std::string RealText(double Value);

  // ---- raw record slots (kSize bytes, all zero = null) ----
  // A counted copy of the slot's value.
  static TVariantCell SlotGet(const void* Slot) noexcept {
    TVariantCell out;
    std::memcpy(out.FBytes, Slot, kSize);
    AddRefBytes(out.FBytes);
    return out;
  }
  // The slot holds Value too; what it held before is let go.
  static void SlotAssign(void* Slot, const TVariantCell& Value) noexcept {
    // Taken first: Value may be the slot's own bytes.
    std::uint8_t bytes[kSize];
    std::memcpy(bytes, Value.FBytes, kSize);
    AddRefBytes(bytes);
    SlotRelease(Slot);
    std::memcpy(Slot, bytes, kSize);
  }
  // Hands Value's hold to the slot (Value ends null); what the slot held is
  // let go.
  static void SlotMove(void* Slot, TVariantCell&& Value) noexcept {
    if (Slot == Value.FBytes) return;
    SlotRelease(Slot);
    std::memcpy(Slot, Value.FBytes, kSize);
    std::memset(Value.FBytes, 0, kSize);
  }
  // Lets go of the slot's value and leaves it null.
  static void SlotRelease(void* Slot) noexcept {
    auto* bytes = static_cast<std::uint8_t*>(Slot);
    if (OutOfLine(bytes)) TBlobByteData::SlotRelease(bytes + 8);
    std::memset(bytes, 0, kSize);
  }
  // Counts one more holder for a slot whose bytes were copied raw.
  static void SlotAddRef(void* Slot) noexcept { AddRefBytes(static_cast<std::uint8_t*>(Slot)); }
  // Holders of the slot's out-of-line bytes (0 when they lie in place).
  static std::size_t SlotRefCount(const void* Slot) noexcept {
    const auto* bytes = static_cast<const std::uint8_t*>(Slot);
    return OutOfLine(bytes) ? TBlobByteData::SlotRefCount(bytes + 8) : 0;
  }

 private:
  static bool OutOfLine(const std::uint8_t* Bytes) noexcept {
    return Bytes[0] != vkNull && Bytes[0] != vkInteger && Bytes[0] != vkReal &&
           Bytes[1] == TVariantCellView::kOutOfLine;
  }
  static void AddRefBytes(const std::uint8_t* Bytes) noexcept {
    if (OutOfLine(Bytes)) TBlobByteData::SlotAddRef(const_cast<std::uint8_t*>(Bytes) + 8);
  }
  void SetNumber(TVariantKind Kind, const void* Value) noexcept {
    SlotRelease(FBytes);
    FBytes[0] = Kind;
    std::memcpy(FBytes + 8, Value, 8);
  }

  // No alignment of its own: a cell may be made in place in a record's slot.
  std::uint8_t FBytes[kSize];
};

static_assert(sizeof(TVariantCell) == TVariantCell::kSize, "a cell is its 16 bytes");

}  // namespace qvl

#pragma GCC visibility pop
