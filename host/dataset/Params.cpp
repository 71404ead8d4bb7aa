#include "qvl/host/dataset/Params.h"

#include "qvl/host/dataset/DBConsts.h"
#include "qvl/host/runtime/Exceptions.h"
#include "qvl/host/runtime/RTLConsts.h"
#include "qvl/host/runtime/Strings.h"

namespace qvl {

namespace {
TFieldType TypeOfValue(const Variant& v) {
  switch (v.VarType()) {
    case varBoolean:
      return ftBoolean;
    case varInteger:
      return ftInteger;
    case varInt64:
      return ftLargeint;
    case varDouble:
      return ftFloat;
    case varBcd:
      return ftFMTBcd;
    case varDate:
      return ftDateTime;
    case varString:
      return ftString;
    case varBytes:
      return ftBlob;
    default:
      return ftUnknown;
  }
}
}  // namespace

TParam::TParam(TParams* Collection, const std::string& Name, TFieldType DataType,
               TParamType ParamType)
    : FCollection(Collection), FName(Name), FDataType(DataType), FParamType(ParamType) {}

void TParam::SetValue(const Variant& Value) {
  FValue = Value;
  if (FDataType == ftUnknown) FDataType = TypeOfValue(Value);
}

void TParam::SetValue(Variant&& Value) {
  if (FDataType == ftUnknown) FDataType = TypeOfValue(Value);
  FValue = std::move(Value);
}

void TParam::SetAsString(const std::string& Value) {
  FValue = Variant(Value);
  if (FDataType == ftUnknown) FDataType = ftString;
}
void TParam::SetAsInteger(std::int32_t Value) {
  FValue = Variant(Value);
  if (FDataType == ftUnknown) FDataType = ftInteger;
}
void TParam::SetAsLargeInt(std::int64_t Value) {
  FValue = Variant(Value);
  if (FDataType == ftUnknown) FDataType = ftLargeint;
}
void TParam::SetAsFloat(double Value) {
  FValue = Variant(Value);
  if (FDataType == ftUnknown) FDataType = ftFloat;
}
void TParam::SetAsBoolean(bool Value) {
  FValue = Variant(Value);
  if (FDataType == ftUnknown) FDataType = ftBoolean;
}
void TParam::SetAsDateTime(TDateTime Value) {
  FValue = Variant(Value);
  if (FDataType == ftUnknown) FDataType = ftDateTime;
}
void TParam::SetAsBlob(const TBytes& Value) {
  FValue = Variant(Value);
  if (FDataType == ftUnknown) FDataType = ftBlob;
}

void TParam::Assign(const TParam& Source) {
  FName = Source.FName;
  AssignValue(Source);
}

void TParam::AssignValue(const TParam& Source) {
  FDataType = Source.FDataType;
  FParamType = Source.FParamType;
  FValue = Source.FValue;
}

TParam* TParams::Items(int Index) const {
  if (Index < 0 || Index >= Count())
    throw EListError(Format(SListIndexError, {std::to_string(Index)}));
  return FItems[static_cast<std::size_t>(Index)].get();
}

TParam* TParams::CreateParam(TFieldType DataType, const std::string& Name, TParamType ParamType) {
  FItems.push_back(std::make_unique<TParam>(this, Name, DataType, ParamType));
  return FItems.back().get();
}

void TParams::Clear() {
  FItems.clear();
}

void TParams::Delete(int Index) {
  Items(Index);
  FItems.erase(FItems.begin() + Index);
}

TParam* TParams::FindParam(const std::string& Name) const {
  for (const auto& p : FItems)
    if (SameTextAscii(p->GetName(), Name)) return p.get();
  return nullptr;
}

TParam* TParams::ParamByName(const std::string& Name) const {
  TParam* p = FindParam(Name);
  if (p == nullptr) DatabaseErrorFmt(SParameterNotFound, {Name});
  return p;
}

void TParams::AssignValues(const TParams& Source) {
  // Every parameter of a repeated name takes the value, so that a statement
  // referring to a name twice sends the same value twice.
  for (const auto& dst : FItems)
    if (TParam* src = Source.FindParam(dst->GetName())) dst->AssignValue(*src);
}

void TParams::Assign(const TParams& Source) {
  if (&Source == this) return;
  std::vector<std::unique_ptr<TParam>> items;
  for (const auto& src : Source.FItems) {
    items.push_back(
        std::make_unique<TParam>(this, src->GetName(), src->GetDataType(), src->GetParamType()));
    items.back()->AssignValue(*src);
  }
  FItems = std::move(items);
}

}  // namespace qvl
