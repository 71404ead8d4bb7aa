#pragma once
// TParam and TParams: the parameter list of a statement.
//
// A TParams owns its parameters, keeps them in the order they were added and
// allows several with the same name (a statement that refers to a name twice
// has two parameters). Lookups by name take the first match, ignoring the
// case of the letters A to Z.
//
// A parameter's value is a Variant; Clear makes it Null. Setting a value on a
// parameter whose DataType is still ftUnknown also sets the type from the
// value.

#include <memory>
#include <string>
#include <vector>

#include "qvl/host/dataset/DBTypes.h"
#include "qvl/host/runtime/Object.h"
#include "qvl/host/runtime/Variant.h"

#pragma GCC visibility push(default)

namespace qvl {

class TParams;

class TParam : public TObject {
 public:
  TParam(TParams* Collection, const std::string& Name, TFieldType DataType, TParamType ParamType);

  const std::string& GetName() const { return FName; }
  void SetName(const std::string& Value) { FName = Value; }
  TFieldType GetDataType() const { return FDataType; }
  void SetDataType(TFieldType Value) { FDataType = Value; }
  TParamType GetParamType() const { return FParamType; }
  void SetParamType(TParamType Value) { FParamType = Value; }
  TParams* GetCollection() const { return FCollection; }

  const Variant& GetValue() const { return FValue; }
  void SetValue(const Variant& Value);
  void SetValue(Variant&& Value);
  bool IsNull() const { return FValue.IsNull() || FValue.IsEmpty(); }
  void Clear() { FValue = Variant::Null(); }

  std::string AsString() const { return VarToStr(FValue); }
  void SetAsString(const std::string& Value);
  std::int32_t AsInteger() const { return FValue.AsInteger(); }
  void SetAsInteger(std::int32_t Value);
  std::int64_t AsLargeInt() const { return FValue.AsInt64(); }
  void SetAsLargeInt(std::int64_t Value);
  double AsFloat() const { return FValue.AsFloat(); }
  void SetAsFloat(double Value);
  bool AsBoolean() const { return FValue.AsBoolean(); }
  void SetAsBoolean(bool Value);
  TDateTime AsDateTime() const { return FValue.AsDateTime(); }
  void SetAsDateTime(TDateTime Value);
  TBytes AsBytes() const { return FValue.AsBytes(); }
  void SetAsBlob(const TBytes& Value);

  // Copies name, types and value.
  void Assign(const TParam& Source);
  // Copies types and value only.
  void AssignValue(const TParam& Source);

 private:
  TParams* FCollection;
  std::string FName;
  TFieldType FDataType;
  TParamType FParamType;
  Variant FValue;
};

class TParams : public TObject {
 public:
  TParams() = default;

  int Count() const { return static_cast<int>(FItems.size()); }
  TParam* Items(int Index) const;
  TParam* operator[](int Index) const { return Items(Index); }

  TParam* CreateParam(TFieldType DataType, const std::string& Name, TParamType ParamType);
  void Clear();
  void Delete(int Index);

  TParam* FindParam(const std::string& Name) const;
  // Raises EDatabaseError "Parameter 'NAME' not found".
  TParam* ParamByName(const std::string& Name) const;

  // Each parameter of this list takes the types and value of the first
  // parameter of Source with the same name; the others keep theirs.
  void AssignValues(const TParams& Source);
  // Replaces this list by a copy of Source.
  void Assign(const TParams& Source);

 private:
  std::vector<std::unique_ptr<TParam>> FItems;
};

}  // namespace qvl

#pragma GCC visibility pop
