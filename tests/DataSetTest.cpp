// The dataset framework, driven through a small in-memory descendant.
#include <gtest/gtest.h>

#include "qvl/host/dataset/DBConsts.h"
#include "qvl/host/dataset/DataLink.h"
#include "qvl/host/dataset/Field.h"
#include "tests/support/MemDataSet.h"
#include "tests/support/TestPeer.h"

using namespace qvl;
using qvl::test::TDataSetTestPeer;
using qvl::test::TMemDataSet;

namespace {

std::unique_ptr<TMemDataSet> MakePeople(int Rows, int Buffers = 1) {
  auto ds = std::make_unique<TMemDataSet>();
  ds->SetName("People");
  ds->AddColumn("ID", ftInteger);
  ds->AddColumn("NAME", ftString, 10);
  ds->AddColumn("AMOUNT", ftFloat);
  std::vector<std::vector<Variant>> rows;
  for (int i = 1; i <= Rows; ++i) rows.push_back({i, "n" + std::to_string(i), i * 1.5});
  ds->AddRows(rows);
  (void)Buffers;
  return ds;
}

// A view asking for a window of N rows; remembers what it heard.
class TTestLink : public TDataLink {
 public:
  explicit TTestLink(int N) { SetBufferCount(N); }
  std::vector<std::string> Events;
  std::vector<int> Ids() {
    std::vector<int> ids;
    int saved = GetActiveRecord();
    for (int i = 0; i < GetRecordCount(); ++i) {
      SetActiveRecord(i);
      ids.push_back(GetDataSet()->FieldByName("ID")->GetAsInteger());
    }
    SetActiveRecord(saved);
    return ids;
  }

 protected:
  void ActiveChanged() override { Events.push_back(GetActive() ? "active" : "inactive"); }
  void DataSetChanged() override { Events.push_back("changed"); }
  void DataSetScrolled(int Distance) override {
    Events.push_back("scrolled " + std::to_string(Distance));
  }
  void EditingChanged() override { Events.push_back(GetEditing() ? "editing" : "browsing"); }
};

int Id(TDataSet& ds) {
  return ds.FieldByName("ID")->GetAsInteger();
}

}  // namespace

TEST(DataSetState, OpenBrowseEditInsertCloseTransitions) {
  auto ds = MakePeople(3);
  EXPECT_EQ(ds->GetState(), dsInactive);
  ds->Open();
  EXPECT_EQ(ds->GetState(), dsBrowse);
  EXPECT_TRUE(ds->GetActive());
  EXPECT_TRUE(ds->Bof());
  EXPECT_FALSE(ds->Eof());
  EXPECT_EQ(Id(*ds), 1);
  ds->Edit();
  EXPECT_EQ(ds->GetState(), dsEdit);
  ds->FieldByName("NAME")->SetAsString("x");
  EXPECT_TRUE(ds->GetModified());
  ds->Post();
  EXPECT_EQ(ds->GetState(), dsBrowse);
  EXPECT_FALSE(ds->GetModified());
  ds->Insert();
  EXPECT_EQ(ds->GetState(), dsInsert);
  ds->Cancel();
  EXPECT_EQ(ds->GetState(), dsBrowse);
  ds->Close();
  EXPECT_EQ(ds->GetState(), dsInactive);
  EXPECT_EQ(ds->Fields().Count(), 0) << "default fields go with the close";
}

TEST(DataSetState, ChecksRaiseWithTheDataSetName) {
  auto ds = MakePeople(2);
  try {
    ds->Next();
    FAIL() << "expected an error";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "People: Cannot perform this operation on a closed dataset");
  }
  ds->Open();
  try {
    ds->FieldByName("ID")->SetAsInteger(5);
    FAIL() << "expected an error";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "People: Dataset not in edit or insert mode");
  }
  try {
    ds->FieldByName("MISSING");
    FAIL() << "expected an error";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "People: Field 'MISSING' not found");
  }
  ds->FieldByName("NAME")->SetReadOnly(true);
  ds->Edit();
  try {
    ds->FieldByName("NAME")->SetAsString("y");
    FAIL() << "expected an error";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "People: Field 'NAME' cannot be modified");
  }
}

