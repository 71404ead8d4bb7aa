// Field values in cached records and blob streams, through a component over
// SQLite: the record layout, nulls, strings at their size limit, blob sharing
// and copy-on-write, stream positions and modes.
#include <gtest/gtest.h>

#include <cstring>

#include "qvl/host/dataset/DBConsts.h"
#include "tests/EngineTestSupport.h"

using namespace qvl;
using namespace qvl::test;

namespace {

class EngineFieldData : public ::testing::Test {
 protected:
  void SetUp() override {
    db.Exec("CREATE TABLE docs (id INT, name VARCHAR(5), data BLOB)");
    db.Exec("INSERT INTO docs VALUES (1, 'abc', X'01020304'), (2, NULL, NULL), (3, 'xyz', X'')");
    ds = std::make_unique<TTestQVLDataSet>(nullptr);
    ds->SetName("Docs");
    ds->SetDatabase(db);
    ds->SetCommandText("SELECT id, name, data FROM docs ORDER BY id");
    ds->SetCachedUpdates(true);
    ds->Open();
  }
  TBlobField* Data() { return static_cast<TBlobField*>(ds->FieldByName("data")); }
  TField* Name() { return ds->FieldByName("name"); }
  std::unique_ptr<TStream> Stream(TBlobStreamMode Mode) {
    return ds->CreateBlobStream(Data(), Mode);
  }
  static std::vector<std::uint8_t> Bytes(std::initializer_list<int> Values) {
    std::vector<std::uint8_t> out;
    for (int v : Values) out.push_back(static_cast<std::uint8_t>(v));
    return out;
  }

  TSQLiteDb db;
  std::unique_ptr<TTestQVLDataSet> ds;
};

}  // namespace

// ---- layout, values and nulls -----------------------------------------------------

TEST_F(EngineFieldData, RecordIsTheHeaderThenPackedSlots) {
  // VARCHAR(5) keeps room for five 4-byte UTF-8 characters.
  ASSERT_EQ(Name()->GetDataSize(), 21);
  // id: flag + 4; name: flag + 21; data: one blob reference.
  EXPECT_EQ(ds->GetRecordSize(), kQVLRecordHeaderSize + 5 + 22 + sizeof(void*));
  std::vector<std::uint8_t> copy(ds->GetRecordSize(), 0xEE);
  ASSERT_TRUE(ds->GetCurrentRecord(copy.data()));
  const std::size_t h = kQVLRecordHeaderSize;
  for (std::size_t i = 0; i < h; ++i) ASSERT_EQ(copy[i], 0xEE) << "header byte " << i << " written";
  EXPECT_EQ(copy[h], 1);
  std::int32_t id;
  std::memcpy(&id, &copy[h + 1], 4);
  EXPECT_EQ(id, 1);
  EXPECT_EQ(copy[h + 5], 1);
  EXPECT_STREQ(reinterpret_cast<const char*>(&copy[h + 6]), "abc");
  EXPECT_EQ(TBlobByteData::SlotLength(&copy[h + 27]), 4u);
  EXPECT_EQ(TBlobByteData::SlotRefCount(&copy[h + 27]), 2u) << "the copy holds the record's array";
  TBlobByteData::SlotRelease(&copy[h + 27]);
}

TEST_F(EngineFieldData, SettingNullKeepsTheBytesButReadsAsNull) {
  ds->Edit();
  Name()->Clear();
  EXPECT_TRUE(Name()->IsNull());
  EXPECT_EQ(Name()->GetAsVariant(), Variant::Null());
  std::vector<std::uint8_t> copy(ds->GetRecordSize(), 0);
  ASSERT_TRUE(ds->GetCurrentRecord(copy.data()));
  EXPECT_EQ(copy[kQVLRecordHeaderSize + 5], 0) << "flag";
  EXPECT_STREQ(reinterpret_cast<const char*>(&copy[kQVLRecordHeaderSize + 6]), "abc")
      << "value bytes kept";
  TBlobByteData::SlotRelease(&copy[kQVLRecordHeaderSize + 27]);
  ds->Cancel();
  EXPECT_EQ(Name()->GetAsString(), "abc");
}

