#include "qvl/host/dataset/Field.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "qvl/host/dataset/DBConsts.h"
#include "qvl/host/dataset/DataSet.h"
#include "qvl/host/runtime/Exceptions.h"
#include "qvl/host/runtime/Stream.h"
#include "qvl/host/runtime/Strings.h"

namespace qvl {

// ---- definitions ---------------------------------------------------------------------

TFieldDef::TFieldDef(std::string AName, TFieldType ADataType, int ASize, bool ARequired,
                     int AFieldNo)
    : Name(std::move(AName)),
      DataType(ADataType),
      Size(ASize),
      Required(ARequired),
      FieldNo(AFieldNo) {}

TFieldDef* TFieldDefs::Add(const std::string& Name, TFieldType DataType, int Size, bool Required) {
  FItems.push_back(std::make_unique<TFieldDef>(Name, DataType, Size, Required, Count() + 1));
  return FItems.back().get();
}

TFieldDef* TFieldDefs::Find(const std::string& Name) const {
  for (const auto& d : FItems)
    if (SameTextAscii(d->Name, Name)) return d.get();
  return nullptr;
}

// ---- TField ----------------------------------------------------------------------------

TField::TField(TFieldType DataType, int Size) : FDataType(DataType), FSize(Size) {}
TField::~TField() = default;

std::string TField::GetFullName() const {
  return FParentField ? FParentField->GetFullName() + "." + FFieldName : FFieldName;
}

void TField::CheckWrite() const {
  if (FDataSet == nullptr) DatabaseErrorFmt(SFieldNoDataSet, {GetDisplayName()});
  TDataSetState s = FDataSet->GetState();
  const bool computing = s == dsCalcFields || s == dsFilter || s == dsInternalCalc;
  if (!computing && s != dsEdit && s != dsInsert && s != dsSetKey && s != dsNewValue)
    DatabaseError(SNotEditing, FDataSet);
  if (FReadOnly && !computing) DatabaseErrorFmt(SFieldReadOnly, {GetDisplayName()}, FDataSet);
}

void TField::SetData(const void* Buffer) {
  CheckWrite();
  FDataSet->SetFieldData(this, Buffer);
}

// Every read of every field passes here; the readers below are in this unit,
// so the compiler inlines it into them.
bool TField::GetData(void* Buffer) const {
  return FDataSet != nullptr && FDataSet->GetFieldData(const_cast<TField*>(this), Buffer);
}

bool TField::IsNull() const {
  return !GetData(nullptr);
}

void TField::Change() {
  if (FOnChange) FOnChange(this);
}

void TField::AccessError(const char* TypeName) const {
  DatabaseErrorFmt(SFieldAccessError, {GetDisplayName(), TypeName});
}

void TField::SetAsVariant(const Variant& Value) {
  if (Value.IsNull() || Value.IsEmpty())
    Clear();
  else
    SetAsString(Value.AsString());
}

std::string TField::GetAsString() const {
  return VarToStr(GetAsVariant());
}
void TField::SetAsString(const std::string&) {
  AccessError("String");
}

std::int32_t TField::GetAsInteger() const {
  Variant v = GetAsVariant();
  if (v.IsNull()) return 0;
  return v.AsInteger();
}
void TField::SetAsInteger(std::int32_t Value) {
  SetAsVariant(Variant(Value));
}

std::int64_t TField::GetAsLargeInt() const {
  Variant v = GetAsVariant();
  if (v.IsNull()) return 0;
  return v.AsInt64();
}
void TField::SetAsLargeInt(std::int64_t Value) {
  SetAsVariant(Variant(Value));
}

double TField::GetAsFloat() const {
  Variant v = GetAsVariant();
  if (v.IsNull()) return 0;
  return v.AsFloat();
}
void TField::SetAsFloat(double Value) {
  SetAsVariant(Variant(Value));
}

bool TField::GetAsBoolean() const {
  Variant v = GetAsVariant();
  if (v.IsNull()) return false;
  return v.AsBoolean();
}
void TField::SetAsBoolean(bool Value) {
  SetAsVariant(Variant(Value));
}

TDateTime TField::GetAsDateTime() const {
  Variant v = GetAsVariant();
  if (v.IsNull()) return TDateTime{};
  return v.AsDateTime();
}
void TField::SetAsDateTime(TDateTime Value) {
  SetAsVariant(Variant(Value));
}

namespace {

bool SameValue(const Variant& a, const Variant& b) {
  if (a.IsNull() || b.IsNull()) return a.IsNull() && b.IsNull();
  try {
    return a == b;
  } catch (const EVariantError&) {
    return false;
  }
}

// Reads a value in a temporary state of the field's dataset.
Variant ValueInState(const TField* Field, TDataSetState State) {
  TDataSet* ds = Field->GetDataSet();
  if (ds == nullptr) return Variant::Null();
  TDataSetTempState state(*ds, State);
  return Field->GetAsVariant();
}

}  // namespace

Variant TField::GetOldValue() const {
  return ValueInState(this, dsOldValue);
}

Variant TField::GetNewValue() const {
  Variant value = ValueInState(this, dsNewValue);
  if (FDataSet != nullptr && FDataSet->UpdateStatus() == usInserted)
    return value.IsNull() ? Variant() : value;
  if (SameValue(GetOldValue(), value)) return Variant();
  return value;
}

// ---- strings ---------------------------------------------------------------------------------

TStringField::TStringField(int Size, TFieldType DataType) : TField(DataType, Size) {}

std::string TStringField::GetAsString() const {
  // Straight from the record when the dataset can point at it: no buffer of
  // the field's full width, and no heap for a short value.
  const void* data;
  TDataSet* dataSet = GetDataSet();
  if (dataSet != nullptr && dataSet->PeekFieldData(const_cast<TStringField*>(this), data)) {
    if (data == nullptr) return "";
    const auto* text = static_cast<const char*>(data);
    return std::string(text, strnlen(text, static_cast<std::size_t>(GetDataSize())));
  }
  std::vector<char> buf(static_cast<std::size_t>(GetDataSize()) + 1, '\0');
  if (!GetData(buf.data())) return "";
  return std::string(buf.data());
}

void TStringField::SetAsString(const std::string& Value) {
  // The buffer would cut the text: refused before anything is written, so
  // the record keeps its value.
  if (Value.size() > static_cast<std::size_t>(GetSize()))
    DatabaseErrorFmt(SFieldTextTooLong,
                     {std::to_string(Value.size()), GetDisplayName(), std::to_string(GetSize())});
  if (Value.find('\0') != std::string::npos)
    DatabaseErrorFmt(SFieldTextHasZeroByte, {GetDisplayName()});
  SetData(Value.c_str());
}

Variant TStringField::GetAsVariant() const {
  if (IsNull()) return Variant::Null();
  return Variant(GetAsString());
}

void TStringField::SetAsVariant(const Variant& Value) {
  if (Value.IsNull() || Value.IsEmpty())
    Clear();
  else
    SetAsString(Value.AsString());
}

// ---- integers -----------------------------------------------------------------------------------

TIntegerFieldBase::TIntegerFieldBase(TFieldType DataType, int Bytes, bool Unsigned)
    : TField(DataType), FBytes(Bytes), FUnsigned(Unsigned) {}

std::int64_t TIntegerFieldBase::GetAsLargeInt() const {
  std::uint8_t buf[8] = {};
  if (!GetData(buf)) return 0;
  switch (FBytes) {
    case 2: {
      if (FUnsigned) {
        std::uint16_t v;
        std::memcpy(&v, buf, 2);
        return v;
      }
      std::int16_t v;
      std::memcpy(&v, buf, 2);
      return v;
    }
    case 4: {
      std::int32_t v;
      std::memcpy(&v, buf, 4);
      return v;
    }
    default: {
      std::int64_t v;
      std::memcpy(&v, buf, 8);
      return v;
    }
  }
}

void TIntegerFieldBase::SetAsLargeInt(std::int64_t Value) {
  std::int64_t lo, hi;
  switch (FBytes) {
    case 2:
      lo = FUnsigned ? 0 : std::numeric_limits<std::int16_t>::min();
      hi = FUnsigned ? std::numeric_limits<std::uint16_t>::max()
                     : std::numeric_limits<std::int16_t>::max();
      break;
    case 4:
      lo = std::numeric_limits<std::int32_t>::min();
      hi = std::numeric_limits<std::int32_t>::max();
      break;
    default:
      lo = std::numeric_limits<std::int64_t>::min();
      hi = std::numeric_limits<std::int64_t>::max();
  }
  if (Value < lo || Value > hi)
    DatabaseErrorFmt(SFieldRangeError, {std::to_string(Value), GetDisplayName()});
  std::uint8_t buf[8];
  if (FBytes == 2) {
    if (FUnsigned) {
      std::uint16_t v = static_cast<std::uint16_t>(Value);
      std::memcpy(buf, &v, 2);
    } else {
      std::int16_t v = static_cast<std::int16_t>(Value);
      std::memcpy(buf, &v, 2);
    }
  } else if (FBytes == 4) {
    std::int32_t v = static_cast<std::int32_t>(Value);
    std::memcpy(buf, &v, 4);
  } else {
    std::memcpy(buf, &Value, 8);
  }
  SetData(buf);
}

std::int32_t TIntegerFieldBase::GetAsInteger() const {
  std::int64_t v = GetAsLargeInt();
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
    DatabaseErrorFmt(SFieldOutOfRange, {GetDisplayName()});
  return static_cast<std::int32_t>(v);
}

Variant TIntegerFieldBase::GetAsVariant() const {
  if (IsNull()) return Variant::Null();
  std::int64_t v = GetAsLargeInt();
  if (FBytes == 8) return Variant(v);
  return Variant(static_cast<std::int32_t>(v));
}

void TIntegerFieldBase::SetAsVariant(const Variant& Value) {
  if (Value.IsNull() || Value.IsEmpty())
    Clear();
  else if (Value.VarType() == varString)
    SetAsString(Value.AsString());
  else
    SetAsLargeInt(Value.AsInt64());
}

std::string TIntegerFieldBase::GetAsString() const {
  if (IsNull()) return "";
  return std::to_string(GetAsLargeInt());
}

void TIntegerFieldBase::SetAsString(const std::string& Value) {
  if (Value.empty()) {
    Clear();
    return;
  }
  std::int64_t v = 0;
  bool valid;
  try {
    Variant s(Value);
    v = s.AsInt64();
    // A fraction is refused rather than rounded.
    valid = Variant(s.AsFloat()).AsFloat() == static_cast<double>(v) ||
            Value.find('.') == std::string::npos;
  } catch (const EVariantError&) {
    valid = false;
  }
  if (!valid) throw EConvertError(Format(SInvalidIntegerValue, {Value}));
  SetAsLargeInt(v);
}

void TIntegerFieldBase::SetAsFloat(double Value) {
  if (!std::isfinite(Value) || Value < -9223372036854775808.0 || Value >= 9223372036854775808.0)
    DatabaseErrorFmt(SFieldRangeError, {Variant(Value).AsString(), GetDisplayName()});
  SetAsLargeInt(static_cast<std::int64_t>(std::nearbyint(Value)));
}

// ---- booleans -----------------------------------------------------------------------------------

bool TBooleanField::GetAsBoolean() const {
  std::uint16_t v = 0;
  if (!GetData(&v)) return false;
  return v != 0;
}

void TBooleanField::SetAsBoolean(bool Value) {
  std::uint16_t v = Value ? 1 : 0;
  SetData(&v);
}

Variant TBooleanField::GetAsVariant() const {
  if (IsNull()) return Variant::Null();
  return Variant(GetAsBoolean());
}

void TBooleanField::SetAsVariant(const Variant& Value) {
  if (Value.IsNull() || Value.IsEmpty())
    Clear();
  else if (Value.VarType() == varString)
    SetAsString(Value.AsString());
  else
    SetAsBoolean(Value.AsBoolean());
}

std::string TBooleanField::GetAsString() const {
  if (IsNull()) return "";
  return GetAsBoolean() ? "True" : "False";
}

void TBooleanField::SetAsString(const std::string& Value) {
  if (Value.empty()) {
    Clear();
    return;
  }
  if (SameTextAscii(Value, "true") || Value == "1")
    SetAsBoolean(true);
  else if (SameTextAscii(Value, "false") || Value == "0")
    SetAsBoolean(false);
  else
    throw EConvertError(Format(SInvalidBooleanValue, {Value}));
}

// ---- floats -----------------------------------------------------------------

double TFloatField::GetAsFloat() const {
  double v = 0;
  if (!GetData(&v)) return 0;
  return v;
}

void TFloatField::SetAsFloat(double Value) {
  SetData(&Value);
}

Variant TFloatField::GetAsVariant() const {
  if (IsNull()) return Variant::Null();
  return Variant(GetAsFloat());
}

void TFloatField::SetAsVariant(const Variant& Value) {
  if (Value.IsNull() || Value.IsEmpty())
    Clear();
  else if (Value.VarType() == varString)
    SetAsString(Value.AsString());
  else
    SetAsFloat(Value.AsFloat());
}

std::string TFloatField::GetAsString() const {
  double v;
  if (!GetData(&v)) return "";
  // The shortest text that reads back as the same value, as a variant's.
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, v);
  (void)ec;
  return std::string(text, end);
}

