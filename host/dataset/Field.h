#pragma once
// Fields: the typed view of one column of a dataset's active record.
//
// A TField reads and writes its value through its dataset (GetFieldData and
// SetFieldData), in the field type's native buffer format:
//
//   type                                   class              DataSize  native buffer
//   ftString ftFixedChar ftWideString      TStringField       Size + 1  bytes, zero-terminated
//     ftGuid                                                            (UTF-8 text)
//   ftSmallint                             TSmallintField     2         int16
//   ftWord                                 TWordField         2         uint16
//   ftInteger                              TIntegerField      4         int32
//   ftAutoInc                              TAutoIncField      4         int32
//   ftLargeint                             TLargeintField     8         int64
//   ftBoolean                              TBooleanField      2         uint16, 0 or 1
//   ftFloat                                TFloatField        8         double
//   ftCurrency                             TCurrencyField     8         double
//   ftBCD                                  TBCDField          Prec + 3  normalised decimal text,
//   ftFMTBcd                               TFMTBCDField                 zero-terminated
//   ftDate                                 TDateField         4         int32 days since 1970-01-01
//   ftTime                                 TTimeField         8         int64 us since midnight
//   ftDateTime                             TDateTimeField     12        int32 days since 1970-01-01
//   ftTimeStamp                            TSQLTimeStampField           and int64 us of the day
//   ftBytes                                TBytesField        Size      raw bytes
//   ftVarBytes                             TVarBytesField     Size + 2  uint16 length, then bytes
//   ftBlob ftGraphic ftTypedBinary         TBlobField         0         a TBlobByteData (see below)
//     ftOraBlob
//   ftMemo ftFmtMemo ftOraClob             TMemoField         0         a TBlobByteData
//   ftVariant                              TVariantField      16        a TVariantCell: kind, value
//   ftADT ftArray ftReference ftDataSet    TADTField ...      0         none (child fields)
//
// Blob fields exchange a TBlobByteData: GetFieldData's buffer is a
// TBlobByteData* that receives a shared reference; values are written
// through the dataset's blob stream (CreateBlobStream), and SetData(nullptr)
// makes a blob null. An empty blob is a value, distinct from null.
//
// Writing a value checks the dataset's state first: outside edit, insert,
// calculation, filter and new-value states it raises SNotEditing; a ReadOnly
// field outside the calculation and filter states raises SFieldReadOnly.
//
// OldValue and NewValue read the value in the dataset's dsOldValue and
// dsNewValue states. NewValue is Unassigned when the value equals the old
// value, except on an inserted record (no old values), where it is
// Unassigned exactly when the value is null.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qvl/host/dataset/DBTypes.h"
#include "qvl/host/dataset/VariantCell.h"
#include "qvl/host/runtime/BlobByteData.h"
#include "qvl/host/runtime/Object.h"
#include "qvl/host/runtime/Variant.h"

#pragma GCC visibility push(default)

namespace qvl {

class TDataSet;
class TField;
class TObjectField;
class TStream;

using TFieldNotifyEvent = std::function<void(TField* Sender)>;

// ---- field definitions -------------------------------------------------------

// What the dataset's source says about one column, before fields exist.
class TFieldDef : public TObject {
 public:
  TFieldDef(std::string Name, TFieldType DataType, int Size, bool Required, int FieldNo);

  std::string Name;
  TFieldType DataType;
  int Size;           // characters, bytes or scale, by type
  int Precision = 0;  // digits of an exact numeric
  bool Required;
  int FieldNo;         // 1-based position in the source
  bool InKey = false;  // part of the table's primary key
  bool ReadOnly = false;
  std::string Origin;      // base column name, when known
  std::string ObjectType;  // object fields
  std::vector<std::unique_ptr<TFieldDef>> ChildDefs;
  // The database can compare the column's values for equality; without it
  // the field is made without pfInWhere.
  bool InWhere = true;
};

class TFieldDefs : public TObject {
 public:
  int Count() const { return static_cast<int>(FItems.size()); }
  TFieldDef* Items(int Index) const { return FItems.at(static_cast<std::size_t>(Index)).get(); }
  TFieldDef* Add(const std::string& Name, TFieldType DataType, int Size = 0, bool Required = false);
  TFieldDef* Find(const std::string& Name) const;
  void Clear() { FItems.clear(); }

 private:
  std::vector<std::unique_ptr<TFieldDef>> FItems;
};

// ---- TField ------------------------------------------------------------------

class TField : public TObject {
 public:
  TField(TFieldType DataType, int Size = 0);
  ~TField() override;

