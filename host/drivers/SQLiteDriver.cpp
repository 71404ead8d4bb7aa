#include "qvl/host/drivers/SQLiteDriver.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>

#include "qvl/host/dataset/VariantCell.h"
#include "qvl/host/runtime/Strings.h"
#include "qvl/host/sqlclient/SQLColumnPolicy.h"
#include "qvl/host/sqlclient/SQLConsts.h"
#include "qvl/host/sqlclient/SQLValues.h"

namespace qvl {

namespace {

// Owns a prepared statement of the library and finalizes it on every exit.
struct TStmtFinalizer {
  void operator()(sqlite3_stmt* S) const { sqlite3_finalize(S); }
};
using TStmtHandle = std::unique_ptr<sqlite3_stmt, TStmtFinalizer>;

// Bound values up to this many bytes stay with a statement between runs.
constexpr std::size_t kKeptBoundBytes = 64 * 1024;

std::string SQLStateOf(int Code) {
  switch (Code) {
    case SQLITE_CONSTRAINT_UNIQUE:
    case SQLITE_CONSTRAINT_PRIMARYKEY:
      return "23505";
    case SQLITE_CONSTRAINT_NOTNULL:
      return "23502";
    case SQLITE_CONSTRAINT_FOREIGNKEY:
      return "23503";
    case SQLITE_CONSTRAINT_CHECK:
      return "23514";
    default:
      break;
  }
  switch (Code & 0xff) {
    case SQLITE_CONSTRAINT:
      return "23000";
    case SQLITE_MISMATCH:
      return "42804";
    case SQLITE_TOOBIG:
      return "54000";
    case SQLITE_CANTOPEN:
      return "08001";
    case SQLITE_READONLY:
      return "25006";
    case SQLITE_INTERRUPT:
      return "57014";
    default:
      return "HY000";
  }
}

// Collapses runs of blanks so that "DOUBLE  PRECISION" reads as one name.
std::string SquashBlanks(const std::string& S) {
  std::string out;
  bool blank = false;
  for (char c : S) {
    if (IsBlankAscii(c)) {
      blank = true;
      continue;
    }
    if (blank && !out.empty()) out += ' ';
    blank = false;
    out += c;
  }
  return out;
}

bool Contains(const std::string& S, const char* Part) {
  return S.find(Part) != std::string::npos;
}

// Whether the text after a prepared statement is only blanks, semicolons and
// comments.
bool OnlyTrivia(const char* P) {
  while (*P != '\0') {
    if (*P == ' ' || *P == '\t' || *P == '\r' || *P == '\n' || *P == ';') {
      ++P;
    } else if (P[0] == '-' && P[1] == '-') {
      while (*P != '\0' && *P != '\n') ++P;
    } else if (P[0] == '/' && P[1] == '*') {
      const char* end = std::strstr(P + 2, "*/");
      if (end == nullptr) return true;  // SQLite ignores an unclosed trailing comment
      P = end + 2;
    } else {
      return false;
    }
  }
  return true;
}

// Whether N bytes hold a zero byte (which a zero-terminated field cannot
// hold); short strings are checked eight bytes at a time without a call.
inline bool HasZeroByte(const unsigned char* P, std::size_t N) {
  if (N > 16) return std::memchr(P, 0, N) != nullptr;
  auto zeroIn = [](std::uint64_t W) {
    return ((W - 0x0101010101010101ull) & ~W & 0x8080808080808080ull) != 0;
  };
  if (N >= 8) {
    std::uint64_t a, b;
    std::memcpy(&a, P, 8);
    std::memcpy(&b, P + N - 8, 8);
    return zeroIn(a) || zeroIn(b);
  }
  for (std::size_t i = 0; i < N; ++i)
    if (P[i] == 0) return true;
  return false;
}

// The rows a statement inserted, updated or deleted itself: the counter of
// the last such statement, when the statement just run was one (DDL and
// queries leave that counter alone).
std::int64_t RowsChanged(sqlite3* Db, sqlite3_int64 TotalBefore) {
  return sqlite3_total_changes64(Db) == TotalBefore ? 0 : sqlite3_changes64(Db);
}

// A switch among the connection parameters: True/False, Yes/No, On/Off, 1/0.
bool BooleanParam(const std::string& Name, const std::string& Value) {
  for (const char* yes : {"true", "yes", "on", "1"})
    if (SameTextAscii(Value, yes)) return true;
  for (const char* no : {"false", "no", "off", "0"})
    if (SameTextAscii(Value, no)) return false;
  DatabaseErrorFmt(SInvalidConnectionParam, {Value, Name});
}

}  // namespace

bool MapSQLiteColumnType(const std::string& DeclaredType, TSQLColumnDesc& C) {
  std::string decl = SquashBlanks(UpperCaseAscii(TrimAscii(DeclaredType)));
  if (decl.empty()) return false;
  std::string base = decl;
  long a = -1, b = -1;
  std::size_t open = decl.find('(');
  if (open != std::string::npos) {
    base = TrimAscii(decl.substr(0, open));
    std::string args = decl.substr(open + 1);
    char* end = nullptr;
    a = std::strtol(args.c_str(), &end, 10);
    if (end != nullptr && *end == ',') b = std::strtol(end + 1, nullptr, 10);
  }
  C.Size = 0;
  C.Precision = 0;
  auto is = [&](std::initializer_list<const char*> Names) {
    for (const char* n : Names)
      if (base == n) return true;
    return false;
  };
  if (is({"BOOLEAN", "BOOL"})) {
    C.DataType = ftBoolean;
  } else if (is({"TINYINT", "SMALLINT", "INT2"})) {
    C.DataType = ftSmallint;
  } else if (is({"UNSIGNED SMALLINT", "WORD"})) {
    C.DataType = ftWord;
  } else if (is({"INT", "INT4", "MEDIUMINT"})) {
    C.DataType = ftInteger;
  } else if (is({"INTEGER", "BIGINT", "INT8", "UNSIGNED BIG INT"})) {
    C.DataType = ftLargeint;  // SQLite's integers are 64-bit
  } else if (is({"REAL", "DOUBLE", "DOUBLE PRECISION", "FLOAT", "FLOAT4", "FLOAT8"})) {
    C.DataType = ftFloat;
  } else if (is({"MONEY", "CURRENCY"})) {
    C.DataType = ftCurrency;
  } else if (is({"DECIMAL", "NUMERIC", "DEC"})) {
    // SQLite keeps no more than a double's digits: a precision beyond any
    // exact decimal's reads as an unconstrained one.
    if (a > 1000) a = b = -1;
    sqlpolicy::SetDecimalColumn(C, a, b < 0 ? 0 : b);
  } else if (base == "DATE") {
    C.DataType = ftDate;
  } else if (base == "TIME") {
    C.DataType = ftTime;
  } else if (base == "DATETIME") {
    C.DataType = ftDateTime;
  } else if (base == "TIMESTAMP") {
    C.DataType = ftTimeStamp;
  } else if (is({"CHAR", "CHARACTER", "NCHAR", "NATIVE CHARACTER"})) {
    sqlpolicy::SetStringColumn(C, ftFixedChar, a);
  } else if (is({"VARCHAR", "CHARACTER VARYING", "VARYING CHARACTER"})) {
    sqlpolicy::SetStringColumn(C, ftString, a);
  } else if (is({"NVARCHAR", "NCHAR VARYING", "NATIONAL CHARACTER VARYING"})) {
    sqlpolicy::SetStringColumn(C, ftWideString, a);
  } else if (is({"TEXT", "CLOB"})) {
    C.DataType = ftMemo;
  } else if (base == "BLOB") {
    C.DataType = ftBlob;
  } else if (base == "BINARY" && a > 0 && a <= sqlpolicy::kMaxStringBytes) {
    C.DataType = ftBytes;
    C.Size = static_cast<int>(a);
  } else if (base == "VARBINARY" && a > 0 && a <= sqlpolicy::kMaxStringBytes) {
    C.DataType = ftVarBytes;
    C.Size = static_cast<int>(a);
  } else if (is({"GUID", "UUID"})) {
    C.DataType = ftGuid;
    C.Size = 38;
  } else if (Contains(base, "INT") && !Contains(base, "POINT")) {
    // SQLite's own affinity rules for the names it does not know; spatial
    // types (POINT, MULTIPOINT) hold geometry, not integers.
    C.DataType = ftLargeint;
  } else if (Contains(base, "CHAR") || Contains(base, "CLOB") || Contains(base, "TEXT")) {
    sqlpolicy::SetStringColumn(C, ftString, a);
  } else if (Contains(base, "BLOB") || base == "BINARY" || base == "VARBINARY") {
    C.DataType = ftBlob;
  } else if (Contains(base, "REAL") || Contains(base, "FLOA") || Contains(base, "DOUB")) {
    C.DataType = ftFloat;
  } else {
    // Numeric affinity under a name of its own (JSON, ...): any storage
    // class may turn up, and text holds each of them.
    C.DataType = ftMemo;
  }
  return true;
}

// ---- statement ---------------------------------------------------------------------

class TSQLiteStatement : public TSQLStatement {
 public:
  TSQLiteStatement(TSQLiteConnection* Connection, const std::string& Text);
  ~TSQLiteStatement() override;