TEST(DataSetState, EditOnEmptyDataSetInsertsAndCheckBrowseModePostsOrCancels) {
  auto ds = MakePeople(0);
  ds->Open();
  EXPECT_TRUE(ds->IsEmpty());
  EXPECT_TRUE(ds->Bof() && ds->Eof());
  ds->Edit();
  EXPECT_EQ(ds->GetState(), dsInsert);
  ds->FieldByName("ID")->SetAsInteger(7);
  ds->CheckBrowseMode();  // modified: posts
  EXPECT_EQ(ds->RowCount(), 1);
  ds->Edit();
  ds->CheckBrowseMode();  // unmodified: cancels
  EXPECT_EQ(ds->GetState(), dsBrowse);
  EXPECT_EQ(Id(*ds), 7);
}

TEST(DataSetWindow, OneBufferReadsOneRecordPerStep) {
  auto ds = MakePeople(50);
  ds->Open();
  EXPECT_EQ(TDataSetTestPeer::BufferCount(*ds), 1);
  EXPECT_EQ(ds->FetchCount, 1);
  for (int i = 0; i < 5; ++i) ds->Next();
  EXPECT_EQ(Id(*ds), 6);
  EXPECT_EQ(ds->FetchCount, 6);
  EXPECT_EQ(ds->MoveBy(-3), -3);
  EXPECT_EQ(Id(*ds), 3);
  ds->Last();
  EXPECT_EQ(Id(*ds), 50);
  EXPECT_TRUE(ds->Eof());
  ds->Next();
  EXPECT_TRUE(ds->Eof());
  EXPECT_EQ(Id(*ds), 50);
  ds->First();
  EXPECT_EQ(Id(*ds), 1);
  EXPECT_TRUE(ds->Bof());
  ds->Prior();
  EXPECT_TRUE(ds->Bof());
  EXPECT_EQ(Id(*ds), 1);
}

TEST(DataSetWindow, TwentyBuffersFollowTheActiveRecord) {
  auto ds = MakePeople(100);
  TTestLink link(20);
  link.SetDataSet(ds.get());
  ds->Open();
  EXPECT_EQ(TDataSetTestPeer::BufferCount(*ds), 20);
  EXPECT_EQ(TDataSetTestPeer::WindowRecordCount(*ds), 20);
  EXPECT_EQ(link.GetRecordCount(), 20);
  EXPECT_EQ(link.GetActiveRecord(), 0);
  std::vector<int> first20;
  for (int i = 1; i <= 20; ++i) first20.push_back(i);
  EXPECT_EQ(link.Ids(), first20);

  // Inside the window: only the active row moves.
  link.Events.clear();
  EXPECT_EQ(ds->MoveBy(10), 10);
  EXPECT_EQ(link.GetActiveRecord(), 10);
  EXPECT_EQ(link.Events, std::vector<std::string>{"scrolled 0"});

  // Past the edge: the window shifts by the rows read.
  link.Events.clear();
  EXPECT_EQ(ds->MoveBy(15), 15);
  EXPECT_EQ(Id(*ds), 26);
  EXPECT_EQ(link.GetActiveRecord(), 19);
  EXPECT_EQ(link.Events, std::vector<std::string>{"scrolled 6"});
  EXPECT_EQ(link.Ids().front(), 7);
  EXPECT_EQ(link.Ids().back(), 26);

  ds->Last();
  EXPECT_EQ(link.Ids().front(), 81);
  EXPECT_EQ(link.Ids().back(), 100);
  EXPECT_EQ(link.GetActiveRecord(), 19);

  // Going to a bookmark centres the record.
  ds->First();
  ds->MoveBy(49);
  TBookmark mark = ds->GetBookmark();
  ds->First();
  ds->GotoBookmark(mark);
  EXPECT_EQ(Id(*ds), 50);
  EXPECT_EQ(link.GetActiveRecord(), 9);
  EXPECT_EQ(link.Ids().front(), 41);

  // Shrinking the view keeps the active record in the window.
  link.SetBufferCount(3);
  EXPECT_EQ(TDataSetTestPeer::BufferCount(*ds), 3);
  EXPECT_EQ(Id(*ds), 50);
  EXPECT_EQ(link.GetRecordCount(), 3);
}

TEST(DataSetWindow, ViewHearsStateChanges) {
  auto ds = MakePeople(3);
  TTestLink link(5);
  link.SetDataSet(ds.get());
  ds->Open();
  ds->Edit();
  ds->Cancel();
  ds->Close();
  EXPECT_EQ(link.Events, (std::vector<std::string>{"active", "changed", "editing", "browsing",
                                                   "changed", "inactive"}));
}

