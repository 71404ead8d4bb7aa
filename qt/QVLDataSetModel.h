#pragma once
// TQVLDataSetModel: a Qt table model over any open dataset, so that a
// QTableView shows and edits the dataset's records.
//
// Columns are the dataset's visible fields, headed by their display names.
// Rows are the dataset's records in order, read lazily: canFetchMore and
// fetchMore read the next FetchCount records (a QVL component's PageSize) from
// the dataset, which fetches them from its server cursor as needed. The model
// keeps one bookmark per row read and reads a row through TDataSetReader, so
// reading any row costs the same wherever it is, never moves the dataset's
// active record, and a record the dataset has freed is never read: its
// bookmark no longer validates. The dataset must support bookmarks and scroll
// both ways.
//
// Roles: DisplayRole is the field's text (null: empty), EditRole the value in
// its Qt type (null: an invalid QVariant), IsNullRole whether the value is
// null, UpdateStatusRole the record's TUpdateStatus; numbers align right. The
// vertical header shows the row number and the update status ("*" modified,
// "+" inserted, "-" deleted).
//
// Editing: setData moves the dataset to the row, then Edit, the field's
// value, Post. A value the field refuses cancels the edit, leaves the record
// as it was and reports the error (LastError, errorOccurred). insertRows
// inserts one record before a row (or appends) and leaves it in insert state
// until submit() posts it or revert() cancels it; removeRows deletes records.
//
// Changes made to the dataset by code reach the model through its data link:
// a record's field change updates its row; any other change of the records
// (post, delete, refresh, cached updates applied or cancelled) makes the
// model read its rows' bookmarks again: unchanged rows are repainted,
// otherwise the model is reset. Closing the dataset empties the model.
//
// The dataset must outlive the model or be unlinked first (SetDataSet(nullptr)).

#include <QAbstractTableModel>
#include <QString>
#include <QVariant>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "qvl/host/dataset/DataSet.h"

namespace qvl {

class TQVLDataSetModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum TRole { IsNullRole = Qt::UserRole + 1, UpdateStatusRole };

  explicit TQVLDataSetModel(QObject* Parent = nullptr);
  ~TQVLDataSetModel() override;

  TDataSet* GetDataSet() const;
  void SetDataSet(TDataSet* Value);
  // A QVL component: fetches by its PageSize, read at each fetch.
  template <class TComponentDataSet>
  requires requires(TComponentDataSet& D) { D.GetPageSize(); }
  void SetDataSet(TComponentDataSet* Value) {
    SetDataSet(static_cast<TDataSet*>(Value));
    if (Value != nullptr) FFetchCount = [Value] { return Value->GetPageSize(); };
  }
  // Records read by one fetchMore (at least 1); 256 unless set or given by a component.
  int GetFetchCount() const;
  void SetFetchCount(int Value);

  TField* ColumnField(int Column) const;
  // The row of the dataset's active record, reading on until it is reached;
  // -1 when the dataset is closed or empty or in insert state elsewhere.
  int ActiveRow();
  // The last error that setData, insertRows, removeRows or submit reported.
  const QString& LastError() const { return FLastError; }

  // ---- QAbstractItemModel ----------------------------------------------------------
  int rowCount(const QModelIndex& Parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& Parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;
  QVariant headerData(int Section, Qt::Orientation Orientation,
                      int Role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& Index) const override;
  bool setData(const QModelIndex& Index, const QVariant& Value, int Role = Qt::EditRole) override;
  bool insertRows(int Row, int Count, const QModelIndex& Parent = QModelIndex()) override;
  bool removeRows(int Row, int Count, const QModelIndex& Parent = QModelIndex()) override;
  bool canFetchMore(const QModelIndex& Parent) const override;
  void fetchMore(const QModelIndex& Parent) override;
  bool submit() override;
  void revert() override;

 signals:
  void errorOccurred(const QString& Message);

 private:
  class TLink;
  friend class TLink;
  struct TRowCache;

  // Link events.
  void OnActiveChanged();
  void OnDataSetChanged();
  void OnRecordChanged();

  void Reset();
  void ReadColumns();
  void Revalidate();
  int FetchRows(int Count, std::vector<std::uint8_t>& Marks, bool FromStart) const;
  const std::uint8_t* Mark(int Row) const {
    return FMarks.data() + static_cast<std::size_t>(Row) * FMarkSize;
  }
  int FindRow(const TBookmark& Bookmark) const;
  bool LoadRow(int Row) const;
  bool GotoRow(int Row);
  void ReportError(const QString& Message);
  void RowChanged(int Row);

  std::unique_ptr<TLink> FLink;
  std::vector<TField*> FColumns;
  std::vector<std::uint8_t> FMarks;  // FMarkSize bytes a row
  std::size_t FMarkSize = 0;
  int FRows = 0;
  bool FAllRead = false;
  int FInsertRow = -1;  // the row of the record being inserted through insertRows
  int FBusy = 0;        // the model itself is changing the dataset: link events are its own
  // Announcing a change of rows: fetchMore from a listener would nest one change in another.
  int FSignalling = 0;
  std::function<int()> FFetchCount;
  QString FLastError;
  std::unique_ptr<TRowCache> FCache;
};

}  // namespace qvl