  std::int64_t Execute(const TParams* Params) override;
  void Open(const TParams* Params) override;
  bool Next() override;
  void CloseCursor() override;
  bool CursorOpen() const override { return FState != State::Idle; }
  bool IsNull(int Index) override;
  bool GetBlob(int Index, TBlobByteData& Value) override;
  TTextRead ReadText(int Index, char* Buffer, std::size_t Capacity) override;
  bool RetypeColumn(int Index, TFieldType Type, int Size, int Precision) override;

 protected:
  void Detach() override;

 private:
  enum class State { Idle, Pending, OnRow, AtEnd };
  void SetState(State Value) {
    FState = Value;
    FOnRow = Value == State::OnRow;
  }
  TSQLiteConnection* Conn() const { return static_cast<TSQLiteConnection*>(FConnection); }
  void Bind(const TParams* Params);
  void BindOne(int Index, const TParam& Param);
  void Describe();
  [[noreturn]] void Fail(int Code);
  // The value of a column whose storage class is not the one its type
  // expects, or that needs checking: every conversion, with its errors.
  bool Convert(int Index, void* Buffer);
  static bool ReadBytes(sqlite3_value* V, TBlobByteData& Value);

  // The readers of the values of a row (FReaders), one per kind of column:
  // the storage class that matches the declared type is read in a few
  // instructions, anything else goes to Convert.
  static TValueReader ReaderFor(TFieldType Type);
  static bool ReadInt64(TSQLStatement* Self, int Index, void* Buffer);
  static bool ReadInt32(TSQLStatement* Self, int Index, void* Buffer);
  static bool ReadDouble(TSQLStatement* Self, int Index, void* Buffer);
  static bool ReadString(TSQLStatement* Self, int Index, void* Buffer);
  static bool ReadDate(TSQLStatement* Self, int Index, void* Buffer);
  static bool ReadBlob(TSQLStatement* Self, int Index, void* Buffer);
  static bool ReadChecked(TSQLStatement* Self, int Index, void* Buffer);
  static bool ReadStored(TSQLStatement* Self, int Index, void* Buffer);