void TFloatField::SetAsString(const std::string& Value) {
  if (Value.empty()) {
    Clear();
    return;
  }
  double d;
  try {
    d = Variant(Value).AsFloat();
  } catch (const EVariantError&) {
    throw EConvertError(Format(SInvalidFloatValue, {Value}));
  }
  SetAsFloat(d);
}

std::int32_t TFloatField::GetAsInteger() const {
  if (IsNull()) return 0;
  return Variant(GetAsFloat()).AsInteger();
}

std::int64_t TFloatField::GetAsLargeInt() const {
  if (IsNull()) return 0;
  return Variant(GetAsFloat()).AsInt64();
}

void TFloatField::SetAsLargeInt(std::int64_t Value) {
  double d = static_cast<double>(Value);
  // A 64-bit integer that a double cannot hold exactly would be rounded.
  if (d >= 9223372036854775808.0 || static_cast<std::int64_t>(d) != Value)
    DatabaseErrorFmt(SFieldRangeError, {std::to_string(Value), GetDisplayName()});
  SetAsFloat(d);
}

// ---- exact numerics ---------------------------------------------------------

TBCDField::TBCDField(int Precision, int Scale, TFieldType DataType)
    : TField(DataType, Scale), FPrecision(Precision) {}

std::string TBCDField::GetAsString() const {
  std::vector<char> buf(static_cast<std::size_t>(GetDataSize()) + 1, '\0');
  if (!GetData(buf.data())) return "";
  return std::string(buf.data());
}

