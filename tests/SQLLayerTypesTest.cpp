// Values through the SQL layer and back: every column type each driver maps,
// with nulls, empty values, extremes and non-ASCII text, compared exactly.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "qvl/components/QVLQuery.h"
#include "qvl/host/dataset/Field.h"
#include "qvl/host/runtime/DateTime.h"
#include "tests/SQLLayerTestSupport.h"

using namespace qvl;
using qvl::test::SQLLayerTest;

namespace {

struct Column {
  const char* Name;
  const char* Declared;
  TFieldType Expected;
  int Size;       // expected TFieldDef size (scale for decimals)
  int Precision;  // expected precision of decimals
};

Variant Date(int Y, unsigned M, unsigned D) {
  return Variant(DateFromDays(static_cast<std::int32_t>(DaysFromCivil(Y, M, D))));
}
Variant Time(unsigned H, unsigned M, unsigned S, unsigned Us = 0) {
  return Variant(TDateTime{0, ((H * 60 + M) * 60 + S) * TDateTime::kMicrosPerSecond + Us});
}
Variant Stamp(int Y, unsigned Mo, unsigned D, unsigned H, unsigned Mi, unsigned S,
              unsigned Us = 0) {
  return Variant(TDateTime{static_cast<std::int32_t>(DaysFromCivil(Y, Mo, D)),
                           ((H * 60 + Mi) * 60 + S) * TDateTime::kMicrosPerSecond + Us});
}
Variant Bytes(std::initializer_list<int> B) {
  TBytes out;
  for (int b : B) out.push_back(static_cast<std::uint8_t>(b));
  return Variant(out);
}
const Variant kNull = Variant::Null();

class TypeRoundTrip : public SQLLayerTest {
 protected:
  std::vector<Column> Columns() const {
    if (PG())
      return {{"id", "int4 PRIMARY KEY", ftInteger, 0, 0},
              {"b", "boolean", ftBoolean, 0, 0},
              {"s", "int2", ftSmallint, 0, 0},
              {"i", "int4", ftInteger, 0, 0},
              {"l", "int8", ftLargeint, 0, 0},
              {"r", "real", ftFloat, 0, 0},
              {"f", "float8", ftFloat, 0, 0},
              {"d", "numeric(38,10)", ftFMTBcd, 10, 38},
              {"dn", "numeric", ftVariant, 0, 0},  // any width: the decimal text
              {"dt", "date", ftDate, 0, 0},
              {"tm", "time", ftTime, 0, 0},
              {"ts", "timestamp", ftTimeStamp, 0, 0},
              {"tz", "timestamptz", ftTimeStamp, 0, 0},
              {"vc", "varchar(10)", ftString, 40, 0},
              {"fc", "char(4)", ftFixedChar, 16, 0},
              {"g", "uuid", ftGuid, 38, 0},
              {"iv", "interval", ftString, 80, 0},
              {"t", "text", ftMemo, 0, 0},
              {"j", "jsonb", ftMemo, 0, 0},
              {"bl", "bytea", ftBlob, 0, 0}};
    return {{"id", "INTEGER PRIMARY KEY", ftLargeint, 0, 0},
            {"b", "BOOLEAN", ftBoolean, 0, 0},
            {"s", "SMALLINT", ftSmallint, 0, 0},
            {"w", "UNSIGNED SMALLINT", ftWord, 0, 0},
            {"i", "INT", ftInteger, 0, 0},
            {"l", "BIGINT", ftLargeint, 0, 0},
            {"f", "DOUBLE", ftFloat, 0, 0},
            {"m", "MONEY", ftCurrency, 0, 0},
            {"d", "DECIMAL(30,10)", ftFMTBcd, 10, 30},
            {"dt", "DATE", ftDate, 0, 0},
            {"tm", "TIME", ftTime, 0, 0},
            {"ts", "DATETIME", ftDateTime, 0, 0},
            {"tsp", "TIMESTAMP", ftTimeStamp, 0, 0},
            {"vc", "VARCHAR(10)", ftString, 40, 0},
            {"fc", "CHAR(4)", ftFixedChar, 16, 0},
            {"nv", "NVARCHAR(5)", ftWideString, 20, 0},
            {"g", "GUID", ftGuid, 38, 0},
            {"bin", "BINARY(4)", ftBytes, 4, 0},
            {"vb", "VARBINARY(6)", ftVarBytes, 6, 0},
            {"t", "TEXT", ftMemo, 0, 0},
            {"bl", "BLOB", ftBlob, 0, 0}};
  }

