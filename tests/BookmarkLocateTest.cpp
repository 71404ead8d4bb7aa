// Bookmarks, Locate, LocateNext and Lookup, through a component over SQLite.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/EngineTestSupport.h"

using namespace qvl;
using namespace qvl::test;

namespace {

class BookmarkLocate : public ::testing::Test {
 protected:
  void SetUp() override {
    db.Exec("CREATE TABLE people (id INTEGER, name VARCHAR(12), city VARCHAR(12), score INTEGER)");
    db.Exec(
        "INSERT INTO people VALUES (1, 'Anna', 'Berlin', 10), (2, 'ABC   ', 'Paris', 20),"
        " (3, 'Bob', NULL, 30), (4, 'Stra\xC3\x9F"
        "e', 'Wien', 40), (5, '\xC3\xA9lan', 'Lyon', 50),"
        " (6, 'Anneliese', 'Berlin', 60), (7, '30', '30', 70)");
    ds = Make();
    ds->Open();
  }
  std::unique_ptr<TTestQVLDataSet> Make() {
    auto d = std::make_unique<TTestQVLDataSet>(nullptr);
    d->SetName("People");
    d->SetDatabase(db);
    d->SetCommandText("SELECT id, name, city, score FROM people ORDER BY id");
    d->SetCachedUpdates(true);
    d->SetOnCalcFields([this](TDataSet*) { ++rowsRead; });
    return d;
  }
  int Id() { return ds->FieldByName("id")->GetAsInteger(); }
  // The id found by Locate, or 0.
  int Found(const std::string& Fields, const Variant& Keys, TLocateOptions Options = 0) {
    return ds->Locate(Fields, Keys, Options) ? Id() : 0;
  }
  int FoundNext(const std::string& Fields, const Variant& Keys, TLocateOptions Options = 0) {
    return ds->LocateNext(Fields, Keys, Options) ? Id() : 0;
  }
  TBookmark Sentinel(bool End) {
    TQVLDataSetImpl& impl = TDataSetTestPeer::Engine(*ds);
    TRecordBuffer saved = TDataSetTestPeer::CurrentRecord(impl);
    if (End)
      impl.InternalLast();
    else
      impl.InternalFirst();
    TBookmark b(static_cast<std::size_t>(kQVLBookmarkSize), 0);
    TRecordBuffer sentinel = TDataSetTestPeer::CurrentRecord(impl);
    std::memcpy(b.data(), &sentinel, sizeof sentinel);
    std::uint8_t cell[sizeof(void*)];
    std::memcpy(cell, &saved, sizeof saved);
    impl.InternalSetToRecord(cell);
    TDataSetTestPeer::CursorPosChanged(*ds);
    return b;
  }

  TSQLiteDb db;
  int rowsRead = 0;
  std::unique_ptr<TTestQVLDataSet> ds;
};

}  // namespace

// ---- bookmark validity and order ---------------------------------------------------

TEST_F(BookmarkLocate, BookmarksLeadBackToTheirRecords) {
  ds->MoveBy(2);
  TBookmark three = ds->GetBookmark();
  EXPECT_EQ(three.size(), static_cast<std::size_t>(kQVLBookmarkSize));
  ds->Last();
  ds->GotoBookmark(three);
  EXPECT_EQ(Id(), 3);
  EXPECT_TRUE(ds->BookmarkValid(three));
}

TEST_F(BookmarkLocate, SentinelsAreValidAndEmptyBookmarksSortLast) {
  TBookmark bof = Sentinel(false), eof = Sentinel(true);
  EXPECT_TRUE(ds->BookmarkValid(bof));
  EXPECT_TRUE(ds->BookmarkValid(eof));
  TBookmark one = ds->GetBookmark();
  EXPECT_FALSE(ds->BookmarkValid(TBookmark{}));
  EXPECT_EQ(ds->CompareBookmarks(TBookmark{}, one), 1);
  EXPECT_EQ(ds->CompareBookmarks(one, TBookmark{}), -1);
  EXPECT_EQ(ds->CompareBookmarks(TBookmark{}, TBookmark{}), 0);
  EXPECT_EQ(ds->CompareBookmarks(bof, one), -1);
  EXPECT_EQ(ds->CompareBookmarks(eof, one), 1);
  EXPECT_EQ(ds->CompareBookmarks(one, one), 0);
}