void TBCDField::SetAsString(const std::string& Value) {
  if (Value.empty()) {
    Clear();
    return;
  }
  std::string text;
  try {
    text = Variant::Bcd(Value).AsBcd();
  } catch (const EVariantError&) {
    throw EConvertError(Format(SInvalidDecimalValue, {Value}));
  }
  // NaN and the infinities have no digits to count.
  if (text == "NaN" || text == "Infinity" || text == "-Infinity") {
    if (text.size() + 1 > static_cast<std::size_t>(GetDataSize()))
      DatabaseErrorFmt(SFieldRangeError, {Value, GetDisplayName()});
    SetDecimalText(text);
    return;
  }
  // Count digits on both sides of the point: a value that does not fit is
  // refused, never rounded.
  std::string digits = text[0] == '-' ? text.substr(1) : text;
  std::size_t point = digits.find('.');
  int intDigits = static_cast<int>(point == std::string::npos ? digits.size() : point);
  if (intDigits == 1 && digits[0] == '0') intDigits = 0;
  int fracDigits = point == std::string::npos ? 0 : static_cast<int>(digits.size() - point - 1);
  if (fracDigits > GetSize() || intDigits > FPrecision - GetSize())
    DatabaseErrorFmt(SFieldRangeError, {Value, GetDisplayName()});
  SetDecimalText(text);
}

