#include "qvl/host/drivers/PostgreSQLDriver.h"

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string_view>
#include <utility>

#include "qvl/host/dataset/VariantCell.h"
#include "qvl/host/runtime/DateTime.h"
#include "qvl/host/runtime/Strings.h"
#include "qvl/host/sqlclient/SQLColumnPolicy.h"
#include "qvl/host/sqlclient/SQLConsts.h"
#include "qvl/host/sqlclient/SQLText.h"
#include "qvl/host/sqlclient/SQLValues.h"

namespace qvl {

namespace {

enum : Oid {
  kBool = 16,
  kBytea = 17,
  kChar = 18,
  kName = 19,
  kInt8 = 20,
  kInt2 = 21,
  kInt4 = 23,
  kText = 25,
  kOid = 26,
  kJson = 114,
  kXml = 142,
  kCidr = 650,
  kFloat4 = 700,
  kFloat8 = 701,
  kMacaddr8 = 774,
  kMoney = 790,
  kMacaddr = 829,
  kInet = 869,
  kBpchar = 1042,
  kVarchar = 1043,
  kDate = 1082,
  kTime = 1083,
  kTimestamp = 1114,
  kTimestamptz = 1184,
  kInterval = 1186,
  kTimetz = 1266,
  kNumeric = 1700,
  kUuid = 2950,
  kJsonb = 3802,
};

// The first batch is one row, so that the first row costs only itself
// however wide rows are; later batches grow while the rows of the batch
// before stay under the byte budget, down to one row at a time.
constexpr int kFirstBatch = 1;
constexpr int kSecondBatch = 16;
constexpr int kMaxBatch = 8192;
constexpr std::size_t kBatchBytes = std::size_t{4} << 20;

// The protocol counts parameters in 16 bits. libpq takes a description of
// more than 7498 parameters (4 bytes each) for a lost message and drops the
// session, so such statements learn their parameter types another way.
constexpr int kMaxParams = 65535;
constexpr int kDescribableParams = 7498;

constexpr const char* kSessionOptions =
    "-c DateStyle=ISO,YMD -c TimeZone=UTC -c IntervalStyle=postgres -c extra_float_digits=3 "
    "-c bytea_output=hex";

// Whether the statement is a query that a cursor might hold; the server
// decides the rest when the cursor is prepared.
bool MayBeCursor(const std::string& SQL) {
  const std::vector<std::string> words = SQLCodeWords(SQL);
  static const std::set<std::string> first = {"SELECT", "VALUES", "TABLE", "WITH"};
  return !words.empty() && first.count(words[0]) != 0;
}

// Whether the text holds one statement: nothing but blanks after a ";".
bool OneStatement(const std::string& SQL) {
  bool ended = false;
  for (std::size_t i = 0; i < SQL.size();) {
    const std::size_t skip = SkipSQLLiteral(SQL, i);
    if (skip != i) {
      if (ended && SQL[i] != '-' && SQL[i] != '/') return false;
      i = skip;
      continue;
    }
    if (SQL[i] == ';') {
      ended = true;
    } else if (ended && std::isspace(static_cast<unsigned char>(SQL[i])) == 0) {
      return false;
    }
    ++i;
  }
  return true;
}

// numeric(p,s) keeps p and s in its type modifier, offset by 4; a negative
// scale is an 11-bit two's complement. No modifier: an unconstrained numeric,
// whose values (up to 131072 digits before the point and 16383 after) no
// fixed decimal field holds; a variant field keeps each one's text.
void SetNumeric(TSQLColumnDesc& C, int Typmod) {
  if (Typmod < 4) {
    C.DataType = ftVariant;
    return;
  }
  const int mod = Typmod - 4;
  int scale = mod & 0x7ff;
  if (scale & 0x400) scale -= 0x800;
  sqlpolicy::SetDecimalColumn(C, (mod >> 16) & 0xffff, scale);
}

// The field type of a built-in type; false for types the catalog must name.
bool MapBuiltin(Oid Type, int Typmod, TSQLColumnDesc& C) {
  C.Size = 0;
  C.Precision = 0;
  switch (Type) {
    case kBool:
      C.DataType = ftBoolean;
      return true;
    case kBytea:
      C.DataType = ftBlob;
      return true;
    case kChar:
      C.DataType = ftFixedChar;
      C.Size = 1;
      return true;
    case kName:
      C.DataType = ftString;
      C.Size = 63;
      return true;
    case kInt8:
    case kOid:
      C.DataType = ftLargeint;
      return true;
    case kInt2:
      C.DataType = ftSmallint;
      return true;
    case kInt4:
      C.DataType = ftInteger;
      return true;
    case kText:
    case kJson:
    case kJsonb:
    case kXml:
      C.DataType = ftMemo;
      return true;
    case kFloat4:
    case kFloat8:
      C.DataType = ftFloat;
      return true;
    case kBpchar:
      sqlpolicy::SetStringColumn(C, ftFixedChar, Typmod - 4);
      return true;
    case kVarchar:
      sqlpolicy::SetStringColumn(C, ftString, Typmod - 4);
      return true;
    case kDate:
      C.DataType = ftDate;
      return true;
    case kTime:
      C.DataType = ftTime;
      return true;
    case kTimestamp:
    case kTimestamptz:
      C.DataType = ftTimeStamp;
      return true;
    case kTimetz:
      C.DataType = ftString;
      C.Size = 32;
      return true;
    case kInterval:
      C.DataType = ftString;
      C.Size = 80;
      return true;
    case kNumeric:
      SetNumeric(C, Typmod);
      return true;
    case kUuid:
      C.DataType = ftGuid;
      C.Size = 38;
      return true;
    case kInet:
    case kCidr:
      C.DataType = ftString;
      C.Size = 64;
      return true;
    case kMacaddr:
    case kMacaddr8:
      C.DataType = ftString;
      C.Size = 32;
      return true;
    case kMoney:
      C.DataType = ftString;
      C.Size = 40;
      return true;
    default:
      return false;
  }
}

// A message of libpq's own: its first line (the rest are hints), without
// the "FATAL:  " or "ERROR:  " that the server's severity puts before it.
std::string LibpqMessage(const char* Text) {
  std::string message = TrimRightAscii(Text != nullptr ? Text : "");
  message = message.substr(0, message.find('\n'));
  for (const char* severity : {"FATAL:  ", "ERROR:  ", "PANIC:  "})
    if (message.rfind(severity, 0) == 0) return message.substr(std::strlen(severity));
  return message;
}

// The SQLSTATE and the server's message in a verbose libpq message
// ("... FATAL:  3D000: database "x" does not exist\nLOCATION: ..."); false
// when the server said nothing (the network failed first).
bool ServerRefusal(const std::string& Text, std::string& State, std::string& Message) {
  for (const char* severity : {"FATAL:  ", "ERROR:  "}) {
    const std::size_t at = Text.find(severity);
    if (at == std::string::npos) continue;
    const std::size_t code = at + std::strlen(severity);
    if (Text.size() < code + 7 || Text.compare(code + 5, 2, ": ") != 0) continue;
    State = Text.substr(code, 5);
    const std::size_t start = code + 7;
    Message = Text.substr(start, Text.find('\n', start) - start);
    return true;
  }
  return false;
}

// Connects within TimeoutSeconds (none when not positive), keeping the
// SQLSTATE of the server's refusal (28P01 for a wrong password), which only
// a verbose error message carries while connecting.
PGconn* Connect(const char* const* Keys, const char* const* Values, int TimeoutSeconds) {
  PGconn* c = PQconnectStartParams(Keys, Values, 0);
  if (c == nullptr) throw ESQLDatabaseError(SConnectionOutOfMemory, 0, "08001");
  PQsetErrorVerbosity(c, PQERRORS_VERBOSE);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(std::max(TimeoutSeconds, 0));
  PostgresPollingStatusType status =
      PQstatus(c) == CONNECTION_BAD ? PGRES_POLLING_FAILED : PGRES_POLLING_WRITING;
  bool timedOut = false;
  while (status != PGRES_POLLING_OK && status != PGRES_POLLING_FAILED) {
    pollfd p{PQsocket(c), static_cast<short>(status == PGRES_POLLING_READING ? POLLIN : POLLOUT),
             0};
    int wait = -1;
    if (TimeoutSeconds > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      wait = static_cast<int>(std::max<std::int64_t>(left.count(), 0));
    }
    const int ready = ::poll(&p, 1, wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      timedOut = true;
      break;
    }
    status = PQconnectPoll(c);
  }
  if (!timedOut && PQstatus(c) == CONNECTION_OK) {
    PQsetErrorVerbosity(c, PQERRORS_DEFAULT);
    return c;
  }
  const std::string text = PQerrorMessage(c);
  PQfinish(c);
  if (timedOut) throw ESQLDatabaseError(SConnectTimeout, 0, "08001");
  std::string state, message;
  if (ServerRefusal(text, state, message)) throw ESQLDatabaseError(message, 0, state);
  throw ESQLDatabaseError(LibpqMessage(text.c_str()), 0, "08001");
}

std::string OidArray(const std::set<Oid>& Oids) {
  std::string s = "{";
  for (Oid o : Oids) {
    if (s.size() > 1) s += ',';
    s += std::to_string(o);
  }
  return s + "}";
}

// How a column of a type reads in binary form: the types whose binary form
// is their text, and the numbers.
enum class TBinaryKind : char {
  No,
  Text,
  Float4,
  Float8,
  Signed,
  Unsigned,
  Bool,
  Numeric,
  Date,
  Time,
  Timestamp,
  Timestamptz,
  Uuid
};

TBinaryKind BinaryKindOf(Oid Type, bool Enum) {
  using B = TBinaryKind;
  switch (Type) {
    case kFloat4:
      return B::Float4;
    case kFloat8:
      return B::Float8;
    case kInt2:
    case kInt4:
    case kInt8:
      return B::Signed;
    case kOid:
      return B::Unsigned;
    case kBool:
      return B::Bool;
    case kNumeric:
      return B::Numeric;
    case kDate:
      return B::Date;
    case kTime:
      return B::Time;
    case kTimestamp:
      return B::Timestamp;
    case kTimestamptz:
      return B::Timestamptz;
    case kUuid:
      return B::Uuid;
    case kText:
    case kVarchar:
    case kBpchar:
    case kName:
    case kJson:
    case kBytea:
      return B::Text;
    default:
      return Enum ? B::Text : B::No;
  }
}

// The binary forms below become the text the server prints for them, which
// the text decoders read: only the floats needed the binary form.
std::uint64_t BigEndian(const char* Data, std::size_t Size) {
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < Size; ++i) bits = bits << 8 | static_cast<std::uint8_t>(Data[i]);
  return bits;
}

// numeric: digit count, weight and sign, display scale, base-10000 digits.
bool NumericText(const char* Data, std::size_t Size, std::string& Out) {
  if (Size < 8) return false;
  const auto count = static_cast<std::int16_t>(BigEndian(Data, 2));
  const auto weight = static_cast<std::int16_t>(BigEndian(Data + 2, 2));
  const auto sign = static_cast<std::uint16_t>(BigEndian(Data + 4, 2));
  const auto scale = static_cast<std::uint16_t>(BigEndian(Data + 6, 2));
  if (count < 0 || Size != 8 + 2 * static_cast<std::size_t>(count)) return false;
  const char* special = sign == 0xC000   ? "NaN"
                        : sign == 0xD000 ? "Infinity"
                        : sign == 0xF000 ? "-Infinity"
                                         : nullptr;
  if (special != nullptr) {
    Out = special;
    return true;
  }
  auto digit = [&](int K) {
    return K >= 0 && K < count ? static_cast<int>(BigEndian(Data + 8 + 2 * K, 2)) : 0;
  };
  auto four = [](int D) {
    char b[8];
    std::snprintf(b, sizeof b, "%04d", D);
    return std::string(b);
  };
  Out = sign == 0x4000 ? "-" : "";
  if (weight < 0) Out += '0';
  for (int k = 0; k <= weight; ++k) Out += k == 0 ? std::to_string(digit(k)) : four(digit(k));
  if (scale == 0) return true;
  std::string fraction;
  for (int k = weight + 1; fraction.size() < scale; ++k) fraction += four(digit(k));
  Out += '.' + fraction.substr(0, scale);
  return true;
}

// Days since 2000-01-01 as ISO text, with " BC" before year 1.
std::string DateText(std::int64_t Days, std::string& Era) {
  int year = 0;
  unsigned month = 0, day = 0;
  CivilFromDays(static_cast<std::int32_t>(Days + 10957), year, month, day);
  Era = year <= 0 ? " BC" : "";
  char b[32];
  std::snprintf(b, sizeof b, "%04d-%02u-%02u", year <= 0 ? 1 - year : year, month, day);
  return b;
}

// Microseconds of a day as "HH:MM:SS[.ffffff]".
std::string TimeText(std::int64_t Micros) {
  char b[32];
  std::snprintf(b, sizeof b, "%02d:%02d:%02d", static_cast<int>(Micros / 3600000000),
                static_cast<int>(Micros / 60000000 % 60), static_cast<int>(Micros / 1000000 % 60));
  std::string text = b;
  if (Micros % 1000000 != 0) {
    std::snprintf(b, sizeof b, ".%06d", static_cast<int>(Micros % 1000000));
    text += b;
    while (text.back() == '0') text.pop_back();
  }
  return text;
}

// Microseconds since 2000-01-01 00:00 as the server prints them (UTC for a
// zone-aware value).
std::string TimestampText(std::int64_t Micros, bool Zone) {
  if (Micros == INT64_MAX) return "infinity";
  if (Micros == INT64_MIN) return "-infinity";
  constexpr std::int64_t kDay = 86400000000;
  std::int64_t days = Micros / kDay, rest = Micros % kDay;
  if (rest < 0) {
    rest += kDay;
    --days;
  }
  std::string era;
  std::string text = DateText(days, era) + " " + TimeText(rest);
  return text + (Zone ? "+00" : "") + era;
}

std::string UuidText(const char* Data) {
  static const char hex[] = "0123456789abcdef";
  std::string text;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += hex[static_cast<std::uint8_t>(Data[i]) >> 4];
    text += hex[static_cast<std::uint8_t>(Data[i]) & 15];
  }
  return text;
}