  // Rows as written; what reads back must be equal, value for value.
  std::vector<std::vector<Variant>> Rows() const {
    const std::int64_t maxLarge = std::numeric_limits<std::int64_t>::max();
    const std::int64_t minLarge = std::numeric_limits<std::int64_t>::min();
    if (PG())
      return {{1,
               true,
               std::int32_t{-32768},
               std::int32_t{2147483647},
               maxLarge,
               0.1,
               std::numeric_limits<double>::max(),
               Variant::Bcd("1234567890123456789012345678.0123456789"),
               Variant::Bcd("12345678901234567890123456.000000000000000000000000000001"),
               Date(-4712, 11, 24),
               Time(0, 0, 0),
               Stamp(1, 1, 1, 0, 0, 0),
               Stamp(2024, 2, 29, 23, 59, 59, 999999),
               "Grüße, 漢字!",
               "ab  ",
               "6f9619ff-8b86-d011-b42d-00c04fc964ff",
               "1 year 2 mons 3 days 04:05:06.789",
               "line 1\nline 2\t\"quoted\" \\ back",
               "{\"a\": [1, 2.5, null]}",
               Bytes({0, 1, 0, 255})},
              {2,
               false,
               std::int32_t{32767},
               std::int32_t{-2147483647 - 1},
               minLarge,
               -2.5e30,
               std::numeric_limits<double>::denorm_min(),
               Variant::Bcd("-0.0000000001"),
               Variant::Bcd("-9007199254740993"),
               Date(9999, 12, 31),
               Time(23, 59, 59, 999999),
               Stamp(-99, 3, 15, 12, 0, 0),
               Stamp(1970, 1, 1, 0, 0, 0, 1),
               "€€€€€€€€€€",
               "€€€€",
               "00000000-0000-0000-0000-000000000000",
               "-00:00:01",
               std::string(100000, 'x'),
               "[]",
               Bytes({0xde, 0xad, 0xbe, 0xef})},
              {3,     kNull, kNull, kNull, kNull, kNull, kNull, kNull, kNull, kNull,
               kNull, kNull, kNull, kNull, kNull, kNull, kNull, kNull, kNull, kNull},
              {4,     kNull, kNull, kNull, kNull,  kNull, kNull, kNull, kNull,  kNull,
               kNull, kNull, kNull, "",    "    ", kNull, kNull, "",    "\"\"", Bytes({})}};
    return {{std::int64_t{1},
             true,
             std::int32_t{-32768},
             std::int32_t{65535},
             std::int32_t{2147483647},
             maxLarge,
             0.1,
             1234.56,
             Variant::Bcd("9007199254740993"),
             Date(1, 1, 1),
             Time(0, 0, 0),
             Stamp(1, 1, 1, 0, 0, 0),
             Stamp(2024, 2, 29, 23, 59, 59, 999999),
             "Grüße, 漢字!",
             "ab",
             "Ωmega",
             "{6F9619FF-8B86-D011-B42D-00C04FC964FF}",
             Bytes({0, 1, 2, 255}),
             Bytes({0, 0xff}),
             "line 1\nline 2\t'quoted'",
             Bytes({0, 1, 0, 255})},
            {std::int64_t{2},
             false,
             std::int32_t{32767},
             std::int32_t{0},
             std::int32_t{-2147483647 - 1},
             minLarge,
             -std::numeric_limits<double>::max(),
             -0.01,
             Variant::Bcd("-0.0000000001"),
             Date(9999, 12, 31),
             Time(23, 59, 59, 999999),
             Stamp(1970, 1, 1, 0, 0, 0, 1),
             Stamp(9999, 12, 31, 23, 59, 59),
             "€€€€€€€€€€",
             "€€€€",
             "ÄÖÜäö",
             "",
             Bytes({1, 2, 3, 4}),
             Bytes({1, 2, 3, 4, 5, 6}),
             std::string(100000, 'x'),
             Bytes({0xde, 0xad})},
            {std::int64_t{3}, kNull, kNull, kNull, kNull, kNull, kNull, kNull, kNull, kNull, kNull,
             kNull,           kNull, kNull, kNull, kNull, kNull, kNull, kNull, kNull, kNull},
            {std::int64_t{4},
             kNull,
             kNull,
             kNull,
             kNull,
             kNull,
             std::numeric_limits<double>::denorm_min(),
             kNull,
             kNull,
             kNull,
             kNull,
             kNull,
             kNull,
             "",
             "",
             "",
             kNull,
             kNull,
             Bytes({}),
             "",
             Bytes({})}};
  }

