#include "qvl/engine/QVLDataSetUpdateObject.h"

#include <string_view>

#include "qvl/engine/QVLDataSetImpl.h"
#include "qvl/host/dataset/DataSet.h"
#include "qvl/host/dataset/Field.h"
#include "qvl/host/dataset/Params.h"
#include "qvl/host/runtime/Strings.h"

namespace qvl {

TQVLDataSetUpdateObject::~TQVLDataSetUpdateObject() {
  if (FDataSetImpl != nullptr) FDataSetImpl->UpdateObjectDestroyed(this);
}

void TQVLDataSetUpdateObject::CheckRowsAffected(std::int64_t, std::uint8_t) const {}

TDataSet* TQVLDataSetUpdateObject::GetDataSet() const {
  return FDataSetImpl != nullptr ? FDataSetImpl->GetDataSet() : nullptr;
}

void TQVLDataSetUpdateObject::AssignParamsFromDataSet(TParams& Params) const {
  std::vector<int> fields;
  AssignParamsFromDataSet(Params, fields);
}

void TQVLDataSetUpdateObject::AssignParamsFromDataSet(TParams& Params,
                                                      std::vector<int>& FieldIndexes) const {
  TDataSet* dataSet = GetDataSet();
  if (dataSet == nullptr) return;
  const TFields& fields = dataSet->Fields();
  FieldIndexes.resize(static_cast<std::size_t>(Params.Count()), -1);
  for (int i = 0; i < Params.Count(); ++i) {
    TParam* param = Params.Items(i);
    std::string_view name = param->GetName();
    const bool old = name.starts_with("OLD_");
    if (old) name.remove_prefix(4);
    // The field found last time is checked by its name: fields come and go
    // with the dataset's opens.
    int& index = FieldIndexes[static_cast<std::size_t>(i)];
    TField* field = index >= 0 && index < fields.Count() ? fields[index] : nullptr;
    if (field == nullptr || !SameTextAscii(field->GetFieldName(), name)) {
      field = dataSet->FindField(std::string(name));
      index = field != nullptr ? field->GetIndex() : -1;
    }
    if (field == nullptr) continue;
    // The new value is the value of the record being applied as it stands:
    // the framework's NewValue is Unassigned for a field that did not change,
    // and a statement that sets that field too must write it unchanged, not
    // as null.
    Variant value = old ? field->GetOldValue() : field->GetAsVariant();
    param->SetDataType(field->GetDataType());
    // Blobs too: an empty text or byte array goes as empty, only null as null.
    if (value.IsNull() || value.IsEmpty())
      param->Clear();
    else
      param->SetValue(std::move(value));
  }
}

}  // namespace qvl
