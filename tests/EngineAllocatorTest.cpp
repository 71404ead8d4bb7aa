// The record allocator: sizes, pages, reuse order, zeroing, free callbacks.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "qvl/engine/QVLRecordAllocator.h"

using namespace qvl;

namespace {

std::string CreateError(std::uint32_t RecordSize, std::uint32_t PageSize) {
  try {
    TQVLRecordAllocator a(RecordSize, PageSize);
  } catch (const EQVLRecordAllocatorException& e) {
    return e.Message();
  }
  return "no error";
}

bool AllZero(const void* P, std::size_t Size) {
  const auto* b = static_cast<const std::uint8_t*>(P);
  for (std::size_t i = 0; i < Size; ++i)
    if (b[i] != 0) return false;
  return true;
}

}  // namespace

TEST(EngineAllocatorSizes, RecordSizeIsCheckedBeforePageSize) {
  EXPECT_EQ(CreateError(0, 0), "Record size must be more then 0");
  EXPECT_EQ(CreateError(0, 32), "Record size must be more then 0");
  EXPECT_EQ(CreateError(17, 0), "Page size must be more then 0");
  EXPECT_EQ(CreateError(17, 1), "no error");
}

TEST(EngineAllocatorSizes, APageThatDoesNotFitThirtyTwoBitsIsRefused) {
  EXPECT_EQ(CreateError(1024, 4u * 1024 * 1024),
            "Record page too large: 4194304 records of 1024 bytes");
}

TEST(EngineAllocatorPages, PageSizeOneTakesAPagePerRecord) {
  TQVLRecordAllocator a(40, 1);
  EXPECT_EQ(a.PageCount(), 0) << "construction allocates no page";
  a.AllocRecord();
  a.AllocRecord();
  a.AllocRecord();
  EXPECT_EQ(a.PageCount(), 3);
}

TEST(EngineAllocatorPages, AFullPageThenASecondOne) {
  TQVLRecordAllocator a(24, 4);
  std::vector<std::uint8_t*> got;
  for (int i = 0; i < 4; ++i) got.push_back(static_cast<std::uint8_t*>(a.AllocRecord()));
  EXPECT_EQ(a.PageCount(), 1);
  // Each record has its RecordSize bytes to itself.
  for (int i = 0; i < 4; ++i) std::memset(got[i], 0x10 + i, 24);
  got.push_back(static_cast<std::uint8_t*>(a.AllocRecord()));
  EXPECT_EQ(a.PageCount(), 2);
  std::memset(got[4], 0x14, 24);
  for (int i = 0; i < 5; ++i)
    for (int b = 0; b < 24; ++b) ASSERT_EQ(got[i][b], 0x10 + i) << "record " << i << " byte " << b;
}

TEST(EngineAllocatorReuse, FreedRecordsComeBackZeroedBeforeANewPage) {
  TQVLRecordAllocator a(32, 2);
  void* first = a.AllocRecord();
  void* second = a.AllocRecord();
  std::memset(first, 0xAB, 32);
  std::memset(second, 0xCD, 32);
  a.FreeRecord(first);
  a.FreeRecord(second);
  void* again1 = a.AllocRecord();
  void* again2 = a.AllocRecord();
  EXPECT_TRUE((again1 == first && again2 == second) || (again1 == second && again2 == first));
  EXPECT_TRUE(AllZero(again1, 32));
  EXPECT_TRUE(AllZero(again2, 32));
  EXPECT_EQ(a.PageCount(), 1) << "reuse takes no page";
}

TEST(EngineAllocatorReuse, FreeingWhatIsNotInUseAbortsInDebugBuilds) {
#ifdef NDEBUG
  GTEST_SKIP() << "checked in debug builds only";
#else
  int calls = 0;  // outlives the allocator, whose destructor calls back
  TQVLRecordAllocator a(32, 2);
  a.SetOnRecordFree([&](void*) { ++calls; });
  void* r = a.AllocRecord();
  a.FreeRecord(r);
  EXPECT_DEATH(a.FreeRecord(r),
               "invariant broken at the start of FreeRecord: the record is not in use");
  int outside = 0;
  EXPECT_DEATH(a.FreeRecord(&outside), "FreeRecord: not a record of this allocator");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(a.AllocRecord(), r) << "freed once, handed out again";
  EXPECT_NE(a.AllocRecord(), r);
#endif
}

TEST(EngineAllocatorReuse, StampsNameLiveRecordsOnly) {
  TQVLRecordAllocator a(32, 2);
  void* r = a.AllocRecord();
  const std::uint64_t stamp = a.RecordStamp(r);
  EXPECT_NE(stamp, 0u);
  EXPECT_EQ(a.RecordStamp(static_cast<std::uint8_t*>(r) + 1), 0u) << "not the start of a record";
  int outside = 0;
  EXPECT_EQ(a.RecordStamp(&outside), 0u);
  a.FreeRecord(r);
  EXPECT_EQ(a.RecordStamp(r), 0u);
  void* again = a.AllocRecord();
  ASSERT_EQ(again, r);
  EXPECT_NE(a.RecordStamp(again), 0u);
  EXPECT_NE(a.RecordStamp(again), stamp) << "a reused record is a new record";
  TQVLRecordAllocator other(32, 2);
  EXPECT_EQ(other.RecordStamp(again), 0u);
}

TEST(EngineAllocatorCallbacks, FreeAndDestroyCallOncePerRecord) {
  std::vector<void*> calls;
  std::vector<void*> taken;
  {
    TQVLRecordAllocator a(16, 4);
    a.SetOnRecordFree([&](void* P) { calls.push_back(P); });
    for (int i = 0; i < 5; ++i) taken.push_back(a.AllocRecord());
    a.FreeRecord(taken[1]);
    a.FreeRecord(taken[3]);
    EXPECT_EQ(calls, (std::vector<void*>{taken[1], taken[3]}));
    calls.clear();
  }
  // Destruction: the three records still in use, oldest page first, none of
  // the three never handed out of the second page.
  EXPECT_EQ(calls, (std::vector<void*>{taken[0], taken[2], taken[4]}));
}