// The server's type of a date or time parameter decides its form; for other
// targets (text, unknown) the parameter's own type does.
sqlpolicy::TTemporalParam TemporalKindOf(Oid Target, TFieldType DataType) {
  switch (Target) {
    case kDate:
      return sqlpolicy::TTemporalParam::Date;
    case kTime:
    case kTimetz:
      return sqlpolicy::TTemporalParam::Time;
    case kTimestamp:
    case kTimestamptz:
      return sqlpolicy::TTemporalParam::Timestamp;
    default:
      return sqlpolicy::TemporalParamKind(DataType);
  }
}

}  // namespace

std::string RewritePostgreSQLMarkers(const std::string& T, int& Count) {
  std::string out;
  out.reserve(T.size() + 16);
  Count = 0;
  std::size_t i = 0;
  while (i < T.size()) {
    std::size_t skip = SkipSQLLiteral(T, i);
    if (skip != i) {
      out.append(T, i, skip - i);
      i = skip;
      continue;
    }
    if (T[i] == '?') {
      if (i + 1 < T.size() && T[i + 1] == '?') {
        out += '?';
        i += 2;
        continue;
      }
      out += '$';
      out += std::to_string(++Count);
      ++i;
      continue;
    }
    out += T[i++];
  }
  return out;
}

// ---- statement ------------------------------------------------------------------------

class TPostgreSQLStatement : public TSQLStatement {
 public:
  TPostgreSQLStatement(TPostgreSQLConnection* Connection, const std::string& Text);
  ~TPostgreSQLStatement() override;

  std::int64_t Execute(const TParams* Params) override;
  void Open(const TParams* Params) override;
  bool Next() override;
  void CloseCursor() override;
  bool CursorOpen() const override { return FState != State::Idle; }
  bool IsNull(int Index) override;
  bool GetBlob(int Index, TBlobByteData& Value) override;
  bool RetypeColumn(int Index, TFieldType Type, int Size, int Precision) override;

 protected:
  void Detach() override;

 private:
  friend class TPostgreSQLConnection;
  struct Bound {
    std::vector<std::string> Storage;
    std::vector<const char*> Values;
    std::vector<int> Lengths;
    std::vector<int> Formats;
  };
  enum class State { Idle, Open, AtEnd };

  TPostgreSQLConnection* Conn() const { return static_cast<TPostgreSQLConnection*>(FConnection); }
  void Bind(const TParams* Params, Bound& B) const;
  static bool ReadValue(TSQLStatement* Self, int Index, void* Buffer);
  bool Read(int Index, void* Buffer);
  // A value of a result in binary form, which floats need to read exactly
  // whatever the session's extra_float_digits.
  void ReadBinary(int Index, void* Buffer);
  // A value of a variant column (an unconstrained numeric): its decimal text
  // as the server wrote it, or null.
  bool ReadDecimal(int Index, TVariantCell& Value);
  PGresult* Run(const std::string& Name, const Bound& B) const;
  void Prepare();
  // Prepares the DECLARE of a held cursor for the statement; false when the
  // server says a cursor cannot hold it.
  bool PrepareCursor();
  // Learns the parameter types of a statement with too many to describe,
  // and returns a description of its result columns.
  TPostgreSQLConnection::Result DescribeManyParams();
  // Describing a result's columns: their base columns from the catalog,
  // their types with domains resolved, then one description each.
  struct TBaseColumn {
    std::string Name, Table;
    sqlpolicy::TBaseColumnFacts Facts;
    bool IdentityAlways = false;
  };
  using TBaseColumns = std::map<std::pair<Oid, int>, TBaseColumn>;  // by table and column number
  struct TColumnTypes {
    std::vector<Oid> Types;
    std::vector<int> Mods;
    std::set<Oid> Enums;
  };
  TBaseColumns ReadBaseColumns(const PGresult* Description) const;
  TColumnTypes ResolveTypes(const PGresult* Description) const;
  void DescribeColumns(const PGresult* Description);
  bool ShapeChanged(const PGresult* Rows) const;
  // Runs Body; when the server refuses a cached plan because a table
  // changed under it, prepares the text again and runs Body once more.
  template <class Body>
  auto WithFreshPlan(Body&& F) -> decltype(F());
  void FetchBatch();
  void CloseServerCursor();
  // The rest of the rows is gone; reading past those already here raises Why.
  void Lose(const std::string& Why);