  void CreateTable(const std::string& Name) {
    std::string ddl = "CREATE TABLE " + Name + " (";
    for (const Column& c : Columns()) ddl += std::string(c.Name) + " " + c.Declared + ", ";
    ddl.resize(ddl.size() - 2);
    Exec(ddl + ")");
  }

  std::string InsertText(const std::string& Table) {
    std::string sql = "INSERT INTO " + Table + " VALUES (";
    for (std::size_t i = 0; i < Columns().size(); ++i) sql += i == 0 ? "?" : ", ?";
    return sql + ")";
  }

  void Insert(const std::string& Table, const std::vector<Variant>& Row) {
    TParams params;
    auto cols = Columns();
    for (std::size_t i = 0; i < Row.size(); ++i)
      params.CreateParam(cols[i].Expected, cols[i].Name, ptInput)->SetValue(Row[i]);
    EXPECT_EQ(1, Conn->Execute(InsertText(Table), &params));
  }

  // Each value through its field, as an application reads it.
  static Variant Read(TField* F) {
    if (F->IsNull()) return Variant::Null();
    if (F->IsBlob() && F->GetDataType() != ftVariant) {
      TBlobByteData data = static_cast<TBlobField*>(F)->GetBlobData();
      if (F->GetDataType() == ftMemo) return Variant(data.ToString());
      return Variant(data.ToBytes());
    }
    return F->GetAsVariant();
  }

  std::vector<std::vector<Variant>> ReadAll(const std::string& Table) {
    auto q = Query("SELECT * FROM " + Table + " ORDER BY id");
    q->Open();
    std::vector<std::vector<Variant>> rows;
    for (; !q->Eof(); q->Next()) {
      std::vector<Variant> row;
      for (int i = 0; i < q->Fields().Count(); ++i) row.push_back(Read(q->Fields()[i]));
      rows.push_back(std::move(row));
    }
    return rows;
  }

