#include "qvl/qt/QVLDataSetModel.h"

#include <QDate>
#include <QDateTime>
#include <QTime>
#include <algorithm>
#include <charconv>
#include <cstring>

#include "qvl/host/dataset/DataLink.h"
#include "qvl/host/dataset/DataSetReader.h"
#include "qvl/host/dataset/Field.h"
#include "qvl/host/runtime/DateTime.h"
#include "qvl/host/runtime/Exceptions.h"

namespace qvl {

namespace {

bool IsIntegerType(TFieldType Type) {
  return Type == ftSmallint || Type == ftInteger || Type == ftWord || Type == ftAutoInc ||
         Type == ftLargeint;
}
bool IsNumberType(TFieldType Type) {
  return IsIntegerType(Type) || Type == ftFloat || Type == ftCurrency || IsExactNumericType(Type);
}

QDate ToQDate(TDateTime Value) {
  return QDate(1970, 1, 1).addDays(DatePart(Value));
}
QTime ToQTime(TDateTime Value) {
  return QTime::fromMSecsSinceStartOfDay(static_cast<int>(TimePart(Value) / 1000));
}
TDateTime FromQDate(QDate Date) {
  return EncodeDate(Date.year(), static_cast<unsigned>(Date.month()),
                    static_cast<unsigned>(Date.day()));
}
TDateTime FromQTime(QTime Time) {
  return TDateTime{0, std::int64_t{Time.msecsSinceStartOfDay()} * 1000};
}

// An integer field's value from its bytes in the record.
qlonglong IntegerAt(const void* Data, TFieldType Type) {
  switch (Type) {
    case ftSmallint: {
      std::int16_t v;
      std::memcpy(&v, Data, sizeof v);
      return v;
    }
    case ftWord: {
      std::uint16_t v;
      std::memcpy(&v, Data, sizeof v);
      return v;
    }
    case ftLargeint: {
      std::int64_t v;
      std::memcpy(&v, Data, sizeof v);
      return v;
    }
    default: {
      std::int32_t v;
      std::memcpy(&v, Data, sizeof v);
      return v;
    }
  }
}

// Out becomes the N characters of Text, which are ASCII. A row cache's text
// that no caller holds any more keeps its buffer: the common cell costs no
// allocation.
void AssignAscii(QString& Out, const char* Text, std::size_t N) {
  Out.resize(static_cast<qsizetype>(N));
  auto* to = reinterpret_cast<char16_t*>(Out.data());
  for (std::size_t i = 0; i < N; ++i) to[i] = static_cast<unsigned char>(Text[i]);
}

// The same for UTF-8: ASCII is copied, anything else decoded by Qt.
void AssignUtf8(QString& Out, const char* Text, std::size_t N) {
  Out.resize(static_cast<qsizetype>(N));
  auto* to = reinterpret_cast<char16_t*>(Out.data());
  for (std::size_t i = 0; i < N; ++i) {
    const auto c = static_cast<unsigned char>(Text[i]);
    if (c >= 0x80) {
      Out = QString::fromUtf8(Text, static_cast<qsizetype>(N));
      return;
    }
    to[i] = c;
  }
}

template <class T>
void AssignNumber(QString& Out, T Value) {
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, Value);
  if (ec == std::errc())
    AssignAscii(Out, text, static_cast<std::size_t>(end - text));
  else
    Out = QString::number(Value);
}

// The field's text as a grid shows it into Out; false for null (Out is then
// left as it was). Every cell of every row passes here, so the common types
// are formatted straight from the record's bytes when the dataset could point
// at them (Peeked; Data the value's bytes, null for null), and give the
// same text as the field's GetAsString.
bool FieldText(TField* Field, bool Peeked, const void* Data, QString& Out) {
  const TFieldType type = Field->GetDataType();
  if (Peeked) {
    if (Data == nullptr) return false;
    if (IsStringType(type)) {
      const auto* text = static_cast<const char*>(Data);
      AssignUtf8(Out, text, strnlen(text, static_cast<std::size_t>(Field->GetDataSize())));
      return true;
    }
    if (IsIntegerType(type)) {
      AssignNumber(Out, IntegerAt(Data, type));
      return true;
    }
    if (type == ftFloat) {
      double v;
      std::memcpy(&v, Data, sizeof v);
      AssignNumber(Out, v);
      return true;
    }
    if (type == ftDate) {
      std::int32_t days;
      std::memcpy(&days, Data, sizeof days);
      const std::string text = DateToStr(DateFromDays(days));
      AssignAscii(Out, text.data(), text.size());
      return true;
    }
    if (type == ftVariant) {
      const TVariantCellView value(Data);
      switch (value.Kind()) {
        case vkInteger:
          AssignNumber(Out, value.Integer());
          return true;
        case vkText:
          AssignUtf8(Out, value.Text().data(), value.Length());
          return true;
        default:
          break;
      }
    }
  } else if (Field->IsNull()) {
    return false;
  }
  if (IsBinaryType(type))
    Out = QStringLiteral("(BLOB)");
  else
    Out = QString::fromStdString(Field->GetAsString());
  return true;
}

// A variant field's value in the Qt type of its kind: a number as a number,
// a decimal as its exact text (as decimal fields give it).
QVariant VariantValue(const TVariantField& Field) {
  const TVariantCell cell = Field.GetCell();
  const TVariantCellView value = cell.View();
  switch (value.Kind()) {
    case vkNull:
      return {};
    case vkInteger:
      return QVariant::fromValue<qlonglong>(value.Integer());
    case vkReal:
      return value.Real();
    case vkBytes:
      return QByteArray(reinterpret_cast<const char*>(value.Data()),
                        static_cast<qsizetype>(value.Length()));
    default:
      return QString::fromUtf8(value.Text().data(), static_cast<qsizetype>(value.Length()));
  }
}

// Whether a field's value is shown as a number (right-aligned): by its type,
// or for a variant field by the kind of value it holds.
bool ShowsNumber(const TField* Field) {
  if (const auto* variant = dynamic_cast<const TVariantField*>(Field))
    return variant->GetCell().View().IsNumber();
  return IsNumberType(Field->GetDataType());
}

// The field's value in its Qt type; an invalid variant for null.
QVariant FieldValue(const TField* Field) {
  if (const auto* variant = dynamic_cast<const TVariantField*>(Field))
    return VariantValue(*variant);
  if (Field->IsNull()) return {};
  const TFieldType type = Field->GetDataType();
  if (IsIntegerType(type)) return QVariant::fromValue<qlonglong>(Field->GetAsLargeInt());
  switch (type) {
    case ftBoolean:
      return Field->GetAsBoolean();
    case ftFloat:
    case ftCurrency:
      return Field->GetAsFloat();
    case ftDate:
      return ToQDate(Field->GetAsDateTime());
    case ftTime:
      return ToQTime(Field->GetAsDateTime());
    case ftDateTime:
    case ftTimeStamp: {
      const TDateTime value = Field->GetAsDateTime();
      return QDateTime(ToQDate(value), ToQTime(value));
    }
    default:
      break;
  }
  if (IsBinaryType(type)) {
    const std::string bytes = Field->GetAsString();
    return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
  }
  return QString::fromStdString(Field->GetAsString());
}

void SetFieldValue(TField* Field, const QVariant& Value) {
  const TFieldType type = Field->GetDataType();
  const bool text = Value.typeId() == QMetaType::QString;
  if (!Value.isValid() || Value.isNull() ||
      (text && Value.toString().isEmpty() && !IsStringType(type))) {
    Field->Clear();
    return;
  }
  switch (Value.typeId()) {
    case QMetaType::Bool:
      Field->SetAsBoolean(Value.toBool());
      return;
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
      Field->SetAsLargeInt(Value.toLongLong());
      return;
    case QMetaType::Double:
      Field->SetAsFloat(Value.toDouble());
      return;
    case QMetaType::QDate:
      Field->SetAsDateTime(FromQDate(Value.toDate()));
      return;
    case QMetaType::QTime:
      Field->SetAsDateTime(FromQTime(Value.toTime()));
      return;
    case QMetaType::QDateTime: {
      const QDateTime at = Value.toDateTime();
      Field->SetAsDateTime(TDateTime{FromQDate(at.date()).Days, FromQTime(at.time()).Time});
      return;
    }
    case QMetaType::QByteArray: {
      const QByteArray bytes = Value.toByteArray();
      Field->SetAsString(std::string(bytes.constData(), static_cast<std::size_t>(bytes.size())));
      return;
    }
    default:
      Field->SetAsString(Value.toString().toStdString());
      return;
  }
}

const char* StatusMark(TUpdateStatus Status) {
  switch (Status) {
    case usModified:
      return " *";
    case usInserted:
      return " +";
    case usDeleted:
      return " -";
    default:
      return "";
  }
}

}  // namespace