  std::string FSQL;
  std::string FName, FDeclareName, FCursorName;
  std::vector<Oid> FParamTypes;
  std::vector<bool> FBytea;  // per column
  // How each column reads in binary form; results with floats or bytea
  // come in binary when every column can.
  std::vector<TBinaryKind> FBinaryKinds;
  bool FBinary = false;
  std::vector<Oid> FTypes;  // per column, as described
  std::vector<int> FMods;
  // Columns as described before RetypeColumn changed them.
  std::vector<std::pair<int, TSQLColumnDesc>> FRetyped;
  bool FIsQuery = false;
  bool FCursorable = false;
  State FState = State::Idle;
  bool FServerOpen = false;  // the server cursor exists and belongs to this result
  bool FServerEnd = false;   // no rows are left on the server
  bool FInTx = false;        // declared inside the transaction now active
  std::string FLost;
  TPostgreSQLConnection::Result FBatch;
  int FRow = -1;
  int FBatchRows = 0;
  int FBatchSize = kFirstBatch;
};

TPostgreSQLStatement::TPostgreSQLStatement(TPostgreSQLConnection* Connection,
                                           const std::string& Text)
    : TSQLStatement(Connection, Text) {
  int markers = 0;
  FSQL = RewritePostgreSQLMarkers(Text, markers);
  if (markers > kMaxParams) DatabaseErrorFmt(STooManyParams, {std::to_string(markers)});
  Connection->Cleanup();
  try {
    Connection->Guarded([this] { Prepare(); });
  } catch (...) {
    // Prepared statements are not transactional: drop what was made.
    if (!FName.empty()) Connection->FPendingCleanup.push_back("DEALLOCATE " + FName);
    if (!FDeclareName.empty()) Connection->FPendingCleanup.push_back("DEALLOCATE " + FDeclareName);
    Connection->Cleanup();
    throw;
  }
}

void TPostgreSQLStatement::Prepare() {
  TPostgreSQLConnection* c = Conn();
  PGconn* pg = c->FConn;
  std::string name = c->NextName("qvl_s");
  c->Check(PQprepare(pg, name.c_str(), FSQL.c_str(), 0, nullptr));
  FName = name;
  c->CountPrepare();
  TPostgreSQLConnection::Result d;
  if (std::count(FSQL.begin(), FSQL.end(), '$') > kDescribableParams) {
    d = DescribeManyParams();
  } else {
    d = c->Check(PQdescribePrepared(pg, FName.c_str()));
    FParamTypes.resize(static_cast<std::size_t>(PQnparams(d.get())));
    for (int i = 0; i < PQnparams(d.get()); ++i)
      FParamTypes[static_cast<std::size_t>(i)] = PQparamtype(d.get(), i);
  }
  if (PQnfields(d.get()) > 0) {
    FIsQuery = true;
    DescribeColumns(d.get());
  }
  FCursorable = FIsQuery && MayBeCursor(FSQL) && PrepareCursor();
}

TPostgreSQLConnection::Result TPostgreSQLStatement::DescribeManyParams() {
  TPostgreSQLConnection* c = Conn();
  PGconn* pg = c->FConn;
  const char* values[] = {FName.c_str()};
  auto types = c->Check(PQexecParams(
      pg,
      "SELECT t::oid, t::text FROM pg_catalog.pg_prepared_statements s, "
      "unnest(s.parameter_types) WITH ORDINALITY AS u(t, i) WHERE s.name = $1 ORDER BY i",
      1, nullptr, values, nullptr, nullptr, 0));
  const int n = PQntuples(types.get());
  FParamTypes.resize(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i)
    FParamTypes[static_cast<std::size_t>(i)] =
        static_cast<Oid>(std::stoul(PQgetvalue(types.get(), i, 0)));
  // The result columns come from the same text with each parameter a typed
  // NULL: the server resolves it exactly as it resolved the parameter.
  std::string shadow;
  shadow.reserve(FSQL.size() + static_cast<std::size_t>(n) * 16);
  std::size_t i = 0;
  while (i < FSQL.size()) {
    const std::size_t skip = SkipSQLLiteral(FSQL, i);
    if (skip != i) {
      shadow.append(FSQL, i, skip - i);
      i = skip;
      continue;
    }
    const bool word = i > 0 && (std::isalnum(static_cast<unsigned char>(FSQL[i - 1])) != 0 ||
                                FSQL[i - 1] == '_' || FSQL[i - 1] == '$');
    std::size_t end = i + 1;
    while (end < FSQL.size() && std::isdigit(static_cast<unsigned char>(FSQL[end])) != 0) ++end;
    const long number = FSQL[i] == '$' && !word && end > i + 1 && end - i < 8
                            ? std::stol(FSQL.substr(i + 1, end - i - 1))
                            : 0;
    if (number < 1 || number > n) {
      shadow += FSQL[i++];
      continue;
    }
    shadow += "(NULL::";
    shadow += PQgetvalue(types.get(), static_cast<int>(number - 1), 1);
    shadow += ')';
    i = end;
  }
  c->Check(PQprepare(pg, "", shadow.c_str(), 0, nullptr));
  return c->Check(PQdescribePrepared(pg, ""));
}

bool TPostgreSQLStatement::PrepareCursor() {
  // The server refuses a held cursor for what it cannot hold (FOR UPDATE,
  // data-modifying WITH, SELECT INTO); such statements run directly. Its
  // refusal must not end an open transaction.
  TPostgreSQLConnection* c = Conn();
  PGconn* pg = c->FConn;
  const bool inTransaction = PQtransactionStatus(pg) == PQTRANS_INTRANS;
  if (inTransaction) c->Exec("SAVEPOINT qvl_declare");
  const std::string cursor = c->NextName("qvl_c");
  const std::string declare = c->NextName("qvl_d");
  const std::string text = "DECLARE " + cursor + " NO SCROLL CURSOR WITH HOLD FOR " + FSQL;
  TPostgreSQLConnection::Result r(PQprepare(
      pg, declare.c_str(), text.c_str(), static_cast<int>(FParamTypes.size()), FParamTypes.data()));
  const bool prepared = r != nullptr && PQresultStatus(r.get()) == PGRES_COMMAND_OK;
  if (inTransaction) {
    if (!prepared) c->Exec("ROLLBACK TO SAVEPOINT qvl_declare");
    c->Exec("RELEASE SAVEPOINT qvl_declare");
  }
  if (c->Lost()) c->Raise(r.get());
  if (!prepared) return false;
  FCursorName = cursor;
  FDeclareName = declare;
  return true;
}

bool TPostgreSQLStatement::ShapeChanged(const PGresult* Rows) const {
  if (Rows == nullptr) return false;
  const int n = PQnfields(Rows);
  if (static_cast<std::size_t>(n) != FTypes.size()) return true;
  for (int i = 0; i < n; ++i)
    if (PQftype(Rows, i) != FTypes[static_cast<std::size_t>(i)] ||
        PQfmod(Rows, i) != FMods[static_cast<std::size_t>(i)])
      return true;
  return false;
}

template <class Body>
auto TPostgreSQLStatement::WithFreshPlan(Body&& F) -> decltype(F()) {
  try {
    return F();
  } catch (const ESQLDatabaseError& E) {
    TPostgreSQLConnection* c = Conn();
    // A table changed under the plan, or the session forgot its prepared
    // statements (DISCARD ALL, DEALLOCATE ALL).
    const bool changed =
        E.GetSQLState() == "0A000" && E.Message().find("cached plan") != std::string::npos;
    const bool forgotten = E.GetSQLState() == "26000";
    if ((!changed && !forgotten) || PQtransactionStatus(c->FConn) == PQTRANS_INERROR) throw;
    // Prepared statements are not transactional: drop the old ones now.
    if (changed && !FName.empty()) c->FPendingCleanup.push_back("DEALLOCATE " + FName);
    if (changed && !FDeclareName.empty())
      c->FPendingCleanup.push_back("DEALLOCATE " + FDeclareName);
    FName.clear();
    FDeclareName.clear();
    c->Cleanup();
    c->Guarded([this] { Prepare(); });
  }
  return F();
}