void TBCDField::SetDecimalText(const std::string& Text) {
  // The dataset copies the field's whole width: the text goes in a buffer
  // of that width, zero-filled after it.
  std::vector<char> buf(static_cast<std::size_t>(GetDataSize()) + 1, '\0');
  std::memcpy(buf.data(), Text.data(), std::min(Text.size(), buf.size() - 1));
  SetData(buf.data());
}

Variant TBCDField::GetAsVariant() const {
  if (IsNull()) return Variant::Null();
  return Variant::Bcd(GetAsString());
}

void TBCDField::SetAsVariant(const Variant& Value) {
  if (Value.IsNull() || Value.IsEmpty())
    Clear();
  else
    SetAsString(Value.AsBcd());
}

double TBCDField::GetAsFloat() const {
  if (IsNull()) return 0;
  return Variant::Bcd(GetAsString()).AsFloat();
}

void TBCDField::SetAsFloat(double Value) {
  SetAsString(Variant(Value).AsBcd());
}

std::int64_t TBCDField::GetAsLargeInt() const {
  if (IsNull()) return 0;
  return Variant::Bcd(GetAsString()).AsInt64();
}

void TBCDField::SetAsLargeInt(std::int64_t Value) {
  SetAsString(std::to_string(Value));
}

std::int32_t TBCDField::GetAsInteger() const {
  if (IsNull()) return 0;
  return Variant::Bcd(GetAsString()).AsInteger();
}