// The data link: hands the dataset's events to the model.
class TQVLDataSetModel::TLink : public TDataLink {
 public:
  explicit TLink(TQVLDataSetModel& Model) : FModel(Model) {}

 protected:
  void ActiveChanged() override { FModel.OnActiveChanged(); }
  void LayoutChanged() override { FModel.OnActiveChanged(); }
  void DataSetChanged() override { FModel.OnDataSetChanged(); }
  // Scrolling moves the active record only; the rows stay what they are.
  void DataSetScrolled(int) override {}
  void RecordChanged(TField*) override { FModel.OnRecordChanged(); }

 private:
  TQVLDataSetModel& FModel;
};

// The last row read, every column at once: a view reads a row's cells one
// after the other, and the reader is positioned once for them.
struct TQVLDataSetModel::TRowCache {
  int Row = -1;
  std::vector<QString> Text;
  std::vector<std::uint8_t> Null;    // 1 where the field is null (its Text is stale)
  std::vector<std::uint8_t> Number;  // 1 where the value shows as a number
  // Where the row's values lie, as the dataset's PeekFieldsData gives them.
  std::vector<const void*> Data;
  std::unique_ptr<bool[]> Peeked;
  TUpdateStatus Status = usUnmodified;
};

TQVLDataSetModel::TQVLDataSetModel(QObject* Parent)
    : QAbstractTableModel(Parent),
      FLink(std::make_unique<TLink>(*this)),
      FCache(std::make_unique<TRowCache>()) {}

