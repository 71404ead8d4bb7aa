#pragma once
// TQVLBlobStream: a stream on a blob field of the record that field access
// resolves to at each call. It keeps no hold on the bytes between calls, so it follows the
// dataset when field access moves and survives the array being replaced.
// Writes unshare the array first, so other holders (the edit backup, old
// values) keep their bytes. Destroying a stream that wrote (or truncated)
// marks the field modified and sends the field-change notification.
// A stream that outlives its dataset's opening (Close, destruction) is
// inert: reading, writing and truncating raise SDataSetClosed, and
// destroying it touches nothing.

#include <cstdint>

#include "qvl/host/dataset/DBTypes.h"
#include "qvl/host/runtime/Stream.h"

namespace qvl {

class TBlobField;
class TQVLDataSetImpl;

class TQVLBlobStream : public TStream {
 public:
  TQVLBlobStream(TQVLDataSetImpl* ADataSetImpl, TBlobField* AField, TBlobStreamMode Mode);
  ~TQVLBlobStream() override;

  std::int32_t Read(void* Buffer, std::int32_t Count) override;
  std::int32_t Write(const void* Buffer, std::int32_t Count) override;
  std::int32_t Seek(std::int32_t Offset, std::uint16_t Origin) override;
  void Truncate();
  std::int32_t GetBlobSize();
  void ReadBlobData();

 private:
  friend class TQVLDataSetImpl;
  // The engine is closing: the field and the records go.
  void Detach() noexcept;

  TQVLDataSetImpl* FDataSetImpl;  // null once detached
  TBlobField* FField;
  bool FModified = false;
  std::int32_t FPosition = 0;
  std::uint8_t* FBlobData = nullptr;
};

}  // namespace qvl
