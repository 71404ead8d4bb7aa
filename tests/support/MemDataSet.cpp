#include "tests/support/MemDataSet.h"

#include <algorithm>

#include "qvl/host/dataset/DBConsts.h"

namespace qvl::test {

namespace {
bool IsComputingState(TDataSetState s) {
  return s == dsCalcFields || s == dsFilter || s == dsNewValue || s == dsInternalCalc;
}
}  // namespace

// A stream over one blob slot of a buffer; the buffer outlives the stream.
class TMemBlobStream : public TStream {
 public:
  TMemBlobStream(TMemDataSet* DataSet, TField* Field, TBlobByteData& Data, TBlobStreamMode Mode)
      : FDataSet(DataSet), FField(Field), FData(Data) {
    if (Mode == bmWrite) {
      FData = TBlobByteData::Empty();
      FModified = true;
    }
  }
  ~TMemBlobStream() override {
    if (FModified && !IsComputingState(FDataSet->GetState()))
      FDataSet->DataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(FField));
  }
  std::int32_t Read(void* Buffer, std::int32_t Count) override {
    std::int64_t n =
        std::min<std::int64_t>(Count, static_cast<std::int64_t>(FData.Length()) - FPos);
    if (n <= 0) return 0;
    std::memcpy(Buffer, FData.Data() + FPos, static_cast<std::size_t>(n));
    FPos += n;
    return static_cast<std::int32_t>(n);
  }
  std::int32_t Write(const void* Buffer, std::int32_t Count) override {
    if (static_cast<std::size_t>(FPos + Count) > FData.Length())
      FData.SetLength(static_cast<std::size_t>(FPos + Count));
    std::memcpy(FData.MutableData() + FPos, Buffer, static_cast<std::size_t>(Count));
    FPos += Count;
    FModified = true;
    return Count;
  }
  std::int32_t Seek(std::int32_t Offset, std::uint16_t Origin) override {
    if (Origin == soFromBeginning) FPos = Offset;
    if (Origin == soFromCurrent) FPos += Offset;
    if (Origin == soFromEnd) FPos = static_cast<std::int64_t>(FData.Length()) + Offset;
    return static_cast<std::int32_t>(FPos);
  }

 private:
  TMemDataSet* FDataSet;
  TField* FField;
  TBlobByteData& FData;
  std::int64_t FPos = 0;
  bool FModified = false;
};

void TMemDataSet::InternalOpen() {
  Log.push_back("Open");
  FieldDefs().Clear();
  for (const auto& c : FColumns) FieldDefs().Add(c.Name, c.Type, c.Size);
  CreateAndBindFields();
  FOpen = true;
  FCursor = -1;
  if (!FPending.empty()) {
    // Load the initial rows through the fields, in a computing state.
    TDataSetState saved = SetTempState(dsInternalCalc);
    for (const auto& values : FPending) {
      Buf load;
      load.Values.resize(static_cast<std::size_t>(Fields().Count()));
      load.Blobs.resize(static_cast<std::size_t>(Fields().Count()));
      FFilterBuffer = &load;
      for (std::size_t i = 0; i < values.size(); ++i)
        Fields()[static_cast<int>(i)]->SetAsVariant(values[i]);
      FFilterBuffer = nullptr;
      Row row;
      row.Id = FNextId++;
      row.Values = load.Values;
      row.Blobs = load.Blobs;
      FRows.push_back(std::move(row));
    }
    RestoreState(saved);
    FPending.clear();
  }
}

void TMemDataSet::InternalClose() {
  Log.push_back("Close");
  FOpen = false;
}

int TMemDataSet::IndexOfId(std::int32_t Id) const {
  for (std::size_t i = 0; i < FRows.size(); ++i)
    if (FRows[i].Id == Id) return static_cast<int>(i);
  return -1;
}

void TMemDataSet::Fill(Buf* Buffer, int Index) {
  const Row& row = FRows[static_cast<std::size_t>(Index)];
  Buffer->Id = row.Id;
  Buffer->Flag = bfCurrent;
  Buffer->Inserted = false;
  Buffer->Values = row.Values;
  Buffer->Values.resize(static_cast<std::size_t>(Fields().Count()));
  Buffer->Blobs = row.Blobs;
  Buffer->Blobs.resize(static_cast<std::size_t>(Fields().Count()));
}

bool TMemDataSet::Accept(int Index) {
  if (!GetFiltered() || !GetOnFilterRecord()) return true;
  Buf candidate;
  Fill(&candidate, Index);
  FFilterBuffer = &candidate;
  TDataSetState saved = SetTempState(dsFilter);
  bool accept = true;
  try {
    GetOnFilterRecord()(this, accept);
  } catch (...) {
    RestoreState(saved);
    FFilterBuffer = nullptr;
    throw;
  }
  RestoreState(saved);
  FFilterBuffer = nullptr;
  return accept;
}