TEST(DataSetWindow, DisableControlsHoldsEventsBack) {
  auto ds = MakePeople(10);
  TTestLink link(4);
  link.SetDataSet(ds.get());
  ds->Open();
  link.Events.clear();
  ds->DisableControls();
  ds->Next();
  ds->Next();
  EXPECT_TRUE(link.Events.empty());
  ds->EnableControls();
  EXPECT_EQ(link.Events, std::vector<std::string>{"changed"});
}

TEST(DataSetEditing, HooksRunAfterRepositioningTheDescendant) {
  auto ds = MakePeople(5);
  TTestLink link(3);
  link.SetDataSet(ds.get());
  ds->Open();  // reads rows 1 to 3: the descendant stands on 3, the active record is 1
  ds->Log.clear();
  ds->Edit();
  ds->FieldByName("NAME")->SetAsString("changed");
  ds->Post();
  EXPECT_EQ(ds->Log, (std::vector<std::string>{"SetToRecord", "Edit", "Post"}));
  EXPECT_EQ(ds->FieldByName("NAME")->GetAsString(), "changed");

  auto single = MakePeople(5);
  single->Open();
  single->Next();
  single->Next();  // one buffer: the descendant stands on the active record
  single->Log.clear();
  single->Edit();
  single->Cancel();
  EXPECT_EQ(single->Log, (std::vector<std::string>{"Edit", "Cancel"})) << "already positioned";
}

TEST(DataSetEditing, InsertAppendDeleteAndCancel) {
  auto ds = MakePeople(3);
  ds->Open();
  ds->Next();  // on 2
  ds->Insert();
  ds->FieldByName("ID")->SetAsInteger(10);
  ds->Post();
  EXPECT_EQ(Id(*ds), 10);
  EXPECT_EQ(ds->GetRecNo(), 2) << "inserted before the active record";
  ds->Append();
  ds->FieldByName("ID")->SetAsInteger(20);
  ds->Post();
  EXPECT_EQ(ds->GetRecNo(), 5);
  ds->Insert();
  ds->Cancel();
  EXPECT_EQ(ds->RowCount(), 5);
  EXPECT_EQ(Id(*ds), 20);
  ds->First();
  ds->Delete();
  EXPECT_EQ(Id(*ds), 10);
  ds->Last();
  ds->Delete();
  EXPECT_EQ(Id(*ds), 3) << "deleting the last record shows the one before";
  std::vector<int> ids;
  for (ds->First(); !ds->Eof(); ds->Next()) ids.push_back(Id(*ds));
  EXPECT_EQ(ids, (std::vector<int>{10, 2, 3}));
  auto empty = MakePeople(0);
  empty->Open();
  try {
    empty->Delete();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "People: Cannot perform this operation on an empty dataset");
  }
}

TEST(DataSetEditing, OneCallInsertAndAppendUseAddRecord) {
  auto ds = MakePeople(3);
  ds->Open();
  ds->Next();
  ds->Log.clear();
  ds->InsertRecord({Variant(42), Variant("ins")});
  EXPECT_EQ(ds->Log.back(), "AddRecord(insert)");
  EXPECT_EQ(Id(*ds), 42);
  EXPECT_EQ(ds->GetRecNo(), 2);
  ds->AppendRecord({Variant(43), Variant(), Variant(2.5)});
  EXPECT_EQ(ds->Log.back(), "AddRecord(append)");
  EXPECT_EQ(Id(*ds), 43);
  EXPECT_EQ(ds->GetRecNo(), 5);
  EXPECT_TRUE(ds->FieldByName("NAME")->IsNull());
  EXPECT_EQ(ds->FieldByName("AMOUNT")->GetAsFloat(), 2.5);
  EXPECT_EQ(ds->GetState(), dsBrowse);
}

