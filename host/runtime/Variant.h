#pragma once
// Variant: a value of one of the host's variant types.
//
// Unassigned (varEmpty) and Null (varNull) are different values: a field's
// NewValue is Unassigned when it did not change, and Null when it was set to
// no value. Exact numerics (varBcd) are kept as normalised decimal text, so
// no digit is lost on the way between a server and a parameter; SQL's
// special decimals are the texts "NaN", "Infinity" and "-Infinity", each
// equal only to itself.
//
// Conversions (As..., AsType) raise EVariantError when a value cannot be
// represented in the asked type: Null to anything but Null, text that is not
// a number or a date, a number out of range, an array to a scalar.
//
// Equality: Null equals Null, Unassigned equals Unassigned; numbers (boolean,
// integers, double, exact numeric) compare by value; text against a number or
// a date is first converted to the other type (raising EVariantError when it
// cannot be); text compares byte for byte, also against a byte array; arrays
// compare element by element.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "qvl/host/runtime/DateTime.h"

#pragma GCC visibility push(default)

namespace qvl {

using TBytes = std::vector<std::uint8_t>;

enum TVarType : std::uint8_t {
  varEmpty,
  varNull,
  varBoolean,
  varInteger,  // 32-bit signed
  varInt64,
  varDouble,
  varBcd,  // exact decimal, kept as text
  varDate,
  varString,
  varBytes,
  varArray,
};

const char* VarTypeName(TVarType Type);

class Variant {
 public:
  Variant() = default;  // Unassigned
  Variant(bool Value) : FValue(Value) {}
  Variant(std::int32_t Value) : FValue(Value) {}
  Variant(std::int64_t Value) : FValue(Value) {}
  Variant(double Value) : FValue(Value) {}
  Variant(const char* Value) : FValue(std::string(Value)) {}
  Variant(std::string Value) : FValue(std::move(Value)) {}
  Variant(TDateTime Value) : FValue(Value) {}
  Variant(TBytes Value) : FValue(std::move(Value)) {}
  Variant(std::vector<Variant> Items);

  static Variant Null();
  // Raises EVariantError when Decimal is not a decimal number.
  static Variant Bcd(const std::string& Decimal);

  TVarType VarType() const { return static_cast<TVarType>(FValue.index()); }
  bool IsEmpty() const { return VarType() == varEmpty; }
  bool IsNull() const { return VarType() == varNull; }
  bool IsArray() const { return VarType() == varArray; }
  bool IsNumeric() const;

  bool AsBoolean() const;
  std::int32_t AsInteger() const;
  std::int64_t AsInt64() const;
  double AsFloat() const;
  std::string AsBcd() const;  // normalised decimal text
  TDateTime AsDateTime() const;
  std::string AsString() const;
  TBytes AsBytes() const;
  // The held text or bytes themselves, for a reader that must not copy
  // them; null when the value holds another type.
  const std::string* StringPtr() const noexcept { return std::get_if<std::string>(&FValue); }
  const TBytes* BytesPtr() const noexcept { return std::get_if<TBytes>(&FValue); }

  // The value converted to Type (VarAsType). Empty and Null convert to
  // themselves only; converting to varEmpty or varNull gives those.
  Variant AsType(TVarType Type) const;

  // Array access; raise EVariantError on a scalar or an index out of range.
  std::size_t ArrayCount() const;
  const Variant& operator[](std::size_t Index) const;
  const std::vector<Variant>& Items() const;

  friend bool operator==(const Variant& A, const Variant& B);

 private:
  struct NullTag {
    friend bool operator==(NullTag, NullTag) { return true; }
  };
  struct BcdValue {
    std::string Text;
  };
  using Array = std::shared_ptr<const std::vector<Variant>>;
  std::variant<std::monostate, NullTag, bool, std::int32_t, std::int64_t, double, BcdValue,
               TDateTime, std::string, TBytes, Array>
      FValue;

  [[noreturn]] void CannotConvert(TVarType To) const;
};

// Text of a value, the empty string for Null and Unassigned.
std::string VarToStr(const Variant& Value);
inline bool VarIsNull(const Variant& Value) {
  return Value.IsNull();
}
inline bool VarIsEmpty(const Variant& Value) {
  return Value.IsEmpty();
}
inline bool VarIsArray(const Variant& Value) {
  return Value.IsArray();
}
Variant VarArrayOf(std::vector<Variant> Items);

// Decimal text helpers for exact numerics.
bool IsDecimalText(const std::string& Text);
// "NaN", "Infinity" or "-Infinity": SQL's decimals that are no number.
bool IsSpecialDecimal(std::string_view Text);
// Strips leading zeros of the integer part, trailing zeros of the fraction, a
// lone point and the sign of zero: "-007.500" gives "-7.5".
std::string NormalizeDecimal(const std::string& Text);
// -1, 0 or 1; both arguments must be decimal text.
int CompareDecimal(const std::string& A, const std::string& B);

}  // namespace qvl

#pragma GCC visibility pop
