#pragma once
// TDataSetEngineAccess: the part of a dataset's descendant interface that an
// engine needs when a descendant hands it its record work. The engine is not
// itself a descendant, so it reaches these protected members through this
// gate, and only engines include this header; applications never do.

#include "qvl/host/dataset/DataSet.h"

namespace qvl {

class TDataSetEngineAccess {
 public:
  explicit TDataSetEngineAccess(TDataSet& ADataSet) : FDataSet(ADataSet) {}

  TRecordBuffer ActiveBuffer() const { return FDataSet.ActiveBuffer(); }
  TRecordBuffer CalcBuffer() const { return FDataSet.CalcBuffer(); }
  int WindowRecordCount() const { return FDataSet.WindowRecordCount(); }
  void CursorPosChanged() const { FDataSet.CursorPosChanged(); }
  void UpdateCursorPos() const { FDataSet.UpdateCursorPos(); }
  void Resync(TResyncMode Mode) const { FDataSet.Resync(Mode); }
  void DoBeforeScroll() const { FDataSet.DoBeforeScroll(); }
  void DoAfterScroll() const { FDataSet.DoAfterScroll(); }
  void SetBookmarkSize(int Value) const { FDataSet.SetBookmarkSize(Value); }
  void SetUniDirectional(bool Value) const { FDataSet.SetUniDirectional(Value); }
  void GetCalcFields(TRecordBuffer Buffer) const { FDataSet.GetCalcFields(Buffer); }
  void CalculateFields(TRecordBuffer Buffer) const { FDataSet.CalculateFields(Buffer); }

 private:
  TDataSet& FDataSet;
};

}  // namespace qvl