TGetResult TMemDataSet::GetRecord(TRecordBuffer Buffer, TGetMode GetMode, bool) {
  const int count = RowCount();
  for (;;) {
    switch (GetMode) {
      case gmNext:
        if (FCursor >= count) return grEOF;
        if (++FCursor >= count) return grEOF;
        break;
      case gmPrior:
        if (FCursor < 0) return grBOF;
        if (--FCursor < 0) return grBOF;
        break;
      case gmCurrent:
        if (FCursor < 0 || FCursor >= count) return grError;
        break;
    }
    if (Accept(FCursor)) break;
    if (GetMode == gmCurrent) return grError;
  }
  Fill(B(Buffer), FCursor);
  ++FetchCount;
  GetCalcFields(Buffer);
  return grOK;
}

void TMemDataSet::InternalInitRecord(TRecordBuffer Buffer) {
  Buf* b = B(Buffer);
  b->Id = 0;
  b->Inserted = true;
  b->Values.assign(static_cast<std::size_t>(Fields().Count()), std::nullopt);
  b->Blobs.assign(static_cast<std::size_t>(Fields().Count()), TBlobByteData());
}

void TMemDataSet::InternalGotoBookmark(const void* Bookmark) {
  std::int32_t id;
  std::memcpy(&id, Bookmark, 4);
  int index = IndexOfId(id);
  if (index < 0) DatabaseError(SBookmarkNotFound, this);
  FCursor = index;
}

void TMemDataSet::InternalSetToRecord(TRecordBuffer Buffer) {
  Log.push_back("SetToRecord");
  Buf* b = B(Buffer);
  if (b->Flag == bfEOF) {
    FCursor = RowCount();
    return;
  }
  if (b->Flag == bfBOF) {
    FCursor = -1;
    return;
  }
  int index = IndexOfId(b->Id);
  FCursor = index < 0 ? RowCount() : index;
}

bool TMemDataSet::BookmarkValid(const TBookmark& Bookmark) {
  if (Bookmark.size() != 4) return false;
  std::int32_t id;
  std::memcpy(&id, Bookmark.data(), 4);
  return IndexOfId(id) >= 0;
}

int TMemDataSet::CompareBookmarks(const TBookmark& A, const TBookmark& B) {
  if (A.empty() || B.empty()) return A.empty() == B.empty() ? 0 : (A.empty() ? 1 : -1);
  std::int32_t a, b;
  std::memcpy(&a, A.data(), 4);
  std::memcpy(&b, B.data(), 4);
  int ia = IndexOfId(a), ib = IndexOfId(b);
  return ia < ib ? -1 : (ia > ib ? 1 : 0);
}

void TMemDataSet::InternalEdit() {
  Log.push_back("Edit");
  if (FailEdit) DatabaseError("edit refused", this);
}

void TMemDataSet::InternalPost() {
  TDataSet::InternalPost();
  Log.push_back("Post");
  if (FailPostOnce) {
    FailPostOnce = false;
    DatabaseError("post refused", this);
  }
  Buf* b = B(ActiveBuffer());
  if (GetState() == dsEdit) {
    Row& row = FRows[static_cast<std::size_t>(IndexOfId(b->Id))];
    row.Values = b->Values;
    row.Blobs = b->Blobs;
    return;
  }
  int at;
  if (b->Flag == bfEOF)
    at = RowCount();
  else if (b->Flag == bfBOF)
    at = 0;
  else
    at = std::max(0, IndexOfId(b->Id));
  if (b->Flag == bfInserted && IndexOfId(b->Id) < 0) at = RowCount();
  Row row;
  row.Id = FNextId++;
  row.Values = b->Values;
  row.Blobs = b->Blobs;
  FRows.insert(FRows.begin() + at, std::move(row));
  b->Id = FRows[static_cast<std::size_t>(at)].Id;
  b->Flag = bfCurrent;
  b->Inserted = false;
  FCursor = at;
}

void TMemDataSet::InternalAddRecord(TRecordBuffer Buffer, bool Append) {
  Log.push_back(Append ? "AddRecord(append)" : "AddRecord(insert)");
  Buf* b = B(Buffer);
  int at = Append ? RowCount() : std::clamp(FCursor, 0, RowCount());
  Row row;
  row.Id = FNextId++;
  row.Values = b->Values;
  row.Blobs = b->Blobs;
  FRows.insert(FRows.begin() + at, std::move(row));
  FCursor = at;
}

void TMemDataSet::InternalDelete() {
  Log.push_back("Delete");
  if (FCursor >= 0 && FCursor < RowCount()) FRows.erase(FRows.begin() + FCursor);
}