TPostgreSQLStatement::TBaseColumns TPostgreSQLStatement::ReadBaseColumns(const PGresult* D) const {
  TBaseColumns columns;
  std::set<Oid> tables;
  for (int i = 0; i < PQnfields(D); ++i)
    if (PQftable(D, i) != InvalidOid) tables.insert(PQftable(D, i));
  if (tables.empty()) return columns;
  TPostgreSQLConnection* c = Conn();
  const std::string arr = OidArray(tables);
  const char* values[] = {arr.c_str()};
  auto r = c->Check(PQexecParams(
      c->FConn,
      "SELECT a.attrelid, a.attnum, a.attname, a.attnotnull, a.attgenerated <> '', "
      "a.attidentity, COALESCE(a.attnum = ANY (i.indkey), false), c.relname, a.atthasdef "
      "FROM pg_catalog.pg_attribute a "
      "JOIN pg_catalog.pg_class c ON c.oid = a.attrelid "
      "LEFT JOIN pg_catalog.pg_index i ON i.indrelid = a.attrelid AND i.indisprimary "
      "WHERE a.attrelid = ANY ($1::oid[]) AND a.attnum > 0 AND NOT a.attisdropped",
      1, nullptr, values, nullptr, nullptr, 0));
  for (int row = 0; row < PQntuples(r.get()); ++row) {
    auto flag = [&](int Column) { return PQgetvalue(r.get(), row, Column)[0] == 't'; };
    const char identity = PQgetvalue(r.get(), row, 5)[0];
    TBaseColumn& b = columns[{static_cast<Oid>(std::stoul(PQgetvalue(r.get(), row, 0))),
                              std::stoi(PQgetvalue(r.get(), row, 1))}];
    b.Name = PQgetvalue(r.get(), row, 2);
    b.Table = PQgetvalue(r.get(), row, 7);
    b.IdentityAlways = identity == 'a';
    b.Facts = {.NotNull = flag(3),
               .FilledByServer = flag(8) || identity != '\0',
               .Generated = flag(4),
               .RefusesValues = identity == 'a',
               .InKey = flag(6)};
  }
  return columns;
}

TPostgreSQLStatement::TColumnTypes TPostgreSQLStatement::ResolveTypes(const PGresult* D) const {
  TColumnTypes t;
  const int n = PQnfields(D);
  for (int i = 0; i < n; ++i) {
    t.Types.push_back(PQftype(D, i));
    t.Mods.push_back(PQfmod(D, i));
  }
  // Domains over domains: a few rounds reach the base type.
  TPostgreSQLConnection* c = Conn();
  for (int round = 0; round < 8; ++round) {
    std::set<Oid> unknown;
    TSQLColumnDesc probe;
    for (Oid type : t.Types)
      if (!MapBuiltin(type, -1, probe) && t.Enums.count(type) == 0) unknown.insert(type);
    if (unknown.empty()) break;
    const std::string arr = OidArray(unknown);
    const char* values[] = {arr.c_str()};
    auto r = c->Check(PQexecParams(c->FConn,
                                   "SELECT oid, typtype, typbasetype, typtypmod FROM "
                                   "pg_catalog.pg_type WHERE oid = ANY ($1::oid[])",
                                   1, nullptr, values, nullptr, nullptr, 0));
    bool changed = false;
    for (int row = 0; row < PQntuples(r.get()); ++row) {
      const Oid oid = static_cast<Oid>(std::stoul(PQgetvalue(r.get(), row, 0)));
      const char kind = PQgetvalue(r.get(), row, 1)[0];
      if (kind == 'e') t.Enums.insert(oid);
      if (kind != 'd') continue;
      const Oid base = static_cast<Oid>(std::stoul(PQgetvalue(r.get(), row, 2)));
      const int baseMod = std::stoi(PQgetvalue(r.get(), row, 3));
      for (std::size_t i = 0; i < t.Types.size(); ++i)
        if (t.Types[i] == oid) {
          t.Types[i] = base;
          if (t.Mods[i] < 0) t.Mods[i] = baseMod;
          changed = true;
        }
    }
    if (!changed) break;
  }
  return t;
}

void TPostgreSQLStatement::DescribeColumns(const PGresult* D) {
  const auto n = static_cast<std::size_t>(PQnfields(D));
  FColumns.assign(n, TSQLColumnDesc{});
  FRetyped.clear();
  FReaders.assign(n, &ReadValue);
  FBytea.assign(n, false);
  FBinaryKinds.assign(n, TBinaryKind::No);
  FTypes.assign(n, 0);
  FMods.assign(n, 0);
  const TBaseColumns base = ReadBaseColumns(D);
  const TColumnTypes types = ResolveTypes(D);
  for (std::size_t k = 0; k < n; ++k) {
    const int i = static_cast<int>(k);
    TSQLColumnDesc& col = FColumns[k];
    FTypes[k] = PQftype(D, i);
    FMods[k] = PQfmod(D, i);
    col.Name = PQfname(D, i);
    // Types the driver does not know by number: enumerations hold labels,
    // which are names of at most 63 bytes; anything else reads as text.
    if (!MapBuiltin(types.Types[k], types.Mods[k], col)) {
      col.DataType = types.Enums.count(types.Types[k]) != 0 ? ftString : ftMemo;
      col.Size = col.DataType == ftString ? 63 : 0;
    }
    FBytea[k] = types.Types[k] == kBytea;
    FBinaryKinds[k] = BinaryKindOf(types.Types[k], types.Enums.count(types.Types[k]) != 0);
    auto it = base.find({PQftable(D, i), PQftablecol(D, i)});
    if (it == base.end()) {
      sqlpolicy::ApplyExpression(col);
      continue;
    }
    col.OriginTable = it->second.Table;
    col.OriginColumn = it->second.Name;
    sqlpolicy::ApplyBaseColumn(col, it->second.Facts);
    if (it->second.IdentityAlways && col.DataType == ftInteger) col.DataType = ftAutoInc;
  }
  // libpq takes one result format for all columns: binary only when every
  // column reads in it. Floats need it to be exact; bytea comes in half the
  // memory of its hex text.
  bool needed = false, binary = true;
  for (std::size_t k = 0; k < n; ++k) {
    const TBinaryKind kind = FBinaryKinds[k];
    needed = needed || kind == TBinaryKind::Float4 || kind == TBinaryKind::Float8 || FBytea[k];
    binary = binary && kind != TBinaryKind::No;
  }
  FBinary = needed && binary;
}

TPostgreSQLStatement::~TPostgreSQLStatement() {
  FBatch.reset();
  if (FConnection == nullptr || Conn()->FClosing) return;
  TPostgreSQLConnection* c = Conn();
  if (FServerOpen) {
    try {
      CloseServerCursor();
    } catch (...) {
      // The server drops the cursor with its session at the latest.
    }
  }
  c->FCursors.erase(std::remove(c->FCursors.begin(), c->FCursors.end(), this), c->FCursors.end());
  if (!FName.empty()) c->FPendingCleanup.push_back("DEALLOCATE " + FName);
  if (!FDeclareName.empty()) c->FPendingCleanup.push_back("DEALLOCATE " + FDeclareName);
  c->Cleanup();
}

void TPostgreSQLStatement::Detach() {
  FBatch.reset();
  FServerOpen = false;
  FState = State::Idle;
  FOnRow = false;
}

void TPostgreSQLStatement::Bind(const TParams* Params, Bound& B) const {
  const std::size_t n = FParamTypes.size();
  const std::size_t given = Params == nullptr ? 0 : static_cast<std::size_t>(Params->Count());
  if (given != n) DatabaseErrorFmt(SParamCountMismatch, {std::to_string(n), std::to_string(given)});
  B.Storage.assign(n, std::string());
  B.Values.assign(n, nullptr);
  B.Lengths.assign(n, 0);
  B.Formats.assign(n, 0);
  for (std::size_t k = 0; k < n; ++k) {
    const TParam& p = *Params->Items(static_cast<int>(k));
    const Variant& v = p.GetValue();
    const Oid target = FParamTypes[k];
    const std::string number = std::to_string(k + 1);
    std::string& s = B.Storage[k];
    switch (v.VarType()) {
      case varEmpty:
      case varNull:
        continue;
      case varBoolean:
        s = v.AsBoolean() ? "true" : "false";
        break;
      case varInteger:
      case varInt64:
        s = std::to_string(v.AsInt64());
        break;
      case varDouble:
        s = sqlvalue::DoubleToText(v.AsFloat());
        break;
      case varBcd:
        s = v.AsBcd();
        break;
      case varDate: {
        s = sqlpolicy::TemporalParamText(v.AsDateTime(), TemporalKindOf(target, p.GetDataType()),
                                         true, static_cast<int>(k + 1));
        // The session's zone is UTC: a zone-aware target is told so.
        if (target == kTimetz) s += "+00";
        if (target == kTimestamptz && !v.AsDateTime().IsInfinite()) {
          std::size_t bc = s.find(" BC");
          s.insert(bc == std::string::npos ? s.size() : bc, "+00");
        }
        break;
      }
      case varString:
        s = v.AsString();
        break;
      case varBytes: {
        const TBytes bytes = v.AsBytes();
        s.assign(bytes.begin(), bytes.end());
        break;
      }
      case varArray:
        DatabaseErrorFmt(SArrayParamNotSupported, {number});
    }
    if (target == kBytea && (v.VarType() == varString || v.VarType() == varBytes)) {
      B.Formats[k] = 1;  // binary: the bytes as they are
      B.Lengths[k] = static_cast<int>(s.size());
    } else if (s.find('\0') != std::string::npos) {
      DatabaseErrorFmt(SParamHasZeroByte, {number});
    }
    B.Values[k] = s.c_str();
  }
}

