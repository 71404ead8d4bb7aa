#pragma once
// A small in-memory dataset for the framework's tests: rows in a vector,
// each buffer a copy of one row, bookmarks are row ids. It records the
// framework's calls to its hooks in Log so tests can check their order.

#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qvl/host/dataset/DataSet.h"
#include "qvl/host/dataset/Field.h"
#include "qvl/host/runtime/BlobByteData.h"
#include "qvl/host/runtime/Stream.h"

namespace qvl::test {

class TMemDataSet : public TDataSet {
 public:
  struct Row {
    std::int32_t Id = 0;
    std::vector<std::optional<std::vector<std::uint8_t>>> Values;  // one per field, native format
    std::vector<TBlobByteData> Blobs;                              // one per field (blob fields)
  };

  explicit TMemDataSet(TComponent* AOwner = nullptr) : TDataSet(AOwner) { SetBookmarkSize(4); }
  ~TMemDataSet() override { DestroyingDataSet(); }

  // Column definitions used at open.
  void AddColumn(const std::string& Name, TFieldType Type, int Size = 0) {
    FColumns.push_back({Name, Type, Size});
  }
  // Rows are given as variants in column order, set through the fields.
  void AddRows(const std::vector<std::vector<Variant>>& Rows) { FPending = Rows; }
  int RowCount() const { return static_cast<int>(FRows.size()); }
  std::vector<std::string> Log;
  int FetchCount = 0;  // records handed out by GetRecord
  bool FailPostOnce = false;
  bool FailEdit = false;

  // ---- descendant interface ----
  TRecordBuffer AllocRecordBuffer() override { return reinterpret_cast<TRecordBuffer>(new Buf()); }
  void FreeRecordBuffer(TRecordBuffer& Buffer) override {
    delete reinterpret_cast<Buf*>(Buffer);
    Buffer = nullptr;
  }
  TGetResult GetRecord(TRecordBuffer Buffer, TGetMode GetMode, bool DoCheck) override;
  void InternalInitRecord(TRecordBuffer Buffer) override;
  void InternalOpen() override;
  void InternalClose() override;
  bool IsCursorOpen() override { return FOpen; }
  void InternalFirst() override {
    FCursor = -1;
    Log.push_back("First");
  }
  void InternalLast() override {
    FCursor = RowCount();
    Log.push_back("Last");
  }
  void GetBookmarkData(TRecordBuffer Buffer, void* Data) override {
    std::memcpy(Data, &B(Buffer)->Id, 4);
  }
  void SetBookmarkData(TRecordBuffer Buffer, const void* Data) override {
    std::memcpy(&B(Buffer)->Id, Data, 4);
  }
  TBookmarkFlag GetBookmarkFlag(TRecordBuffer Buffer) override { return B(Buffer)->Flag; }
  void SetBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) override {
    B(Buffer)->Flag = Value;
  }
  void InternalGotoBookmark(const void* Bookmark) override;
  void InternalSetToRecord(TRecordBuffer Buffer) override;
  bool BookmarkValid(const TBookmark& Bookmark) override;
  int CompareBookmarks(const TBookmark& A, const TBookmark& B) override;
  void InternalEdit() override;
  void InternalPost() override;
  void InternalCancel() override { Log.push_back("Cancel"); }
  void InternalDelete() override;
  void InternalAddRecord(TRecordBuffer Buffer, bool Append) override;
  int GetRecordCount() override {
    CheckActive();
    return RowCount();
  }
  int GetRecNo() override;
  bool GetCanModify() override { return !GetUniDirectional() && !FReadOnly; }
  void SetReadOnly(bool Value) { FReadOnly = Value; }
  bool GetFieldData(TField* Field, void* Buffer) override;
  void SetFieldData(TField* Field, const void* Buffer) override;
  std::unique_ptr<TStream> CreateBlobStream(TField* Field, TBlobStreamMode Mode) override;
  TUpdateStatus UpdateStatus() override;
  bool Locate(const std::string& KeyFields, const Variant& KeyValues,
              TLocateOptions Options) override;
  Variant Lookup(const std::string& KeyFields, const Variant& KeyValues,
                 const std::string& ResultFields) override;

 private:
  struct Buf {
    std::int32_t Id = 0;
    TBookmarkFlag Flag = bfCurrent;
    bool Inserted = false;
    std::vector<std::optional<std::vector<std::uint8_t>>> Values;
    std::vector<TBlobByteData> Blobs;
  };
  struct Column {
    std::string Name;
    TFieldType Type;
    int Size;
  };
  static Buf* B(TRecordBuffer Buffer) { return reinterpret_cast<Buf*>(Buffer); }
  Buf* FieldsBuffer();
  const Row* OldRowOf(const Buf* Buffer) const;
  int IndexOfId(std::int32_t Id) const;
  bool Accept(int Index);
  void Fill(Buf* Buffer, int Index);
  friend class TMemBlobStream;

  std::vector<Column> FColumns;
  std::vector<std::vector<Variant>> FPending;
  std::vector<Row> FRows;
  int FCursor = -1;
  std::int32_t FNextId = 1;
  bool FOpen = false;
  bool FReadOnly = false;
  Buf* FFilterBuffer = nullptr;
};

}  // namespace qvl::test
