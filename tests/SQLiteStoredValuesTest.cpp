// SQLite files written by other programs: every value a column holds reads
// with the fields the driver creates by default, whatever its declared type,
// comes back as SQLite holds it, matches itself under where all, and an
// edited value reaches the file with the storage class SQLite gives it.
//
// The expected cells are what Python's sqlite3 module returns for each value
// (its repr, and typeof() for the storage class), with two differences of
// formatting only: bytes are written here as their raw characters, and a
// 2,000-character text is checked by its length and first character.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "qvl/components/QVLQuery.h"
#include "qvl/host/dataset/Field.h"
#include "qvl/host/runtime/DateTime.h"
#include "qvl/sql/QVLConnection.h"
#include "tests/SQLLayerTestSupport.h"

using namespace qvl;
using namespace qvl::test;

namespace {

struct TStoredCase {
  const char* Column;
  const char* Literal;  // as inserted by SQL
  std::string Text;     // GetAsString
  const char* Kind;     // typeof() of the stored value
};

const TStoredCase StoredCases[] = {
    {"i", "'abc'", "abc", "text"},
    {"i", "'N/A'", "N/A", "text"},
    {"i", "''", "", "text"},
    {"i", "'1,5'", "1,5", "text"},
    {"i", "9223372036854775807", "9223372036854775807", "integer"},
    {"i", "-9223372036854775808", "-9223372036854775808", "integer"},
    {"r", "'1,5'", "1,5", "text"},
    {"r", "0.1", "0.1", "real"},
    {"r", "1e308", "1e+308", "real"},
    {"r", "3", "3.0", "real"},
    {"b", "'yes'", "yes", "text"},
    {"b", "1", "1", "integer"},
    {"d", "1673740800", "1673740800", "integer"},
    {"d", "2459960.5", "2459960.5", "real"},
    {"d", "'15/01/2023'", "15/01/2023", "text"},
    {"d", "'2023-02-30'", "2023-02-30", "text"},
    {"d", "'now'", "now", "text"},
    {"d", "'2024-01-05 13:45:00'", "2024-01-05 13:45:00", "text"},
    {"dt", "'2023-01-15T10:20:30.123456'", "2023-01-15T10:20:30.123456", "text"},
    {"ts", "'2023-01-15 10:20:30+02:00'", "2023-01-15 10:20:30+02:00", "text"},
    {"tm", "'24:00:00'", "24:00:00", "text"},
    {"v", "printf('%.*c', 2000, 'x')", std::string(2000, 'x'), "text"},
    {"dc", "1.23456789012345", "1.23456789012345", "real"},
    {"u", "18446744073709551615", "1.8446744073709552e+19", "real"},
    {"n", "'18446744073709551615'", "18446744073709551615", "text"},
    {"n", "7", "7", "integer"},
    {"n", "'text'", "text", "text"},
    {"p", "x'0001'", std::string("\0\1", 2), "blob"},
    {"hd", "12345678901234567890123", "1.2345678901234568e+22", "real"},
    {"bl", "x''", "", "blob"},
    {"bl", "'not a blob'", "not a blob", "text"},
    {"tx", "''", "", "text"},
    {"tx", "x'00ff'", std::string("\0\xff", 2), "blob"},
    {"tx", "' trailing  '", " trailing  ", "text"},
};

const char* const kCreate =
    "CREATE TABLE loose (id INTEGER PRIMARY KEY, i INT, r REAL, b BOOLEAN, d DATE, dt DATETIME, "
    "ts TIMESTAMP, tm TIME, v VARCHAR(255), dc DECIMAL(10,5), u UNSIGNED BIG INT, n, p POINT, "
    "hd DECIMAL(2147483647), bl BLOB, tx TEXT, mark INT)";

class SQLiteStoredValues : public ::testing::Test {
 protected:
  void SetUp() override {
    Db = std::make_unique<TestDatabase>("SQLite");
    ASSERT_TRUE(Db->Ready());
    Conn = Db->NewConnection();
    Conn->ExecuteDirect(kCreate);
    int id = 0;
    for (const TStoredCase& c : StoredCases)
      Conn->ExecuteDirect("INSERT INTO loose (id, " + std::string(c.Column) + ") VALUES (" +
                          std::to_string(++id) + ", " + c.Literal + ")");
    Connection.SetDriverName("SQLite");
    Connection.Params().Add("Database=" + Db->File());
  }