PGresult* TPostgreSQLStatement::Run(const std::string& Name, const Bound& B) const {
  return PQexecPrepared(Conn()->FConn, Name.c_str(), static_cast<int>(B.Values.size()),
                        B.Values.data(), B.Lengths.data(), B.Formats.data(), FBinary ? 1 : 0);
}

std::int64_t TPostgreSQLStatement::Execute(const TParams* Params) {
  CheckAttached();
  CloseCursor();
  TPostgreSQLConnection* c = Conn();
  Bound b;
  Bind(Params, b);
  TPostgreSQLConnection::Result r;
  if (FCursorable) {
    c->Cleanup();
    r = WithFreshPlan([&] {
      return c->Reading([&] {
        return PQsendQueryPrepared(c->FConn, FName.c_str(), static_cast<int>(b.Values.size()),
                                   b.Values.data(), b.Lengths.data(), b.Formats.data(), 0);
      });
    });
  } else {
    c->ReleaseCursorScope();
    c->Cleanup();
    r = WithFreshPlan([&] {
      const int before = PQtransactionStatus(c->FConn);
      try {
        auto result = c->Check(Run(FName, b));
        c->SyncTransaction(before);
        return result;
      } catch (...) {
        c->SyncTransaction(before);
        throw;
      }
    });
  }
  const std::string_view tag = PQcmdStatus(r.get());
  if (FIsQuery && tag.substr(0, 6) == "SELECT") return 0;
  const char* tuples = PQcmdTuples(r.get());
  return tuples[0] == '\0' ? 0 : std::stoll(tuples);
}

void TPostgreSQLStatement::Open(const TParams* Params) {
  CheckAttached();
  CloseCursor();
  if (!FIsQuery) DatabaseError(SNoResultSet);
  // Each opening starts from the server's types: fields built anew must not
  // inherit an earlier dataset's typed fields.
  for (auto& [index, original] : FRetyped) FColumns[static_cast<std::size_t>(index)] = original;
  FRetyped.clear();
  TPostgreSQLConnection* c = Conn();
  Bound b;
  Bind(Params, b);
  c->Cleanup();
  FLost.clear();
  FOnRow = false;
  FRow = -1;
  FBatchRows = 0;
  FBatchSize = kFirstBatch;
  FServerEnd = false;
  if (FCursorable) {
    WithFreshPlan([&] {
      c->BeginCursorScope();
      try {
        c->Guarded([&] { c->Check(Run(FDeclareName, b)); });
      } catch (...) {
        c->CursorClosed(nullptr);  // ends a reading transaction left without cursors
        throw;
      }
      return 0;
    });
    FServerOpen = true;
    FInTx = PQtransactionStatus(c->FConn) != PQTRANS_IDLE;
    c->CursorOpened(this);
    FState = State::Open;
    // The first rows come now: their description tells whether a table
    // changed under the prepared plan, before anyone builds fields on it.
    FetchBatch();
    if (ShapeChanged(FBatch.get())) DescribeColumns(FBatch.get());
  } else {
    c->ReleaseCursorScope();
    FBatch = WithFreshPlan([&] {
      const int before = PQtransactionStatus(c->FConn);
      try {
        auto result = c->Check(Run(FName, b));
        c->SyncTransaction(before);
        return result;
      } catch (...) {
        c->SyncTransaction(before);
        throw;
      }
    });
    FBatchRows = PQntuples(FBatch.get());
    FServerEnd = true;
  }
  FState = State::Open;
}

bool TPostgreSQLStatement::Next() {
  switch (FState) {
    case State::Idle:
      CheckAttached();
      DatabaseError(SCursorNotOpen);
    case State::AtEnd:
      return false;
    case State::Open:
      break;
  }
  if (FRow + 1 < FBatchRows) {
    ++FRow;
    FOnRow = true;
    return true;
  }
  FOnRow = false;
  if (!FLost.empty()) {
    FRow = FBatchRows;
    DatabaseError(FLost);
  }
  if (!FServerEnd) {
    FetchBatch();
    if (FBatchRows > 0) {
      FRow = 0;
      FOnRow = true;
      return true;
    }
  }
  FBatch.reset();
  FBatchRows = 0;
  FRow = -1;
  FState = State::AtEnd;
  return false;
}

void TPostgreSQLStatement::FetchBatch() {
  TPostgreSQLConnection* c = Conn();
  FBatch.reset();
  FBatchRows = 0;
  const int asked = FBatchSize;
  c->FLastFetchRows = asked;
  const std::string sql = "FETCH FORWARD " + std::to_string(asked) + " FROM " + FCursorName;
  // While other cursors read in the same transaction, a failing FETCH
  // (division by zero in a later row) must end only its own cursor.
  bool others = false;
  if (FInTx && c->FCursorScope)
    for (TPostgreSQLStatement* s : c->FCursors) others = others || (s != this && s->FInTx);
  auto send = [&] {
    return PQsendQueryParams(c->FConn, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr,
                             FBinary ? 1 : 0);
  };
  PGresult* r = nullptr;
  if (others) {
    r = c->Guard(send, nullptr);
  } else if (!FBinary) {
    r = PQexec(c->FConn, sql.c_str());
  } else if (send() != 0) {
    while (PGresult* next = PQgetResult(c->FConn)) {
      PQclear(r);
      r = next;
    }
  }
  if (r == nullptr || PQresultStatus(r) != PGRES_TUPLES_OK) {
    TPostgreSQLConnection::Result hold(r);
    ESQLDatabaseError error = c->ErrorOf(r);
    FServerOpen = false;
    FServerEnd = true;
    const bool inOwnScope = FInTx && c->FCursorScope;
    c->FCursors.erase(std::remove(c->FCursors.begin(), c->FCursors.end(), this), c->FCursors.end());
    if (others && !c->Lost()) {
      // Rolled back to the savepoint: the cursor is failed, the others read on.
      TPostgreSQLConnection::Result close(PQexec(c->FConn, ("CLOSE " + FCursorName).c_str()));
    } else if (inOwnScope) {
      c->AbortCursorScope(error.Message());
    }
    FState = State::Idle;
    throw error;
  }
  FBatch.reset(r);
  FBatchRows = PQntuples(r);
  if (FBatchRows < asked) {
    FServerEnd = true;
    CloseServerCursor();
  }
  // Size the next batch from the bytes per row of this one.
  std::size_t bytes = 0;
  const int cols = PQnfields(r);
  for (int row = 0; row < FBatchRows; ++row)
    for (int col = 0; col < cols; ++col)
      bytes += static_cast<std::size_t>(PQgetlength(r, row, col)) + 16;
  const std::size_t perRow = FBatchRows > 0 ? bytes / static_cast<std::size_t>(FBatchRows) + 1 : 1;
  const std::size_t byBytes = std::max<std::size_t>(1, kBatchBytes / perRow);
  const auto grown = static_cast<std::size_t>(std::max(asked * 2, kSecondBatch));
  FBatchSize = static_cast<int>(std::min<std::size_t>({grown, kMaxBatch, byBytes}));
}

void TPostgreSQLStatement::CloseServerCursor() {
  if (!FServerOpen) return;
  FServerOpen = false;
  TPostgreSQLConnection* c = Conn();
  if (PQtransactionStatus(c->FConn) == PQTRANS_INERROR) {
    // The failed transaction takes a cursor declared in it along; a held
    // one outlives it and is closed once the session takes statements again.
    if (!FInTx) c->FPendingCleanup.push_back("CLOSE " + FCursorName);
  } else {
    TPostgreSQLConnection::Result r(PQexec(c->FConn, ("CLOSE " + FCursorName).c_str()));
  }
  c->CursorClosed(this);
}

void TPostgreSQLStatement::Lose(const std::string& Why) {
  FServerOpen = false;
  FLost = Why;
  TPostgreSQLConnection* c = Conn();
  c->FCursors.erase(std::remove(c->FCursors.begin(), c->FCursors.end(), this), c->FCursors.end());
}

void TPostgreSQLStatement::CloseCursor() {
  if (FState == State::Idle) return;
  FBatch.reset();
  FBatchRows = 0;
  FRow = -1;
  FState = State::Idle;
  FOnRow = false;
  if (FConnection != nullptr) CloseServerCursor();
}

