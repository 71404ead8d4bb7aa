#include "qvl/engine/QVLRecordAllocator.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <new>

#include "qvl/host/runtime/Invariants.h"
#include "qvl/resources/QVLConsts.h"

#if defined(__SANITIZE_ADDRESS__)
#define QVL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QVL_ASAN 1
#endif
#endif
#ifdef QVL_ASAN
#include <sanitizer/asan_interface.h>
// A freed record stays inside its page until the allocator goes; poisoning
// it lets the address sanitizer catch a read through a stale address.
#define QVL_POISON(P, N) ASAN_POISON_MEMORY_REGION(P, N)
#define QVL_UNPOISON(P, N) ASAN_UNPOISON_MEMORY_REGION(P, N)
#else
#define QVL_POISON(P, N) ((void)(P), (void)(N))
#define QVL_UNPOISON(P, N) ((void)(P), (void)(N))
#endif

namespace qvl {

namespace {

constexpr std::uint64_t kStampBlock = std::uint64_t{1} << 20;

// The first chunk holds one page, so that a small result costs little (a
// chunk is zeroed, and one of a few kilobytes costs a few hundred
// instructions where 64 KB cost tens of thousands); each next one doubles,
// up to a limit: a large cache lies in few blocks, and at most one chunk's
// worth is held but not used.
constexpr std::size_t kLargestChunk = 8 * 1024 * 1024;

// Stamp 0 means "no record", so the counter starts at the first block.
std::atomic<std::uint64_t> GStampCounter{kStampBlock};

}  // namespace

TQVLRecordAllocator::TQVLRecordAllocator(std::uint32_t ARecordSize, std::uint32_t APageSize)
    : FRecordSize(ARecordSize), FPageSize(APageSize) {
  if (ARecordSize == 0) throw EQVLRecordAllocatorException(SInvalidRecordSize);
  if (APageSize == 0) throw EQVLRecordAllocatorException(SInvalidPageSize);
  // A page is addressed with 32-bit signed offsets.
  if (std::uint64_t{ARecordSize} * APageSize >
      std::uint64_t{std::numeric_limits<std::int32_t>::max()})
    throw EQVLRecordAllocatorException(
        Format(SRecordPageTooLarge, {std::to_string(APageSize), std::to_string(ARecordSize)}));
}

TQVLRecordAllocator::~TQVLRecordAllocator() {
  // Live records are exactly those with a stamp, so the free list need not be
  // searched. A callback that throws loses the calls for the records after
  // it, never the pages.
  for (TPage& page : FPages) {
    if (FOnRecordFree) {
      for (std::uint32_t i = 0; i < FPageSize; ++i) {
        if (page.Stamps[i] == 0) continue;
        page.Stamps[i] = 0;
        try {
          FOnRecordFree(page.Block + std::size_t{i} * FRecordSize);
        } catch (...) {
          ApplicationHandleException(nullptr);
        }
      }
    }
    QVL_UNPOISON(page.Block, std::size_t{FPageSize} * FRecordSize);
  }
}

std::uint8_t* TQVLRecordAllocator::CarvePage(std::size_t Bytes) {
  if (Bytes > FChunkLeft) {
    const std::size_t last = FChunks.empty() ? 0 : FChunks.back().Size;
    const std::size_t size = std::max(std::min(last * 2, kLargestChunk), Bytes);
    // calloc: large blocks come from the system already zeroed.
    TChunk chunk{
        std::unique_ptr<std::uint8_t, TFreeChunk>(static_cast<std::uint8_t*>(std::calloc(size, 1))),
        size};
    if (chunk.Base == nullptr) throw std::bad_alloc();
    FChunks.push_back(std::move(chunk));
    FChunkNext = FChunks.back().Base.get();
    FChunkLeft = size;
  }
  std::uint8_t* page = FChunkNext;
  FChunkNext += Bytes;
  FChunkLeft -= Bytes;
  return page;
}

void TQVLRecordAllocator::NewPage() {
  // The stamps follow the records, aligned, in the same carved bytes: a page
  // costs no allocation of its own and keeps a record's stamp near it. The
  // size stays a multiple of the stamps' alignment, so that the next page's
  // stamps are aligned too.
  const std::size_t records = (std::size_t{FPageSize} * FRecordSize + alignof(std::uint64_t) - 1) &
                              ~(alignof(std::uint64_t) - 1);
  const std::size_t bytes = records + std::size_t{FPageSize} * sizeof(std::uint64_t);
  // Chunks come zeroed and their bytes are handed out once, so a page is
  // zero. A page that fails to be listed goes back to its chunk untouched.
  std::uint8_t* block = CarvePage(bytes);
  TPage page{block, reinterpret_cast<std::uint64_t*>(block + records)};
  try {
    FPagesByAddress.emplace(reinterpret_cast<std::uintptr_t>(block), FPages.size());
    FPages.push_back(std::move(page));
  } catch (...) {
    FPagesByAddress.erase(reinterpret_cast<std::uintptr_t>(block));
    FChunkNext = block;
    FChunkLeft += bytes;
    throw;
  }
  FNextRecord = block;
  FFreeInPage = static_cast<std::int32_t>(FPageSize);
}

void* TQVLRecordAllocator::AllocRecord() {
  if (FNextStamp == FStampLimit) {
    FNextStamp = GStampCounter.fetch_add(kStampBlock, std::memory_order_relaxed);
    FStampLimit = FNextStamp + kStampBlock;
  }
  std::uint8_t* record;
  std::size_t page, index;
  if (!FFreeList.empty()) {
    record = static_cast<std::uint8_t*>(FFreeList.back());
    FFreeList.pop_back();
    QVL_UNPOISON(record, FRecordSize);
    std::memset(record, 0, FRecordSize);
    Locate(record, page, index);
  } else {
    if (FFreeInPage == 0) NewPage();
    record = FNextRecord;
    page = FPages.size() - 1;
    index = FPageSize - static_cast<std::uint32_t>(FFreeInPage);
    FNextRecord += FRecordSize;
    --FFreeInPage;
  }
  FPages[page].Stamps[index] = FNextStamp++;
  return record;
}

void TQVLRecordAllocator::FreeRecord(void* P) {
  std::size_t page, index;
  const bool located = Locate(P, page, index);
#ifndef NDEBUG
  // A record freed twice would sit on the free list twice and be handed out
  // to two owners; one that is not ours would be handed out at all.
  if (!located || FPages[page].Stamps[index] == 0)
    InvariantBroken("start", __func__,
                    located ? "the record is not in use" : "not a record of this allocator");
#endif
  if (located) FPages[page].Stamps[index] = 0;
  if (FOnRecordFree) FOnRecordFree(P);
  FFreeList.push_back(P);
  QVL_POISON(P, FRecordSize);
}

// The hint page or one of its neighbours in allocation order when one holds
// Address, else FPages.size(). Reading walks the chain, whose records follow
// allocation order, and a bookmark check reads a record's prior too: both
// step into the next or previous page far more often than anywhere else.
std::size_t TQVLRecordAllocator::NearPage(std::uintptr_t Address, std::uintptr_t PageBytes) const {
  const std::size_t count = FPages.size();
  const std::size_t hint = FHintPage;
  for (const std::size_t page : {hint, hint + 1, hint - 1})
    if (page < count && Address - reinterpret_cast<std::uintptr_t>(FPages[page].Block) < PageBytes)
      return page;
  return count;
}

bool TQVLRecordAllocator::Locate(const void* P, std::size_t& Page, std::size_t& Index) const {
  if (FPages.empty()) return false;
  const auto address = reinterpret_cast<std::uintptr_t>(P);
  // The newest page first: that is where records are handed out.
  const TPage* last = &FPages.back();
  auto start = reinterpret_cast<std::uintptr_t>(last->Block);
  const std::uintptr_t pageBytes = std::uintptr_t{FPageSize} * FRecordSize;
  if (address >= start && address < start + pageBytes) {
    Page = FPages.size() - 1;
  } else if (const std::size_t near = NearPage(address, pageBytes); near < FPages.size()) {
    Page = near;
    FHintPage = Page;
    start = reinterpret_cast<std::uintptr_t>(FPages[Page].Block);
  } else {
    auto it = FPagesByAddress.upper_bound(address);
    if (it == FPagesByAddress.begin()) return false;
    --it;
    start = it->first;
    if (address >= start + std::uintptr_t{FPageSize} * FRecordSize) return false;
    Page = it->second;
    FHintPage = Page;
  }
  const std::uintptr_t offset = address - start;
  if (offset % FRecordSize != 0) return false;
  Index = offset / FRecordSize;
  return true;
}

std::uint64_t TQVLRecordAllocator::RecordStamp(const void* P) const {
  std::size_t page, index;
  if (!Locate(P, page, index)) return 0;
  return FPages[page].Stamps[index];
}

}  // namespace qvl