TEST_F(EngineFieldData, NullColumnsReadAsNullAndNullBufferOnlyTells) {
  ds->Next();
  EXPECT_TRUE(ds->FieldByName("name")->IsNull());
  EXPECT_TRUE(Data()->IsNull());
  EXPECT_TRUE(ds->GetFieldData(ds->FieldByName("id"), nullptr));
  char untouched[8] = "keep";
  EXPECT_FALSE(ds->GetFieldData(Name(), untouched));
  EXPECT_STREQ(untouched, "keep");
}

TEST_F(EngineFieldData, StringsAreCutToTheFieldAndStayWholeCharacters) {
  ds->Edit();
  Name()->SetAsString("abcdefghijklmnopqrst");
  EXPECT_EQ(Name()->GetAsString(), "abcdefghijklmnopqrst") << "exactly DataSize - 1 bytes";
  // The field refuses text it cannot hold; the engine, handed a longer
  // buffer directly, cuts it.
  EXPECT_THROW(Name()->SetAsString("abcdefghijklmnopqrstuvwxyz"), EDatabaseError);
  EXPECT_EQ(Name()->GetAsString(), "abcdefghijklmnopqrst");
  Name()->SetData("abcdefghijklmnopqrstuvwxyz");
  EXPECT_EQ(Name()->GetAsString(), "abcdefghijklmnopqrst");
  std::string accents = "a";
  for (int i = 0; i < 10; ++i) accents += "\xC3\xA9";  // e-acute, two bytes
  Name()->SetData(accents.c_str());
  EXPECT_EQ(Name()->GetAsString(), accents.substr(0, 19)) << "never half a character";
  ds->Cancel();
}

// The text accessors read the slot of the record that field access reads in
// each state: the active one, the old values, the next record.
TEST_F(EngineFieldData, StringTextFollowsTheRecordOfEachState) {
  ds->Edit();
  Name()->SetAsString("new");
  EXPECT_EQ(Name()->GetAsString(), "new");
  EXPECT_EQ(Name()->GetOldValue().AsString(), "abc");
  ds->Post();
  EXPECT_EQ(Name()->GetOldValue().AsString(), "abc");
  ds->Next();
  EXPECT_TRUE(Name()->IsNull());
  EXPECT_EQ(Name()->GetAsString(), "");
  ds->Next();
  EXPECT_EQ(Name()->GetAsString(), "xyz");
  ds->Prior();
  ds->Prior();
  EXPECT_EQ(Name()->GetAsString(), "new");
}

TEST(EngineFieldText, FloatsAndDatesReadAsTheirShortestText) {
  TSQLiteDb db;
  db.Exec("CREATE TABLE t (n INT, f REAL, d DATE)");
  db.Exec(
      "INSERT INTO t VALUES (1, 0.1, '2024-03-09'), (2, 1e21, '0999-01-01'), (3, -2.5, NULL),"
      " (4, 3.0, '9999-12-31'), (5, NULL, '1970-01-01')");
  TTestQVLDataSet ds(nullptr);
  ds.SetDatabase(db);
  ds.SetCommandText("SELECT f, d FROM t ORDER BY n");
  ds.Open();
  const char* expected[][2] = {{"0.1", "2024-03-09"},
                               {"1e+21", "0999-01-01"},
                               {"-2.5", ""},
                               {"3", "9999-12-31"},
                               {"", "1970-01-01"}};
  for (const auto& row : expected) {
    SCOPED_TRACE(row[0]);
    ASSERT_FALSE(ds.Eof());
    EXPECT_EQ(ds.Fields()[0]->GetAsString(), row[0]);
    EXPECT_EQ(ds.Fields()[1]->GetAsString(), row[1]);
    ds.Next();
  }
  EXPECT_TRUE(ds.Eof());
}

TEST_F(EngineFieldData, AFieldChangeMarksTheDataSetModifiedOutsideCalculation) {
  ds->Edit();
  EXPECT_FALSE(ds->GetModified());
  Name()->SetAsString("q");
  EXPECT_TRUE(ds->GetModified());
  ds->Cancel();
}

// ---- blobs ------------------------------------------------------------------------

TEST_F(EngineFieldData, BlobsAreSharedNotCopied) {
  TBlobByteData held = Data()->GetBlobData();
  EXPECT_EQ(held.ToBytes(), Bytes({1, 2, 3, 4}));
  EXPECT_EQ(held.RefCount(), 2u) << "the record and this reference";
  TBlobByteData viaNumber;
  EXPECT_EQ(ds->GetBlobFieldData(Data()->GetFieldNo(), viaNumber), 4);
  EXPECT_EQ(held.RefCount(), 3u);
  ds->Close();
  EXPECT_EQ(held.RefCount(), 2u) << "closing released the record's hold";
}

