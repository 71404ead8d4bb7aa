#include "qvl/host/dataset/DataLink.h"

#include <algorithm>

#include "qvl/host/dataset/DataSet.h"
#include "qvl/host/dataset/Field.h"

namespace qvl {

TDataLink::~TDataLink() {
  SetDataSet(nullptr);
}

void TDataLink::SetDataSet(TDataSet* Value) {
  if (Value == FDataSet) return;
  if (FDataSet != nullptr) FDataSet->RemoveDataLink(this);
  FDataSet = Value;
  FFirstRecord = 0;
  if (FDataSet != nullptr) FDataSet->AddDataLink(this);
  UpdateState();
}

void TDataLink::SetBufferCount(int Value) {
  if (Value < 1) Value = 1;
  if (Value == FBufferCount) return;
  FBufferCount = Value;
  if (FDataSet != nullptr && FDataSet->GetActive()) {
    FDataSet->UpdateBufferCount();
    UpdateRange();
  }
}

int TDataLink::GetRecordCount() const {
  if (FDataSet == nullptr || !FActive) return 0;
  return std::clamp(FDataSet->WindowRecordCount() - FFirstRecord, 0, FBufferCount);
}

int TDataLink::GetActiveRecord() const {
  if (FDataSet == nullptr || !FActive) return 0;
  return FDataSet->ActiveRecord() - FFirstRecord;
}

void TDataLink::SetActiveRecord(int Value) {
  if (FDataSet == nullptr || !FActive) return;
  FDataSet->FActiveRecord =
      std::clamp(Value + FFirstRecord, 0, std::max(0, FDataSet->WindowRecordCount() - 1));
}

bool TDataLink::Edit() {
  if (FDataSet == nullptr || !FActive) return false;
  if (!FEditing && FDataSet->GetState() == dsBrowse && FDataSet->GetCanModify()) FDataSet->Edit();
  return FEditing;
}

void TDataLink::UpdateState() {
  bool active = FDataSet != nullptr && FDataSet->GetActive();
  if (active != FActive) {
    FActive = active;
    FFirstRecord = 0;
    UpdateRange();
    ActiveChanged();
  }
  bool editing = active && (FDataSet->GetState() == dsEdit || FDataSet->GetState() == dsInsert);
  if (editing != FEditing) {
    FEditing = editing;
    EditingChanged();
  }
}

// Keeps the active record inside the link's slice of the dataset window.
void TDataLink::UpdateRange() {
  if (FDataSet == nullptr || !FActive) return;
  int active = FDataSet->ActiveRecord();
  int count = FDataSet->WindowRecordCount();
  if (active < FFirstRecord) FFirstRecord = active;
  if (active >= FFirstRecord + FBufferCount) FFirstRecord = active - FBufferCount + 1;
  FFirstRecord = std::clamp(FFirstRecord, 0, std::max(0, count - FBufferCount));
  if (active < FFirstRecord) FFirstRecord = active;
}

void TDataLink::DataEvent(TDataEvent Event, std::intptr_t Info) {
  switch (Event) {
    case deUpdateState:
      UpdateState();
      break;
    case deDataSetChange:
      UpdateRange();
      DataSetChanged();
      break;
    case deDataSetScroll: {
      int before = FFirstRecord;
      // The dataset window moved by Info rows; keep the same records in view.
      FFirstRecord -= static_cast<int>(Info);
      UpdateRange();
      // Rows the view's content moved: the window's shift less the part
      // absorbed by keeping the same records in view.
      DataSetScrolled(FFirstRecord - before + static_cast<int>(Info));
      break;
    }
    case deRecordChange:
    case deFieldChange:
      RecordChanged(reinterpret_cast<TField*>(Info));
      break;
    case deUpdateRecord:
      UpdateData();
      break;
    case deLayoutChange:
    case deFieldListChange:
      LayoutChanged();
      break;
    case deCheckBrowseMode:
      UpdateData();
      break;
    default:
      break;
  }
}

}  // namespace qvl