  std::unique_ptr<TSQLQuery> Query(const std::string& SQL, TSQLConnection* C) {
    auto q = std::make_unique<TSQLQuery>();
    q->SetSQLConnection(C);
    q->SQL().SetText(SQL);
    return q;
  }

  // typeof() and quote() of a stored value, as SQLite reports them.
  std::string Stored(const std::string& Column, int Id) {
    auto q = Query("SELECT typeof(" + Column + ") || ' ' || quote(" + Column +
                       ") FROM loose WHERE id = " + std::to_string(Id),
                   Conn.get());
    q->Open();
    return q->Fields()[0]->GetAsString();
  }

  std::unique_ptr<TestDatabase> Db;
  std::unique_ptr<TSQLConnection> Conn;
  TQVLConnection Connection;
};

TEST_F(SQLiteStoredValues, EveryValueReadsBothWaysAndWritesBackAsStored) {
  TQVLQuery q;
  q.SetSQLConnection(&Connection);
  q.SetCachedUpdates(true);
  q.SetUpdateMode(upWhereAll);
  q.SetUpdateOptions(q.GetUpdateOptions() | uoCheckRowsAffected);
  q.SQL().SetText("SELECT * FROM loose ORDER BY id");
  q.Open();
  EXPECT_EQ(q.FieldByName("id")->GetDataType(), ftLargeint) << "a rowid holds integers only";
  EXPECT_EQ(q.FieldByName("i")->GetDataType(), ftVariant);
  const int n = static_cast<int>(std::size(StoredCases));
  auto check = [&](int Id) {
    const TStoredCase& c = StoredCases[Id - 1];
    SCOPED_TRACE(std::string(c.Column) + " = " + c.Literal);
    TField* f = q.FieldByName(c.Column);
    ASSERT_FALSE(f->IsNull());
    EXPECT_EQ(f->GetAsString(), c.Text);
    // The value's bytes come alone, without their kind.
    const TBytes bytes = dynamic_cast<TVariantField&>(*f).GetAsBytes();
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.Text);
    const TVarType kind = f->GetAsVariant().VarType();
    const std::string k = std::string(c.Kind);
    EXPECT_EQ(kind, k == "integer" ? varInt64
                    : k == "real"  ? varDouble
                    : k == "text"  ? varString
                                   : varBytes);
    for (int i = 1; i < q.Fields().Count(); ++i)
      if (q.Fields()[i] != f) {
        EXPECT_TRUE(q.Fields()[i]->IsNull()) << q.Fields()[i]->GetFieldName();
      }
  };
  int id = 0;
  for (q.First(); !q.Eof(); q.Next()) check(++id);
  EXPECT_EQ(id, n);
  for (q.Last(); !q.Bof(); q.Prior()) check(id--);
  // Typed reads convert what converts and name the field for what does not.
  q.First();
  EXPECT_EQ(MessageOf([&] { q.FieldByName("i")->GetAsInteger(); }),
            "'abc' is not a valid value for field 'i'");
  ASSERT_TRUE(q.Locate("id", Variant(5), 0));
  EXPECT_EQ(q.FieldByName("i")->GetAsLargeInt(), INT64_MAX);
  EXPECT_EQ(MessageOf([&] { q.FieldByName("i")->GetAsInteger(); }),
            "'9223372036854775807' is not a valid value for field 'i'");

  // Unchanged values are compared with themselves in every WHERE clause.
  for (q.First(); !q.Eof(); q.Next()) {
    q.Edit();
    q.FieldByName("mark")->SetAsInteger(1);
    q.Post();
  }
  q.ApplyUpdates();
  id = 0;
  for (const TStoredCase& c : StoredCases) {
    ++id;
    EXPECT_EQ(Stored("mark", id), "integer 1") << c.Column << " = " << c.Literal;
  }
  // And a value changed by someone else is told apart from them.
  Conn->ExecuteDirect("UPDATE loose SET i = 'ABC' WHERE id = 1");
  q.First();
  q.Edit();
  q.FieldByName("mark")->SetAsInteger(2);
  q.Post();
  EXPECT_EQ(MessageOf([&] { q.ApplyUpdates(); }), "Record not found or changed by another user");
}