  // Identity.
  TDataSet* GetDataSet() const { return FDataSet; }
  const std::string& GetFieldName() const { return FFieldName; }
  void SetFieldName(const std::string& Value) { FFieldName = Value; }
  int GetFieldNo() const { return FFieldNo; }
  int GetIndex() const { return FIndex; }
  TFieldType GetDataType() const { return FDataType; }
  TFieldKind GetFieldKind() const { return FFieldKind; }
  void SetFieldKind(TFieldKind Value) { FFieldKind = Value; }
  int GetSize() const { return FSize; }
  void SetSize(int Value) { FSize = Value; }
  virtual int GetDataSize() const = 0;
  virtual bool IsBlob() const { return false; }
  TObjectField* GetParentField() const { return FParentField; }

  std::string GetFullName() const;  // parent names and this one, joined by "."
  std::string GetDisplayName() const { return FDisplayLabel.empty() ? FFieldName : FDisplayLabel; }
  void SetDisplayLabel(const std::string& Value) { FDisplayLabel = Value; }
  const std::string& GetOrigin() const { return FOrigin; }
  void SetOrigin(const std::string& Value) { FOrigin = Value; }
  bool GetReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool Value) { FReadOnly = Value; }
  // Whether views show the field (a grid's column, a model's).
  bool GetVisible() const { return FVisible; }
  void SetVisible(bool Value) { FVisible = Value; }
  bool GetRequired() const { return FRequired; }
  void SetRequired(bool Value) { FRequired = Value; }
  TProviderFlags GetProviderFlags() const { return FProviderFlags; }
  void SetProviderFlags(TProviderFlags Value) { FProviderFlags = Value; }
  bool GetCalculated() const { return FFieldKind == fkCalculated; }
  bool GetLookup() const { return FFieldKind == fkLookup; }

  // Lookup fields: the value of LookupResultField in the record of
  // LookupDataSet whose LookupKeyFields match this dataset's KeyFields.
  TDataSet* GetLookupDataSet() const { return FLookupDataSet; }
  void SetLookupDataSet(TDataSet* Value) { FLookupDataSet = Value; }
  const std::string& GetKeyFields() const { return FKeyFields; }
  void SetKeyFields(const std::string& Value) { FKeyFields = Value; }
  const std::string& GetLookupKeyFields() const { return FLookupKeyFields; }
  void SetLookupKeyFields(const std::string& Value) { FLookupKeyFields = Value; }
  const std::string& GetLookupResultField() const { return FLookupResultField; }
  void SetLookupResultField(const std::string& Value) { FLookupResultField = Value; }

  // Raw access in the native format. GetData returns false for null.
  bool GetData(void* Buffer) const;
  void SetData(const void* Buffer);

  // Values.
  bool IsNull() const;
  virtual void Clear() { SetData(nullptr); }
  virtual Variant GetAsVariant() const = 0;
  virtual void SetAsVariant(const Variant& Value);
  virtual std::string GetAsString() const;
  virtual void SetAsString(const std::string& Value);
  virtual std::int32_t GetAsInteger() const;
  virtual void SetAsInteger(std::int32_t Value);
  virtual std::int64_t GetAsLargeInt() const;
  virtual void SetAsLargeInt(std::int64_t Value);
  virtual double GetAsFloat() const;
  virtual void SetAsFloat(double Value);
  virtual bool GetAsBoolean() const;
  virtual void SetAsBoolean(bool Value);
  virtual TDateTime GetAsDateTime() const;
  virtual void SetAsDateTime(TDateTime Value);

  Variant GetOldValue() const;
  Variant GetNewValue() const;

  const TFieldNotifyEvent& GetOnChange() const { return FOnChange; }
  void SetOnChange(TFieldNotifyEvent Value) { FOnChange = std::move(Value); }

  // Called by the dataset after a field-change event.
  void Change();

 protected:
  // Raises EDatabaseError "Cannot access field 'X' as type T".
  [[noreturn]] void AccessError(const char* TypeName) const;
  // Writes a value given as a variant of another type by converting it.
  void CheckWrite() const;

 private:
  friend class TDataSet;
  friend class TFields;
  friend class TObjectField;

  // This field and, for object fields, its children at every depth read
  // through DataSet.
  void AttachTo(TDataSet* DataSet);
  // This field as an object field, or null; opening a dataset asks it of
  // every field several times, where a dynamic_cast costs hundreds of
  // instructions.
  TObjectField* AsObjectField();

