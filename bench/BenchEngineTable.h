#pragma once
// The table the record cache benchmarks read: N rows of an integer key, a
// 32-bit and a 64-bit integer, a double, a 40-character string, a date, a
// blob of 16 to 64 bytes and a nullable integer, in a temporary SQLite file
// made once per run; and the application's fields for it. Also the
// hand-written baseline: the same rows copied through the SQLite C API into a
// vector of row structures.

#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "qvl/host/dataset/DataSet.h"
#include "qvl/host/dataset/Field.h"
#include "qvl/host/sqlclient/SQLConnection.h"

namespace qvl::bench {

inline constexpr const char* kBenchSelect =
    "SELECT id, i32, i64, dbl, str, day, data, opt FROM bench ORDER BY id";

// Mixed case, unique, exactly 40 characters.
inline std::string BenchString(std::int64_t Id) {
  char text[64];
  std::snprintf(text, sizeof text, "Row-%08lld Quick Brown Fox Jumps Over",
                static_cast<long long>(Id));
  return text;
}

class TBenchTable {
 public:
  explicit TBenchTable(int Rows) : FRows(Rows) {
    char pattern[] = "/tmp/qvl-bench-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0) throw std::runtime_error("mkstemp");
    close(fd);
    FPath = pattern;
    sqlite3* db = Open();
    Exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;");
    Exec(db,
         "CREATE TABLE bench (id INTEGER PRIMARY KEY, i32 INT, i64 BIGINT, dbl REAL, str "
         "VARCHAR(40),"
         " day DATE, data BLOB, opt INT)");
    Exec(db, "BEGIN");
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO bench VALUES (?, ?, ?, ?, ?, ?, ?, ?)", -1, &insert,
                       nullptr);
    std::uint8_t blob[64];
    for (int id = 1; id <= Rows; ++id) {
      sqlite3_bind_int64(insert, 1, id);
      sqlite3_bind_int(insert, 2, id * 7 - 3000000);
      sqlite3_bind_int64(insert, 3, std::int64_t{id} * 1000003);
      sqlite3_bind_double(insert, 4, id * 0.25);
      const std::string s = BenchString(id);
      sqlite3_bind_text(insert, 5, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
      char day[16];
      std::snprintf(day, sizeof day, "%04d-%02d-%02d", 1990 + id % 30, 1 + id % 12, 1 + id % 28);
      sqlite3_bind_text(insert, 6, day, -1, SQLITE_TRANSIENT);
      const int n = 16 + id % 49;
      for (int i = 0; i < n; ++i) blob[i] = static_cast<std::uint8_t>(id + i);
      sqlite3_bind_blob(insert, 7, blob, n, SQLITE_TRANSIENT);
      if (id % 3 == 0)
        sqlite3_bind_null(insert, 8);
      else
        sqlite3_bind_int(insert, 8, id % 1000);
      if (sqlite3_step(insert) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    Exec(db, "COMMIT");
    sqlite3_close(db);
  }
  ~TBenchTable() { std::remove(FPath.c_str()); }
  TBenchTable(const TBenchTable&) = delete;
  TBenchTable& operator=(const TBenchTable&) = delete;

  const std::string& Path() const { return FPath; }
  int Rows() const { return FRows; }
  sqlite3* Open() const {
    sqlite3* db = nullptr;
    if (sqlite3_open(FPath.c_str(), &db) != SQLITE_OK) throw std::runtime_error("sqlite3_open");
    return db;
  }
  static void Exec(sqlite3* Db, const char* SQL) {
    if (sqlite3_exec(Db, SQL, nullptr, nullptr, nullptr) != SQLITE_OK)
      throw std::runtime_error(sqlite3_errmsg(Db));
  }

 private:
  std::string FPath;
  int FRows;
};

// The baseline's cached row.
struct TBenchRow {
  std::int64_t Id;
  std::int32_t I32;
  std::int64_t I64;
  double Dbl;
  std::string Str;
  std::int32_t Day;  // days since 1970-01-01, as the dataset's date fields hold them
  std::vector<std::uint8_t> Data;
  std::optional<std::int32_t> Opt;
};

// Days since 1970-01-01 of a proleptic Gregorian date.
inline std::int32_t DaysFromCivil(int Y, unsigned M, unsigned D) {
  Y -= M <= 2;
  const int era = (Y >= 0 ? Y : Y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(Y - era * 400);
  const unsigned doy = (153 * (M > 2 ? M - 3 : M + 9) + 2) / 5 + D - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int>(doe) - 719468;
}

inline std::int32_t ParseDay(const unsigned char* T) {
  auto num = [&](int From, int Len) {
    int v = 0;
    for (int i = From; i < From + Len; ++i) v = v * 10 + (T[i] - '0');
    return v;
  };
  return DaysFromCivil(num(0, 4), static_cast<unsigned>(num(5, 2)),
                       static_cast<unsigned>(num(8, 2)));
}

// Copies every row of the statement into Rows.
inline void CopyRows(sqlite3_stmt* Stmt, std::vector<TBenchRow>& Rows) {
  while (sqlite3_step(Stmt) == SQLITE_ROW) {
    TBenchRow& r = Rows.emplace_back();
    r.Id = sqlite3_column_int64(Stmt, 0);
    r.I32 = sqlite3_column_int(Stmt, 1);
    r.I64 = sqlite3_column_int64(Stmt, 2);
    r.Dbl = sqlite3_column_double(Stmt, 3);
    r.Str.assign(reinterpret_cast<const char*>(sqlite3_column_text(Stmt, 4)),
                 static_cast<std::size_t>(sqlite3_column_bytes(Stmt, 4)));
    r.Day = ParseDay(sqlite3_column_text(Stmt, 5));
    const auto* blob = static_cast<const std::uint8_t*>(sqlite3_column_blob(Stmt, 6));
    r.Data.assign(blob, blob + sqlite3_column_bytes(Stmt, 6));
    if (sqlite3_column_type(Stmt, 7) != SQLITE_NULL) r.Opt = sqlite3_column_int(Stmt, 7);
  }
}

// The baseline's cache: room for N rows, then every row of kBenchSelect.
inline void CacheRows(sqlite3* Db, int N, std::vector<TBenchRow>& Rows) {
  Rows.reserve(static_cast<std::size_t>(N));
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(Db, kBenchSelect, -1, &stmt, nullptr);
  CopyRows(stmt, Rows);
  sqlite3_finalize(stmt);
}

// Points Db at the bench file on SQLite, by default with the typed fields of
// the declared types, which the C API baselines read too; Declared false
// keeps the driver's default (variant fields). Not opened.
inline void SetUpSQLite(TSQLConnection& Db, const std::string& Path, bool Declared = true) {
  Db.SetDriverName("SQLite");
  Db.Params().Add("Database=" + Path);
  if (Declared) Db.Params().Add("ColumnTypes=Declared");
}

// The application's fields for the table. The string field holds the
// column's 40 characters; the driver's default field for VARCHAR(40) keeps
// room for 40 four-byte UTF-8 characters.
inline void DeclareBenchFields(TDataSet& DataSet) {
  auto add = [&](std::unique_ptr<TField> Field, const char* Name) {
    Field->SetFieldName(Name);
    DataSet.Fields().Add(std::move(Field));
  };
  add(std::make_unique<TLargeintField>(), "id");
  add(std::make_unique<TIntegerField>(), "i32");
  add(std::make_unique<TLargeintField>(), "i64");
  add(std::make_unique<TFloatField>(), "dbl");
  add(std::make_unique<TStringField>(40), "str");
  add(std::make_unique<TDateField>(), "day");
  add(std::make_unique<TBlobField>(), "data");
  add(std::make_unique<TIntegerField>(), "opt");
}

}  // namespace qvl::bench