TQVLDataSetModel::~TQVLDataSetModel() {
  FLink->SetDataSet(nullptr);
}

TDataSet* TQVLDataSetModel::GetDataSet() const {
  return FLink->GetDataSet();
}

void TQVLDataSetModel::SetDataSet(TDataSet* Value) {
  FFetchCount = nullptr;
  if (Value == GetDataSet()) return;
  ++FBusy;  // one reset below, not one per link event
  FLink->SetDataSet(Value);
  --FBusy;
  Reset();
}

int TQVLDataSetModel::GetFetchCount() const {
  return FFetchCount ? std::max(1, FFetchCount()) : 256;
}

void TQVLDataSetModel::SetFetchCount(int Value) {
  FFetchCount = [Value] { return Value; };
}

TField* TQVLDataSetModel::ColumnField(int Column) const {
  return Column >= 0 && static_cast<std::size_t>(Column) < FColumns.size()
             ? FColumns[static_cast<std::size_t>(Column)]
             : nullptr;
}

// ---- rows ---------------------------------------------------------------------------------------

void TQVLDataSetModel::Reset() {
  ++FSignalling;
  beginResetModel();
  ReadColumns();
  FMarks.clear();
  FRows = 0;
  FAllRead = false;
  FInsertRow = -1;
  FCache->Row = -1;
  TDataSet* ds = GetDataSet();
  FMarkSize = ds != nullptr && FLink->GetActive()
                  ? static_cast<std::size_t>(std::max(0, ds->GetBookmarkSize()))
                  : 0;
  endResetModel();
  --FSignalling;
}

void TQVLDataSetModel::ReadColumns() {
  FColumns.clear();
  TDataSet* ds = GetDataSet();
  if (ds == nullptr || !FLink->GetActive()) return;
  for (int i = 0; i < ds->Fields().Count(); ++i)
    if (TField* field = ds->Fields()[i]; field->GetVisible()) FColumns.push_back(field);
}