// ---- dates and times --------------------------------------------------------

TDateTime TDateTimeField::GetAsDateTime() const {
  std::uint8_t buf[kDateTimeBytes] = {};
  if (!GetData(buf)) return TDateTime{};
  if (GetDataType() == ftDate) {
    std::int32_t days;
    std::memcpy(&days, buf, 4);
    return DateFromDays(days);
  }
  if (GetDataType() == ftTime) {
    std::int64_t micros;
    std::memcpy(&micros, buf, 8);
    return TDateTime::FromMicros(micros);
  }
  return UnpackDateTime(buf);
}

void TDateTimeField::SetAsDateTime(TDateTime Value) {
  std::uint8_t buf[kDateTimeBytes];
  if (GetDataType() == ftDate) {
    std::int32_t days = DatePart(Value);
    std::memcpy(buf, &days, 4);
  } else if (GetDataType() == ftTime) {
    // A time keeps 24:00:00, the end of the day.
    const bool endOfDay = Value.Days == 1 && Value.Time == 0;
    std::int64_t micros = endOfDay ? TDateTime::kMicrosPerDay : TimePart(Value);
    std::memcpy(buf, &micros, 8);
  } else {
    PackDateTime(Value, buf);
  }
  SetData(buf);
}

Variant TDateTimeField::GetAsVariant() const {
  if (IsNull()) return Variant::Null();
  return Variant(GetAsDateTime());
}

void TDateTimeField::SetAsVariant(const Variant& Value) {
  if (Value.IsNull() || Value.IsEmpty())
    Clear();
  else if (Value.VarType() == varString)
    SetAsString(Value.AsString());
  else
    SetAsDateTime(Value.AsDateTime());
}

std::string TDateTimeField::GetAsString() const {
  if (IsNull()) return "";
  TDateTime v = GetAsDateTime();
  switch (GetDataType()) {
    case ftDate:
      return DateToStr(v);
    case ftTime:
      return TimeToStr(v);
    default:
      return DateTimeToStr(v);
  }
}

void TDateTimeField::SetAsString(const std::string& Value) {
  if (Value.empty()) {
    Clear();
    return;
  }
  SetAsDateTime(StrToDateTime(Value));
}

// ---- binary -----------------------------------------------------------------

TBytes TBinaryField::GetAsBytes() const {
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(GetDataSize()), 0);
  if (!GetData(buf.data())) return {};
  if (GetDataType() == ftVarBytes) {
    std::uint16_t len;
    std::memcpy(&len, buf.data(), 2);
    len = static_cast<std::uint16_t>(std::min<int>(len, GetSize()));
    return TBytes(buf.begin() + 2, buf.begin() + 2 + len);
  }
  return buf;
}

void TBinaryField::SetAsBytes(const TBytes& Value) {
  if (static_cast<int>(Value.size()) > GetSize())
    DatabaseErrorFmt(SFieldRangeError, {std::to_string(Value.size()) + " bytes", GetDisplayName()});
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(GetDataSize()), 0);
  if (GetDataType() == ftVarBytes) {
    std::uint16_t len = static_cast<std::uint16_t>(Value.size());
    std::memcpy(buf.data(), &len, 2);
    std::copy(Value.begin(), Value.end(), buf.begin() + 2);
  } else {
    std::copy(Value.begin(), Value.end(), buf.begin());
  }
  SetData(buf.data());
}

Variant TBinaryField::GetAsVariant() const {
  if (IsNull()) return Variant::Null();
  return Variant(GetAsBytes());
}

void TBinaryField::SetAsVariant(const Variant& Value) {
  if (Value.IsNull() || Value.IsEmpty())
    Clear();
  else
    SetAsBytes(Value.AsBytes());
}

std::string TBinaryField::GetAsString() const {
  TBytes b = GetAsBytes();
  return std::string(b.begin(), b.end());
}

void TBinaryField::SetAsString(const std::string& Value) {
  SetAsBytes(TBytes(Value.begin(), Value.end()));
}

