#include "qvl/host/runtime/Stream.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "qvl/host/runtime/Exceptions.h"
#include "qvl/host/runtime/RTLConsts.h"

namespace qvl {

std::int64_t TStream::Seek64(std::int64_t Offset, std::uint16_t Origin) {
  if (Offset < std::numeric_limits<std::int32_t>::min() ||
      Offset > std::numeric_limits<std::int32_t>::max())
    throw EStreamError(SStreamOffsetError);
  return Seek(static_cast<std::int32_t>(Offset), Origin);
}

std::int64_t TStream::GetSize() {
  std::int64_t pos = Seek64(0, soFromCurrent);
  std::int64_t size = Seek64(0, soFromEnd);
  Seek64(pos, soFromBeginning);
  return size;
}

void TStream::SetSize(std::int64_t) {
  throw EStreamError(SStreamSizeFixed);
}

void TStream::ReadBuffer(void* Buffer, std::int32_t Count) {
  if (Count != 0 && Read(Buffer, Count) != Count) throw EStreamError(SStreamReadError);
}

void TStream::WriteBuffer(const void* Buffer, std::int32_t Count) {
  if (Count != 0 && Write(Buffer, Count) != Count) throw EStreamError(SStreamWriteError);
}

std::int64_t TStream::CopyFrom(TStream& Source, std::int64_t Count) {
  if (Count == 0) {
    Source.SetPosition(0);
    Count = Source.GetSize();
  }
  std::int64_t left = Count;
  std::uint8_t buffer[8192];
  while (left > 0) {
    std::int32_t n = static_cast<std::int32_t>(std::min<std::int64_t>(left, sizeof buffer));
    Source.ReadBuffer(buffer, n);
    WriteBuffer(buffer, n);
    left -= n;
  }
  return Count;
}

std::int32_t TMemoryStream::Read(void* Buffer, std::int32_t Count) {
  if (Count <= 0 || FPosition < 0) return 0;
  std::int64_t avail = static_cast<std::int64_t>(FData.size()) - FPosition;
  if (avail <= 0) return 0;
  std::int32_t n = static_cast<std::int32_t>(std::min<std::int64_t>(avail, Count));
  std::memcpy(Buffer, FData.data() + FPosition, static_cast<std::size_t>(n));
  FPosition += n;
  return n;
}

std::int32_t TMemoryStream::Write(const void* Buffer, std::int32_t Count) {
  if (Count <= 0 || FPosition < 0) return 0;
  std::size_t end = static_cast<std::size_t>(FPosition) + static_cast<std::size_t>(Count);
  if (end > FData.size()) FData.resize(end);
  std::memcpy(FData.data() + FPosition, Buffer, static_cast<std::size_t>(Count));
  FPosition += Count;
  return Count;
}

std::int32_t TMemoryStream::Seek(std::int32_t Offset, std::uint16_t Origin) {
  FPosition = SeekedPosition(FPosition, Offset, Origin, [this] { return FData.size(); });
  return static_cast<std::int32_t>(FPosition);
}

void TMemoryStream::SetSize(std::int64_t NewSize) {
  if (NewSize < 0) throw EStreamError(SInvalidStreamSize);
  FData.resize(static_cast<std::size_t>(NewSize));
  if (FPosition > NewSize) FPosition = NewSize;
}

void TMemoryStream::Clear() {
  FData.clear();
  FPosition = 0;
}

}  // namespace qvl