// Reads up to Count bookmarks after the last row (or from the first record)
// into Marks; returns how many.
int TQVLDataSetModel::FetchRows(int Count, std::vector<std::uint8_t>& Marks, bool FromStart) const {
  TDataSet* ds = GetDataSet();
  if (ds == nullptr || !FLink->GetActive() || FMarkSize == 0 || Count <= 0) return 0;
  TDataSetReader reader(*ds);
  bool ok = FromStart || FRows == 0 ? reader.First()
                                    : reader.GotoBookmark(Mark(FRows - 1)) && reader.Next();
  int n = 0;
  const std::size_t start = Marks.size();
  Marks.resize(start + static_cast<std::size_t>(Count) * FMarkSize);
  for (; ok && n < Count; ok = reader.Next())
    reader.GetBookmark(Marks.data() + start + static_cast<std::size_t>(n++) * FMarkSize);
  Marks.resize(start + static_cast<std::size_t>(n) * FMarkSize);
  return n;
}

void TQVLDataSetModel::Revalidate() {
  TDataSet* ds = GetDataSet();
  if (ds == nullptr || !FLink->GetActive()) return Reset();
  FCache->Row = -1;
  if (FInsertRow >= 0 && ds->GetState() == dsInsert) {
    RowChanged(FInsertRow);
    return;
  }
  // Every row read is read again, and one more when all were, so that a
  // record added at the end shows.
  const int limit = FRows + (FAllRead ? 1 : 0);
  std::vector<std::uint8_t> marks;
  marks.reserve(FMarks.size() + FMarkSize);
  const int n = FetchRows(limit, marks, true);
  const bool allRead = n < limit;
  if (FInsertRow < 0 && n == FRows && marks == FMarks) {
    FAllRead = allRead;
    if (FRows > 0) {
      emit dataChanged(index(0, 0), index(FRows - 1, std::max(0, columnCount() - 1)));
      emit headerDataChanged(Qt::Vertical, 0, FRows - 1);
    }
    return;
  }
  ++FSignalling;
  beginResetModel();
  FMarks.swap(marks);
  FRows = n;
  FAllRead = allRead;
  FInsertRow = -1;
  endResetModel();
  --FSignalling;
}

int TQVLDataSetModel::FindRow(const TBookmark& Bookmark) const {
  TDataSet* ds = GetDataSet();
  if (Bookmark.size() != FMarkSize || FRows == 0 || ds == nullptr) return -1;
  auto at = [&](int Row) { return TBookmark(Mark(Row), Mark(Row) + FMarkSize); };
  if (FInsertRow >= 0) {  // the pending row has no bookmark to order by
    for (int row = 0; row < FRows; ++row)
      if (row != FInsertRow && std::memcmp(Mark(row), Bookmark.data(), FMarkSize) == 0) return row;
    return -1;
  }
  int lo = 0, hi = FRows - 1;
  while (lo <= hi) {
    const int mid = lo + (hi - lo) / 2;
    const int c = ds->CompareBookmarks(at(mid), Bookmark);
    if (c == 0) return mid;
    if (c < 0)
      lo = mid + 1;
    else
      hi = mid - 1;
  }
  return -1;
}

int TQVLDataSetModel::ActiveRow() {
  TDataSet* ds = GetDataSet();
  if (ds == nullptr || !FLink->GetActive() || ds->IsEmpty()) return -1;
  if (ds->GetState() == dsInsert) return FInsertRow;
  const TBookmark bookmark = ds->GetBookmark();
  for (;;) {
    const int row = FindRow(bookmark);
    if (row >= 0 || !canFetchMore(QModelIndex())) return row;
    if (FRows > 0 &&
        ds->CompareBookmarks(TBookmark(Mark(FRows - 1), Mark(FRows - 1) + FMarkSize), bookmark) > 0)
      return -1;
    fetchMore(QModelIndex());
  }
}