  TStmtHandle FHandle;
  sqlite3_stmt* FStmt = nullptr;  // FHandle's statement, read on every value
  State FState = State::Idle;
  bool FDescribed = false;
  int FDescribedAt = 0;   // the statement's re-prepare count when described
  bool FRetyped = false;  // RetypeColumn changed a column since it was described
  // Text and blob bytes bound by the last Bind: SQLite keeps its copies of
  // them until they are cleared or bound again.
  std::size_t FBoundBytes = 0;
};

TSQLiteStatement::TSQLiteStatement(TSQLiteConnection* Connection, const std::string& Text)
    : TSQLStatement(Connection, Text) {
  const char* tail = nullptr;
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v3(Connection->FDb, Text.c_str(), static_cast<int>(Text.size()) + 1,
                              SQLITE_PREPARE_PERSISTENT, &stmt, &tail);
  FHandle.reset(stmt);
  if (rc != SQLITE_OK) Connection->RaiseError(rc);
  if (stmt == nullptr) DatabaseError(SNoSQLStatement);
  if (tail != nullptr && !OnlyTrivia(tail)) DatabaseError(SMultipleStatements);
  FStmt = stmt;
  Connection->CountPrepare();
}

TSQLiteStatement::~TSQLiteStatement() = default;

void TSQLiteStatement::Detach() {
  FStmt = nullptr;
  FHandle.reset();
  SetState(State::Idle);
}

void TSQLiteStatement::Fail(int Code) {
  // Reset first: the statement must be reusable after the error, and the
  // handle's message survives the reset.
  std::string message = sqlite3_errmsg(Conn()->FDb);
  int code = sqlite3_extended_errcode(Conn()->FDb);
  sqlite3_reset(FStmt);
  SetState(State::Idle);
  if (code == SQLITE_OK) code = Code;
  throw ESQLDatabaseError(message, code, SQLStateOf(code));
}

void TSQLiteStatement::Bind(const TParams* Params) {
  const int markers = sqlite3_bind_parameter_count(FStmt);
  const int given = Params == nullptr ? 0 : Params->Count();
  if (markers != given)
    DatabaseErrorFmt(SParamCountMismatch, {std::to_string(markers), std::to_string(given)});
  FBoundBytes = 0;
  for (int i = 0; i < given; ++i) BindOne(i + 1, *Params->Items(i));
}

void TSQLiteStatement::BindOne(int Index, const TParam& Param) {
  const Variant& v = Param.GetValue();
  const TFieldType type = Param.GetDataType();
  int rc = SQLITE_OK;
  auto bindText = [&](std::string_view Text) {
    // A null pointer would bind NULL; empty text is a value.
    FBoundBytes += Text.size();
    return sqlite3_bind_text64(FStmt, Index, Text.empty() ? "" : Text.data(), Text.size(),
                               SQLITE_TRANSIENT, SQLITE_UTF8);
  };
  auto bindBlob = [&](const void* Data, std::size_t Size) {
    // A null pointer would bind NULL; an empty blob is a value.
    if (Size == 0) return sqlite3_bind_zeroblob(FStmt, Index, 0);
    FBoundBytes += Size;
    return sqlite3_bind_blob64(FStmt, Index, Data, Size, SQLITE_TRANSIENT);
  };
  const bool binaryType = IsBinaryType(type);
  const bool textType = IsStringType(type) || IsMemoType(type);
  // A value of a variant field goes with the kind it holds, so that it is
  // stored, and compares, as SQLite held it.
  const bool storedKind = type == ftVariant;
  switch (v.VarType()) {
    case varEmpty:
    case varNull:
      rc = sqlite3_bind_null(FStmt, Index);
      break;
    case varBoolean:
      rc = sqlite3_bind_int(FStmt, Index, v.AsBoolean() ? 1 : 0);
      break;
    case varInteger:
    case varInt64:
      rc = sqlite3_bind_int64(FStmt, Index, v.AsInt64());
      break;
    case varDouble: {
      // A negative zero goes as it is: SQLite keeps its sign only where the
      // column has no affinity, and it compares equal to zero everywhere.
      const double d = v.AsFloat();
      if (std::isnan(d)) DatabaseErrorFmt(SNaNParamNotSupported, {std::to_string(Index)});
      rc = sqlite3_bind_double(FStmt, Index, d);
      break;
    }
    case varBcd: {
      if (storedKind) {
        rc = bindText(v.AsString());
        break;
      }
      // Integers go in exactly; other decimals as text, which a column of
      // numeric affinity turns into a double: refused unless that double
      // keeps every digit.
      const std::string text = NormalizeDecimal(v.AsBcd());
      std::int64_t i;
      if (sqlvalue::ParseInt64(text, i)) {
        rc = sqlite3_bind_int64(FStmt, Index, i);
        break;
      }
      if (sqlvalue::SignificantDigits(text) > 15)
        DatabaseErrorFmt(SDecimalParamInexact, {std::to_string(Index), text});
      rc = bindText(text);
      break;
    }
    case varDate:
      if (storedKind) {
        rc = bindText(v.AsString());
        break;
      }
      rc = bindText(sqlpolicy::TemporalParamText(v.AsDateTime(), sqlpolicy::TemporalParamKind(type),
                                                 false, Index));
      break;
    case varString: {
      const std::string& s = *v.StringPtr();
      rc = binaryType ? bindBlob(s.data(), s.size()) : bindText(s);
      break;
    }
    case varBytes: {
      const TBytes& bytes = *v.BytesPtr();
      if (textType)
        rc = bindText({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
      else
        rc = bindBlob(bytes.data(), bytes.size());
      break;
    }
    case varArray:
      DatabaseErrorFmt(SArrayParamNotSupported, {std::to_string(Index)});
  }
  if (rc != SQLITE_OK) Conn()->RaiseError(rc);
}

namespace {

struct TableColumn {
  bool NotNull = false, HasDefault = false, Generated = false;
  int KeyPosition = 0;
  std::string Type;
};

struct TableInfo {
  std::map<std::string, TableColumn> Columns;  // by upper-cased name
  int KeyColumns = 0;
  bool WithoutRowid = false;
  bool Strict = false;  // SQLite holds the values to their declared types
};

// A statement on the schema, or none when it cannot be prepared (a schema
// without the table).
TStmtHandle PrepareOne(sqlite3* Db, const char* SQL) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(Db, SQL, -1, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return nullptr;
  }
  return TStmtHandle(stmt);
}

TableInfo ReadTableInfo(sqlite3* Db, const std::string& Schema, const std::string& Table) {
  TableInfo info;
  if (TStmtHandle q = PrepareOne(Db,
                                 "SELECT name, \"notnull\", dflt_value IS NOT NULL, pk, hidden, "
                                 "type FROM pragma_table_xinfo(?1, ?2)")) {
    sqlite3_bind_text(q.get(), 1, Table.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(q.get(), 2, Schema.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(q.get()) == SQLITE_ROW) {
      TableColumn c;
      c.NotNull = sqlite3_column_int(q.get(), 1) != 0;
      c.HasDefault = sqlite3_column_int(q.get(), 2) != 0;
      c.KeyPosition = sqlite3_column_int(q.get(), 3);
      const int hidden = sqlite3_column_int(q.get(), 4);
      c.Generated = hidden == 2 || hidden == 3;
      const unsigned char* type = sqlite3_column_text(q.get(), 5);
      c.Type =
          UpperCaseAscii(TrimAscii(type != nullptr ? reinterpret_cast<const char*>(type) : ""));
      if (c.KeyPosition > 0) ++info.KeyColumns;
      info.Columns[UpperCaseAscii(reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 0)))] =
          c;
    }
  }
  if (TStmtHandle q =
          PrepareOne(Db, "SELECT wr, strict FROM pragma_table_list(?1) WHERE schema = ?2")) {
    sqlite3_bind_text(q.get(), 1, Table.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(q.get(), 2, Schema.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(q.get()) == SQLITE_ROW) {
      info.WithoutRowid = sqlite3_column_int(q.get(), 0) != 0;
      info.Strict = sqlite3_column_int(q.get(), 1) != 0;
    }
  }
  return info;
}

}  // namespace

void TSQLiteStatement::Describe() {
  sqlite3* db = Conn()->FDb;
  const int n = sqlite3_column_count(FStmt);
  FColumns.assign(static_cast<std::size_t>(n), TSQLColumnDesc{});
  // The schema of each table, read once for all of its columns.
  std::map<std::pair<std::string, std::string>, TableInfo> tables;
  for (int i = 0; i < n; ++i) {
    TSQLColumnDesc& c = FColumns[static_cast<std::size_t>(i)];
    // The type SQLite itself holds the column's values to, if any.
    TFieldType enforced = ftUnknown;
    const char* name = sqlite3_column_name(FStmt, i);
    c.Name = name != nullptr ? name : "";
    const char* decl = sqlite3_column_decltype(FStmt, i);
    const char* table = sqlite3_column_table_name(FStmt, i);
    const char* origin = sqlite3_column_origin_name(FStmt, i);
    const char* schema = sqlite3_column_database_name(FStmt, i);
    if (table != nullptr && origin != nullptr) {
      c.OriginTable = table;
      c.OriginColumn = origin;
      auto key = std::make_pair(std::string(schema != nullptr ? schema : "main"), c.OriginTable);
      auto it = tables.find(key);
      if (it == tables.end())
        it = tables.emplace(key, ReadTableInfo(db, key.first, key.second)).first;
      const TableInfo& info = it->second;
      auto col = info.Columns.find(UpperCaseAscii(c.OriginColumn));
      if (col != info.Columns.end()) {
        const TableColumn& tc = col->second;
        // An INTEGER PRIMARY KEY of a rowid table is the rowid: SQLite
        // assigns it when the insert leaves it out.
        const bool rowid = tc.KeyPosition > 0 && info.KeyColumns == 1 && tc.Type == "INTEGER" &&
                           !info.WithoutRowid;
        sqlpolicy::ApplyBaseColumn(c, {.NotNull = tc.NotNull,
                                       .FilledByServer = tc.HasDefault || rowid,
                                       .Generated = tc.Generated,
                                       .RefusesValues = tc.Generated,
                                       .InKey = tc.KeyPosition > 0});
        if (rowid || (info.Strict && (tc.Type == "INT" || tc.Type == "INTEGER")))
          enforced = ftLargeint;
        else if (info.Strict && tc.Type == "REAL")
          enforced = ftFloat;
        else if (info.Strict && tc.Type == "TEXT")
          enforced = ftMemo;
        else if (info.Strict && tc.Type == "BLOB")
          enforced = ftBlob;
      } else {
        // The implicit rowid, named rowid, oid or _rowid_.
        int notNull = 0, primaryKey = 0, autoInc = 0;
        const char* declared = nullptr;
        const char* collation = nullptr;
        if (sqlite3_table_column_metadata(db, schema, table, origin, &declared, &collation,
                                          &notNull, &primaryKey, &autoInc) == SQLITE_OK)
          c.InKey = primaryKey != 0;
        enforced = ftLargeint;
      }
    } else {
      sqlpolicy::ApplyExpression(c);
    }
    if (!Conn()->FDeclaredTypes) {
      // Declared types are advice to SQLite: any column may hold any kind of
      // value, unless SQLite enforces one.
      c.DataType = enforced != ftUnknown ? enforced : ftVariant;
      c.Size = 0;
      c.Precision = 0;
    } else if (!MapSQLiteColumnType(decl != nullptr ? decl : "", c)) {
      int storage = FState == State::Pending ? sqlite3_column_type(FStmt, i) : SQLITE_NULL;
      switch (storage) {
        case SQLITE_INTEGER:
          c.DataType = ftLargeint;
          break;
        case SQLITE_FLOAT:
          c.DataType = ftFloat;
          break;
        case SQLITE_BLOB:
          c.DataType = ftBlob;
          break;
        default:
          c.DataType = ftMemo;
          break;
      }
    }
  }
  FReaders.clear();
  for (const TSQLColumnDesc& c : FColumns) FReaders.push_back(ReaderFor(c.DataType));
  FDescribed = true;
}

bool TSQLiteStatement::RetypeColumn(int Index, TFieldType Type, int Size, int Precision) {
  if (Index < 0 || static_cast<std::size_t>(Index) >= FColumns.size()) return false;
  TSQLColumnDesc& c = FColumns[static_cast<std::size_t>(Index)];
  if (c.DataType != ftVariant || Type == ftUnknown || Type == ftADT || Type == ftArray ||
      Type == ftReference || Type == ftDataSet)
    return false;
  // The typed readers convert any storage class, with their errors.
  c.DataType = Type;
  c.Size = Size;
  c.Precision = Precision;
  FReaders[static_cast<std::size_t>(Index)] = ReaderFor(Type);
  FRetyped = true;
  return true;
}

TSQLStatement::TValueReader TSQLiteStatement::ReaderFor(TFieldType Type) {
  switch (Type) {
    case ftLargeint:
      return &ReadInt64;
    case ftInteger:
      return &ReadInt32;
    case ftFloat:
      return &ReadDouble;
    case ftString:
      return &ReadString;
    case ftDate:
      return &ReadDate;
    case ftVariant:
      return &ReadStored;
    default:
      return IsBlobType(Type) ? &ReadBlob : &ReadChecked;
  }
}

std::int64_t TSQLiteStatement::Execute(const TParams* Params) {
  CheckAttached();
  CloseCursor();
  Bind(Params);
  const sqlite3_int64 before = sqlite3_total_changes64(Conn()->FDb);
  int rc;
  while ((rc = sqlite3_step(FStmt)) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) Fail(rc);
  std::int64_t rows = RowsChanged(Conn()->FDb, before);
  sqlite3_reset(FStmt);
  // Every execution binds every marker again, and small values bound again
  // reuse SQLite's buffers: only large values are let go at once.
  if (FBoundBytes > kKeptBoundBytes) sqlite3_clear_bindings(FStmt);
  return rows;
}

void TSQLiteStatement::Open(const TParams* Params) {
  CheckAttached();
  CloseCursor();
  if (sqlite3_column_count(FStmt) == 0) DatabaseError(SNoResultSet);
  Bind(Params);
  // The first step is the execution; its row waits for the first Next.
  int rc = sqlite3_step(FStmt);
  if (rc == SQLITE_ROW)
    SetState(State::Pending);
  else if (rc == SQLITE_DONE)
    SetState(State::AtEnd);
  else
    Fail(rc);
  // SQLite prepares the statement again by itself when the schema changed;
  // its columns are described again then.
  const int prepared = sqlite3_stmt_status(FStmt, SQLITE_STMTSTATUS_REPREPARE, 0);
  if (!FDescribed || prepared != FDescribedAt || FRetyped) {
    FRetyped = false;
    Describe();
    FDescribedAt = prepared;
  }
}

bool TSQLiteStatement::Next() {
  switch (FState) {
    case State::Idle:
      CheckAttached();
      DatabaseError(SCursorNotOpen);
    case State::Pending:
      SetState(State::OnRow);
      return true;
    case State::AtEnd:
      return false;
    case State::OnRow:
      break;
  }
  int rc = sqlite3_step(FStmt);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) {
    SetState(State::AtEnd);
    return false;
  }
  Fail(rc);
}

void TSQLiteStatement::CloseCursor() {
  if (FState == State::Idle || FStmt == nullptr) return;
  sqlite3_reset(FStmt);
  sqlite3_clear_bindings(FStmt);
  SetState(State::Idle);
}

// Values are read through sqlite3_column_value: one call into the library
// per value instead of one for its type and one for its content. The value
// is unprotected, which is safe because a connection is used from one thread
// at a time (the handle is opened without a mutex of its own).
bool TSQLiteStatement::IsNull(int Index) {
  CheckRow();
  CheckIndex(Index);
  return sqlite3_value_type(sqlite3_column_value(FStmt, Index)) == SQLITE_NULL;
}

bool TSQLiteStatement::ReadInt64(TSQLStatement* Self, int Index, void* Buffer) {
  sqlite3_value* v = sqlite3_column_value(static_cast<TSQLiteStatement*>(Self)->FStmt, Index);
  if (sqlite3_value_type(v) != SQLITE_INTEGER)
    return static_cast<TSQLiteStatement*>(Self)->Convert(Index, Buffer);
  const sqlite3_int64 i = sqlite3_value_int64(v);
  std::memcpy(Buffer, &i, sizeof i);
  return true;
}

bool TSQLiteStatement::ReadInt32(TSQLStatement* Self, int Index, void* Buffer) {
  sqlite3_value* v = sqlite3_column_value(static_cast<TSQLiteStatement*>(Self)->FStmt, Index);
  if (sqlite3_value_type(v) == SQLITE_INTEGER) {
    const sqlite3_int64 i = sqlite3_value_int64(v);
    if (i >= INT32_MIN && i <= INT32_MAX) {
      const auto narrow = static_cast<std::int32_t>(i);
      std::memcpy(Buffer, &narrow, sizeof narrow);
      return true;
    }
  }
  return static_cast<TSQLiteStatement*>(Self)->Convert(Index, Buffer);
}

bool TSQLiteStatement::ReadDouble(TSQLStatement* Self, int Index, void* Buffer) {
  sqlite3_value* v = sqlite3_column_value(static_cast<TSQLiteStatement*>(Self)->FStmt, Index);
  if (sqlite3_value_type(v) != SQLITE_FLOAT)
    return static_cast<TSQLiteStatement*>(Self)->Convert(Index, Buffer);
  const double d = sqlite3_value_double(v);
  std::memcpy(Buffer, &d, sizeof d);
  return true;
}

bool TSQLiteStatement::ReadString(TSQLStatement* Self, int Index, void* Buffer) {
  auto* s = static_cast<TSQLiteStatement*>(Self);
  sqlite3_value* v = sqlite3_column_value(s->FStmt, Index);
  if (sqlite3_value_type(v) == SQLITE_TEXT) {
    const auto* text = sqlite3_value_text(v);
    const auto n = static_cast<std::size_t>(sqlite3_value_bytes(v));
    if (n <= static_cast<std::size_t>(s->FColumns[static_cast<std::size_t>(Index)].Size) &&
        !HasZeroByte(text, n)) {
      std::memcpy(Buffer, text, n);
      static_cast<char*>(Buffer)[n] = '\0';
      return true;
    }
  }
  return s->Convert(Index, Buffer);
}

TSQLStatement::TTextRead TSQLiteStatement::ReadText(int Index, char* Buffer, std::size_t Capacity) {
  if (!FOnRow || static_cast<std::size_t>(Index) >= FColumns.size()) return trOther;
  sqlite3_value* v = sqlite3_column_value(FStmt, Index);
  switch (sqlite3_value_type(v)) {
    case SQLITE_NULL:
      return trNull;
    case SQLITE_TEXT: {
      // The same test as ReadString's, and room for the terminator.
      const auto* text = sqlite3_value_text(v);
      const auto n = static_cast<std::size_t>(sqlite3_value_bytes(v));
      if (n >= Capacity ||
          n > static_cast<std::size_t>(FColumns[static_cast<std::size_t>(Index)].Size) ||
          HasZeroByte(text, n))
        return trOther;
      std::memcpy(Buffer, text, n);
      Buffer[n] = '\0';
      return trRead;
    }
    default:
      return trOther;
  }
}

bool TSQLiteStatement::ReadDate(TSQLStatement* Self, int Index, void* Buffer) {
  sqlite3_value* v = sqlite3_column_value(static_cast<TSQLiteStatement*>(Self)->FStmt, Index);
  if (sqlite3_value_type(v) == SQLITE_TEXT) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(v));
    const int n = sqlite3_value_bytes(v);
    if (sqlvalue::TryPutIsoDate(text, text + n, Buffer)) return true;
  }
  return static_cast<TSQLiteStatement*>(Self)->Convert(Index, Buffer);
}

