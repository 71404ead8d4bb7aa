#pragma once
// TDataLink: how a view (a grid, a form, a Qt model) watches a dataset.
//
// A link asks for a window of BufferCount records; the dataset keeps as many
// buffers as its largest link asks for. The link's window is a stable slice
// of the dataset's window that always contains the active record: scrolling
// inside it moves only the active row, scrolling past its edge shifts it by
// as many rows as the move. SetActiveRecord(i) makes row i of the link's
// window the dataset's active record for reading its fields; put the old
// value back when done.
//
// The dataset calls the virtual hooks on every data event: ActiveChanged
// (open/close), DataSetChanged (the window was refilled), DataSetScrolled
// (the window shifted by Distance rows), RecordChanged (a field or the
// record changed), EditingChanged (entered or left edit/insert), UpdateData
// (write pending edits into the fields).

#include <cstdint>

#include "qvl/host/dataset/DBTypes.h"
#include "qvl/host/runtime/Object.h"

#pragma GCC visibility push(default)

namespace qvl {

class TDataSet;
class TField;

class TDataLink : public TObject {
 public:
  TDataLink() = default;
  ~TDataLink() override;

  TDataSet* GetDataSet() const { return FDataSet; }
  void SetDataSet(TDataSet* Value);
  bool GetActive() const { return FActive; }
  bool GetEditing() const { return FEditing; }

  int GetBufferCount() const { return FBufferCount; }
  void SetBufferCount(int Value);
  // Rows of the link's window that hold records.
  int GetRecordCount() const;
  // The active record's row in the link's window.
  int GetActiveRecord() const;
  void SetActiveRecord(int Value);

  bool Edit();  // puts the dataset in edit mode if it can; true when editing

 protected:
  virtual void ActiveChanged() {}
  virtual void DataSetChanged() {}
  virtual void DataSetScrolled(int Distance) {
    (void)Distance;
    DataSetChanged();
  }
  virtual void RecordChanged(TField* Field) { (void)Field; }
  virtual void EditingChanged() {}
  virtual void UpdateData() {}
  virtual void LayoutChanged() { DataSetChanged(); }

 private:
  friend class TDataSet;
  void DataEvent(TDataEvent Event, std::intptr_t Info);
  void UpdateState();
  void UpdateRange();

  TDataSet* FDataSet = nullptr;
  int FBufferCount = 1;
  int FFirstRecord = 0;  // dataset window index of the link's first row
  bool FActive = false;
  bool FEditing = false;
};

}  // namespace qvl

#pragma GCC visibility pop
