#include "qvl/host/sqlclient/SQLDriver.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "qvl/host/dataset/DBConsts.h"
#include "qvl/host/dataset/VariantCell.h"
#include "qvl/host/drivers/PostgreSQLDriver.h"
#include "qvl/host/drivers/SQLiteDriver.h"
#include "qvl/host/runtime/Strings.h"
#include "qvl/host/sqlclient/SQLColumnPolicy.h"
#include "qvl/host/sqlclient/SQLConsts.h"

namespace qvl {

// ---- TSQLStatement ---------------------------------------------------------------

TSQLStatement::TSQLStatement(TSQLDriverConnection* Connection, std::string Text)
    : FConnection(Connection), FText(std::move(Text)) {}

TSQLStatement::~TSQLStatement() {
  if (FConnection == nullptr) return;
  auto& out = FConnection->FOut;
  out.erase(std::remove(out.begin(), out.end(), this), out.end());
}

const TSQLColumnDesc& TSQLStatement::Column(int Index) const {
  CheckIndex(Index);
  return FColumns[static_cast<std::size_t>(Index)];
}

void TSQLStatement::CheckAttached() const {
  if (FConnection == nullptr) DatabaseError(SConnectionClosed);
}

void TSQLStatement::NoCurrentRow() {
  DatabaseError(SNoCurrentRow);
}

void TSQLStatement::BadIndex(int Index) {
  DatabaseErrorFmt(SColumnIndexError, {std::to_string(Index)});
}

Variant TSQLStatement::GetValue(int Index) {
  const TSQLColumnDesc& c = Column(Index);
  if (IsNull(Index)) return Variant::Null();
  if (c.DataType == ftVariant) {
    TVariantCell cell;
    GetData(Index, &cell);
    return cell.View().ToVariant();
  }
  if (IsBlobType(c.DataType)) {
    TBlobByteData data;
    GetBlob(Index, data);
    return IsMemoType(c.DataType) ? Variant(data.ToString()) : Variant(data.ToBytes());
  }
  const std::size_t size = sqlpolicy::ColumnBufferSize(c);
  std::vector<std::uint8_t> buf(std::max<std::size_t>(size, 8));
  GetData(Index, buf.data());
  auto get = [&](auto v) {
    std::memcpy(&v, buf.data(), sizeof v);
    return v;
  };
  switch (c.DataType) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftGuid:
      return Variant(std::string(reinterpret_cast<const char*>(buf.data())));
    case ftSmallint:
      return Variant(static_cast<std::int32_t>(get(std::int16_t{})));
    case ftWord:
      return Variant(static_cast<std::int32_t>(get(std::uint16_t{})));
    case ftInteger:
    case ftAutoInc:
      return Variant(get(std::int32_t{}));
    case ftLargeint:
      return Variant(get(std::int64_t{}));
    case ftBoolean:
      return Variant(get(std::uint16_t{}) != 0);
    case ftFloat:
    case ftCurrency:
      return Variant(get(double{}));
    case ftBCD:
    case ftFMTBcd:
      return Variant::Bcd(std::string(reinterpret_cast<const char*>(buf.data())));
    case ftDate:
      return Variant(DateFromDays(get(std::int32_t{})));
    case ftTime:
      return Variant(TDateTime::FromMicros(get(std::int64_t{})));
    case ftDateTime:
    case ftTimeStamp:
      return Variant(UnpackDateTime(buf.data()));
    case ftBytes:
      return Variant(TBytes(buf.begin(), buf.begin() + c.Size));
    case ftVarBytes: {
      auto n = get(std::uint16_t{});
      return Variant(TBytes(buf.begin() + 2, buf.begin() + 2 + n));
    }
    default:
      return Variant::Null();
  }
}

// ---- TSQLDriverConnection ----------------------------------------------------------

TSQLDriverConnection::~TSQLDriverConnection() {
  // Drivers release first, while their handles are still open; this catches
  // a driver that forgot, so that no statement keeps a dangling pointer.
  for (TSQLStatement* s : FOut) s->FConnection = nullptr;
}

void TSQLDriverConnection::CheckSQLText(const std::string& SQL) {
  const std::size_t zero = SQL.find('\0');
  if (zero != std::string::npos) DatabaseErrorFmt(SSQLHasZeroByte, {std::to_string(zero + 1)});
}

std::unique_ptr<TSQLStatement> TSQLDriverConnection::Prepare(const std::string& Text) {
  CheckSQLText(Text);
  std::unique_ptr<TSQLStatement> result;
  auto hit = FIdleByText.find(Text);
  if (hit != FIdleByText.end()) {
    result = std::move(*hit->second);
    FIdle.erase(hit->second);
    FIdleByText.erase(hit);
    --FIdleCount;
  } else {
    result = NewStatement(Text);
  }
  FOut.push_back(result.get());
  return result;
}