bool TSQLiteStatement::ReadBlob(TSQLStatement* Self, int Index, void* Buffer) {
  sqlite3_value* v = sqlite3_column_value(static_cast<TSQLiteStatement*>(Self)->FStmt, Index);
  return ReadBytes(v, *static_cast<TBlobByteData*>(Buffer));
}

bool TSQLiteStatement::ReadStored(TSQLStatement* Self, int Index, void* Buffer) {
  sqlite3_value* v = sqlite3_column_value(static_cast<TSQLiteStatement*>(Self)->FStmt, Index);
  auto& out = *static_cast<TVariantCell*>(Buffer);
  switch (sqlite3_value_type(v)) {
    case SQLITE_NULL:
      out.Clear();
      return false;
    case SQLITE_INTEGER:
      out.SetInteger(sqlite3_value_int64(v));
      return true;
    case SQLITE_FLOAT:
      out.SetReal(sqlite3_value_double(v));
      return true;
    case SQLITE_TEXT: {
      const unsigned char* text = sqlite3_value_text(v);
      out.SetBytes(vkText, text, static_cast<std::size_t>(sqlite3_value_bytes(v)));
      return true;
    }
    default: {
      const void* data = sqlite3_value_blob(v);
      out.SetBytes(vkBytes, data, static_cast<std::size_t>(sqlite3_value_bytes(v)));
      return true;
    }
  }
}