bool TPostgreSQLStatement::IsNull(int Index) {
  CheckRow();
  CheckIndex(Index);
  return PQgetisnull(FBatch.get(), FRow, Index) != 0;
}

bool TPostgreSQLStatement::ReadValue(TSQLStatement* Self, int Index, void* Buffer) {
  auto* s = static_cast<TPostgreSQLStatement*>(Self);
  return s->Read(Index, Buffer);
}

bool TPostgreSQLStatement::Read(int Index, void* Buffer) {
  const TSQLColumnDesc& c = FColumns[static_cast<std::size_t>(Index)];
  if (c.DataType == ftVariant) return ReadDecimal(Index, *static_cast<TVariantCell*>(Buffer));
  if (IsBlobType(c.DataType)) return GetBlob(Index, *static_cast<TBlobByteData*>(Buffer));
  if (PQgetisnull(FBatch.get(), FRow, Index)) return false;
  if (PQfformat(FBatch.get(), Index) == 1) {
    ReadBinary(Index, Buffer);
    return true;
  }
  sqlvalue::PutText(
      c,
      std::string_view(PQgetvalue(FBatch.get(), FRow, Index),
                       static_cast<std::size_t>(PQgetlength(FBatch.get(), FRow, Index))),
      Buffer);
  return true;
}

bool TPostgreSQLStatement::RetypeColumn(int Index, TFieldType Type, int Size, int Precision) {
  if (Index < 0 || static_cast<std::size_t>(Index) >= FColumns.size()) return false;
  TSQLColumnDesc& c = FColumns[static_cast<std::size_t>(Index)];
  // Typed fields of an application read the decimal text as they read any
  // column's text, with their own range errors.
  const bool typed = IsExactNumericType(Type) || IsStringType(Type) || Type == ftFloat ||
                     Type == ftSmallint || Type == ftInteger || Type == ftLargeint;
  if (c.DataType != ftVariant || !typed) return false;
  FRetyped.emplace_back(Index, c);
  c.DataType = Type;
  c.Size = Size;
  c.Precision = Precision;
  return true;
}

bool TPostgreSQLStatement::ReadDecimal(int Index, TVariantCell& Value) {
  if (PQgetisnull(FBatch.get(), FRow, Index)) {
    Value.Clear();
    return false;
  }
  const char* text = PQgetvalue(FBatch.get(), FRow, Index);
  const auto length = static_cast<std::size_t>(PQgetlength(FBatch.get(), FRow, Index));
  // Only unconstrained numerics read into a variant.
  if (PQfformat(FBatch.get(), Index) != 1) {
    Value.SetBytes(vkDecimal, text, length);
    return true;
  }
  std::string decimal;
  if (!NumericText(text, length, decimal))
    sqlvalue::NotValid(Column(Index), "(binary, " + std::to_string(length) + " bytes)");
  Value.SetBytes(vkDecimal, decimal.data(), decimal.size());
  return true;
}

void TPostgreSQLStatement::ReadBinary(int Index, void* Buffer) {
  const TSQLColumnDesc& c = FColumns[static_cast<std::size_t>(Index)];
  const char* data = PQgetvalue(FBatch.get(), FRow, Index);
  const auto length = static_cast<std::size_t>(PQgetlength(FBatch.get(), FRow, Index));
  const std::uint64_t bits = BigEndian(data, std::min<std::size_t>(length, 8));
  const TBinaryKind kind = FBinaryKinds[static_cast<std::size_t>(Index)];
  switch (kind) {
    case TBinaryKind::Float8:
      if (length != 8) break;
      sqlvalue::PutDouble(c, std::bit_cast<double>(bits), Buffer);
      return;
    case TBinaryKind::Float4: {
      if (length != 4) break;
      // The shortest text of the float4, as the server prints it.
      const float f = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
      char text[32];
      const char* end = std::to_chars(text, text + sizeof text, f).ptr;
      if (std::isnan(f)) {
        sqlvalue::PutText(c, "NaN", Buffer);
      } else if (std::isinf(f)) {
        sqlvalue::PutText(c, f > 0 ? "Infinity" : "-Infinity", Buffer);
      } else {
        sqlvalue::PutText(c, std::string_view(text, static_cast<std::size_t>(end - text)), Buffer);
      }
      return;
    }
    case TBinaryKind::Signed:
      if (length == 2) return sqlvalue::PutInt64(c, static_cast<std::int16_t>(bits), Buffer);
      if (length == 4) return sqlvalue::PutInt64(c, static_cast<std::int32_t>(bits), Buffer);
      if (length == 8) return sqlvalue::PutInt64(c, static_cast<std::int64_t>(bits), Buffer);
      break;
    case TBinaryKind::Unsigned:
      if (length == 4) return sqlvalue::PutInt64(c, static_cast<std::int64_t>(bits), Buffer);
      break;
    case TBinaryKind::Bool:
      if (length == 1) return sqlvalue::PutText(c, bits != 0 ? "t" : "f", Buffer);
      break;
    case TBinaryKind::Text:
      return sqlvalue::PutText(c, std::string_view(data, length), Buffer);
    case TBinaryKind::Numeric: {
      std::string text;
      if (!NumericText(data, length, text)) break;
      return sqlvalue::PutText(c, text, Buffer);
    }
    case TBinaryKind::Date: {
      if (length != 4) break;
      const auto days = static_cast<std::int32_t>(bits);
      std::string era;
      if (days == INT32_MAX) return sqlvalue::PutText(c, "infinity", Buffer);
      if (days == INT32_MIN) return sqlvalue::PutText(c, "-infinity", Buffer);
      return sqlvalue::PutText(c, DateText(days, era) + era, Buffer);
    }
    case TBinaryKind::Time:
      if (length != 8) break;
      return sqlvalue::PutText(c, TimeText(static_cast<std::int64_t>(bits)), Buffer);
    case TBinaryKind::Timestamp:
    case TBinaryKind::Timestamptz:
      if (length != 8) break;
      return sqlvalue::PutText(
          c, TimestampText(static_cast<std::int64_t>(bits), kind == TBinaryKind::Timestamptz),
          Buffer);
    case TBinaryKind::Uuid:
      if (length != 16) break;
      return sqlvalue::PutText(c, UuidText(data), Buffer);
    case TBinaryKind::No:
      break;
  }
  // A table changed under the statement into a type without a binary form
  // read here.
  sqlvalue::NotValid(c, "(binary, " + std::to_string(length) + " bytes)");
}

bool TPostgreSQLStatement::GetBlob(int Index, TBlobByteData& Value) {
  CheckRow();
  CheckIndex(Index);
  if (PQgetisnull(FBatch.get(), FRow, Index)) {
    Value.Clear();
    return false;
  }
  const char* text = PQgetvalue(FBatch.get(), FRow, Index);
  const auto length = static_cast<std::size_t>(PQgetlength(FBatch.get(), FRow, Index));
  if (FColumns[static_cast<std::size_t>(Index)].DataType == ftVariant) {
    TVariantCell decimal;
    ReadDecimal(Index, decimal);
    AssignBytes(Value, decimal.View().Data(), decimal.View().Length());
    return true;
  }
  if (!FBytea[static_cast<std::size_t>(Index)] || PQfformat(FBatch.get(), Index) == 1) {
    AssignBytes(Value, text, length);
    return true;
  }
  // bytea_output=hex: "\x" and two digits a byte.
  if (length < 2 || text[0] != '\\' || text[1] != 'x')
    sqlvalue::NotValid(Column(Index), QuotedForMessage(std::string_view(text, length), 16));
  const std::size_t size = (length - 2) / 2;
  if (size == 0) {
    Value = TBlobByteData::Empty();
    return true;
  }
  if (Value.RefCount() != 1 || Value.Length() != size) {
    Value.Clear();
    Value.SetLength(size);
  }
  std::uint8_t* out = Value.MutableData();
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
  };
  for (std::size_t i = 0; i < size; ++i)
    out[i] = static_cast<std::uint8_t>(nibble(text[2 + 2 * i]) * 16 + nibble(text[3 + 2 * i]));
  return true;
}

// ---- connection -------------------------------------------------------------------------

void TPostgreSQLConnection::ResultDeleter::operator()(PGresult* R) const {
  PQclear(R);
}