  TDataSet* FDataSet = nullptr;
  std::string FFieldName;
  int FFieldNo = 0;
  int FIndex = -1;
  TFieldType FDataType;
  TFieldKind FFieldKind = fkData;
  int FSize;
  std::string FDisplayLabel;
  std::string FOrigin;
  bool FReadOnly = false;
  bool FVisible = true;
  bool FRequired = false;
  TProviderFlags FProviderFlags = pfInUpdate | pfInWhere;
  TObjectField* FParentField = nullptr;
  bool FIsObjectField = false;  // set by TObjectField
  TDataSet* FLookupDataSet = nullptr;
  std::string FKeyFields, FLookupKeyFields, FLookupResultField;
  TFieldNotifyEvent FOnChange;
};

// Creates the field class for a type (ftUnknown and unsupported types raise).
std::unique_ptr<TField> CreateFieldForType(TFieldType DataType, int Size = 0, int Precision = 0);

class TStringField : public TField {
 public:
  explicit TStringField(int Size = 20, TFieldType DataType = ftString);
  int GetDataSize() const override { return GetSize() + 1; }
  Variant GetAsVariant() const override;
  void SetAsVariant(const Variant& Value) override;
  std::string GetAsString() const override;
  void SetAsString(const std::string& Value) override;
};

// Integer fields differ in width; the value travels as int64 inside.
class TIntegerFieldBase : public TField {
 public:
  Variant GetAsVariant() const override;
  void SetAsVariant(const Variant& Value) override;
  std::string GetAsString() const override;
  void SetAsString(const std::string& Value) override;
  std::int32_t GetAsInteger() const override;
  void SetAsInteger(std::int32_t Value) override { SetAsLargeInt(Value); }
  std::int64_t GetAsLargeInt() const override;
  void SetAsLargeInt(std::int64_t Value) override;
  double GetAsFloat() const override { return static_cast<double>(GetAsLargeInt()); }
  void SetAsFloat(double Value) override;
  bool GetAsBoolean() const override { return GetAsLargeInt() != 0; }
  void SetAsBoolean(bool Value) override { SetAsLargeInt(Value ? 1 : 0); }

 protected:
  TIntegerFieldBase(TFieldType DataType, int Bytes, bool Unsigned);

 private:
  int FBytes;
  bool FUnsigned;
};

class TSmallintField : public TIntegerFieldBase {
 public:
  TSmallintField() : TIntegerFieldBase(ftSmallint, 2, false) {}
  int GetDataSize() const override { return 2; }
};
class TWordField : public TIntegerFieldBase {
 public:
  TWordField() : TIntegerFieldBase(ftWord, 2, true) {}
  int GetDataSize() const override { return 2; }
};
class TIntegerField : public TIntegerFieldBase {
 public:
  TIntegerField() : TIntegerFieldBase(ftInteger, 4, false) {}
  int GetDataSize() const override { return 4; }

 protected:
  explicit TIntegerField(TFieldType DataType) : TIntegerFieldBase(DataType, 4, false) {}
};
class TAutoIncField : public TIntegerField {
 public:
  TAutoIncField() : TIntegerField(ftAutoInc) {}
};
class TLargeintField : public TIntegerFieldBase {
 public:
  TLargeintField() : TIntegerFieldBase(ftLargeint, 8, false) {}
  int GetDataSize() const override { return 8; }
};

class TBooleanField : public TField {
 public:
  TBooleanField() : TField(ftBoolean) {}
  int GetDataSize() const override { return 2; }
  Variant GetAsVariant() const override;
  void SetAsVariant(const Variant& Value) override;
  std::string GetAsString() const override;
  void SetAsString(const std::string& Value) override;
  bool GetAsBoolean() const override;
  void SetAsBoolean(bool Value) override;
  std::int32_t GetAsInteger() const override { return GetAsBoolean() ? 1 : 0; }
  void SetAsInteger(std::int32_t Value) override { SetAsBoolean(Value != 0); }
};

class TFloatField : public TField {
 public:
  explicit TFloatField(TFieldType DataType = ftFloat) : TField(DataType) {}
  int GetDataSize() const override { return 8; }
  Variant GetAsVariant() const override;
  void SetAsVariant(const Variant& Value) override;
  std::string GetAsString() const override;
  void SetAsString(const std::string& Value) override;
  double GetAsFloat() const override;
  void SetAsFloat(double Value) override;
  std::int32_t GetAsInteger() const override;
  void SetAsInteger(std::int32_t Value) override { SetAsFloat(Value); }
  std::int64_t GetAsLargeInt() const override;
  void SetAsLargeInt(std::int64_t Value) override;
};
class TCurrencyField : public TFloatField {
 public:
  TCurrencyField() : TFloatField(ftCurrency) {}
};