// Empty and null stay apart through reading, editing, cancelling and old values.
TEST_F(EngineFieldData, AnEmptyBlobIsNotNull) {
  ds->Last();
  ASSERT_EQ(ds->FieldByName("id")->GetAsInteger(), 3);
  EXPECT_FALSE(Data()->IsNull());
  EXPECT_TRUE(Data()->GetAsVariant() == Variant(TBytes{}));
  TBlobByteData buffer;
  EXPECT_EQ(ds->GetBlobFieldData(Data()->GetFieldNo(), buffer), 0);
  EXPECT_FALSE(buffer.IsNull());
  ds->Edit();
  Data()->Clear();
  EXPECT_TRUE(Data()->IsNull());
  EXPECT_TRUE(Data()->GetModified());
  EXPECT_FALSE(Data()->GetOldValue().IsNull()) << "the old value is still the empty one";
  ds->Cancel();
  EXPECT_FALSE(Data()->IsNull()) << "cancel restores the empty value";
  ds->Prior();  // id 2: null
  ASSERT_TRUE(Data()->IsNull());
  ds->Edit();
  Data()->SetAsString("");
  EXPECT_FALSE(Data()->IsNull());
  EXPECT_TRUE(Data()->GetOldValue().IsNull());
  ds->Post();
  EXPECT_FALSE(Data()->IsNull());
  ds->Edit();
  Data()->SetAsVariant(Variant::Null());
  ds->Post();
  EXPECT_TRUE(Data()->IsNull());
}

TEST_F(EngineFieldData, WriteStreamStartsEmptyAndMarksTheFieldEvenUnwritten) {
  ds->Edit();
  {
    auto s = Stream(bmWrite);
    EXPECT_EQ(s->GetSize(), 0);
    EXPECT_FALSE(Data()->IsNull()) << "the record sees the truncation at once: empty, not null";
    EXPECT_EQ(Data()->GetAsString(), "");
    EXPECT_FALSE(Data()->GetModified()) << "the dataset hears of it when the stream goes";
  }
  EXPECT_TRUE(Data()->GetModified());
  EXPECT_TRUE(ds->GetModified());
  ds->Cancel();
  EXPECT_EQ(Data()->GetAsBytes(), Bytes({1, 2, 3, 4})) << "cancel restores the blob";
}

TEST_F(EngineFieldData, ReadStreamWorksInBrowseStateAndMarksNothing) {
  {
    auto s = Stream(bmRead);
    std::uint8_t buf[8] = {};
    EXPECT_EQ(s->Read(buf, 8), 4);
    EXPECT_EQ(buf[3], 4);
    EXPECT_EQ(s->Read(buf, 8), 0);
  }
  EXPECT_FALSE(Data()->GetModified());
  EXPECT_FALSE(ds->GetModified());
}

TEST_F(EngineFieldData, WritingPastTheEndFillsTheGapWithZeros) {
  ds->Edit();
  {
    auto s = Stream(bmReadWrite);
    EXPECT_EQ(s->Seek(10, soFromBeginning), 10);
    const std::uint8_t two[2] = {9, 8};
    EXPECT_EQ(s->Write(two, 2), 2);
    EXPECT_EQ(s->GetSize(), 12);
    EXPECT_EQ(s->Seek(20, soFromBeginning), 20) << "positions are not clamped";
    std::uint8_t buf[4];
    EXPECT_EQ(s->Read(buf, 4), 0);
    EXPECT_EQ(s->Seek(-3, soFromEnd), 9);
    EXPECT_EQ(s->Seek(1, soFromCurrent), 10);
    EXPECT_EQ(s->Seek(5, 7), 10) << "an unknown origin leaves the position";
  }
  EXPECT_EQ(Data()->GetAsBytes(), Bytes({1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 9, 8}));
  ds->Cancel();
}