TEST_F(BookmarkLocate, InsertingBetweenTwoBookmarksKeepsTheirOrder) {
  ds->Next();
  TBookmark two = ds->GetBookmark();
  ds->Next();
  TBookmark three = ds->GetBookmark();
  ds->GotoBookmark(two);
  ds->Insert();
  ds->FieldByName("id")->SetAsInteger(15);
  ds->Post();
  TBookmark inserted = ds->GetBookmark();
  EXPECT_EQ(ds->CompareBookmarks(two, three), -1);
  EXPECT_EQ(ds->CompareBookmarks(three, two), 1);
  EXPECT_EQ(ds->CompareBookmarks(inserted, two), -1);
  EXPECT_EQ(ds->CompareBookmarks(inserted, three), -1);
  ds->GotoBookmark(three);
  EXPECT_EQ(ds->GetRecNo(), 4);
}

TEST_F(BookmarkLocate, ADeletedRecordWaitingInTheLogKeepsItsBookmark) {
  ds->Next();
  TBookmark two = ds->GetBookmark();
  ds->Delete();
  EXPECT_TRUE(ds->BookmarkValid(two));
}

TEST_F(BookmarkLocate, AnAppliedDeleteInvalidatesTheBookmark) {
  ds->Next();
  TBookmark two = ds->GetBookmark();
  ds->Delete();
  TQVLDataSetImpl& impl = TDataSetTestPeer::Engine(*ds);
  impl.CommitUpdate(impl.GetUpdatedRecords().at(0));
  impl.GetUpdatedRecords().clear();
  EXPECT_FALSE(ds->BookmarkValid(two));
  EXPECT_EQ(ds->CompareBookmarks(two, ds->GetBookmark()), 1)
      << "a dead bookmark sorts as an empty one";
  const int before = Id();
  EXPECT_EQ(Error([&] { ds->GotoBookmark(two); }), "Invalid bookmark");
  EXPECT_EQ(Id(), before);
}

TEST_F(BookmarkLocate, AFreedRecordsBookmarkStaysInvalidWhenItsMemoryIsReused) {
  ds->Next();
  ds->Insert();
  ds->FieldByName("id")->SetAsInteger(100);
  ds->Post();
  TBookmark gone = ds->GetBookmark();
  ds->Delete();  // an inserted record leaves the cache at once
  EXPECT_FALSE(ds->BookmarkValid(gone));
  ds->Insert();
  ds->FieldByName("id")->SetAsInteger(200);
  ds->Post();
  TBookmark fresh = ds->GetBookmark();
  ASSERT_EQ(std::memcmp(fresh.data(), gone.data(), sizeof(void*)), 0)
      << "the same memory came back";
  EXPECT_TRUE(ds->BookmarkValid(fresh));
  EXPECT_FALSE(ds->BookmarkValid(gone));
  EXPECT_EQ(Error([&] { ds->GotoBookmark(gone); }), "Invalid bookmark");
}

TEST_F(BookmarkLocate, BookmarksDieWithCloseAndRefresh) {
  ds->Next();
  TBookmark two = ds->GetBookmark();
  ds->Refresh();
  EXPECT_FALSE(ds->BookmarkValid(two));
  TBookmark again = ds->GetBookmark();
  ds->Close();
  EXPECT_FALSE(ds->BookmarkValid(again));
  ds->Open();
  ds->Next();
  EXPECT_FALSE(ds->BookmarkValid(again));
  EXPECT_FALSE(ds->BookmarkValid(two));
  TBookmark foreign(static_cast<std::size_t>(kQVLBookmarkSize), 0x5A);
  EXPECT_FALSE(ds->BookmarkValid(foreign));
  EXPECT_FALSE(ds->BookmarkValid(TBookmark{1, 2, 3})) << "not a bookmark of this size";
}

// ---- Locate -----------------------------------------------------------------------------

TEST_F(BookmarkLocate, LocateReadsOnlyAsFarAsTheMatch) {
  EXPECT_EQ(Found("id", 3), 3);
  EXPECT_EQ(rowsRead, 3);
  EXPECT_EQ(Found("id", 99), 0);
  EXPECT_EQ(rowsRead, 7);
  EXPECT_EQ(Id(), 3) << "nothing found: the active record stays";
}

