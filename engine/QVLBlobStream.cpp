#include "qvl/engine/QVLBlobStream.h"

#include <algorithm>
#include <cstring>

#include "qvl/engine/QVLDataSetImpl.h"
#include "qvl/host/dataset/DBConsts.h"
#include "qvl/host/dataset/Field.h"
#include "qvl/host/runtime/BlobByteData.h"
#include "qvl/host/runtime/Exceptions.h"
#include "qvl/resources/QVLConsts.h"

namespace qvl {

TQVLBlobStream::TQVLBlobStream(TQVLDataSetImpl* ADataSetImpl, TBlobField* AField,
                               TBlobStreamMode Mode)
    : FDataSetImpl(ADataSetImpl), FField(AField) {
  if (Mode != bmRead) {
    TDataSet* ds = FDataSetImpl->GetDataSet();
    if (FField->GetReadOnly()) DatabaseErrorFmt(SFieldReadOnly, {FField->GetDisplayName()}, ds);
    if (ds->GetState() != dsEdit && ds->GetState() != dsInsert) DatabaseError(SNotEditing, ds);
  }
  ReadBlobData();
  if (Mode == bmWrite) Truncate();
  FDataSetImpl->FBlobStreams.push_back(this);
}

TQVLBlobStream::~TQVLBlobStream() {
  if (FDataSetImpl == nullptr) return;
  auto& streams = FDataSetImpl->FBlobStreams;
  if (auto it = std::find(streams.begin(), streams.end(), this); it != streams.end())
    streams.erase(it);
  if (!FModified) return;
  try {
    FField->SetModified(true);
    FDataSetImpl->GetDataSet()->DataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(FField));
  } catch (...) {
    ApplicationHandleException(this);
  }
}

void TQVLBlobStream::Detach() noexcept {
  FDataSetImpl = nullptr;
  FField = nullptr;
  FBlobData = nullptr;
  FModified = false;
}

void TQVLBlobStream::ReadBlobData() {
  if (FDataSetImpl == nullptr) DatabaseError(SDataSetClosed);
  TRecordBuffer record = FDataSetImpl->GetFieldsRecordBuffer();
  const int index = FDataSetImpl->FieldSlotIndex(FField);
  if (record == nullptr || index < 0 ||
      !FDataSetImpl->FFieldSlots[static_cast<std::size_t>(index)].IsBlob) {
    FBlobData = nullptr;
    return;
  }
  FBlobData = record + FDataSetImpl->FFieldOffsets[static_cast<std::size_t>(index)];
}

std::int32_t TQVLBlobStream::GetBlobSize() {
  ReadBlobData();
  return FBlobData == nullptr ? 0 : static_cast<std::int32_t>(TBlobByteData::SlotLength(FBlobData));
}

std::int32_t TQVLBlobStream::Read(void* Buffer, std::int32_t Count) {
  const std::int32_t size = GetBlobSize();
  if (FPosition < 0 || Count <= 0 || FPosition >= size) return 0;
  const std::int32_t n = std::min(Count, size - FPosition);
  std::memcpy(Buffer, TBlobByteData::SlotData(FBlobData) + FPosition, static_cast<std::size_t>(n));
  FPosition += n;
  return n;
}

std::int32_t TQVLBlobStream::Write(const void* Buffer, std::int32_t Count) {
  ReadBlobData();
  TDataSet* ds = FDataSetImpl->GetDataSet();
  if (FBlobData == nullptr) DatabaseError(SNotEditing, ds);
  if (Count < 0 || FPosition < 0) return 0;
  const std::size_t end = static_cast<std::size_t>(FPosition) + static_cast<std::size_t>(Count);
  if (TBlobByteData::SlotLength(FBlobData) < end) TBlobByteData::SlotSetLength(FBlobData, end);
  if (Count > 0) {
    // Unshare first: the edit backup and old values keep their bytes.
    std::uint8_t* bytes = TBlobByteData::SlotMutableData(FBlobData);
    std::memcpy(bytes + FPosition, Buffer, static_cast<std::size_t>(Count));
  }
  FPosition += Count;
  FModified = true;
  return Count;
}

std::int32_t TQVLBlobStream::Seek(std::int32_t Offset, std::uint16_t Origin) {
  FPosition = static_cast<std::int32_t>(
      SeekedPosition(FPosition, Offset, Origin, [this] { return GetBlobSize(); }));
  return FPosition;
}

void TQVLBlobStream::Truncate() {
  ReadBlobData();
  FPosition = 0;
  // Empty, not null: a value written as no bytes is the empty value.
  if (FBlobData != nullptr) TBlobByteData::SlotAssign(FBlobData, TBlobByteData::Empty());
  FModified = true;
}

}  // namespace qvl