// ---- blobs ------------------------------------------------------------------

TBlobByteData TBlobField::GetBlobData() const {
  TBlobByteData data;
  if (!GetData(&data)) return TBlobByteData();
  return data;
}

Variant TBlobField::GetAsVariant() const {
  TBlobByteData data = GetBlobData();
  if (data.IsNull()) return Variant::Null();
  return Variant(data.ToBytes());
}

Variant TMemoField::GetAsVariant() const {
  TBlobByteData data = GetBlobData();
  if (data.IsNull()) return Variant::Null();
  return Variant(data.ToString());
}

std::string TBlobField::GetAsString() const {
  return GetBlobData().ToString();
}

void TBlobField::SetAsBytes(const TBytes& Value) {
  if (GetDataSet() == nullptr) DatabaseErrorFmt(SFieldNoDataSet, {GetDisplayName()});
  std::unique_ptr<TStream> stream = GetDataSet()->CreateBlobStream(this, bmWrite);
  if (!Value.empty()) stream->WriteBuffer(Value.data(), static_cast<std::int32_t>(Value.size()));
}

void TBlobField::SetAsString(const std::string& Value) {
  SetAsBytes(TBytes(Value.begin(), Value.end()));
}

void TBlobField::SetAsVariant(const Variant& Value) {
  if (Value.IsNull() || Value.IsEmpty())
    Clear();
  else
    SetAsBytes(Value.AsBytes());
}

// ---- variant fields ---------------------------------------------------------

template <class F>
decltype(auto) TVariantField::WithValue(F&& Fn) const {
  // Straight from the record when the dataset can point at it: no count of
  // a holder, no copy.
  const void* data;
  TDataSet* dataSet = GetDataSet();
  if (dataSet != nullptr && dataSet->PeekFieldData(const_cast<TVariantField*>(this), data))
    return Fn(TVariantCellView(data));
  TVariantCell cell;
  GetData(&cell);
  return Fn(cell.View());
}

namespace {

// Days since 1970-01-01 of text that is exactly a valid date "YYYY-MM-DD";
// false for anything else, which then takes the general conversion (the
// same date, or its error).
bool IsoDateDays(std::string_view Text, std::int32_t& Days) {
  if (Text.size() != 10 || Text[4] != '-' || Text[7] != '-') return false;
  static constexpr std::size_t kDigitAt[] = {0, 1, 2, 3, 5, 6, 8, 9};
  unsigned digit[10] = {};
  for (const std::size_t i : kDigitAt) {
    digit[i] = static_cast<unsigned>(static_cast<unsigned char>(Text[i])) - '0';
    if (digit[i] > 9) return false;
  }
  const int year = static_cast<int>(digit[0] * 1000 + digit[1] * 100 + digit[2] * 10 + digit[3]);
  const unsigned month = digit[5] * 10 + digit[6], day = digit[8] * 10 + digit[9];
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1) return false;
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  if (day > kDays[month - 1] + (month == 2 && leap ? 1 : 0)) return false;
  Days = static_cast<std::int32_t>(DaysFromCivil(year, month, day));
  return true;
}

}  // namespace

Variant TVariantField::Converted(TVariantCellView Value, TVarType Type) const {
  try {
    return Value.ToVariant().AsType(Type);
  } catch (const EVariantError&) {
  } catch (const EConvertError&) {
  }
  DatabaseErrorFmt(SFieldRangeError, {"'" + Value.ToString() + "'", GetDisplayName()});
}

Variant TVariantField::GetAsVariant() const {
  return WithValue([](TVariantCellView V) { return V.ToVariant(); });
}

void TVariantField::SetAsVariant(const Variant& Value) {
  SetCell(TVariantCell::FromVariant(Value));
}

std::string TVariantField::GetAsString() const {
  return WithValue([](TVariantCellView V) { return V.ToString(); });
}

void TVariantField::SetAsString(const std::string& Value) {
  TVariantCell cell;
  cell.SetBytes(vkText, Value.data(), Value.size());
  SetCell(cell);
}

TBytes TVariantField::GetAsBytes() const {
  return WithValue([](TVariantCellView V) {
    switch (V.Kind()) {
      case vkText:
      case vkBytes:
      case vkDecimal:
        return TBytes(V.Data(), V.Data() + V.Length());
      default: {
        const std::string s = V.ToString();
        return TBytes(s.begin(), s.end());
      }
    }
  });
}