bool TSQLiteStatement::ReadChecked(TSQLStatement* Self, int Index, void* Buffer) {
  return static_cast<TSQLiteStatement*>(Self)->Convert(Index, Buffer);
}

bool TSQLiteStatement::Convert(int Index, void* Buffer) {
  const TSQLColumnDesc& c = FColumns[static_cast<std::size_t>(Index)];
  sqlite3_value* v = sqlite3_column_value(FStmt, Index);
  switch (sqlite3_value_type(v)) {
    case SQLITE_NULL:
      return false;
    case SQLITE_INTEGER:
      sqlvalue::PutInt64(c, sqlite3_value_int64(v), Buffer);
      return true;
    case SQLITE_FLOAT:
      sqlvalue::PutDouble(c, sqlite3_value_double(v), Buffer);
      return true;
    case SQLITE_TEXT: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(v));
      const auto n = static_cast<std::size_t>(sqlite3_value_bytes(v));
      // A timestamp field holds UTC without an offset: a text with one
      // would come back shifted, unequal to what the file holds. The date
      // before the time may have a sign and more than four digits of year.
      if (c.DataType == ftTimeStamp || c.DataType == ftDateTime) {
        const std::string_view s(text, n);
        const std::size_t time = s.find_first_of(" T");
        if (time != std::string_view::npos &&
            s.find_first_of("Z+-", time) != std::string_view::npos)
          sqlvalue::DoesNotFit(c, "'" + std::string(text, n) + "'");
      }
      sqlvalue::PutText(c, std::string_view(text, n), Buffer);
      return true;
    }
    default: {
      const void* data = sqlite3_value_blob(v);
      const auto n = static_cast<std::size_t>(sqlite3_value_bytes(v));
      sqlvalue::PutBytes(c, data, n, Buffer);
      return true;
    }
  }
}