// Exact numerics: Precision digits, Size of them after the point. A value
// with more digits than the field holds raises rather than rounding.
class TBCDField : public TField {
 public:
  explicit TBCDField(int Precision = 32, int Scale = 4, TFieldType DataType = ftBCD);
  int GetDataSize() const override { return FPrecision + 3; }
  int GetPrecision() const { return FPrecision; }
  void SetPrecision(int Value) { FPrecision = Value; }
  Variant GetAsVariant() const override;
  void SetAsVariant(const Variant& Value) override;
  std::string GetAsString() const override;
  void SetAsString(const std::string& Value) override;
  double GetAsFloat() const override;
  void SetAsFloat(double Value) override;
  std::int64_t GetAsLargeInt() const override;
  void SetAsLargeInt(std::int64_t Value) override;
  std::int32_t GetAsInteger() const override;
  void SetAsInteger(std::int32_t Value) override { SetAsLargeInt(Value); }

 private:
  void SetDecimalText(const std::string& Text);
  int FPrecision;
};
class TFMTBCDField : public TBCDField {
 public:
  explicit TFMTBCDField(int Precision = 32, int Scale = 4)
      : TBCDField(Precision, Scale, ftFMTBcd) {}
};

class TDateTimeField : public TField {
 public:
  explicit TDateTimeField(TFieldType DataType = ftDateTime) : TField(DataType) {}
  int GetDataSize() const override {
    return DataType() == ftDate ? 4 : DataType() == ftTime ? 8 : static_cast<int>(kDateTimeBytes);
  }
  Variant GetAsVariant() const override;
  void SetAsVariant(const Variant& Value) override;
  std::string GetAsString() const override;
  void SetAsString(const std::string& Value) override;
  TDateTime GetAsDateTime() const override;
  void SetAsDateTime(TDateTime Value) override;

 private:
  TFieldType DataType() const { return GetDataType(); }
};
class TDateField : public TDateTimeField {
 public:
  TDateField() : TDateTimeField(ftDate) {}
};
class TTimeField : public TDateTimeField {
 public:
  TTimeField() : TDateTimeField(ftTime) {}
};
class TSQLTimeStampField : public TDateTimeField {
 public:
  TSQLTimeStampField() : TDateTimeField(ftTimeStamp) {}
};

class TBinaryField : public TField {
 public:
  Variant GetAsVariant() const override;
  void SetAsVariant(const Variant& Value) override;
  std::string GetAsString() const override;
  void SetAsString(const std::string& Value) override;
  TBytes GetAsBytes() const;
  void SetAsBytes(const TBytes& Value);

 protected:
  TBinaryField(TFieldType DataType, int Size) : TField(DataType, Size) {}
};
class TBytesField : public TBinaryField {
 public:
  explicit TBytesField(int Size = 16) : TBinaryField(ftBytes, Size) {}
  int GetDataSize() const override { return GetSize(); }
};
class TVarBytesField : public TBinaryField {
 public:
  explicit TVarBytesField(int Size = 16) : TBinaryField(ftVarBytes, Size) {}
  int GetDataSize() const override { return GetSize() + 2; }
};

class TBlobField : public TField {
 public:
  explicit TBlobField(TFieldType DataType = ftBlob) : TField(DataType) {}
  int GetDataSize() const override { return 0; }
  bool IsBlob() const override { return true; }
  Variant GetAsVariant() const override;  // varBytes (varString for memos), Null for null
  void SetAsVariant(const Variant& Value) override;
  std::string GetAsString() const override;
  void SetAsString(const std::string& Value) override;
  // The stored bytes as the dataset keeps them.
  TBlobByteData GetBlobData() const;
  TBytes GetAsBytes() const { return GetBlobData().ToBytes(); }
  // Empty bytes set the empty value; Clear sets null.
  void SetAsBytes(const TBytes& Value);
  void Clear() override {
    TField::Clear();
    FModified = true;
  }
  // Set when a blob stream wrote to the field or it was cleared.
  bool GetModified() const { return FModified; }
  void SetModified(bool Value) { FModified = Value; }