bool TQVLDataSetModel::LoadRow(int Row) const {
  if (FCache->Row == Row) return true;
  FCache->Row = -1;
  TDataSet* ds = GetDataSet();
  if (ds == nullptr || Row < 0 || Row >= FRows) return false;
  auto fill = [&] {
    TRowCache& cache = *FCache;
    const std::size_t n = FColumns.size();
    if (cache.Data.size() != n) {
      cache.Text.resize(n);
      cache.Null.resize(n);
      cache.Number.resize(n);
      cache.Data.resize(n);
      cache.Peeked = std::make_unique<bool[]>(n);
    }
    ds->PeekFieldsData(FColumns.data(), n, cache.Data.data(), cache.Peeked.get());
    for (std::size_t i = 0; i < n; ++i) {
      cache.Null[i] = FieldText(FColumns[i], cache.Peeked[i], cache.Data[i], cache.Text[i]) ? 0 : 1;
      // A variant column's cells align by what each holds.
      if (FColumns[i]->GetDataType() != ftVariant)
        cache.Number[i] = IsNumberType(FColumns[i]->GetDataType()) ? 1 : 0;
      else if (cache.Peeked[i])
        cache.Number[i] = TVariantCellView(cache.Data[i]).IsNumber() ? 1 : 0;
      else
        cache.Number[i] = ShowsNumber(FColumns[i]) ? 1 : 0;
    }
    FCache->Status = ds->UpdateStatus();
  };
  if (Row == FInsertRow) {
    fill();  // the record being inserted is the active one
  } else {
    TDataSetReader reader(*ds);
    if (!reader.GotoBookmark(Mark(Row))) return false;
    fill();
  }
  FCache->Row = Row;
  return true;
}

void TQVLDataSetModel::RowChanged(int Row) {
  FCache->Row = -1;
  if (Row < 0 || Row >= FRows) return;
  emit dataChanged(index(Row, 0), index(Row, std::max(0, columnCount() - 1)));
  emit headerDataChanged(Qt::Vertical, Row, Row);
}

bool TQVLDataSetModel::GotoRow(int Row) {
  TDataSet* ds = GetDataSet();
  const TBookmark bookmark(Mark(Row), Mark(Row) + FMarkSize);
  if (!ds->BookmarkValid(bookmark)) return false;
  ds->GotoBookmark(bookmark);
  return true;
}

void TQVLDataSetModel::ReportError(const QString& Message) {
  FLastError = Message;
  emit errorOccurred(Message);
}

// ---- link events
// ----------------------------------------------------------------------------------

void TQVLDataSetModel::OnActiveChanged() {
  if (FBusy == 0) Reset();
}

void TQVLDataSetModel::OnDataSetChanged() {
  if (FBusy == 0) Revalidate();
}

void TQVLDataSetModel::OnRecordChanged() {
  if (FBusy != 0) return;
  TDataSet* ds = GetDataSet();
  if (ds->GetState() == dsInsert) return RowChanged(FInsertRow);
  RowChanged(FindRow(ds->GetBookmark()));
}

// ---- QAbstractItemModel
// --------------------------------------------------------------------------

int TQVLDataSetModel::rowCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : FRows;
}

int TQVLDataSetModel::columnCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : static_cast<int>(FColumns.size());
}

QVariant TQVLDataSetModel::data(const QModelIndex& Index, int Role) const {
  if (!Index.isValid() || Index.model() != this || Index.row() >= FRows ||
      Index.column() >= static_cast<int>(FColumns.size()))
    return {};
  const TField* field = FColumns[static_cast<std::size_t>(Index.column())];
  switch (Role) {
    case Qt::DisplayRole: {
      if (!LoadRow(Index.row())) return {};
      const auto column = static_cast<std::size_t>(Index.column());
      if (FCache->Null[column] != 0) return {};
      return FCache->Text[column];
    }
    case IsNullRole:
      if (!LoadRow(Index.row())) return {};
      return FCache->Null[static_cast<std::size_t>(Index.column())] != 0;
    case UpdateStatusRole:
      if (!LoadRow(Index.row())) return {};
      return static_cast<int>(FCache->Status);
    case Qt::EditRole: {
      TDataSet* ds = GetDataSet();
      if (Index.row() == FInsertRow) return FieldValue(field);
      TDataSetReader reader(*ds);
      if (!reader.GotoBookmark(Mark(Index.row()))) return {};
      return FieldValue(field);
    }
    case Qt::TextAlignmentRole: {
      bool number = IsNumberType(field->GetDataType());
      if (field->GetDataType() == ftVariant)
        number = LoadRow(Index.row()) && FCache->Number[static_cast<std::size_t>(Index.column())];
      return QVariant::fromValue(Qt::AlignVCenter | (number ? Qt::AlignRight : Qt::AlignLeft));
    }
    default:
      return {};
  }
}