int TMemDataSet::GetRecNo() {
  CheckActive();
  if (IsEmpty()) return -1;
  int index = IndexOfId(B(ActiveBuffer())->Id);
  return index < 0 ? -1 : index + 1;
}

TMemDataSet::Buf* TMemDataSet::FieldsBuffer() {
  if (FFilterBuffer != nullptr) return FFilterBuffer;
  switch (GetState()) {
    case dsCalcFields:
      return B(CalcBuffer());
    default:
      return IsEmpty() ? nullptr : B(ActiveBuffer());
  }
}

const TMemDataSet::Row* TMemDataSet::OldRowOf(const Buf* Buffer) const {
  int index = IndexOfId(Buffer->Id);
  return (index < 0 || Buffer->Inserted) ? nullptr : &FRows[static_cast<std::size_t>(index)];
}

bool TMemDataSet::GetFieldData(TField* Field, void* Buffer) {
  Buf* b = FieldsBuffer();
  if (b == nullptr) return false;
  const auto index = static_cast<std::size_t>(Field->GetIndex());
  const std::vector<std::optional<std::vector<std::uint8_t>>>* values = &b->Values;
  const std::vector<TBlobByteData>* blobs = &b->Blobs;
  if (GetState() == dsOldValue && FFilterBuffer == nullptr) {
    if (const Row* old = OldRowOf(b)) {
      values = &old->Values;
      blobs = &old->Blobs;
    }
  }
  if (Field->IsBlob()) {
    if (index >= blobs->size() || (*blobs)[index].IsNull()) return false;
    if (Buffer != nullptr) *static_cast<TBlobByteData*>(Buffer) = (*blobs)[index];
    return true;
  }
  if (index >= values->size() || !(*values)[index]) return false;
  if (Buffer != nullptr) std::memcpy(Buffer, (*values)[index]->data(), (*values)[index]->size());
  return true;
}

void TMemDataSet::SetFieldData(TField* Field, const void* Buffer) {
  Buf* b = FieldsBuffer();
  if (b == nullptr) DatabaseError(SNotEditing, this);
  const auto index = static_cast<std::size_t>(Field->GetIndex());
  if (Field->IsBlob()) {
    if (Buffer == nullptr) b->Blobs[index].Clear();  // blobs get values through their streams
  } else if (Buffer == nullptr) {
    b->Values[index].reset();
  } else {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(Field->GetDataSize()), 0);
    if (dynamic_cast<TStringField*>(Field) != nullptr) {
      std::size_t n = strnlen(static_cast<const char*>(Buffer), bytes.size() - 1);
      std::memcpy(bytes.data(), Buffer, n);
    } else {
      std::memcpy(bytes.data(), Buffer, bytes.size());
    }
    b->Values[index] = std::move(bytes);
  }
  if (!IsComputingState(GetState()))
    DataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(Field));
}

std::unique_ptr<TStream> TMemDataSet::CreateBlobStream(TField* Field, TBlobStreamMode Mode) {
  Buf* b = FieldsBuffer();
  if (b == nullptr) DatabaseError(SNotEditing, this);
  return std::make_unique<TMemBlobStream>(
      this, Field, b->Blobs[static_cast<std::size_t>(Field->GetIndex())], Mode);
}

TUpdateStatus TMemDataSet::UpdateStatus() {
  Buf* b = FieldsBuffer();
  return (b != nullptr && b->Inserted) ? usInserted : usUnmodified;
}

bool TMemDataSet::Locate(const std::string& KeyFields, const Variant& KeyValues, TLocateOptions) {
  CheckBrowseMode();
  for (int i = 0; i < RowCount(); ++i) {
    Buf probe;
    Fill(&probe, i);
    FFilterBuffer = &probe;
    bool match = false;
    try {
      match = GetFieldValue(KeyFields) == KeyValues;
    } catch (const EVariantError&) {
    }
    FFilterBuffer = nullptr;
    if (match) {
      DoBeforeScroll();
      FCursor = i;
      Resync(rmExact | rmCenter);
      DoAfterScroll();
      return true;
    }
  }
  return false;
}

Variant TMemDataSet::Lookup(const std::string& KeyFields, const Variant& KeyValues,
                            const std::string& ResultFields) {
  for (int i = 0; i < RowCount(); ++i) {
    Buf probe;
    Fill(&probe, i);
    FFilterBuffer = &probe;
    bool match = false;
    Variant result;
    try {
      match = GetFieldValue(KeyFields) == KeyValues;
      if (match) result = GetFieldValue(ResultFields);
    } catch (const EVariantError&) {
    }
    FFilterBuffer = nullptr;
    if (match) return result;
  }
  return Variant::Null();
}

}  // namespace qvl::test