void TVariantField::SetAsBytes(const TBytes& Value) {
  TVariantCell cell;
  cell.SetBytes(vkBytes, Value.data(), Value.size());
  SetCell(cell);
}

TVariantCell TVariantField::GetCell() const {
  TVariantCell cell;
  GetData(&cell);
  return cell;
}

void TVariantField::SetCell(const TVariantCell& Value) {
  SetData(&Value);
}

std::int32_t TVariantField::GetAsInteger() const {
  return WithValue([this](TVariantCellView V) -> std::int32_t {
    if (V.IsNull()) return 0;
    if (V.Kind() == vkInteger && V.Integer() >= std::numeric_limits<std::int32_t>::min() &&
        V.Integer() <= std::numeric_limits<std::int32_t>::max())
      return static_cast<std::int32_t>(V.Integer());
    return Converted(V, varInteger).AsInteger();
  });
}

std::int64_t TVariantField::GetAsLargeInt() const {
  return WithValue([this](TVariantCellView V) -> std::int64_t {
    if (V.IsNull()) return 0;
    if (V.Kind() == vkInteger) return V.Integer();
    return Converted(V, varInt64).AsInt64();
  });
}

double TVariantField::GetAsFloat() const {
  return WithValue([this](TVariantCellView V) -> double {
    switch (V.Kind()) {
      case vkNull:
        return 0;
      case vkReal:
        return V.Real();
      case vkInteger:
        return static_cast<double>(V.Integer());
      default:
        return Converted(V, varDouble).AsFloat();
    }
  });
}

bool TVariantField::GetAsBoolean() const {
  return WithValue([this](TVariantCellView V) -> bool {
    if (V.IsNull()) return false;
    if (V.Kind() == vkInteger) return V.Integer() != 0;
    return Converted(V, varBoolean).AsBoolean();
  });
}

TDateTime TVariantField::GetAsDateTime() const {
  return WithValue([this](TVariantCellView V) -> TDateTime {
    if (V.IsNull()) return TDateTime{};
    std::int32_t days;
    if (V.Kind() == vkText && IsoDateDays(V.Text(), days)) return DateFromDays(days);
    return Converted(V, varDate).AsDateTime();
  });
}

// ---- object fields ----------------------------------------------------------

Variant TObjectField::GetAsVariant() const {
  std::vector<Variant> values;
  for (const auto& c : FChildren) values.push_back(c->GetAsVariant());
  return VarArrayOf(std::move(values));
}

void TField::AttachTo(TDataSet* DataSet) {
  FDataSet = DataSet;
  if (TObjectField* object = AsObjectField())
    for (int i = 0; i < object->FieldCount(); ++i) object->Fields(i)->AttachTo(DataSet);
}

TObjectField* TField::AsObjectField() {
  return FIsObjectField ? static_cast<TObjectField*>(this) : nullptr;
}

TField* TObjectField::AddChild(std::unique_ptr<TField> Child) {
  Child->FParentField = this;
  Child->AttachTo(GetDataSet());
  Child->FIndex = static_cast<int>(FChildren.size());
  FChildren.push_back(std::move(Child));
  return FChildren.back().get();
}

// ---- factory and TFields ----------------------------------------------------