 private:
  bool FModified = false;
};
class TMemoField : public TBlobField {
 public:
  explicit TMemoField(TFieldType DataType = ftMemo) : TBlobField(DataType) {}
  Variant GetAsVariant() const override;
};
class TGraphicField : public TBlobField {
 public:
  TGraphicField() : TBlobField(ftGraphic) {}
};
// A value that keeps the kind it was stored with, for databases that do not
// hold a column's values to its declared type: its native buffer is a
// TVariantCell (VariantCell.h), and GetData's buffer is a TVariantCell* that
// receives a counted copy. The variant is of the stored kind (varInt64,
// varDouble, varString, varBytes, varBcd); the string shows text as it is
// and numbers exactly (reals in their shortest exact form, decimals digit for
// digit). Writing a variant keeps its kind (booleans become 0 and 1, other
// kinds their text); SetAsString writes text.
class TVariantField : public TField {
 public:
  TVariantField() : TField(ftVariant) {}
  int GetDataSize() const override { return static_cast<int>(TVariantCell::kSize); }
  Variant GetAsVariant() const override;
  void SetAsVariant(const Variant& Value) override;
  std::string GetAsString() const override;
  void SetAsString(const std::string& Value) override;
  TBytes GetAsBytes() const;             // the value's own bytes (text, bytes, or a number's text)
  void SetAsBytes(const TBytes& Value);  // stores bytes
  // Typed reads convert; a value that does not convert raises naming the field.
  std::int32_t GetAsInteger() const override;
  std::int64_t GetAsLargeInt() const override;
  double GetAsFloat() const override;
  bool GetAsBoolean() const override;
  TDateTime GetAsDateTime() const override;
  // The value as the record keeps it; long text and bytes are shared with
  // the record, not copied.
  TVariantCell GetCell() const;
  void SetCell(const TVariantCell& Value);

 private:
  // Fn(TVariantCellView) on the value where the record keeps it, or on a
  // copy when the dataset cannot point at it.
  template <class F>
  decltype(auto) WithValue(F&& Fn) const;
  // A value that is not null converted to Type; raises naming the field
  // when it does not convert.
  Variant Converted(TVariantCellView Value, TVarType Type) const;
};

// Object fields hold child fields; the parent itself has no value of its
// own. Children are owned by their parent and are not in the dataset's
// top-level field list.
class TObjectField : public TField {
 public:
  int GetDataSize() const override { return 0; }
  Variant GetAsVariant() const override;
  const std::string& GetObjectType() const { return FObjectType; }
  void SetObjectType(const std::string& Value) { FObjectType = Value; }
  int FieldCount() const { return static_cast<int>(FChildren.size()); }
  TField* Fields(int Index) const { return FChildren.at(static_cast<std::size_t>(Index)).get(); }
  // Takes the child; returns it.
  TField* AddChild(std::unique_ptr<TField> Child);

 protected:
  explicit TObjectField(TFieldType DataType) : TField(DataType) { FIsObjectField = true; }

 private:
  friend class TDataSet;
  friend class TFields;
  std::string FObjectType;
  std::vector<std::unique_ptr<TField>> FChildren;
};
class TADTField : public TObjectField {
 public:
  TADTField() : TObjectField(ftADT) {}
};
class TArrayField : public TObjectField {
 public:
  TArrayField() : TObjectField(ftArray) {}
};
class TReferenceField : public TObjectField {
 public:
  TReferenceField() : TObjectField(ftReference) {}
};
class TDataSetField : public TObjectField {
 public:
  TDataSetField() : TObjectField(ftDataSet) {}
};

// ---- TFields -----------------------------------------------------------------

// The dataset's top-level fields, in order; owns them.
class TFields : public TObject {
 public:
  explicit TFields(TDataSet* DataSet) : FDataSet(DataSet) {}
  int Count() const { return static_cast<int>(FItems.size()); }
  TField* Items(int Index) const;
  TField* operator[](int Index) const { return Items(Index); }
  // Adds a field at the end (the dataset must be closed); returns it.
  TField* Add(std::unique_ptr<TField> Field);
  void Remove(TField* Field);
  void Clear();
  TField* FindField(const std::string& Name) const;
  TField* FieldByNumber(int FieldNo) const;
  // Moves every field out (in order), leaving the list empty.
  void ExtractAll(std::vector<std::unique_ptr<TField>>& Into);
  // Destroys the data fields, keeping calculated and lookup ones.
  void RemoveDataFields();

 private:
  void Reindex();
  TDataSet* FDataSet;
  std::vector<std::unique_ptr<TField>> FItems;
};

}  // namespace qvl

#pragma GCC visibility pop