QVariant TQVLDataSetModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
  if (Orientation == Qt::Horizontal) {
    if (Role != Qt::DisplayRole) return {};
    const TField* field = ColumnField(Section);
    return field == nullptr ? QVariant() : QString::fromStdString(field->GetDisplayName());
  }
  if (Section < 0 || Section >= FRows || (Role != Qt::DisplayRole && Role != UpdateStatusRole))
    return {};
  const TUpdateStatus status = LoadRow(Section) ? FCache->Status : usUnmodified;
  if (Role == UpdateStatusRole) return static_cast<int>(status);
  return QString::number(Section + 1) + QLatin1String(StatusMark(status));
}

Qt::ItemFlags TQVLDataSetModel::flags(const QModelIndex& Index) const {
  if (!Index.isValid() || Index.model() != this || Index.row() >= FRows ||
      Index.column() >= static_cast<int>(FColumns.size()))
    return Qt::NoItemFlags;
  Qt::ItemFlags result = Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
  const TField* field = FColumns[static_cast<std::size_t>(Index.column())];
  if (!field->GetReadOnly() && field->GetFieldKind() == fkData && GetDataSet()->GetCanModify())
    result |= Qt::ItemIsEditable;
  return result;
}

bool TQVLDataSetModel::setData(const QModelIndex& Index, const QVariant& Value, int Role) {
  if (Role != Qt::EditRole || !(flags(Index) & Qt::ItemIsEditable)) return false;
  const int row = Index.row();
  if (FInsertRow >= 0 && row != FInsertRow && !submit()) return false;
  TDataSet* ds = GetDataSet();
  TField* field = FColumns[static_cast<std::size_t>(Index.column())];
  bool ok = true;
  ++FBusy;
  try {
    if (row == FInsertRow) {
      SetFieldValue(field, Value);
    } else if (!GotoRow(row)) {
      ok = false;
      ReportError(tr("The record of row %1 is no longer in the dataset").arg(row + 1));
    } else {
      ds->Edit();
      try {
        SetFieldValue(field, Value);
        ds->Post();
      } catch (...) {
        if (ds->GetState() == dsEdit) ds->Cancel();
        throw;
      }
    }
  } catch (const Exception& e) {
    ok = false;
    ReportError(QString::fromUtf8(e.what()));
  }
  --FBusy;
  RowChanged(row);
  return ok;
}

bool TQVLDataSetModel::insertRows(int Row, int Count, const QModelIndex& Parent) {
  TDataSet* ds = GetDataSet();
  if (Parent.isValid() || Count != 1 || Row < 0 || Row > FRows || ds == nullptr ||
      !FLink->GetActive() || FMarkSize == 0)
    return false;
  if (FInsertRow >= 0 && !submit()) return false;
  if (Row == FRows)
    while (canFetchMore(QModelIndex())) fetchMore(QModelIndex());
  bool ok = true;
  ++FBusy;
  try {
    if (Row < FRows) {
      if (!GotoRow(Row)) {
        ok = false;
        ReportError(tr("The record of row %1 is no longer in the dataset").arg(Row + 1));
      } else {
        ds->Insert();
      }
    } else {
      ds->Append();
    }
  } catch (const Exception& e) {
    ok = false;
    ReportError(QString::fromUtf8(e.what()));
  }
  --FBusy;
  if (!ok) return false;
  ++FSignalling;
  beginInsertRows(QModelIndex(), Row, Row);
  FMarks.insert(
      FMarks.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(Row) * FMarkSize),
      FMarkSize, 0);
  ++FRows;
  FInsertRow = Row;
  FCache->Row = -1;
  endInsertRows();
  --FSignalling;
  return true;
}