TPostgreSQLConnection::TPostgreSQLConnection(const TStrings& Params) {
  std::vector<std::pair<std::string, std::string>> settings;
  auto set = [&](const std::string& Key, const std::string& Value) {
    for (auto& s : settings)
      if (s.first == Key) {
        s.second = Value;
        return;
      }
    settings.emplace_back(Key, Value);
  };
  // The connection string first, so that the named parameters override it.
  for (int i = 0; i < Params.Count(); ++i) {
    if (!SameTextAscii(Params.GetName(i), "ConnectionString")) continue;
    const std::string cs = Params.GetValueFromIndex(i);
    if (cs.empty()) continue;
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(cs.c_str(), &error);
    if (options == nullptr) {
      std::string message = error != nullptr ? TrimRightAscii(error) : SInvalidConnectionString;
      PQfreemem(error);
      throw ESQLDatabaseError(message, 0, "08001");
    }
    for (PQconninfoOption* o = options; o->keyword != nullptr; ++o)
      if (o->val != nullptr) set(o->keyword, o->val);
    PQconninfoFree(options);
  }
  std::string userOptions;
  for (int i = 0; i < Params.Count(); ++i) {
    const std::string name = Params.GetName(i);
    const std::string value = Params.GetValueFromIndex(i);
    if (name.empty() || SameTextAscii(name, "ConnectionString")) continue;
    if (SameTextAscii(name, "HostName")) {
      set("host", value);
    } else if (SameTextAscii(name, "Port")) {
      set("port", value);
    } else if (SameTextAscii(name, "Database")) {
      set("dbname", value);
    } else if (SameTextAscii(name, "User_Name")) {
      set("user", value);
    } else if (SameTextAscii(name, "Password")) {
      set("password", value);
    } else {
      set(LowerCaseAscii(name), value);
    }
  }
  for (auto& s : settings)
    if (s.first == "options") userOptions = s.second;
  // The application's own options come last and win.
  set("options",
      userOptions.empty() ? kSessionOptions : std::string(kSessionOptions) + " " + userOptions);
  set("client_encoding", "UTF8");
  bool given = false;
  std::int64_t timeout = 0;
  for (auto& s : settings) {
    if (s.first != "connect_timeout") continue;
    given = true;
    if (!sqlvalue::ParseInt64(TrimAscii(s.second), timeout) || timeout > INT32_MAX)
      DatabaseErrorFmt(SInvalidConnectionParam, {s.second, "connect_timeout"});
  }
  if (!given) {
    set("connect_timeout", kDefaultConnectTimeout);
    timeout = std::atoi(kDefaultConnectTimeout);
  }
  std::vector<const char*> keys, values;
  for (auto& s : settings)
    if (s.second.find('\0') != std::string::npos)
      DatabaseErrorFmt(SConnectionParamZeroByte, {s.first});
  for (auto& s : settings) {
    keys.push_back(s.first.c_str());
    values.push_back(s.second.c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  FConn = Connect(keys.data(), values.data(), static_cast<int>(timeout));
  // Notices (RAISE NOTICE, implicit index creation) are not errors; the
  // library would print them on stderr.
  PQsetNoticeProcessor(
      FConn, [](void*, const char*) {}, nullptr);
}

TPostgreSQLConnection::~TPostgreSQLConnection() {
  // The server drops prepared statements and cursors with the session, so
  // statements going now do no round trips.
  FClosing = true;
  ReleaseStatements();
  PQfinish(FConn);
}

std::unique_ptr<TSQLStatement> TPostgreSQLConnection::NewStatement(const std::string& Text) {
  return std::make_unique<TPostgreSQLStatement>(this, Text);
}

std::string TPostgreSQLConnection::NextName(const char* Prefix) {
  return Prefix + std::to_string(++FNames);
}

ESQLDatabaseError TPostgreSQLConnection::ErrorOf(const PGresult* R) const {
  ESQLDatabaseError error = ServerErrorOf(R);
  if (PQstatus(FConn) != CONNECTION_BAD) return error;
  // Whatever the server said last (57P01 for a terminated backend), the
  // session is gone: that is what the application must learn.
  return ESQLDatabaseError(Format(SConnectionLost, {error.Message()}), 0, "08006",
                           error.GetDetail());
}

ESQLDatabaseError TPostgreSQLConnection::ServerErrorOf(const PGresult* R) const {
  const char* primary = R != nullptr ? PQresultErrorField(R, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  if (primary != nullptr) {
    const char* state = PQresultErrorField(R, PG_DIAG_SQLSTATE);
    const char* detail = PQresultErrorField(R, PG_DIAG_MESSAGE_DETAIL);
    return ESQLDatabaseError(primary, 0, state != nullptr ? state : "",
                             detail != nullptr ? detail : "");
  }
  std::string message = LibpqMessage(PQerrorMessage(FConn));
  if (message.empty() && R != nullptr) message = PQresStatus(PQresultStatus(R));
  return ESQLDatabaseError(message, 0, PQstatus(FConn) == CONNECTION_OK ? "HY000" : "08006");
}

void TPostgreSQLConnection::Raise(const PGresult* R) const {
  throw ErrorOf(R);
}

TPostgreSQLConnection::Result TPostgreSQLConnection::Check(PGresult* R) const {
  Result hold(R);
  if (R == nullptr) Raise(nullptr);
  switch (PQresultStatus(R)) {
    case PGRES_COMMAND_OK:
    case PGRES_TUPLES_OK:
      return hold;
    case PGRES_EMPTY_QUERY:
      DatabaseError(SNoSQLStatement);
    default:
      Raise(R);
  }
}

TPostgreSQLConnection::Result TPostgreSQLConnection::Exec(const std::string& SQL) {
  return Check(PQexec(FConn, SQL.c_str()));
}

bool TPostgreSQLConnection::ReadingWithCursors() const {
  if (!FCursorScope) return false;
  for (TPostgreSQLStatement* s : FCursors)
    if (s->FInTx) return true;
  return false;
}

template <class Body>
void TPostgreSQLConnection::Guarded(Body&& F) {
  if (!ReadingWithCursors()) {
    F();
    return;
  }
  Exec("SAVEPOINT qvl_guard");
  try {
    F();
  } catch (...) {
    Result undo(PQexec(FConn, "ROLLBACK TO SAVEPOINT qvl_guard; RELEASE SAVEPOINT qvl_guard"));
    throw;
  }
  Exec("RELEASE SAVEPOINT qvl_guard");
}

PGresult* TPostgreSQLConnection::Guard(const std::function<int()>& Send, bool* Wrote) {
  // One round trip: the savepoint, the query, its release, and whether the
  // transaction has written since it began.
  auto send = [this](const char* SQL) {
    return PQsendQueryParams(FConn, SQL, 0, nullptr, nullptr, nullptr, nullptr, 0) != 0;
  };
  if (PQenterPipelineMode(FConn) == 0) return nullptr;
  const bool sent =
      send("SAVEPOINT qvl_guard") && Send() != 0 && send("RELEASE SAVEPOINT qvl_guard") &&
      (Wrote == nullptr || send("SELECT pg_catalog.txid_current_if_assigned() IS NOT NULL")) &&
      PQpipelineSync(FConn) != 0;
  Result results[4], error;
  std::size_t count = 0;
  int nulls = 0;
  while (sent) {
    PGresult* r = PQgetResult(FConn);
    if (r == nullptr) {
      // A null ends each query's results; two in a row, nothing more comes.
      if (++nulls > 1 || Lost()) break;
      continue;
    }
    nulls = 0;
    Result hold(r);
    const ExecStatusType status = PQresultStatus(r);
    if (status == PGRES_PIPELINE_SYNC) break;
    if (status == PGRES_FATAL_ERROR && error == nullptr) error = std::move(hold);
    if (status != PGRES_PIPELINE_ABORTED && hold != nullptr && count < 4)
      results[count] = std::move(hold);
    ++count;
  }
  PQexitPipelineMode(FConn);
  const std::size_t last = Wrote == nullptr ? 2 : 3;
  if (sent && error == nullptr && results[last] != nullptr) {
    if (Wrote != nullptr) *Wrote = PQgetvalue(results[3].get(), 0, 0)[0] == 't';
    return results[1].release();
  }
  if (!Lost() && PQtransactionStatus(FConn) == PQTRANS_INERROR)
    Result undo(PQexec(FConn, "ROLLBACK TO SAVEPOINT qvl_guard; RELEASE SAVEPOINT qvl_guard"));
  if (!Lost() && PQtransactionStatus(FConn) == PQTRANS_INERROR)
    AbortCursorScope(ErrorOf(error.get()).Message());
  return error.release();
}

TPostgreSQLConnection::Result TPostgreSQLConnection::Reading(const std::function<int()>& Send) {
  if (!ReadingWithCursors()) {
    ReleaseCursorScope();
    if (Send() == 0) Raise(nullptr);
    Result last;
    while (PGresult* r = PQgetResult(FConn)) last.reset(r);
    return Check(last.release());
  }
  bool wrote = false;
  Result r(Guard(Send, &wrote));
  if (r == nullptr || PQresultStatus(r.get()) == PGRES_FATAL_ERROR) Raise(r.get());
  // A query that wrote (a function that inserts, SELECT INTO) commits now,
  // as it would have outside the reading transaction; when that commit
  // fails (a cursor's rest fails as the server computes it), its changes
  // are gone, and it must not pass for done.
  std::string why;
  if (wrote && !ReleaseCursorScope(&why))
    throw ESQLDatabaseError(Format(SReadingCommitFailed, {why}), 0, "40000");
  return Check(r.release());
}

void TPostgreSQLConnection::BeginCursorScope() {
  if (FCursorScope || PQtransactionStatus(FConn) != PQTRANS_IDLE) return;
  // Each statement run inside sees what it would see on its own; each
  // cursor keeps the snapshot of its DECLARE.
  Exec("BEGIN ISOLATION LEVEL READ COMMITTED");
  FCursorScope = true;
}

bool TPostgreSQLConnection::ReleaseCursorScope(std::string* Why) {
  if (!FCursorScope) return true;
  FCursorScope = false;
  // Committing turns the held cursors into results the server keeps; a
  // query that fails while the server runs it to its end takes them along.
  Result r(PQexec(FConn, "COMMIT"));
  if (r != nullptr && PQresultStatus(r.get()) == PGRES_COMMAND_OK &&
      std::string_view(PQcmdStatus(r.get())) == "COMMIT") {
    TransactionEnded(true, "");
    return true;
  }
  std::string why = r != nullptr && PQresultStatus(r.get()) != PGRES_COMMAND_OK
                        ? ErrorOf(r.get()).Message()
                        : std::string(SCursorLost);
  if (PQtransactionStatus(FConn) != PQTRANS_IDLE) Result(PQexec(FConn, "ROLLBACK"));
  if (Why != nullptr) *Why = why;
  TransactionEnded(false, why == SCursorLost ? why : std::string(SCursorLost) + ": " + why);
  return false;
}

void TPostgreSQLConnection::AbortCursorScope(const std::string& Why) {
  FCursorScope = false;
  Result r(PQexec(FConn, "ROLLBACK"));
  TransactionEnded(false, std::string(SCursorLost) + ": " + Why);
}

void TPostgreSQLConnection::CursorOpened(TPostgreSQLStatement* S) {
  FCursors.push_back(S);
}

void TPostgreSQLConnection::CursorClosed(TPostgreSQLStatement* S) {
  FCursors.erase(std::remove(FCursors.begin(), FCursors.end(), S), FCursors.end());
  if (!FCursorScope) return;
  for (TPostgreSQLStatement* s : FCursors)
    if (s->FInTx) return;
  // The reading transaction has nothing left to read.
  FCursorScope = false;
  const bool failed = PQtransactionStatus(FConn) == PQTRANS_INERROR;
  Result r(PQexec(FConn, failed ? "ROLLBACK" : "COMMIT"));
}

void TPostgreSQLConnection::TransactionEnded(bool Committed, const std::string& Why) {
  std::vector<TPostgreSQLStatement*> cursors = FCursors;
  for (TPostgreSQLStatement* s : cursors) {
    if (!s->FInTx) continue;
    s->FInTx = false;
    if (!Committed) s->Lose(Why);
  }
}

void TPostgreSQLConnection::SyncTransaction(int StatusBefore) {
  if (StatusBefore == PQTRANS_IDLE || PQtransactionStatus(FConn) != PQTRANS_IDLE) return;
  bool any = false;
  for (TPostgreSQLStatement* s : FCursors) any = any || s->FInTx;
  if (!any) return;
  // The application's own COMMIT or ROLLBACK ended the transaction: the
  // server says which cursors lived through it.
  std::set<std::string> alive;
  Result r(PQexec(FConn, "SELECT name FROM pg_catalog.pg_cursors"));
  if (r != nullptr && PQresultStatus(r.get()) == PGRES_TUPLES_OK)
    for (int row = 0; row < PQntuples(r.get()); ++row) alive.insert(PQgetvalue(r.get(), row, 0));
  std::vector<TPostgreSQLStatement*> cursors = FCursors;
  for (TPostgreSQLStatement* s : cursors) {
    if (!s->FInTx) continue;
    s->FInTx = false;
    if (alive.count(s->FCursorName) == 0) s->Lose(SCursorRolledBack);
  }
}

void TPostgreSQLConnection::Cleanup() {
  if (FPendingCleanup.empty() || PQtransactionStatus(FConn) == PQTRANS_INERROR) return;
  std::vector<std::string> pending;
  pending.swap(FPendingCleanup);
  // Inside a transaction a statement already gone (DISCARD ALL) must not
  // take the transaction down with its error.
  const bool inTransaction = PQtransactionStatus(FConn) == PQTRANS_INTRANS;
  for (const std::string& sql : pending) {
    if (inTransaction) Result(PQexec(FConn, "SAVEPOINT qvl_cleanup"));
    Result r(PQexec(FConn, sql.c_str()));
    if (!inTransaction) continue;
    if (r == nullptr || PQresultStatus(r.get()) != PGRES_COMMAND_OK)
      Result(PQexec(FConn, "ROLLBACK TO SAVEPOINT qvl_cleanup"));
    Result(PQexec(FConn, "RELEASE SAVEPOINT qvl_cleanup"));
  }
}

std::int64_t TPostgreSQLConnection::ExecuteDirect(const std::string& SQL) {
  CheckSQLText(SQL);
  if (ReadingWithCursors() && MayBeCursor(SQL) && OneStatement(SQL)) {
    Cleanup();
    Result r = Reading([&] {
      return PQsendQueryParams(FConn, SQL.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0);
    });
    const char* tuples = PQcmdTuples(r.get());
    return PQresultStatus(r.get()) == PGRES_TUPLES_OK || tuples[0] == '\0' ? 0 : std::stoll(tuples);
  }
  ReleaseCursorScope();
  Cleanup();
  const int before = PQtransactionStatus(FConn);
  Result r;
  try {
    r = Exec(SQL);
  } catch (...) {
    SyncTransaction(before);
    throw;
  }
  SyncTransaction(before);
  const char* tuples = PQcmdTuples(r.get());
  if (PQresultStatus(r.get()) == PGRES_TUPLES_OK) return 0;
  return tuples[0] == '\0' ? 0 : std::stoll(tuples);
}

void TPostgreSQLConnection::StartTransaction() {
  ReleaseCursorScope();
  Cleanup();
  if (PQtransactionStatus(FConn) != PQTRANS_IDLE) DatabaseError(SAlreadyInTransaction);
  Exec("BEGIN");
}

void TPostgreSQLConnection::Commit() {
  if (!InTransaction()) DatabaseError(SNotInTransaction);
  Result r;
  try {
    r = Exec("COMMIT");
  } catch (const EDatabaseError& E) {
    // A deferred constraint failed: the server rolled back.
    TransactionEnded(false, std::string(SCursorRolledBack));
    throw;
  }
  if (std::string_view(PQcmdStatus(r.get())) == "ROLLBACK") {
    TransactionEnded(false, SCursorRolledBack);
    throw ESQLDatabaseError(STransactionAborted, 0, "25P02");
  }
  TransactionEnded(true, "");
  Cleanup();
}

void TPostgreSQLConnection::Rollback() {
  if (!InTransaction()) DatabaseError(SNotInTransaction);
  Exec("ROLLBACK");
  TransactionEnded(false, SCursorRolledBack);
  Cleanup();
}

bool TPostgreSQLConnection::InTransaction() {
  const PGTransactionStatusType status = PQtransactionStatus(FConn);
  return !FCursorScope && status != PQTRANS_IDLE && status != PQTRANS_UNKNOWN;
}

bool TPostgreSQLConnection::Lost() const {
  return PQstatus(FConn) == CONNECTION_BAD;
}

std::string TPostgreSQLConnection::StoredProcCall(const std::string& Name,
                                                  const std::vector<TParamType>& Modes) {
  if (Name.empty()) DatabaseError(SNoStoredProcName);
  const std::vector<std::string> parts = SplitSQLName(Name, true);
  const std::string& proc = parts.back();
  const char* values[2] = {proc.c_str(),
                           parts.size() > 1 ? parts[parts.size() - 2].c_str() : nullptr};
  auto r = Check(PQexecParams(
      FConn,
      "SELECT p.prokind FROM pg_catalog.pg_proc p "
      "JOIN pg_catalog.pg_namespace n ON n.oid = p.pronamespace WHERE p.proname = $1 AND "
      "(($2::text IS NULL AND pg_catalog.pg_function_is_visible(p.oid)) OR n.nspname = $2)",
      2, nullptr, values, nullptr, nullptr, 0));
  bool procedure = false;
  for (int row = 0; row < PQntuples(r.get()); ++row)
    procedure = procedure || PQgetvalue(r.get(), row, 0)[0] == 'p';
  // Functions return their output parameters as the columns of their rows;
  // procedures take a NULL in the place of each and return one row.
  std::string args;
  for (TParamType mode : Modes) {
    std::string arg;
    if (mode == ptResult) continue;
    if (mode == ptOutput) {
      if (!procedure) continue;
      arg = "NULL";
    } else {
      arg = "?";
    }
    if (!args.empty()) args += ", ";
    args += arg;
  }
  return (procedure ? "CALL " : "SELECT * FROM ") + QuoteSQLName(parts, GetQuoteChar()) + "(" +
         args + ")";
}

std::unique_ptr<TSQLDriverConnection> OpenPostgreSQLConnection(const TStrings& Params) {
  return std::make_unique<TPostgreSQLConnection>(Params);
}

}  // namespace qvl