struct TEditCase {
  const char* Column;
  int Id;
  Variant Value;       // set through SetAsVariant
  const char* Stored;  // typeof() and quote() afterwards
};

TEST_F(SQLiteStoredValues, EditedValuesReachTheFileWithSQLitesStorageClass) {
  const TEditCase cases[] = {
      {"i", 1, Variant(std::string("42")), "integer 42"},  // INT affinity turns it into a number
      {"i", 2, Variant(std::string("still text")), "text 'still text'"},
      {"i", 3, Variant(std::int64_t{-7}), "integer -7"},
      {"r", 8, Variant(0.30000000000000004), "real 3.00000000000000044408e-01"},
      {"d", 16, Variant(std::string("2023-02-30")), "text '2023-02-30'"},
      {"ts", 20, Variant(std::string("2023-01-15 10:20:30+02:00")),
       "text '2023-01-15 10:20:30+02:00'"},
      {"n", 26, Variant(std::string("12")), "text '12'"},  // no affinity: text stays text
      {"n", 27, Variant(true), "integer 1"},
      {"p", 28, Variant(TBytes{0, 2}), "blob X'0002'"},
      {"tx", 32, Variant(std::string()), "text ''"},
      {"bl", 30, Variant::Null(), "null NULL"},
  };
  TQVLQuery q;
  q.SetSQLConnection(&Connection);
  q.SetCachedUpdates(true);
  q.SetUpdateMode(upWhereAll);
  q.SetUpdateOptions(q.GetUpdateOptions() | uoCheckRowsAffected);
  q.SQL().SetText("SELECT * FROM loose ORDER BY id");
  q.Open();
  for (const TEditCase& c : cases) {
    ASSERT_TRUE(q.Locate("id", Variant(c.Id), 0));
    q.Edit();
    q.FieldByName(c.Column)->SetAsVariant(c.Value);
    q.Post();
  }
  q.ApplyUpdates();
  for (const TEditCase& c : cases) EXPECT_EQ(Stored(c.Column, c.Id), c.Stored) << c.Column;
}

// Which field each column gets, by connection parameter; the values of a
// union of kinds read as they are.
TEST_F(SQLiteStoredValues, FieldTypesFollowWhatSQLiteEnforces) {
  Conn->ExecuteDirect(
      "CREATE TABLE s (k INTEGER PRIMARY KEY, a INT, b REAL, c TEXT, d ANY) STRICT");
  Conn->ExecuteDirect("INSERT INTO s VALUES (1, 2, 2.5, 'c', 'd')");
  struct {
    const char* Mode;
    const char* SQL;
    std::string Types;
  } cases[] = {
      {"", "SELECT k, a, b, c, d FROM s", "Largeint Largeint Float Memo Variant"},
      {"", "SELECT rowid, i, 1 FROM loose", "Largeint Variant Variant"},
      {"ColumnTypes=Declared", "SELECT i, p, hd, dc FROM loose WHERE id = 0",
       "Integer Memo FMTBcd FMTBcd"},
      {"ColumnTypes=Stored", "SELECT p, hd FROM loose", "Variant Variant"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.Mode) + ": " + c.SQL);
    TQVLConnection connection;
    connection.SetDriverName("SQLite");
    connection.Params().Add("Database=" + Db->File());
    if (*c.Mode != '\0') connection.Params().Add(c.Mode);
    TQVLQuery q;
    q.SetSQLConnection(&connection);
    q.SQL().SetText(c.SQL);
    q.Open();
    std::string types;
    for (int i = 0; i < q.Fields().Count(); ++i)
      types += (i == 0 ? "" : " ") + std::string(FieldTypeName(q.Fields()[i]->GetDataType()));
    EXPECT_EQ(types, c.Types);
  }
  // Declared timestamps refuse an offset rather than shift the time.
  TSQLConnection declared;
  declared.SetDriverName("SQLite");
  declared.Params().Add("Database=" + Db->File());
  declared.Params().Add("ColumnTypes=Declared");
  auto ts = Query("SELECT ts FROM loose WHERE id = 20", &declared);
  EXPECT_EQ(MessageOf([&] {
              ts->Open();
              ts->Fields()[0]->GetAsString();
            }),
            "Value '2023-01-15 10:20:30+02:00' of column 'ts' does not fit its TimeStamp field");
  // A typed field of the application's own converts, and names what does not.
  auto typed = Query("SELECT i FROM loose WHERE id IN (5, 1) ORDER BY id DESC", &Connection);
  auto i = std::make_unique<TLargeintField>();
  i->SetFieldName("i");
  typed->Fields().Add(std::move(i));
  typed->Open();
  EXPECT_EQ(typed->Fields()[0]->GetAsLargeInt(), INT64_MAX);
  typed->Next();
  EXPECT_EQ(MessageOf([&] { typed->Fields()[0]->GetAsLargeInt(); }),
            "Value 'abc' of column 'i' is not a valid Largeint");
  TQVLQuery u;
  u.SetSQLConnection(&Connection);
  u.SQL().SetText("SELECT 1 AS x UNION ALL SELECT 'text'");
  u.Open();
  EXPECT_EQ(u.Fields()[0]->GetAsString(), "1");
  u.Next();
  EXPECT_EQ(u.Fields()[0]->GetAsString(), "text");
  EXPECT_EQ(MessageOf([&] {
              TQVLConnection bad;
              bad.SetDriverName("SQLite");
              bad.Params().Add("Database=" + Db->File());
              bad.Params().Add("ColumnTypes=Loose");
              bad.Open();
            }),
            "Invalid value 'Loose' of connection parameter 'ColumnTypes'");
}