bool TQVLDataSetModel::removeRows(int Row, int Count, const QModelIndex& Parent) {
  TDataSet* ds = GetDataSet();
  if (Parent.isValid() || Count < 1 || Row < 0 || Row + Count > FRows || ds == nullptr)
    return false;
  if (FInsertRow >= 0) {
    if (Count == 1 && Row == FInsertRow) {
      revert();
      return FInsertRow < 0;
    }
    if (!submit()) return false;
  }
  for (int i = 0; i < Count; ++i) {
    bool ok = true;
    ++FBusy;
    try {
      if (!GotoRow(Row)) {
        ok = false;
        ReportError(tr("The record of row %1 is no longer in the dataset").arg(Row + 1));
      } else {
        ds->Delete();
      }
    } catch (const Exception& e) {
      ok = false;
      ReportError(QString::fromUtf8(e.what()));
    }
    --FBusy;
    FCache->Row = -1;
    if (!ok) return false;
    // A deleted record that the dataset still shows (its status filter
    // includes deleted records) keeps its row.
    bool stays;
    {
      TDataSetReader reader(*ds);
      stays = reader.GotoBookmark(Mark(Row));
    }
    if (stays) {
      RowChanged(Row++);
      continue;
    }
    ++FSignalling;
    beginRemoveRows(QModelIndex(), Row, Row);
    const auto at =
        FMarks.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(Row) * FMarkSize);
    FMarks.erase(at, at + static_cast<std::ptrdiff_t>(FMarkSize));
    --FRows;
    endRemoveRows();
    --FSignalling;
  }
  return true;
}

bool TQVLDataSetModel::canFetchMore(const QModelIndex& Parent) const {
  return !Parent.isValid() && !FAllRead && FMarkSize > 0 && FInsertRow < 0 && FLink->GetActive();
}

void TQVLDataSetModel::fetchMore(const QModelIndex& Parent) {
  if (FSignalling != 0 || !canFetchMore(Parent)) return;
  std::vector<std::uint8_t> marks;
  const int count = GetFetchCount();
  int n;
  try {
    n = FetchRows(count, marks, false);
  } catch (const Exception& e) {
    FAllRead = true;
    ReportError(QString::fromUtf8(e.what()));
    return;
  }
  if (n < count) FAllRead = true;
  if (n == 0) return;
  ++FSignalling;
  beginInsertRows(QModelIndex(), FRows, FRows + n - 1);
  FMarks.insert(FMarks.end(), marks.begin(), marks.end());
  FRows += n;
  endInsertRows();
  --FSignalling;
}

bool TQVLDataSetModel::submit() {
  if (FInsertRow < 0) return true;
  TDataSet* ds = GetDataSet();
  if (ds->GetState() != dsInsert) {
    FInsertRow = -1;
    Revalidate();
    return true;
  }
  ++FBusy;
  try {
    ds->Post();
  } catch (const Exception& e) {
    --FBusy;
    ReportError(QString::fromUtf8(e.what()));
    return false;
  }
  --FBusy;
  const int row = FInsertRow;
  FInsertRow = -1;
  const TBookmark bookmark = ds->GetBookmark();
  if (bookmark.size() != FMarkSize) {
    Revalidate();
    return true;
  }
  std::memcpy(FMarks.data() + static_cast<std::size_t>(row) * FMarkSize, bookmark.data(),
              FMarkSize);
  RowChanged(row);
  return true;
}

void TQVLDataSetModel::revert() {
  if (FInsertRow < 0) return;
  TDataSet* ds = GetDataSet();
  if (ds->GetState() == dsInsert) {
    ++FBusy;
    try {
      ds->Cancel();
    } catch (const Exception& e) {
      --FBusy;
      ReportError(QString::fromUtf8(e.what()));
      return;
    }
    --FBusy;
  }
  const int row = FInsertRow;
  FInsertRow = -1;
  ++FSignalling;
  beginRemoveRows(QModelIndex(), row, row);
  const auto at =
      FMarks.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(row) * FMarkSize);
  FMarks.erase(at, at + static_cast<std::ptrdiff_t>(FMarkSize));
  --FRows;
  FCache->Row = -1;
  endRemoveRows();
  --FSignalling;
}

}  // namespace qvl