TEST_F(BookmarkLocate, PartialKeysMatchTheStartOfStringsOnly) {
  EXPECT_EQ(Found("name", "Ann", loPartialKey), 1);
  EXPECT_EQ(Found("name", "Anne", loPartialKey), 6);
  EXPECT_EQ(Found("name", "nna", loPartialKey), 0);
  EXPECT_EQ(Found("name", "Ann"), 0) << "without the option the whole value must match";
  EXPECT_EQ(Found("name", "ABC", loPartialKey), 2);
  EXPECT_EQ(Found("name", "ABC  "), 2) << "trailing blanks of both sides are ignored";
  EXPECT_EQ(Found("score", 3, loPartialKey), 0) << "not on numbers";
  EXPECT_EQ(Found("score", 30, loPartialKey), 3);
}

TEST_F(BookmarkLocate, CaseInsensitiveKeysFoldLettersBeyondAscii) {
  EXPECT_EQ(Found("name", "abc", loCaseInsensitive), 2);
  EXPECT_EQ(Found("name", "abc"), 0);
  EXPECT_EQ(Found("name", "STRASSE", loCaseInsensitive), 4);
  EXPECT_EQ(Found("name", "\xC3\x89LAN", loCaseInsensitive), 5);  // capital E-acute
  EXPECT_EQ(Found("name", "\xC3\xA9l", loCaseInsensitive | loPartialKey), 5);
  EXPECT_EQ(Found("city", "paris", loCaseInsensitive | loPartialKey), 2);
}

TEST_F(BookmarkLocate, NullsNeverMatch) {
  EXPECT_EQ(Found("city", Variant::Null()), 0);
  EXPECT_EQ(Found("city", Variant()), 0);
  EXPECT_EQ(Found("city", ""), 0) << "the null city of Bob is not the empty text";
}

TEST_F(BookmarkLocate, KeysOfAnotherTypeAreConvertedOrSkipped) {
  EXPECT_EQ(Found("score", "abc"), 0) << "text that is no number skips every record";
  EXPECT_EQ(Found("score", "40"), 4) << "text that is a number is compared as one";
  EXPECT_EQ(Found("name", 30), 7) << "a number against a string field compares as text";
  EXPECT_EQ(Found("score", 50.0), 5);
}

TEST_F(BookmarkLocate, SeveralKeyFields) {
  EXPECT_EQ(Found("name;city", VarArrayOf({"Anneliese", "Berlin"})), 6);
  EXPECT_EQ(Found("city;name", VarArrayOf({"Berlin", "Bob"})), 0);
  EXPECT_EQ(Found("name;city", "30"), 7) << "one value for several fields is compared with each";
  EXPECT_EQ(Error([&] {
              ds->Locate("name;nope", VarArrayOf({"a", "b"}), 0);
            }),
            "People: Field 'nope' not found");
}

TEST_F(BookmarkLocate, LocateNextStartsAfterTheActiveRecord) {
  EXPECT_EQ(Found("city", "Berlin"), 1);
  EXPECT_EQ(FoundNext("city", "Berlin"), 6);
  EXPECT_EQ(FoundNext("city", "Berlin"), 0);
  EXPECT_EQ(Id(), 6);
  ds->First();
  EXPECT_EQ(FoundNext("id", 1), 0) << "the active record itself is not tested";
}

TEST_F(BookmarkLocate, LocateComparesEachFilteredCandidate) {
  ds->SetOnFilterRecord(
      [](TDataSet* d, bool& Accept) { Accept = d->FieldByName("score")->GetAsInteger() > 10; });
  ds->SetFiltered(true);
  EXPECT_EQ(Found("city", "Berlin"), 6) << "Anna is filtered out";
  EXPECT_EQ(Found("id", 1), 0);
}

TEST_F(BookmarkLocate, LocateScrollsOnlyWhenItFinds) {
  std::string events;
  ds->SetBeforeScroll([&](TDataSet*) { events += "before "; });
  ds->SetAfterScroll([&](TDataSet*) { events += "after "; });
  Found("id", 99);
  EXPECT_EQ(events, "before ");
  events.clear();
  Found("id", 5);
  EXPECT_EQ(events, "before after ");
}

TEST_F(BookmarkLocate, LocatePostsAPendingEditFirst) {
  ds->Edit();
  ds->FieldByName("city")->SetAsString("Rome");
  EXPECT_EQ(Found("city", "Rome"), 1);
  EXPECT_EQ(ds->GetState(), dsBrowse);
  EXPECT_TRUE(ds->GetUpdatesPending());
}

// ---- Lookup -------------------------------------------------------------------------------