// Text and bytes of every length keep their bytes, zero bytes included,
// whether the record holds them in place or shares a longer array: an
// edit's old values and a cancelled edit keep what was read, a reverted
// record gets it back, and every value matches itself under where all.
TEST_F(SQLiteStoredValues, ValuesOfAnyLengthSurviveEditsCancelAndRevert) {
  const std::string values[] = {"", std::string("a\0b", 3), std::string(14, 'x'),
                                std::string(15, 'y'), std::string(300, 'z') + '\0'};
  Conn->ExecuteDirect("CREATE TABLE sizes (id INTEGER PRIMARY KEY, t, b, mark INT)");
  int id = 0;
  for (const std::string& v : values) {
    std::string hex;
    for (unsigned char c : v) hex += "0123456789abcdef"[c >> 4], hex += "0123456789abcdef"[c & 15];
    Conn->ExecuteDirect("INSERT INTO sizes (id, t, b) VALUES (" + std::to_string(++id) +
                        ", CAST(x'" + hex + "' AS TEXT), x'" + hex + "')");
  }
  TQVLQuery q;
  q.SetSQLConnection(&Connection);
  q.SetCachedUpdates(true);
  q.SetUpdateMode(upWhereAll);
  q.SQL().SetText("SELECT * FROM sizes ORDER BY id");
  q.Open();
  TField* t = q.FieldByName("t");
  TField* b = q.FieldByName("b");
  const Variant one(TBytes{1});
  for (const std::string& v : values) {
    SCOPED_TRACE(v.size());
    const Variant text(v), bytes(TBytes(v.begin(), v.end()));
    auto readAsStored = [&] {
      EXPECT_EQ(t->GetAsVariant().VarType(), varString);
      EXPECT_EQ(t->GetAsVariant(), text);
      EXPECT_EQ(t->GetAsString(), v);
      EXPECT_EQ(b->GetAsVariant().VarType(), varBytes);
      EXPECT_EQ(b->GetAsVariant(), bytes);
    };
    readAsStored();
    q.Edit();
    t->SetAsString(v + "!");
    b->SetAsVariant(one);
    EXPECT_EQ(t->GetAsString(), v + "!");
    EXPECT_EQ(t->GetOldValue(), text);
    EXPECT_EQ(b->GetOldValue(), bytes);
    q.Cancel();
    readAsStored();
    q.Edit();
    t->SetAsString(std::string(40, 'c'));
    b->Clear();
    q.Post();
    EXPECT_EQ(t->GetOldValue(), text);
    q.RevertRecord();
    readAsStored();
    q.Edit();
    q.FieldByName("mark")->SetAsInteger(1);
    q.Post();
    q.Next();
  }
  q.ApplyUpdates();
  auto marked = Query("SELECT count(*) FROM sizes WHERE mark = 1", Conn.get());
  marked->Open();
  EXPECT_EQ(marked->Fields()[0]->GetAsInteger(), static_cast<int>(std::size(values)));
}