TEST(DataSetEditing, ErrorEventsDecideBetweenFailAbortAndRetry) {
  auto ds = MakePeople(2);
  ds->Open();
  int calls = 0;
  ds->SetOnPostError([&](TDataSet*, EDatabaseError& e, TDataAction& action) {
    ++calls;
    EXPECT_STREQ(e.what(), "People: post refused");
    action = daRetry;
  });
  ds->Edit();
  ds->FieldByName("NAME")->SetAsString("r");
  ds->FailPostOnce = true;
  ds->Post();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(ds->GetState(), dsBrowse);

  ds->FailEdit = true;
  ds->SetOnEditError([](TDataSet*, EDatabaseError&, TDataAction& action) { action = daAbort; });
  EXPECT_THROW(ds->Edit(), EAbort);
  EXPECT_EQ(ds->GetState(), dsBrowse);
  ds->SetOnEditError(nullptr);
  EXPECT_THROW(ds->Edit(), EDatabaseError);
}

TEST(DataSetEditing, RequiredFieldsAreCheckedOnPost) {
  auto ds = MakePeople(1);
  ds->Open();
  ds->FieldByName("NAME")->SetRequired(true);
  ds->Insert();
  ds->FieldByName("ID")->SetAsInteger(3);
  try {
    ds->Post();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "People: Field 'NAME' must have a value");
  }
  EXPECT_EQ(ds->GetState(), dsInsert);
  ds->Cancel();
}

TEST(DataSetEvents, OrderOfEventsAroundInsertPostAndScroll) {
  auto ds = MakePeople(3);
  std::vector<std::string> order;
  auto note = [&](const char* what) {
    return [&order, what](TDataSet*) { order.push_back(what); };
  };
  ds->SetBeforeOpen(note("BeforeOpen"));
  ds->SetAfterOpen(note("AfterOpen"));
  ds->SetBeforeInsert(note("BeforeInsert"));
  ds->SetAfterInsert(note("AfterInsert"));
  ds->SetOnNewRecord(note("OnNewRecord"));
  ds->SetBeforePost(note("BeforePost"));
  ds->SetAfterPost(note("AfterPost"));
  ds->SetBeforeScroll(note("BeforeScroll"));
  ds->SetAfterScroll(note("AfterScroll"));
  ds->SetBeforeCancel(note("BeforeCancel"));
  ds->SetAfterCancel(note("AfterCancel"));
  ds->SetBeforeClose(note("BeforeClose"));
  ds->SetAfterClose(note("AfterClose"));
  ds->Open();
  ds->Next();
  ds->Insert();
  ds->FieldByName("ID")->SetAsInteger(9);
  ds->Post();
  ds->Insert();
  ds->Cancel();
  ds->Close();
  EXPECT_EQ(order,
            (std::vector<std::string>{
                "BeforeOpen",   "AfterOpen",    "AfterScroll",  "BeforeScroll", "AfterScroll",
                "BeforeInsert", "BeforeScroll", "OnNewRecord",  "AfterInsert",  "AfterScroll",
                "BeforePost",   "AfterPost",    "BeforeInsert", "BeforeScroll", "OnNewRecord",
                "AfterInsert",  "AfterScroll",  "BeforeCancel", "BeforeScroll", "AfterCancel",
                "AfterScroll",  "BeforeClose",  "AfterClose"}));
}

TEST(DataSetFields, CalculatedFieldsFollowFieldChanges) {
  auto ds = MakePeople(3);
  auto calc = std::make_unique<TFloatField>();
  calc->SetFieldName("DOUBLE");
  calc->SetFieldKind(fkCalculated);
  ds->Fields().Add(std::move(calc));
  int calcCalls = 0;
  ds->SetOnCalcFields([&](TDataSet* d) {
    ++calcCalls;
    EXPECT_EQ(d->GetState(), dsCalcFields);
    d->FieldByName("DOUBLE")->SetAsFloat(d->FieldByName("AMOUNT")->GetAsFloat() * 2);
  });
  ds->Open();
  ASSERT_EQ(ds->Fields().Count(), 4);
  EXPECT_EQ(ds->Fields()[3]->GetFieldName(), "DOUBLE")
      << "default fields come before calculated ones";
  EXPECT_EQ(ds->FieldByName("DOUBLE")->GetAsFloat(), 3.0);
  ds->Edit();
  ds->FieldByName("AMOUNT")->SetAsFloat(10);
  EXPECT_EQ(ds->FieldByName("DOUBLE")->GetAsFloat(), 20.0);
  ds->Cancel();
  EXPECT_EQ(ds->FieldByName("DOUBLE")->GetAsFloat(), 3.0);
  EXPECT_GT(calcCalls, 0);
  EXPECT_EQ(ds->FieldByName("DOUBLE")->GetFieldNo(), -1);
}