bool TSQLiteStatement::GetBlob(int Index, TBlobByteData& Value) {
  CheckRow();
  CheckIndex(Index);
  return ReadBytes(sqlite3_column_value(FStmt, Index), Value);
}

bool TSQLiteStatement::ReadBytes(sqlite3_value* V, TBlobByteData& Value) {
  switch (sqlite3_value_type(V)) {
    case SQLITE_NULL:
      Value.Clear();
      return false;
    case SQLITE_INTEGER:
      Value = TBlobByteData(std::to_string(sqlite3_value_int64(V)));
      return true;
    case SQLITE_FLOAT:
      Value = TBlobByteData(sqlvalue::DoubleToText(sqlite3_value_double(V)));
      return true;
    case SQLITE_TEXT: {
      const unsigned char* text = sqlite3_value_text(V);
      AssignBytes(Value, text, static_cast<std::size_t>(sqlite3_value_bytes(V)));
      return true;
    }
    default: {
      const void* data = sqlite3_value_blob(V);
      AssignBytes(Value, data, static_cast<std::size_t>(sqlite3_value_bytes(V)));
      return true;
    }
  }
}

// ---- connection ----------------------------------------------------------------------

TSQLiteConnection::TSQLiteConnection(const TStrings& Params) {
  std::string file, connectionString;
  int busyTimeout = 5000;
  bool readOnly = false, foreignKeys = false;
  std::string journalMode;
  for (int i = 0; i < Params.Count(); ++i) {
    const std::string name = Params.GetName(i);
    const std::string value = Params.GetValueFromIndex(i);
    if (name.empty()) continue;
    if (value.find('\0') != std::string::npos) DatabaseErrorFmt(SConnectionParamZeroByte, {name});
    if (SameTextAscii(name, "Database")) {
      file = value;
    } else if (SameTextAscii(name, "ConnectionString")) {
      connectionString = value;
    } else if (SameTextAscii(name, "BusyTimeout")) {
      std::int64_t ms;
      if (!sqlvalue::ParseInt64(value, ms) || ms < 0 || ms > INT32_MAX)
        DatabaseErrorFmt(SInvalidConnectionParam, {value, name});
      busyTimeout = static_cast<int>(ms);
    } else if (SameTextAscii(name, "ReadOnly")) {
      readOnly = BooleanParam(name, value);
    } else if (SameTextAscii(name, "JournalMode")) {
      journalMode = LowerCaseAscii(TrimAscii(value));
      static const char* const modes[] = {"delete", "truncate", "persist", "memory", "wal", "off"};
      if (std::find_if(std::begin(modes), std::end(modes),
                       [&](const char* M) { return journalMode == M; }) == std::end(modes))
        DatabaseErrorFmt(SInvalidConnectionParam, {value, name});
    } else if (SameTextAscii(name, "ForeignKeys")) {
      foreignKeys = BooleanParam(name, value);
    } else if (SameTextAscii(name, "ColumnTypes")) {
      if (SameTextAscii(TrimAscii(value), "Declared"))
        FDeclaredTypes = true;
      else if (SameTextAscii(TrimAscii(value), "Stored"))
        FDeclaredTypes = false;
      else
        DatabaseErrorFmt(SInvalidConnectionParam, {value, name});
    } else {
      DatabaseErrorFmt(SUnknownConnectionParam, {"SQLite", name});
    }
  }
  if (file.empty()) file = connectionString;
  if (file.empty()) DatabaseError(SMissingDatabaseParam);
  int flags = (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
              SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX;
  int rc = sqlite3_open_v2(file.c_str(), &FDb, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = FDb != nullptr ? sqlite3_errmsg(FDb) : sqlite3_errstr(rc);
    int code = FDb != nullptr ? sqlite3_extended_errcode(FDb) : rc;
    sqlite3_close_v2(FDb);
    FDb = nullptr;
    throw ESQLDatabaseError(message + ": " + file, code, SQLStateOf(code));
  }
  sqlite3_extended_result_codes(FDb, 1);
  sqlite3_busy_timeout(FDb, busyTimeout);
  try {
    if (foreignKeys) ExecuteDirect("PRAGMA foreign_keys = ON");
    if (!journalMode.empty()) SetJournalMode(journalMode);
  } catch (...) {
    // A constructor that throws runs no destructor: the handle is closed here.
    ReleaseStatements();
    sqlite3_close_v2(FDb);
    FDb = nullptr;
    throw;
  }
}

TSQLiteConnection::~TSQLiteConnection() {
  ReleaseStatements();
  sqlite3_close_v2(FDb);
}

void TSQLiteConnection::RaiseError(int Code) const {
  int code = sqlite3_extended_errcode(FDb);
  if (code == SQLITE_OK) code = Code;
  throw ESQLDatabaseError(sqlite3_errmsg(FDb), code, SQLStateOf(code));
}

std::unique_ptr<TSQLStatement> TSQLiteConnection::NewStatement(const std::string& Text) {
  return std::make_unique<TSQLiteStatement>(this, Text);
}

std::int64_t TSQLiteConnection::ExecuteDirect(const std::string& SQL) {
  CheckSQLText(SQL);
  const char* p = SQL.c_str();
  std::int64_t rows = 0;
  while (*p != '\0') {
    sqlite3_stmt* prepared = nullptr;
    const char* tail = nullptr;
    int rc = sqlite3_prepare_v2(FDb, p, -1, &prepared, &tail);
    TStmtHandle stmt(prepared);
    if (rc != SQLITE_OK) RaiseError(rc);
    p = tail;
    if (stmt == nullptr) continue;  // blanks or a comment
    const sqlite3_int64 before = sqlite3_total_changes64(FDb);
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) RaiseError(rc);
    rows = RowsChanged(FDb, before);
  }
  return rows;
}

