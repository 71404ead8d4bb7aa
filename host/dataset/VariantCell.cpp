#include "qvl/host/dataset/VariantCell.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "qvl/host/dataset/DBConsts.h"
#include "qvl/host/runtime/Exceptions.h"

namespace qvl {

// ---- TVariantCellView --------------------------------------------------------------

Variant TVariantCellView::ToVariant() const {
  switch (Kind()) {
    case vkNull:
      return Variant::Null();
    case vkInteger:
      return Variant(Integer());
    case vkReal:
      return Variant(Real());
    case vkText:
      return Variant(std::string(Text()));
    case vkBytes:
      return Variant(TBytes(Data(), Data() + Length()));
    case vkDecimal:
      return Variant::Bcd(std::string(Text()));
  }
  BadKind();
}

std::string TVariantCellView::ToString() const {
  switch (Kind()) {
    case vkNull:
      return std::string();
    case vkInteger:
      return std::to_string(Integer());
    case vkReal:
      return TVariantCell::RealText(Real());
    case vkText:
    case vkBytes:
    case vkDecimal:
      return std::string(Text());
  }
  BadKind();
}

void TVariantCellView::BadKind() const {
  DatabaseErrorFmt(SInvalidVariantData,
                   {std::to_string(FCell[0]), std::to_string(TVariantCell::kSize)});
}

bool TVariantCellView::SameValue(const TVariantCellView& Other) const noexcept {
  const TVariantKind kind = Kind();
  if (kind != Other.Kind()) return false;
  switch (kind) {
    case vkNull:
      return true;
    case vkInteger:
    case vkReal:
      return std::memcmp(FCell + 8, Other.FCell + 8, 8) == 0;
    default: {
      const std::size_t n = Length();
      return n == Other.Length() && (n == 0 || std::memcmp(Data(), Other.Data(), n) == 0);
    }
  }
}

// ---- TVariantCell ------------------------------------------------------------------

void TVariantCell::SetBytes(TVariantKind Kind, const void* Data, std::size_t Size) {
  if (Size > kInlineBytes) {
    // Allocated before the old value goes: a failure leaves the cell as it was.
    TBlobByteData bytes(Data, Size);
    SlotRelease(FBytes);
    FBytes[0] = Kind;
    FBytes[1] = TVariantCellView::kOutOfLine;
    TBlobByteData::SlotMove(FBytes + 8, std::move(bytes));
    return;
  }
  SlotRelease(FBytes);
  FBytes[0] = Kind;
  FBytes[1] = static_cast<std::uint8_t>(Size);
  if (Size > 0) std::memcpy(FBytes + 2, Data, Size);
}

TVariantCell TVariantCell::FromVariant(const Variant& Value) {
  TVariantCell cell;
  switch (Value.VarType()) {
    case varEmpty:
    case varNull:
      break;
    case varBoolean:
    case varInteger:
    case varInt64:
      cell.SetInteger(Value.AsInt64());
      break;
    case varDouble:
      cell.SetReal(Value.AsFloat());
      break;
    case varBytes: {
      const TBytes& b = *Value.BytesPtr();
      cell.SetBytes(vkBytes, b.data(), b.size());
      break;
    }
    case varBcd: {
      const std::string t = Value.AsBcd();
      cell.SetBytes(vkDecimal, t.data(), t.size());
      break;
    }
    case varString: {
      const std::string& t = *Value.StringPtr();
      cell.SetBytes(vkText, t.data(), t.size());
      break;
    }
    default: {
      const std::string t = Value.AsString();
      cell.SetBytes(vkText, t.data(), t.size());
      break;
    }
  }
  return cell;
}

std::string TVariantCell::RealText(double Value) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, Value, std::chars_format::scientific);
  std::string out(buf, r.ptr);
  const std::size_t e = out.find('e');
  if (e != std::string::npos) {
    const int exponent = std::atoi(out.c_str() + e + 1);
    if (exponent >= -4 && exponent < 16) {
      r = std::to_chars(buf, buf + sizeof buf, Value, std::chars_format::fixed);
      out.assign(buf, r.ptr);
    }
  }
  if (std::isfinite(Value) && out.find_first_of(".e") == std::string::npos) out += ".0";
  return out;
}

}  // namespace qvl