TEST(DataSetFields, LookupFieldsWithoutAnOpenLookupDataSetAreNull) {
  auto names = std::make_unique<TMemDataSet>();
  names->AddColumn("CODE", ftInteger);
  names->AddColumn("LABEL", ftString, 10);
  names->AddRows({{1, "one"}, {2, "two"}});
  for (int variant = 0; variant < 3; ++variant) {  // no lookup dataset, a closed one, an open one
    if (variant == 2) names->Open();
    auto ds = MakePeople(2);
    auto lookup = std::make_unique<TStringField>(10);
    lookup->SetFieldName("LABEL");
    lookup->SetFieldKind(fkLookup);
    lookup->SetLookupDataSet(variant == 0 ? nullptr : names.get());
    lookup->SetKeyFields("ID");
    lookup->SetLookupKeyFields("CODE");
    lookup->SetLookupResultField("LABEL");
    ds->Fields().Add(std::move(lookup));
    ds->Open();
    EXPECT_EQ(ds->FieldByName("LABEL")->GetAsVariant(),
              variant == 2 ? Variant("one") : Variant::Null())
        << variant;
    EXPECT_EQ(names->GetActive(), variant == 2) << "a closed lookup dataset stays closed";
  }
}

TEST(DataSetViews, OnlyEventsThatChangeWhatViewsShowAreReplayedWhenControlsComeBack) {
  const struct {
    TDataEvent Event;
    bool Replayed;
  } cases[] = {
      {deFieldChange, true},   {deRecordChange, true},  {deDataSetChange, true},
      {deDataSetScroll, true}, {deUpdateState, true},   {deCheckBrowseMode, false},
      {deUpdateRecord, false}, {deLayoutChange, false},
  };
  for (const auto& c : cases) {
    auto ds = MakePeople(3);
    ds->Open();
    TTestLink link(1);
    link.SetDataSet(ds.get());
    link.Events.clear();
    ds->DisableControls();
    ds->DataEvent(c.Event, 0);
    EXPECT_TRUE(link.Events.empty()) << c.Event << ": views hear nothing while disabled";
    ds->EnableControls();
    EXPECT_EQ(link.Events,
              c.Replayed ? std::vector<std::string>{"changed"} : std::vector<std::string>{})
        << c.Event;
  }
}

TEST(DataSetFields, LookupFieldsReadAnotherDataSet) {
  auto names = std::make_unique<TMemDataSet>();
  names->AddColumn("CODE", ftInteger);
  names->AddColumn("LABEL", ftString, 10);
  names->AddRows({{1, "one"}, {2, "two"}, {3, "three"}});
  names->Open();
  auto ds = MakePeople(4);
  auto lookup = std::make_unique<TStringField>(10);
  lookup->SetFieldName("LABEL");
  lookup->SetFieldKind(fkLookup);
  lookup->SetLookupDataSet(names.get());
  lookup->SetKeyFields("ID");
  lookup->SetLookupKeyFields("CODE");
  lookup->SetLookupResultField("LABEL");
  ds->Fields().Add(std::move(lookup));
  ds->Open();
  EXPECT_EQ(ds->FieldByName("LABEL")->GetAsString(), "one");
  ds->Next();
  EXPECT_EQ(ds->FieldByName("LABEL")->GetAsString(), "two");
  ds->Last();
  EXPECT_TRUE(ds->FieldByName("LABEL")->IsNull()) << "no matching code";
  EXPECT_EQ(names->FieldByName("LABEL")->GetAsString(), "one")
      << "lookup does not move the other dataset";
}

TEST(DataSetFields, FilterHandlerHidesRecords) {
  auto ds = MakePeople(10);
  ds->SetOnFilterRecord([](TDataSet* d, bool& accept) {
    EXPECT_EQ(d->GetState(), dsFilter);
    accept = d->FieldByName("ID")->GetAsInteger() % 3 == 0;
  });
  ds->SetFiltered(true);
  ds->Open();
  std::vector<int> ids;
  for (; !ds->Eof(); ds->Next()) ids.push_back(Id(*ds));
  EXPECT_EQ(ids, (std::vector<int>{3, 6, 9}));
}