// A date held as text converts as the general conversion converts it: the
// same day, or the same error naming the field.
TEST_F(SQLiteStoredValues, DatesHeldAsTextConvertOnlyWhenValid) {
  const struct {
    const char* Text;
    const char* Date;  // DateTimeToStr, or the error
  } cases[] = {
      {"2024-02-29", "2024-02-29 00:00:00"},
      {"2000-02-29", "2000-02-29 00:00:00"},
      {"0001-01-01", "0001-01-01 00:00:00"},
      {"9999-12-31", "9999-12-31 00:00:00"},
      {" 2024-01-05", "2024-01-05 00:00:00"},
      {"2024-01-05 13:45:00", "2024-01-05 13:45:00"},
      {"1900-02-29", "'1900-02-29' is not a valid value for field 'd'"},
      {"2023-04-31", "'2023-04-31' is not a valid value for field 'd'"},
      {"2023-00-10", "'2023-00-10' is not a valid value for field 'd'"},
      {"2023-13-10", "'2023-13-10' is not a valid value for field 'd'"},
      {"2023-01-00", "'2023-01-00' is not a valid value for field 'd'"},
      {"2023-1-010", "'2023-1-010' is not a valid value for field 'd'"},
      {"2023/01/10", "'2023/01/10' is not a valid value for field 'd'"},
  };
  Conn->ExecuteDirect("CREATE TABLE days (id INTEGER PRIMARY KEY, d DATE)");
  int id = 0;
  for (const auto& c : cases)
    Conn->ExecuteDirect("INSERT INTO days VALUES (" + std::to_string(++id) + ", '" + c.Text + "')");
  TQVLQuery q;
  q.SetSQLConnection(&Connection);
  q.SQL().SetText("SELECT d FROM days ORDER BY id");
  q.Open();
  for (const auto& c : cases) {
    std::string got;
    try {
      got = DateTimeToStr(q.Fields()[0]->GetAsDateTime());
    } catch (const EDatabaseError& e) {
      got = e.Message();
    }
    EXPECT_EQ(got, c.Date) << c.Text;
    q.Next();
  }
}

// Opening the same text again describes the table as it is now: a column
// added, and a table made again with other types, give other fields.
TEST_F(SQLiteStoredValues, TheSameTextOpensAgainOnAChangedTable) {
  Conn->ExecuteDirect("CREATE TABLE shape (id INTEGER PRIMARY KEY, v INT)");
  Conn->ExecuteDirect("INSERT INTO shape VALUES (1, 10)");
  TQVLQuery q;
  q.SetSQLConnection(&Connection);
  q.SQL().SetText("SELECT * FROM shape WHERE id = :ID");
  q.Params().ParamByName("ID")->SetAsInteger(1);
  auto open = [&] {
    q.Open();
    std::string fields;
    for (int i = 0; i < q.Fields().Count(); ++i)
      fields += (i == 0 ? "" : " ") + q.Fields()[i]->GetFieldName() + ":" +
                FieldTypeName(q.Fields()[i]->GetDataType()) + "=" + q.Fields()[i]->GetAsString();
    q.Close();
    return fields;
  };
  EXPECT_EQ(open(), "id:Largeint=1 v:Variant=10");
  Conn->ExecuteDirect("ALTER TABLE shape ADD COLUMN w TEXT DEFAULT 'new'");
  EXPECT_EQ(open(), "id:Largeint=1 v:Variant=10 w:Variant=new");
  Conn->ExecuteDirect(
      "DROP TABLE shape; CREATE TABLE shape (id TEXT PRIMARY KEY, v INT, w REAL) STRICT; "
      "INSERT INTO shape VALUES ('1', 20, 2.5)");
  EXPECT_EQ(open(), "id:Memo=1 v:Largeint=20 w:Float=2.5");
}

}  // namespace
