#pragma once
// TDataSetTestPeer: the tests' one way into internals that applications have
// no use for (the framework's window, the engine behind a component, the
// engine's allocator and current record). Only tests include this header.

#include "qvl/components/QVLCustomDataSet.h"
#include "qvl/engine/QVLDataSetImpl.h"
#include "qvl/host/dataset/DataSet.h"

namespace qvl::test {

class TDataSetTestPeer {
 public:
  // ---- the framework's window ------------------------------------------------
  static int BufferCount(const TDataSet& DataSet) { return DataSet.BufferCount(); }
  static int WindowRecordCount(const TDataSet& DataSet) { return DataSet.WindowRecordCount(); }
  static int ActiveRecord(const TDataSet& DataSet) { return DataSet.ActiveRecord(); }
  static void SetActiveRecord(TDataSet& DataSet, int Index) { DataSet.FActiveRecord = Index; }
  static TRecordBuffer ActiveBuffer(const TDataSet& DataSet) { return DataSet.ActiveBuffer(); }
  static TRecordBuffer Buffer(const TDataSet& DataSet, int Index) { return DataSet.Buffer(Index); }
  static void CursorPosChanged(TDataSet& DataSet) { DataSet.CursorPosChanged(); }
  static void UpdateCursorPos(TDataSet& DataSet) { DataSet.UpdateCursorPos(); }
  static void SetUniDirectional(TDataSet& DataSet, bool Value) { DataSet.SetUniDirectional(Value); }
  static void GetCalcFields(TDataSet& DataSet, TRecordBuffer Buffer) {
    DataSet.GetCalcFields(Buffer);
  }

  // ---- the engine --------------------------------------------------------------
  template <class TSQLBase>
  static TQVLDataSetImpl& Engine(TQVLCustomDataSet<TSQLBase>& DataSet) {
    return *DataSet.FDataSetImpl;
  }
  static const TQVLRecordAllocator* Allocator(const TQVLDataSetImpl& Engine) {
    return Engine.GetAllocator();
  }
  static TRecordBuffer CurrentRecord(const TQVLDataSetImpl& Engine) {
    return Engine.FCurrentRecord;
  }
  // The record a window buffer names.
  static TRecordBuffer CellRecord(TRecordBuffer Cell) { return TQVLDataSetImpl::CellRecord(Cell); }
};

}  // namespace qvl::test
