#pragma once
// TStream: the host's abstract byte stream, and TMemoryStream.
//
// A descendant overrides Read, Write and the 32-bit Seek. Seek64 forwards to
// it; GetSize finds the size by seeking to the end and back. SetSize is not
// supported by the base (EStreamError). ReadBuffer and WriteBuffer raise
// EStreamError when fewer bytes than asked could be moved.

#include <cstdint>
#include <vector>

#include "qvl/host/runtime/Object.h"

#pragma GCC visibility push(default)

namespace qvl {

enum : std::uint16_t { soFromBeginning = 0, soFromCurrent = 1, soFromEnd = 2 };

class TStream : public TObject {
 public:
  virtual std::int32_t Read(void* Buffer, std::int32_t Count) = 0;
  virtual std::int32_t Write(const void* Buffer, std::int32_t Count) = 0;
  virtual std::int32_t Seek(std::int32_t Offset, std::uint16_t Origin) = 0;
  virtual std::int64_t Seek64(std::int64_t Offset, std::uint16_t Origin);

  std::int64_t GetPosition() { return Seek64(0, soFromCurrent); }
  void SetPosition(std::int64_t Value) { Seek64(Value, soFromBeginning); }
  virtual std::int64_t GetSize();
  virtual void SetSize(std::int64_t NewSize);

  void ReadBuffer(void* Buffer, std::int32_t Count);
  void WriteBuffer(const void* Buffer, std::int32_t Count);
  // Copies Count bytes (all of Source from its start when Count is 0).
  std::int64_t CopyFrom(TStream& Source, std::int64_t Count);

 protected:
  // The position Seek moves a stream at Position to: Offset from the start,
  // from Position or from the end, Size() asked only for the end; an
  // unknown Origin leaves Position.
  template <class TSizeOf>
  static std::int64_t SeekedPosition(std::int64_t Position, std::int32_t Offset,
                                     std::uint16_t Origin, TSizeOf Size) {
    switch (Origin) {
      case soFromBeginning:
        return Offset;
      case soFromCurrent:
        return Position + Offset;
      case soFromEnd:
        return static_cast<std::int64_t>(Size()) + Offset;
      default:
        return Position;
    }
  }
};

class TMemoryStream : public TStream {
 public:
  std::int32_t Read(void* Buffer, std::int32_t Count) override;
  std::int32_t Write(const void* Buffer, std::int32_t Count) override;
  std::int32_t Seek(std::int32_t Offset, std::uint16_t Origin) override;
  void SetSize(std::int64_t NewSize) override;
  void Clear();

  const std::uint8_t* Memory() const { return FData.data(); }
  const std::vector<std::uint8_t>& Bytes() const { return FData; }

 private:
  std::vector<std::uint8_t> FData;
  std::int64_t FPosition = 0;
};

}  // namespace qvl

#pragma GCC visibility pop