TEST(DataSetFields, FieldListsAndValues) {
  auto ds = MakePeople(2);
  ds->Open();
  std::vector<TField*> list;
  ds->GetFieldList(list, "NAME; ID");
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]->GetFieldName(), "NAME");
  EXPECT_EQ(list[1]->GetFieldName(), "ID");
  Variant v = ds->GetFieldValue("ID;NAME");
  ASSERT_TRUE(v.IsArray());
  EXPECT_EQ(v[0], Variant(1));
  EXPECT_EQ(v[1], Variant("n1"));
  EXPECT_EQ(ds->GetFieldValue("AMOUNT"), Variant(1.5));
  EXPECT_THROW(ds->GetFieldList(list, "ID;NOPE"), EDatabaseError);
  EXPECT_EQ(ds->FieldByNumber(2)->GetFieldName(), "NAME");
  EXPECT_EQ(ds->FieldByName("name")->GetIndex(), 1);
}

TEST(DataSetFields, OldAndNewValues) {
  auto ds = MakePeople(2);
  ds->Open();
  ds->Edit();
  TField* name = ds->FieldByName("NAME");
  EXPECT_TRUE(name->GetNewValue().IsEmpty()) << "unchanged: Unassigned";
  name->SetAsString("other");
  EXPECT_EQ(name->GetOldValue(), Variant("n1"));
  EXPECT_EQ(name->GetNewValue(), Variant("other"));
  name->Clear();
  EXPECT_TRUE(name->GetNewValue().IsNull()) << "set to null: Null, not Unassigned";
  ds->Cancel();
  ds->Insert();
  EXPECT_TRUE(ds->FieldByName("ID")->GetNewValue().IsEmpty()) << "inserted and null: Unassigned";
  ds->FieldByName("ID")->SetAsInteger(5);
  EXPECT_EQ(ds->FieldByName("ID")->GetNewValue(), Variant(5));
  ds->Cancel();
}

TEST(DataSetBookmarks, RoundTripAndOrder) {
  auto ds = MakePeople(6);
  ds->Open();
  ds->MoveBy(2);
  TBookmark third = ds->GetBookmark();
  ASSERT_EQ(third.size(), 4u);
  ds->Last();
  TBookmark last = ds->GetBookmark();
  ds->GotoBookmark(third);
  EXPECT_EQ(Id(*ds), 3);
  EXPECT_EQ(ds->CompareBookmarks(third, last), -1);
  EXPECT_EQ(ds->CompareBookmarks(last, third), 1);
  EXPECT_EQ(ds->CompareBookmarks(TBookmark(), third), 1);
  EXPECT_TRUE(ds->BookmarkValid(third));
  ds->Delete();
  EXPECT_FALSE(ds->BookmarkValid(third));
  EXPECT_FALSE(ds->BookmarkValid(TBookmark()));
}

TEST(DataSetUniDirectional, RefusesBackwardMoves) {
  auto ds = MakePeople(4);
  TDataSetTestPeer::SetUniDirectional(*ds, true);
  TTestLink link(10);
  link.SetDataSet(ds.get());
  ds->Open();
  EXPECT_EQ(TDataSetTestPeer::BufferCount(*ds), 1) << "one buffer whatever the views ask";
  ds->Next();
  EXPECT_EQ(Id(*ds), 2);
  try {
    ds->Prior();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "People: Operation not allowed on a unidirectional dataset");
  }
  EXPECT_THROW(ds->Last(), EDatabaseError);
  EXPECT_FALSE(ds->GetCanModify());
  EXPECT_THROW(ds->Edit(), EDatabaseError);
}

TEST(DataSetComponent, DestroyingAnOpenDataSetClosesIt) {
  TComponent owner(nullptr);
  auto* ds = new TMemDataSet(&owner);
  ds->AddColumn("ID", ftInteger);
  ds->AddRows({{1}});
  ds->Open();
  TTestLink link(3);
  link.SetDataSet(ds);
  delete ds;
  EXPECT_EQ(link.GetDataSet(), nullptr);
  EXPECT_EQ(owner.ComponentCount(), 0);
}

TEST(DataSetComponent, ActiveSetWhileReadingOpensOnceLoaded) {
  auto ds = MakePeople(2);
  ds->BeginLoading();
  ds->Open();
  EXPECT_FALSE(ds->GetActive());
  ds->EndLoading();
  EXPECT_TRUE(ds->GetActive());
  EXPECT_EQ(Id(*ds), 1);
}