TEST_F(EngineFieldData, WritingUnsharesSoTheEditCopyKeepsItsBytes) {
  TBlobByteData before = Data()->GetBlobData();
  ds->Edit();
  EXPECT_EQ(before.RefCount(), 3u) << "record, edit copy, this reference";
  {
    auto s = Stream(bmReadWrite);
    const std::uint8_t x = 0x77;
    s->Write(&x, 1);
    EXPECT_EQ(Data()->GetAsBytes(), Bytes({0x77, 2, 3, 4})) << "visible before the stream goes";
  }
  EXPECT_EQ(before.ToBytes(), Bytes({1, 2, 3, 4}));
  EXPECT_EQ(before.RefCount(), 2u) << "the record let go of the shared array";
  ds->Cancel();
  EXPECT_EQ(Data()->GetAsBytes(), Bytes({1, 2, 3, 4}));
  EXPECT_EQ(before.RefCount(), 2u) << "the edit copy's hold went back to the record";
}

TEST_F(EngineFieldData, PostedBlobChangeKeepsTheOldValuesUntilClose) {
  TBlobByteData before = Data()->GetBlobData();
  ds->Edit();
  Data()->SetAsBytes(Bytes({5, 6}));
  ds->Post();
  EXPECT_EQ(Data()->GetAsBytes(), Bytes({5, 6}));
  EXPECT_EQ(Data()->GetOldValue(), Variant(Bytes({1, 2, 3, 4})));
  EXPECT_EQ(before.RefCount(), 2u) << "held by this reference and the old values";
  ds->Close();
  EXPECT_EQ(before.RefCount(), 1u);
}

TEST_F(EngineFieldData, WriteStreamsNeedAWritableFieldAndAnEdit) {
  Data()->SetReadOnly(true);
  EXPECT_EQ(Error([&] { Stream(bmWrite); }), "Docs: Field 'data' cannot be modified");
  Data()->SetReadOnly(false);
  EXPECT_EQ(Error([&] { Stream(bmReadWrite); }), "Docs: Dataset not in edit or insert mode");
  EXPECT_EQ(Error([&] { ds->CreateBlobStream(Name(), bmRead); }), "Invalid class typecast");
}

TEST_F(EngineFieldData, AStreamFollowsFieldAccessToAnotherRecord) {
  auto s = Stream(bmRead);
  EXPECT_EQ(s->GetSize(), 4);
  ds->Next();
  EXPECT_EQ(s->GetSize(), 0) << "row 2 has no blob";
}

TEST_F(EngineFieldData, RecordsWiderThanSixteenBitsReportTheirWholeSize) {
  db.Exec(
      "CREATE TABLE wide (a VARCHAR(4000), b VARCHAR(4000), c VARCHAR(4000), d VARCHAR(4000), e "
      "VARCHAR(4000))");
  db.Exec("INSERT INTO wide VALUES ('a', 'b', 'c', 'd', 'e')");
  TTestQVLDataSet wide(nullptr);
  wide.SetDatabase(db);
  wide.SetCommandText("SELECT a, b, c, d, e FROM wide");
  wide.Open();
  const std::size_t slot = 1 + static_cast<std::size_t>(wide.FieldByName("e")->GetDataSize());
  ASSERT_EQ(wide.GetRecordSize(), kQVLRecordHeaderSize + 5 * slot);
  EXPECT_GT(wide.GetRecordSize(), 65535u);
  std::vector<std::uint8_t> copy(wide.GetRecordSize(), 0xEE);
  ASSERT_TRUE(wide.GetCurrentRecord(copy.data()));
  EXPECT_STREQ(reinterpret_cast<const char*>(&copy[kQVLRecordHeaderSize + 4 * slot + 1]), "e");
}

// ---- streams that outlive their dataset ---------------------------------------------------

TEST_F(EngineFieldData, StreamsKeptPastCloseOrDestructionAreInert) {
  const std::string closed = "Cannot perform this operation on a closed dataset";
  for (bool destroy : {false, true}) {
    ds->Open();
    ds->Edit();
    auto reader = Stream(bmRead);
    auto writer = Stream(bmReadWrite);
    ASSERT_EQ(writer->Write("xy", 2), 2);
    if (destroy)
      ds.reset();
    else
      ds->Close();
    char bytes[4];
    for (TStream* stream : {reader.get(), writer.get()}) {
      EXPECT_EQ(Error([&] { stream->Read(bytes, 4); }), closed) << destroy;
      EXPECT_EQ(Error([&] { stream->Write(bytes, 1); }), closed) << destroy;
    }
    // Destroying them touches neither the field nor the dataset.
    reader.reset();
    writer.reset();
  }
}