TEST_F(BookmarkLocate, LookupReturnsValuesWithoutMovingOrScrolling) {
  ds->Next();
  int scrolls = 0;
  ds->SetBeforeScroll([&](TDataSet*) { ++scrolls; });
  ds->SetAfterScroll([&](TDataSet*) { ++scrolls; });
  EXPECT_EQ(ds->Lookup("id", 5, "city"), Variant("Lyon"));
  EXPECT_EQ(ds->Lookup("city", "Wien", "id;score"), VarArrayOf({4, 40}));
  EXPECT_EQ(ds->Lookup("id", 42, "city"), Variant::Null());
  EXPECT_EQ(ds->Lookup("id", 3, "city"), Variant::Null()) << "found, and the value is null";
  EXPECT_EQ(scrolls, 0);
  EXPECT_EQ(Id(), 2);
  EXPECT_EQ(ds->GetState(), dsBrowse);
  ds->Next();
  EXPECT_EQ(Id(), 3) << "the host re-positions the engine after the search moved it";
}

TEST_F(BookmarkLocate, LookupComputesTheFoundRecordsCalculatedFields) {
  ds->Close();
  auto calc = std::make_unique<TIntegerField>();
  calc->SetFieldName("double");
  calc->SetFieldKind(fkCalculated);
  ds->Fields().Add(std::move(calc));
  int calcs = 0;
  ds->SetOnCalcFields([&](TDataSet* d) {
    ++calcs;
    d->FieldByName("double")->SetAsInteger(d->FieldByName("score")->GetAsInteger() * 2);
  });
  ds->Open();
  calcs = 0;
  EXPECT_EQ(ds->Lookup("name", "Bob", "double"), Variant(60));
  EXPECT_EQ(calcs, 3) << "two rows read on the way, then the found one again";
}

// Staff and the names of their bosses, looked up in the same dataset by a
// calculated field's handler and by a lookup field. Di's boss is read after
// her, and Di and Flo are each other's boss.
TEST_F(BookmarkLocate, LookupOnItsOwnDataSetGivesEachRecordItsValues) {
  db.Exec("CREATE TABLE staff (id INTEGER, name VARCHAR(12), boss INTEGER)");
  db.Exec(
      "INSERT INTO staff VALUES (1, 'Ada', NULL), (2, 'Ben', 1), (3, 'Cy', 2), (4, 'Di', 6), (5, "
      "'Ed', 1),"
      " (6, 'Flo', 4)");
  TTestQVLDataSet staff(nullptr);
  staff.SetDatabase(db);
  staff.SetCommandText("SELECT id, name, boss FROM staff ORDER BY id");
  auto calculated = std::make_unique<TStringField>(12);
  calculated->SetFieldName("boss_calc");
  calculated->SetFieldKind(fkCalculated);
  staff.Fields().Add(std::move(calculated));
  auto lookup = std::make_unique<TStringField>(12);
  lookup->SetFieldName("boss_lookup");
  lookup->SetFieldKind(fkLookup);
  lookup->SetLookupDataSet(&staff);
  lookup->SetKeyFields("boss");
  lookup->SetLookupKeyFields("id");
  lookup->SetLookupResultField("name");
  staff.Fields().Add(std::move(lookup));
  staff.SetOnCalcFields([](TDataSet* d) {
    d->FieldByName("boss_calc")
        ->SetAsVariant(d->Lookup("id", d->FieldByName("boss")->GetAsVariant(), "name"));
  });
  staff.Open();
  const char* expected[][3] = {{"Ada", "", ""},      {"Ben", "Ada", "Ada"}, {"Cy", "Ben", "Ben"},
                               {"Di", "Flo", "Flo"}, {"Ed", "Ada", "Ada"},  {"Flo", "Di", "Di"}};
  for (const auto& row : expected) {
    ASSERT_FALSE(staff.Eof());
    EXPECT_EQ(staff.FieldByName("name")->GetAsString(), row[0]);
    EXPECT_EQ(staff.FieldByName("boss_calc")->GetAsString(), row[1]) << row[0];
    EXPECT_EQ(staff.FieldByName("boss_lookup")->GetAsString(), row[2]) << row[0];
    staff.Next();
  }
  EXPECT_TRUE(staff.Eof());
  staff.First();
  EXPECT_TRUE(staff.FieldByName("boss_calc")->IsNull())
      << "nothing written into the record a lookup found";
  EXPECT_EQ(staff.Lookup("name", "Cy", "boss_calc;boss_lookup"), VarArrayOf({"Ben", "Ben"}));
  EXPECT_EQ(staff.FieldByName("name")->GetAsString(), "Ada");
}