void TSQLDriverConnection::Recycle(std::unique_ptr<TSQLStatement> Statement) {
  if (!Statement || Statement->FConnection != this) return;
  try {
    Statement->CloseCursor();
  } catch (const EDatabaseError&) {
    return;  // a statement that cannot be reset is not worth keeping
  }
  FOut.erase(std::remove(FOut.begin(), FOut.end(), Statement.get()), FOut.end());
  std::string text = Statement->Text();
  FIdle.push_front(std::move(Statement));
  FIdleByText.emplace(std::move(text), FIdle.begin());
  ++FIdleCount;
  Trim();
}

void TSQLDriverConnection::SetCacheCapacity(std::size_t Value) {
  FCapacity = Value;
  Trim();
}

void TSQLDriverConnection::Trim() {
  // The statement leaves the cache before it is destroyed, so that a
  // failing native release cannot leave a dangling entry behind.
  while (FIdleCount > FCapacity) TakeIdle(std::prev(FIdle.end())).reset();
}

std::unique_ptr<TSQLStatement> TSQLDriverConnection::TakeIdle(Lru::iterator At) {
  auto range = FIdleByText.equal_range((*At)->Text());
  for (auto it = range.first; it != range.second; ++it)
    if (it->second == At) {
      FIdleByText.erase(it);
      break;
    }
  std::unique_ptr<TSQLStatement> taken = std::move(*At);
  FIdle.erase(At);
  --FIdleCount;
  return taken;
}

void TSQLDriverConnection::ReleaseStatements() {
  FIdleByText.clear();
  FIdle.clear();
  FIdleCount = 0;
  std::vector<TSQLStatement*> out;
  out.swap(FOut);
  for (TSQLStatement* s : out) {
    s->Detach();
    s->FConnection = nullptr;
  }
}

namespace {

// Runs each statement as it is added.
class TImmediateBatch : public TSQLBatch {
 public:
  explicit TImmediateBatch(TSQLDriverConnection& Connection) : FConnection(Connection) {}
  void Add(const std::string& SQL, const TParams* Params) override {
    TBatchOutcome& outcome = FOutcomes.emplace_back();
    if (FFailed) return;
    try {
      outcome.Rows = FConnection.Execute(SQL, Params);
    } catch (const EDatabaseError&) {
      outcome.Error = std::current_exception();
      FFailed = true;
    }
    outcome.Run = true;
  }
  void Run(std::vector<TBatchOutcome>& Outcomes) override {
    Outcomes.clear();
    Outcomes.swap(FOutcomes);
    FFailed = false;
  }

 private:
  TSQLDriverConnection& FConnection;
  std::vector<TBatchOutcome> FOutcomes;
  bool FFailed = false;
};

}  // namespace

std::unique_ptr<TSQLBatch> TSQLDriverConnection::NewBatch() {
  return std::make_unique<TImmediateBatch>(*this);
}

std::int64_t TSQLDriverConnection::Execute(const std::string& SQL, const TParams* Params) {
  // The text run last is run again in place: record after record of an
  // apply brings the same one, and taking it out of the cache and putting it
  // back costs as much as binding its values. Nothing a statement runs
  // closes the connection, so the cache keeps it meanwhile. The text run
  // before it counts too: inserts alternate between two texts when some
  // rows leave an optional column null.
  if (FIdle.size() > 1 && FIdle.front()->Text() != SQL) {
    const auto second = std::next(FIdle.begin());
    if ((*second)->Text() == SQL) FIdle.splice(FIdle.begin(), FIdle, second);
  }
  if (!FIdle.empty() && FIdle.front()->Text() == SQL) {
    TSQLStatement& again = *FIdle.front();
    try {
      return again.Execute(Params);
    } catch (const EDatabaseError&) {
      try {
        again.CloseCursor();
      } catch (const EDatabaseError&) {
        // One that cannot be reset is not worth keeping.
        std::unique_ptr<TSQLStatement> gone = TakeIdle(FIdle.begin());
      }
      throw;
    } catch (...) {
      std::unique_ptr<TSQLStatement> gone = TakeIdle(FIdle.begin());
      throw;
    }
  }
  std::unique_ptr<TSQLStatement> s = Prepare(SQL);
  std::int64_t rows;
  try {
    rows = s->Execute(Params);
  } catch (const EDatabaseError&) {
    // A failed execution leaves the statement good for the next record.
    Recycle(std::move(s));
    throw;
  }
  Recycle(std::move(s));
  return rows;
}

std::string TSQLDriverConnection::StoredProcCall(const std::string&,
                                                 const std::vector<TParamType>&) {
  DatabaseError(SNotSupported);
}

std::unique_ptr<TSQLDriverConnection> OpenSQLDriverConnection(const std::string& DriverName,
                                                              const TStrings& Params) {
  if (DriverName.empty()) DatabaseError(SMissingSQLDriver);
  if (SameTextAscii(DriverName, "SQLite")) return OpenSQLiteConnection(Params);
  if (SameTextAscii(DriverName, "PostgreSQL")) return OpenPostgreSQLConnection(Params);
  DatabaseErrorFmt(SUnknownSQLDriver, {DriverName});
}

TSQLStatement::TTextRead TSQLStatement::ReadText(int, char*, std::size_t) {
  return trOther;
}

}  // namespace qvl
