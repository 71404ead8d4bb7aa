#pragma once
// TDataSetReader: reads records of an open dataset beside its window, for a
// view that shows more rows than the window holds (a Qt model over a large
// result).
//
// While a reader stands on a record, field access (and UpdateStatus) read
// that record. The active record, the window, the state, Bof/Eof and the
// views are untouched and no event fires; the destructor puts field access
// back on the active record and the descendant's cursor where it stood.
// Reading forward past the last row read fetches rows from the source, as
// scrolling does. One reader at a time, and nothing else done with the
// dataset while it lives. A unidirectional dataset cannot be read this way.

#include <cstdint>

#pragma GCC visibility push(default)

namespace qvl {

class TDataSet;

class TDataSetReader {
 public:
  // REQUIRES: DataSet is open.
  explicit TDataSetReader(TDataSet& DataSet);
  ~TDataSetReader();
  TDataSetReader(const TDataSetReader&) = delete;
  TDataSetReader& operator=(const TDataSetReader&) = delete;

  // Stands on the first record; false when there is none.
  bool First();
  // Stands on the record after the one read; false at the end.
  bool Next();
  // Stands on the record that Bookmark (GetBookmarkSize() bytes) names;
  // false when it names no record that is still there and visible.
  bool GotoBookmark(const std::uint8_t* Bookmark);
  bool HasRecord() const { return FHasRecord; }
  // Writes the bookmark of the record read (GetBookmarkSize() bytes).
  // REQUIRES: HasRecord().
  void GetBookmark(std::uint8_t* Bookmark) const;

 private:
  bool Read(int GetMode);

  TDataSet& FDataSet;
  int FSavedActive;
  int FSavedCurrent;
  bool FHasRecord = false;
};

}  // namespace qvl

#pragma GCC visibility pop
