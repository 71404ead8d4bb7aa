#include "qvl/engine/QVLDataSetUpdateObject.h"

#include "qvl/engine/QVLDataSetImpl.h"
#include "qvl/host/dataset/DataSet.h"
#include "qvl/host/dataset/Field.h"
#include "qvl/host/dataset/Params.h"

namespace qvl {

TQVLDataSetUpdateObject::~TQVLDataSetUpdateObject() {
  if (FDataSetImpl != nullptr) FDataSetImpl->UpdateObjectDestroyed(this);
}

TDataSet* TQVLDataSetUpdateObject::GetDataSet() const {
  return FDataSetImpl != nullptr ? FDataSetImpl->GetDataSet() : nullptr;
}

void TQVLDataSetUpdateObject::AssignParamsFromDataSet(TParams& Params) const {
  TDataSet* dataSet = GetDataSet();
  if (dataSet == nullptr) return;
  for (int i = 0; i < Params.Count(); ++i) {
    TParam* param = Params.Items(i);
    std::string name = param->GetName();
    const bool old = name.starts_with("OLD_");
    if (old) name.erase(0, 4);
    TField* field = dataSet->FindField(name);
    if (field == nullptr) continue;
    // The new value is the value of the record being applied as it stands:
    // the framework's NewValue is Unassigned for a field that did not change,
    // and a statement that sets that field too must write it unchanged, not
    // as null.
    const Variant value = old ? field->GetOldValue() : field->GetAsVariant();
    param->SetDataType(field->GetDataType());
    // Blobs too: an empty text or byte array goes as empty, only null as null.
    if (value.IsNull() || value.IsEmpty())
      param->Clear();
    else
      param->SetValue(value);
  }
}

}  // namespace qvl
