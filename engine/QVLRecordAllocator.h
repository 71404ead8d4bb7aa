#pragma once
// TQVLRecordAllocator: fixed-size, zero-filled records carved out of pages.
//
// Contract:
//  - AllocRecord never returns null; every byte of the record is zero.
//  - FreeRecord hands the record to OnRecordFree (when set) and keeps it for
//    reuse: AllocRecord hands freed records out again before it takes a new
//    page (the last freed first, the likeliest to be in the processor's
//    cache). Pages go back to the heap only when the allocator is destroyed;
//    until then a freed record's memory stays readable, which is what lets
//    the engine check a stale address safely.
//    REQUIRES: the record is in use (handed out and not freed since); debug
//    builds abort on a record freed twice or one not of this allocator.
//  - The destructor calls OnRecordFree exactly once for each record still in
//    use, never for a freed one or one that was never handed out.
//  - Every record handed out carries a stamp, unique among the stamps of all
//    allocators of the process, that RecordStamp reports until the record is
//    freed (0 afterwards, and for any address that is not a record of this
//    allocator). A record handed out again gets a new stamp.

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "qvl/host/runtime/Exceptions.h"

namespace qvl {

class EQVLRecordAllocatorException : public Exception {
 public:
  using Exception::Exception;
};

using TRecordFreeEvent = std::function<void(void* P)>;

class TQVLRecordAllocator {
 public:
  TQVLRecordAllocator(std::uint32_t ARecordSize, std::uint32_t APageSize);
  ~TQVLRecordAllocator();
  TQVLRecordAllocator(const TQVLRecordAllocator&) = delete;
  TQVLRecordAllocator& operator=(const TQVLRecordAllocator&) = delete;

  void* AllocRecord();
  void FreeRecord(void* P);

  const TRecordFreeEvent& GetOnRecordFree() const { return FOnRecordFree; }
  void SetOnRecordFree(TRecordFreeEvent Value) { FOnRecordFree = std::move(Value); }

  std::uint32_t GetRecordSize() const { return FRecordSize; }
  std::uint32_t GetPageSize() const { return FPageSize; }
  int PageCount() const { return static_cast<int>(FPages.size()); }

  // The stamp of the live record at P, or 0.
  std::uint64_t RecordStamp(const void* P) const;

 private:
  struct TPage {
    // FPageSize records, then their stamps, inside a chunk.
    std::uint8_t* Block;
    std::uint64_t* Stamps;  // in Block, one per record; 0 = not in use
  };
  // Pages are carved out of chunks that grow with the cache, so that a large
  // cache lies in a few blocks rather than one per page.
  struct TFreeChunk {
    void operator()(std::uint8_t* P) const noexcept { std::free(P); }
  };
  struct TChunk {
    std::unique_ptr<std::uint8_t, TFreeChunk> Base;  // calloc
    std::size_t Size;
  };

  void NewPage();
  std::uint8_t* CarvePage(std::size_t Bytes);
  // The page and record index holding P, or false for an address that is not
  // the start of a record of this allocator.
  bool Locate(const void* P, std::size_t& Page, std::size_t& Index) const;
  std::size_t NearPage(std::uintptr_t Address, std::uintptr_t PageBytes) const;

  std::uint32_t FRecordSize;
  std::uint32_t FPageSize;
  std::vector<TPage> FPages;  // oldest first
  std::vector<TChunk> FChunks;
  std::uint8_t* FChunkNext = nullptr;
  std::size_t FChunkLeft = 0;
  std::int32_t FFreeInPage = 0;
  std::uint8_t* FNextRecord = nullptr;
  std::vector<void*> FFreeList;  // a stack
  TRecordFreeEvent FOnRecordFree;

  // Page index by start address, for RecordStamp.
  std::map<std::uintptr_t, std::size_t> FPagesByAddress;
  // The page the last search by address found: reading walks neighbours.
  mutable std::size_t FHintPage = 0;
  // Stamps are drawn from a process-wide counter in blocks, so that handing
  // out a record costs no atomic operation.
  std::uint64_t FNextStamp = 0;
  std::uint64_t FStampLimit = 0;
};

}  // namespace qvl