std::unique_ptr<TField> CreateFieldForType(TFieldType DataType, int Size, int Precision) {
  switch (DataType) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftGuid:
      return std::make_unique<TStringField>(Size > 0 ? Size : 20, DataType);
    case ftSmallint:
      return std::make_unique<TSmallintField>();
    case ftWord:
      return std::make_unique<TWordField>();
    case ftInteger:
      return std::make_unique<TIntegerField>();
    case ftAutoInc:
      return std::make_unique<TAutoIncField>();
    case ftLargeint:
      return std::make_unique<TLargeintField>();
    case ftBoolean:
      return std::make_unique<TBooleanField>();
    case ftFloat:
      return std::make_unique<TFloatField>();
    case ftCurrency:
      return std::make_unique<TCurrencyField>();
    case ftBCD:
      return std::make_unique<TBCDField>(Precision > 0 ? Precision : 32, Size);
    case ftFMTBcd:
      return std::make_unique<TFMTBCDField>(Precision > 0 ? Precision : 32, Size);
    case ftDate:
      return std::make_unique<TDateField>();
    case ftTime:
      return std::make_unique<TTimeField>();
    case ftDateTime:
      return std::make_unique<TDateTimeField>();
    case ftTimeStamp:
      return std::make_unique<TSQLTimeStampField>();
    case ftBytes:
      return std::make_unique<TBytesField>(Size > 0 ? Size : 16);
    case ftVarBytes:
      return std::make_unique<TVarBytesField>(Size > 0 ? Size : 16);
    case ftBlob:
    case ftTypedBinary:
    case ftOraBlob:
      return std::make_unique<TBlobField>(DataType);
    case ftGraphic:
      return std::make_unique<TGraphicField>();
    case ftMemo:
    case ftFmtMemo:
    case ftOraClob:
      return std::make_unique<TMemoField>(DataType);
    case ftVariant:
      return std::make_unique<TVariantField>();
    case ftADT:
      return std::make_unique<TADTField>();
    case ftArray:
      return std::make_unique<TArrayField>();
    case ftReference:
      return std::make_unique<TReferenceField>();
    case ftDataSet:
      return std::make_unique<TDataSetField>();
    default:
      break;
  }
  throw EDatabaseError(Format(SUnsupportedFieldType, {FieldTypeName(DataType)}));
}

const char* FieldTypeName(TFieldType Type) {
  static const char* const names[] = {
      "Unknown",     "String",    "Smallint",  "Integer",    "Word",     "Boolean",    "Float",
      "Currency",    "BCD",       "Date",      "Time",       "DateTime", "Bytes",      "VarBytes",
      "AutoInc",     "Blob",      "Memo",      "Graphic",    "FmtMemo",  "ParadoxOle", "DBaseOle",
      "TypedBinary", "Cursor",    "FixedChar", "WideString", "Largeint", "ADT",        "Array",
      "Reference",   "DataSet",   "OraBlob",   "OraClob",    "Variant",  "Interface",  "IDispatch",
      "Guid",        "TimeStamp", "FMTBcd"};
  return Type <= ftFMTBcd ? names[Type] : "Unknown";
}

TField* TFields::Items(int Index) const {
  if (Index < 0 || Index >= Count()) DatabaseError(SFieldIndexError, FDataSet);
  return FItems[static_cast<std::size_t>(Index)].get();
}

TField* TFields::Add(std::unique_ptr<TField> Field) {
  if (FDataSet != nullptr && FDataSet->GetActive()) DatabaseError(SDataSetOpen, FDataSet);
  if (!Field->GetFieldName().empty() && FindField(Field->GetFieldName()) != nullptr)
    DatabaseErrorFmt(SDuplicateFieldName, {Field->GetFieldName()}, FDataSet);
  Field->AttachTo(FDataSet);
  FItems.push_back(std::move(Field));
  Reindex();
  return FItems.back().get();
}

void TFields::Remove(TField* Field) {
  for (auto it = FItems.begin(); it != FItems.end(); ++it)
    if (it->get() == Field) {
      FItems.erase(it);
      break;
    }
  Reindex();
}

void TFields::Clear() {
  FItems.clear();
}

void TFields::ExtractAll(std::vector<std::unique_ptr<TField>>& Into) {
  for (auto& f : FItems) Into.push_back(std::move(f));
  FItems.clear();
}

void TFields::RemoveDataFields() {
  std::vector<std::unique_ptr<TField>> keep;
  for (auto& f : FItems)
    if (f->GetFieldKind() != fkData) keep.push_back(std::move(f));
  FItems = std::move(keep);
  Reindex();
}

TField* TFields::FindField(const std::string& Name) const {
  for (const auto& f : FItems)
    if (SameTextAscii(f->GetFieldName(), Name)) return f.get();
  return nullptr;
}

TField* TFields::FieldByNumber(int FieldNo) const {
  if (FieldNo <= 0) return nullptr;
  for (const auto& f : FItems)
    if (f->GetFieldNo() == FieldNo && f->GetFieldKind() == fkData) return f.get();
  return nullptr;
}

void TFields::Reindex() {
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    FItems[i]->FIndex = static_cast<int>(i);
    FItems[i]->FDataSet = FDataSet;
    if (TObjectField* obj = FItems[i]->AsObjectField())
      for (auto& c : obj->FChildren) c->FDataSet = FDataSet;
  }
}

}  // namespace qvl