  void ExpectRows(const std::vector<std::vector<Variant>>& Expected,
                  const std::vector<std::vector<Variant>>& Actual) {
    ASSERT_EQ(Expected.size(), Actual.size());
    auto cols = Columns();
    for (std::size_t r = 0; r < Expected.size(); ++r)
      for (std::size_t c = 0; c < cols.size(); ++c) {
        const Variant& e = Expected[r][c];
        const Variant& a = Actual[r][c];
        EXPECT_TRUE(e == a) << "row " << r + 1 << " column " << cols[c].Name << ": expected "
                            << (e.IsNull() ? "NULL" : VarToStr(e).substr(0, 80)) << ", read "
                            << (a.IsNull() ? "NULL" : VarToStr(a).substr(0, 80));
        if (e.VarType() == varBcd && a.VarType() == varBcd) {
          EXPECT_EQ(e.AsBcd(), a.AsBcd());
        }
        if (e.VarType() == varDouble && a.VarType() == varDouble) {
          EXPECT_EQ(std::signbit(e.AsFloat()), std::signbit(a.AsFloat()));
        }
      }
  }
};

TEST_P(TypeRoundTrip, EveryMappedTypeReadsBackWhatWasWritten) {
  CreateTable("types");
  for (const auto& row : Rows()) Insert("types", row);
  ExpectRows(Rows(), ReadAll("types"));
}

TEST_P(TypeRoundTrip, FieldsCarryTheMappedTypeAndSize) {
  CreateTable("types");
  auto q = Query("SELECT * FROM types");
  q->Open();
  auto cols = Columns();
  ASSERT_EQ(static_cast<int>(cols.size()), q->FieldDefs().Count());
  for (std::size_t i = 0; i < cols.size(); ++i) {
    TFieldDef* def = q->FieldDefs().Items(static_cast<int>(i));
    EXPECT_EQ(cols[i].Name, def->Name);
    EXPECT_EQ(FieldTypeName(cols[i].Expected), std::string(FieldTypeName(def->DataType)))
        << cols[i].Name;
    EXPECT_EQ(cols[i].Size, def->Size) << cols[i].Name;
    EXPECT_EQ(cols[i].Precision, def->Precision) << cols[i].Name;
  }
}

TEST_P(TypeRoundTrip, ValuesReadCanBeWrittenBackUnchanged) {
  CreateTable("types");
  CreateTable("types_copy");
  for (const auto& row : Rows()) Insert("types", row);
  auto q = Query("SELECT * FROM types ORDER BY id");
  q->Open();
  for (; !q->Eof(); q->Next()) {
    TParams params;
    for (int i = 0; i < q->Fields().Count(); ++i) {
      TField* f = q->Fields()[i];
      params.CreateParam(f->GetDataType(), f->GetFieldName(), ptInput)->SetValue(Read(f));
    }
    Conn->Execute(InsertText("types_copy"), &params);
  }
  q->Close();
  ExpectRows(Rows(), ReadAll("types_copy"));
}

TEST_P(TypeRoundTrip, EmptyValuesAreNotNull) {
  CreateTable("types");
  for (const auto& row : Rows()) Insert("types", row);
  auto q = Query("SELECT vc, t, bl FROM types WHERE id = 4");
  q->Open();
  ASSERT_FALSE(q->Eof());
  EXPECT_FALSE(q->FieldByName("vc")->IsNull());
  EXPECT_EQ("", q->FieldByName("vc")->GetAsString());
  EXPECT_FALSE(q->FieldByName("t")->IsNull());
  TBlobByteData bytes;
  EXPECT_EQ(0, q->GetBlobFieldData(q->FieldByName("t")->GetFieldNo(), bytes));
  EXPECT_FALSE(q->FieldByName("bl")->IsNull());
  q->Close();
  q->SQL().SetText("SELECT vc, t, bl FROM types WHERE id = 3");
  q->Open();
  EXPECT_TRUE(q->FieldByName("vc")->IsNull());
  EXPECT_TRUE(q->FieldByName("t")->IsNull());
  EXPECT_TRUE(q->FieldByName("bl")->IsNull());
  q->Close();
  // No bytes given to a text parameter or a blob one are a value too.
  TParams params;
  params.CreateParam(ftMemo, "t", ptInput)->SetValue(Variant(TBytes{}));
  params.CreateParam(ftBlob, "bl", ptInput)->SetValue(Variant(TBytes{}));
  EXPECT_EQ(1, Conn->Execute("UPDATE types SET t = ?, bl = ? WHERE id = 3", &params));
  q->Open();
  EXPECT_FALSE(q->FieldByName("t")->IsNull());
  EXPECT_EQ("", q->FieldByName("t")->GetAsString());
  EXPECT_FALSE(q->FieldByName("bl")->IsNull());
}

QVL_SQL_LAYER_SUITE(TypeRoundTrip);

// ---- values that no field of the mapped type can hold --------------------------------------

class ValuesThatDoNotFit : public SQLLayerTest {
 protected:
  std::string ErrorOf(const std::string& SQL) {
    auto q = Query(SQL);
    try {
      q->Open();
      for (int i = 0; i < q->Fields().Count(); ++i) q->Fields()[i]->GetAsVariant();
    } catch (const EDatabaseError& E) {
      return E.Message();
    }
    return "no error";
  }
};

TEST_P(ValuesThatDoNotFit, RaiseNamingTheColumnInsteadOfCutting) {
  if (PG()) {
    // An unconstrained numeric reads whole; a decimal field that the
    // application declares for it names the value that does not fit.
    EXPECT_EQ("no error", ErrorOf("SELECT 1e39::numeric AS n"));
    auto typed = Query("SELECT 1e39::numeric AS n");
    auto n = std::make_unique<TFMTBCDField>(20, 2);
    n->SetFieldName("n");
    typed->Fields().Add(std::move(n));
    try {
      typed->Open();
      typed->Fields()[0]->GetAsVariant();
      ADD_FAILURE() << "no error";
    } catch (const EDatabaseError& E) {
      EXPECT_EQ(E.Message(),
                "Value 1000000000000000000000000000000000000000 of column 'n' does not fit its "
                "FMTBcd(20,2) field");
    }
    // Without the declared field the column reads whole again.
    typed->Close();
    typed->Fields().Clear();
    typed->Open();
    EXPECT_EQ(typed->Fields()[0]->GetDataType(), ftVariant);
    EXPECT_EQ(typed->Fields()[0]->GetAsString(), "1" + std::string(39, '0'));
    // The special values read as themselves.
    EXPECT_EQ("no error", ErrorOf("SELECT 'NaN'::numeric AS n, 'infinity'::date AS d"));
    return;
  }
  Exec(
      "CREATE TABLE t (s SMALLINT, i INT, v VARCHAR(2), d DECIMAL(5,2), b BOOLEAN, "
      "dt DATE, bin BINARY(2))");
  Exec("INSERT INTO t (s) VALUES (40000)");
  EXPECT_EQ("Value 40000 of column 's' does not fit its Smallint field",
            ErrorOf("SELECT s FROM t"));
  Exec("DELETE FROM t; INSERT INTO t (i) VALUES (4294967296)");
  EXPECT_EQ("Value 4294967296 of column 'i' does not fit its Integer field",
            ErrorOf("SELECT i FROM t"));
  Exec("DELETE FROM t; INSERT INTO t (i) VALUES (1.5)");
  EXPECT_EQ("Value 1.5 of column 'i' does not fit its Integer field", ErrorOf("SELECT i FROM t"));
  Exec("DELETE FROM t; INSERT INTO t (i) VALUES ('twelve')");
  EXPECT_EQ("Value 'twelve' of column 'i' is not a valid Integer", ErrorOf("SELECT i FROM t"));
  Exec("DELETE FROM t; INSERT INTO t (v) VALUES ('ninechars')");
  EXPECT_EQ("Value 'ninechars' of column 'v' does not fit its String(8) field",
            ErrorOf("SELECT v FROM t"));
  Exec("DELETE FROM t; INSERT INTO t (d) VALUES (1.005)");
  EXPECT_EQ("Value 1.005 of column 'd' does not fit its FMTBcd(5,2) field",
            ErrorOf("SELECT d FROM t"));
  Exec("DELETE FROM t; INSERT INTO t (d) VALUES (1234)");
  EXPECT_EQ("Value 1234 of column 'd' does not fit its FMTBcd(5,2) field",
            ErrorOf("SELECT d FROM t"));
  Exec("DELETE FROM t; INSERT INTO t (b) VALUES (2)");
  EXPECT_EQ("Value 2 of column 'b' does not fit its Boolean field", ErrorOf("SELECT b FROM t"));
  Exec("DELETE FROM t; INSERT INTO t (dt) VALUES ('2024-01-01 10:00:00')");
  EXPECT_EQ("Value '2024-01-01 10:00:00' of column 'dt' does not fit its Date field",
            ErrorOf("SELECT dt FROM t"));
  Exec("DELETE FROM t; INSERT INTO t (dt) VALUES ('yesterday')");
  EXPECT_EQ("Value 'yesterday' of column 'dt' is not a valid Date", ErrorOf("SELECT dt FROM t"));
  Exec("DELETE FROM t; INSERT INTO t (bin) VALUES (x'010203')");
  EXPECT_EQ("Value 3 bytes of column 'bin' does not fit its Bytes(2) field",
            ErrorOf("SELECT bin FROM t"));
}

TEST_P(ValuesThatDoNotFit, ExpressionsTakeTheTypeOfTheirValues) {
  auto q = Query(PG() ? "SELECT 1 + 1 AS n, 2.5::float8 AS x, 'text' AS s, NULL AS z"
                      : "SELECT 1 + 1 AS n, 2.5 AS x, 'text' AS s, NULL AS z");
  q->Open();
  EXPECT_EQ(PG() ? ftInteger : ftLargeint, q->FieldByName("n")->GetDataType());
  EXPECT_EQ(ftFloat, q->FieldByName("x")->GetDataType());
  EXPECT_EQ(ftMemo, q->FieldByName("s")->GetDataType());
  EXPECT_EQ(2, q->FieldByName("n")->GetAsInteger());
  EXPECT_EQ(2.5, q->FieldByName("x")->GetAsFloat());
  EXPECT_EQ("text", q->FieldByName("s")->GetAsString());
  EXPECT_TRUE(q->FieldByName("z")->IsNull());
  for (const char* name : {"n", "x", "s", "z"})
    EXPECT_TRUE(q->FieldByName(name)->GetReadOnly()) << name;
}

TEST_P(ValuesThatDoNotFit, ADateParameterWithATimeOfDayRaisesOnEveryDatabase) {
  Exec("CREATE TABLE p (d DATE)");
  TParams p;
  p.CreateParam(ftDate, "d", ptInput)->SetAsDateTime(TDateTime{1, 1});
  EXPECT_EQ("Parameter 1: 1970-01-02 00:00:00.000001 has a time of day, which a date cannot hold",
            qvl::test::MessageOf([&] { Conn->Execute("INSERT INTO p (d) VALUES (?)", &p); }));
  p.Items(0)->SetAsDateTime(TDateTime{1, 0});
  EXPECT_EQ(1, Conn->Execute("INSERT INTO p (d) VALUES (?)", &p));
  auto q = Query("SELECT d FROM p");
  q->Open();
  EXPECT_EQ((TDateTime{1, 0}), q->FieldByName("d")->GetAsDateTime());
}

TEST_P(ValuesThatDoNotFit, DecimalsAreStoredExactlyOrRefused) {
  Exec("CREATE TABLE d (id INTEGER, v DECIMAL(30,10))");
  struct Case {
    const char* Value;
    const char* Error;  // SQLite's; PostgreSQL stores each exactly
  };
  const Case cases[] = {
      {"12345678901234567890.0123456789",
       "Parameter 2: SQLite cannot store the decimal 12345678901234567890.0123456789 exactly: it "
       "keeps integers of up to 64 bits and other decimals of up to 15 significant digits"},
      {"1234567.8912345678",
       "Parameter 2: SQLite cannot store the decimal 1234567.8912345678 exactly: it keeps "
       "integers of up to 64 bits and other decimals of up to 15 significant digits"},
      {"-9223372036854775808", nullptr},
      {"12345678901234567890",
       "Parameter 2: SQLite cannot store the decimal 12345678901234567890 exactly: it keeps "
       "integers of up to 64 bits and other decimals of up to 15 significant digits"},
      {"123456789012.345", nullptr},
      {"0.0000000001", nullptr},
  };
  int id = 0;
  for (const Case& c : cases) {
    TParams p;
    p.CreateParam(ftInteger, "id", ptInput)->SetAsInteger(++id);
    p.CreateParam(ftFMTBcd, "v", ptInput)->SetValue(Variant::Bcd(c.Value));
    const std::string error =
        qvl::test::MessageOf([&] { Conn->Execute("INSERT INTO d VALUES (?, ?)", &p); });
    if (!PG() && c.Error != nullptr) {
      EXPECT_EQ(c.Error, error);
      continue;
    }
    EXPECT_EQ("no error", error) << c.Value;
    auto q = Query("SELECT v FROM d WHERE id = " + std::to_string(id));
    q->Open();
    EXPECT_EQ(NormalizeDecimal(c.Value), NormalizeDecimal(q->FieldByName("v")->GetAsString()))
        << c.Value;
  }
}

TEST_P(ValuesThatDoNotFit, TextTooLongForItsFieldIsRefusedAndTheRecordKeepsItsValue) {
  Exec("CREATE TABLE s (id INTEGER PRIMARY KEY, c VARCHAR(3))");
  Exec("INSERT INTO s VALUES (1, 'abc')");
  TQVLQuery q;
  q.SetSQLConnection(Conn.get());
  q.SQL().SetText("SELECT id, c FROM s");
  q.SetCachedUpdates(true);
  q.Open();
  TField* c = q.FieldByName("c");
  ASSERT_EQ(12, c->GetSize());
  q.Edit();
  const std::pair<std::string, std::string> refused[] = {
      {"abcdefghijklmnopqrstuvwxyz",
       "Text of 26 bytes does not fit field 'c', which holds at most 12 bytes"},
      {"\u20ac\u20ac\u20ac\u20ac\u20ac",
       "Text of 15 bytes does not fit field 'c', which holds at most 12 bytes"},
      {std::string("a\0b", 3),
       "Text with a zero byte does not fit field 'c', whose text ends at a zero byte"}};
  for (const auto& entry : refused) {
    const std::string& value = entry.first;
    const std::string& message = entry.second;
    EXPECT_EQ(message, qvl::test::MessageOf([&] { c->SetAsString(value); }));
    EXPECT_EQ("abc", c->GetAsString());
  }
  c->SetAsString("\u20ac\u20ac\u20ac\u20ac");
  EXPECT_EQ("\u20ac\u20ac\u20ac\u20ac", c->GetAsString());
  q.Cancel();
}

TEST_P(ValuesThatDoNotFit, NaNIsStoredOrRefusedAndNegativeZeroIsKeptWhereTheDatabaseCan) {
  Exec(PG() ? "CREATE TABLE f (id int, v float8)" : "CREATE TABLE f (id INTEGER, v REAL)");
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  int id = 0;
  auto write = [&](double V) {
    TParams p;
    p.CreateParam(ftInteger, "id", ptInput)->SetAsInteger(++id);
    p.CreateParam(ftFloat, "v", ptInput)->SetAsFloat(V);
    return qvl::test::MessageOf([&] { Conn->Execute("INSERT INTO f VALUES (?, ?)", &p); });
  };
  auto read = [&] {
    auto q = Query("SELECT v FROM f WHERE id = " + std::to_string(id));
    q->Open();
    return q->FieldByName("v")->GetAsFloat();
  };
  EXPECT_EQ(PG() ? "no error" : "Parameter 2: SQLite cannot store NaN (it would store NULL)",
            write(nan));
  if (PG()) {
    EXPECT_TRUE(std::isnan(read()));
  }
  EXPECT_EQ("no error", write(-inf));
  EXPECT_EQ(-inf, read());
  // SQLite writes a real that is a whole number as an integer in its
  // records, so a REAL column gives zero back without its sign.
  EXPECT_EQ("no error", write(-0.0));
  const double zero = read();
  EXPECT_EQ(0.0, zero);
  EXPECT_EQ(PG(), std::signbit(zero));
}

TEST_P(ValuesThatDoNotFit, TimestampsAtTheEndsOfTheRuntimesRangeNeitherOverflowNorWrap) {
  Exec(PG() ? "CREATE TABLE ts (id int, v timestamp, t text)"
            : "CREATE TABLE ts (id INTEGER, v DATETIME, t TEXT)");
  const TDateTime extremes[] = {{TDateTime::kMaxDays, TDateTime::kMicrosPerDay - 1},
                                {TDateTime::kMinDays, 0},
                                TDateTime::NegInfinity(),
                                TDateTime::Infinity()};
  int id = 0;
  for (TDateTime value : extremes) {
    TParams p;
    p.CreateParam(ftInteger, "id", ptInput)->SetAsInteger(++id);
    p.CreateParam(ftTimeStamp, "v", ptInput)->SetAsDateTime(value);
    const std::string error =
        qvl::test::MessageOf([&] { Conn->Execute("INSERT INTO ts (id, v) VALUES (?, ?)", &p); });
    // PostgreSQL's timestamps run from 4714 BC to 294276: the runtime's
    // finite ends lie beyond, only the infinities are its own.
    if (PG() && !value.IsInfinite()) {
      EXPECT_EQ(0u, error.find("timestamp out of range: ")) << error;
      continue;
    }
    EXPECT_EQ("no error", error) << DateTimeToStr(value);
    auto q = Query("SELECT v FROM ts WHERE id = " + std::to_string(id));
    q->Open();
    EXPECT_EQ(value, q->FieldByName("v")->GetAsDateTime()) << DateTimeToStr(value);
  }
  if (PG()) return;  // the server makes no timestamp beyond them
  // Text beyond the runtime's range, read back as a timestamp.
  const char* beyond[] = {"5881580-07-11 00:00:00", "-5877641-06-23 23:59:59.999999",
                          "999999999-12-31 00:00:00"};
  for (const char* text : beyond) {
    Exec(std::string("DELETE FROM ts; INSERT INTO ts (v) VALUES ('") + text + "')");
    auto q = Query("SELECT v FROM ts");
    EXPECT_EQ(std::string("Value '") + text + "' of column 'v' does not fit its DateTime field",
              qvl::test::MessageOf([&] {
                q->Open();
                q->FieldByName("v")->GetAsDateTime();
              }));
  }
}

TEST_P(ValuesThatDoNotFit, SQLTextWithAZeroByteIsRefusedWhole) {
  Exec("CREATE TABLE z (id INTEGER)");
  Exec("INSERT INTO z VALUES (1), (99)");
  const std::string text("DELETE FROM z WHERE id >= 1\0 AND id = 99", 41);
  const char* expected =
      "The SQL text holds a zero byte at position 28, where the database would end it";
  EXPECT_EQ(expected, qvl::test::MessageOf([&] { Exec(text); }));
  EXPECT_EQ(expected, qvl::test::MessageOf([&] { Conn->Execute(text, nullptr); }));
  auto q = Query("SELECT count(*) AS n FROM z");
  q->Open();
  EXPECT_EQ(2, q->FieldByName("n")->GetAsInteger());
}

QVL_SQL_LAYER_SUITE(ValuesThatDoNotFit);

}  // namespace
