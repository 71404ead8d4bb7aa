#include "qvl/host/dataset/DataSetReader.h"

#include <cassert>

#include "qvl/host/dataset/DataSet.h"

namespace qvl {

// The window's spare buffer (index BufferCount) holds no window record
// outside a scroll, so the reader reads into it and makes it the active
// buffer while it stands on a record: field access then needs no other path.
TDataSetReader::TDataSetReader(TDataSet& DataSet)
    : FDataSet(DataSet),
      FSavedActive(DataSet.FActiveRecord),
      FSavedCurrent(DataSet.FCurrentRecord) {
  assert(DataSet.GetActive());
  // The descendant's cursor leaves the window's records.
  FDataSet.FCurrentRecord = -1;
}

TDataSetReader::~TDataSetReader() {
  FDataSet.FActiveRecord = FSavedActive;
  if (FSavedCurrent >= 0 && FSavedCurrent < FDataSet.FRecordCount) {
    try {
      FDataSet.SetCurrentRecord(FSavedCurrent);
    } catch (...) {
      // Left unknown: the framework positions the cursor again before use.
      FDataSet.FCurrentRecord = -1;
    }
  }
}

bool TDataSetReader::Read(int GetMode) {
  FDataSet.FActiveRecord = FSavedActive;
  FHasRecord = false;
  const int spare = FDataSet.FBufferCount;
  if (static_cast<std::size_t>(spare) >= FDataSet.FBuffers.size()) return false;
  if (FDataSet.GetRecord(FDataSet.FBuffers[static_cast<std::size_t>(spare)],
                         static_cast<TGetMode>(GetMode), false) != grOK)
    return false;
  FDataSet.FActiveRecord = spare;
  FHasRecord = true;
  return true;
}

bool TDataSetReader::First() {
  if (FDataSet.GetUniDirectional()) return false;
  FDataSet.InternalFirst();
  return Read(gmNext);
}

bool TDataSetReader::Next() {
  return FHasRecord && Read(gmNext);
}

bool TDataSetReader::GotoBookmark(const std::uint8_t* Bookmark) {
  FDataSet.FActiveRecord = FSavedActive;
  FHasRecord = false;
  if (FDataSet.GetUniDirectional() || FDataSet.FBookmarkSize <= 0) return false;
  try {
    FDataSet.InternalGotoBookmark(Bookmark);
  } catch (const EDatabaseError&) {
    return false;  // the record is gone
  }
  return Read(gmCurrent);
}

void TDataSetReader::GetBookmark(std::uint8_t* Bookmark) const {
  assert(FHasRecord);
  FDataSet.GetBookmarkData(FDataSet.ActiveBuffer(), Bookmark);
}

}  // namespace qvl