void TSQLiteConnection::StartTransaction() {
  if (InTransaction()) DatabaseError(SAlreadyInTransaction);
  ExecuteDirect("BEGIN");
}

void TSQLiteConnection::Commit() {
  if (!InTransaction()) DatabaseError(SNotInTransaction);
  ExecuteDirect("COMMIT");
}

void TSQLiteConnection::Rollback() {
  if (!InTransaction()) DatabaseError(SNotInTransaction);
  ExecuteDirect("ROLLBACK");
}

bool TSQLiteConnection::InTransaction() {
  return sqlite3_get_autocommit(FDb) == 0;
}

void TSQLiteConnection::SetJournalMode(const std::string& Mode) {
  // The pragma answers with the mode in force, which is not always the one
  // asked for (an in-memory database keeps "memory").
  TStmtHandle q = PrepareOne(FDb, ("PRAGMA journal_mode = " + Mode).c_str());
  if (q == nullptr) RaiseError(SQLITE_ERROR);
  const int rc = sqlite3_step(q.get());
  if (rc != SQLITE_ROW) RaiseError(rc);
  const std::string kept = reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 0));
  if (kept != Mode) DatabaseErrorFmt(SJournalModeKept, {kept, Mode});
}

std::vector<std::string> TSQLiteConnection::CatalogTableName(std::vector<std::string> Parts) {
  if (Parts.empty() || Parts.size() > 2) return Parts;
  // Unqualified names resolve in temp first, then main, then the attached
  // databases, as SQLite resolves them.
  TStmtHandle q =
      PrepareOne(FDb,
                 "SELECT schema, name FROM pragma_table_list WHERE name = ?1 COLLATE NOCASE AND "
                 "(?2 IS NULL OR schema = ?2 COLLATE NOCASE) "
                 "ORDER BY CASE schema WHEN 'temp' THEN 0 WHEN 'main' THEN 1 ELSE 2 END LIMIT 1");
  if (q == nullptr) return Parts;
  const std::string& table = Parts.back();
  sqlite3_bind_text64(q.get(), 1, table.data(), table.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  if (Parts.size() == 2)
    sqlite3_bind_text64(q.get(), 2, Parts[0].data(), Parts[0].size(), SQLITE_TRANSIENT,
                        SQLITE_UTF8);
  if (sqlite3_step(q.get()) != SQLITE_ROW) return Parts;
  auto text = [&](int Column) {
    return std::string(reinterpret_cast<const char*>(sqlite3_column_text(q.get(), Column)),
                       static_cast<std::size_t>(sqlite3_column_bytes(q.get(), Column)));
  };
  if (Parts.size() == 2) Parts[0] = text(0);
  Parts.back() = text(1);
  return Parts;
}

std::string TSQLiteConnection::StoredProcCall(const std::string&, const std::vector<TParamType>&) {
  DatabaseError(SStoredProcNotSupported);
}

std::unique_ptr<TSQLDriverConnection> OpenSQLiteConnection(const TStrings& Params) {
  return std::make_unique<TSQLiteConnection>(Params);
}

}  // namespace qvl
