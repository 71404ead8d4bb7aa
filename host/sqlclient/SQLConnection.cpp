#include "qvl/host/sqlclient/SQLConnection.h"

#include <algorithm>

#include "qvl/host/sqlclient/SQLConsts.h"
#include "qvl/host/sqlclient/SQLDataSet.h"
#include "qvl/host/sqlclient/SQLDriver.h"

namespace qvl {

namespace {

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

// S with its %XX escapes decoded; a malformed escape stays as written.
std::string PercentDecoded(std::string_view S) {
  std::string out;
  for (std::size_t i = 0; i < S.size(); ++i) {
    const int high = S[i] == '%' && i + 2 < S.size() ? HexDigit(S[i + 1]) : -1;
    const int low = high >= 0 ? HexDigit(S[i + 2]) : -1;
    if (low >= 0) {
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += S[i];
    }
  }
  return out;
}

void AddSecret(std::vector<std::string>& Secrets, std::string_view Raw, std::string Decoded) {
  if (!Raw.empty()) Secrets.emplace_back(Raw);
  if (!Decoded.empty() && Decoded != Raw) Secrets.push_back(std::move(Decoded));
}

void UriPasswords(std::string_view Rest, std::vector<std::string>& Secrets) {
  // A password may hold an unescaped "@": the user info runs to the last.
  const std::size_t at = Rest.rfind('@');
  if (at != std::string_view::npos) {
    const std::string_view userInfo = Rest.substr(0, at);
    const std::size_t colon = userInfo.find(':');
    if (colon != std::string_view::npos) {
      std::string_view raw = userInfo.substr(colon + 1);
      AddSecret(Secrets, raw, PercentDecoded(raw));
      // A client library that ends the user info at the first "@" or "/"
      // echoes the rest as a host, a port or a path: each piece is hidden.
      while (raw.find_first_of("@/") != std::string_view::npos) {
        const std::size_t cut = raw.find_first_of("@/");
        AddSecret(Secrets, raw.substr(0, cut), {});
        raw.remove_prefix(cut + 1);
        if (raw.find_first_of("@/") == std::string_view::npos) AddSecret(Secrets, raw, {});
      }
    }
  }
  const std::size_t query = Rest.find('?');
  if (query == std::string_view::npos) return;
  std::string_view params = Rest.substr(query + 1);
  while (!params.empty()) {
    const std::size_t end = std::min(params.find('&'), params.size());
    const std::string_view item = params.substr(0, end);
    const std::size_t eq = item.find('=');
    if (eq != std::string_view::npos && PercentDecoded(item.substr(0, eq)) == "password") {
      std::string_view raw = item.substr(eq + 1);
      raw = raw.substr(0, raw.find('#'));
      AddSecret(Secrets, raw, PercentDecoded(raw));
    }
    params.remove_prefix(std::min(end + 1, params.size()));
  }
}

// keyword = value pairs: a value is a run of non-blanks or a quoted run in
// which a backslash escapes the next character.
void KeywordValuePasswords(std::string_view Text, std::vector<std::string>& Secrets) {
  std::size_t i = 0;
  auto skipBlanks = [&] {
    while (i < Text.size() && IsBlankAscii(Text[i])) ++i;
  };
  while (i < Text.size()) {
    skipBlanks();
    const std::size_t key = i;
    while (i < Text.size() && Text[i] != '=' && !IsBlankAscii(Text[i])) ++i;
    const std::string_view keyword = Text.substr(key, i - key);
    skipBlanks();
    if (i >= Text.size() || Text[i] != '=') continue;
    ++i;
    skipBlanks();
    std::string_view raw;
    std::string value;
    if (i < Text.size() && Text[i] == '\'') {
      const std::size_t start = ++i;
      for (; i < Text.size() && Text[i] != '\''; ++i) {
        if (Text[i] == '\\' && i + 1 < Text.size()) ++i;
        value += Text[i];
      }
      raw = Text.substr(start, i - start);
      if (i < Text.size()) ++i;
    } else {
      const std::size_t start = i;
      while (i < Text.size() && !IsBlankAscii(Text[i])) ++i;
      raw = Text.substr(start, i - start);
      value = raw;
    }
    if (keyword == "password") AddSecret(Secrets, raw, std::move(value));
  }
}

// A URI of any scheme, whatever its case: a string that a client library
// would refuse as one may still be echoed whole.
void ConnectionStringPasswords(std::string_view Text, std::vector<std::string>& Secrets) {
  const std::size_t scheme = Text.find("://");
  const auto isSchemeChar = [](char C) {
    return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') || C == '+' ||
           C == '-' || C == '.';
  };
  if (scheme != std::string_view::npos && scheme > 0 &&
      std::all_of(Text.begin(), Text.begin() + static_cast<std::ptrdiff_t>(scheme), isSchemeChar))
    UriPasswords(Text.substr(scheme + 3), Secrets);
  else
    KeywordValuePasswords(Text, Secrets);
}

}  // namespace

std::string HidePasswords(std::string Text, std::string_view ConnectionString,
                          const TStrings* Params) {
  std::vector<std::string> secrets;
  ConnectionStringPasswords(ConnectionString, secrets);
  for (int i = 0; Params != nullptr && i < Params->Count(); ++i) {
    const std::string name = TrimAscii(Params->GetName(i));
    if (SameTextAscii(name, "ConnectionString"))
      ConnectionStringPasswords(Params->GetValueFromIndex(i), secrets);
    else if (SameTextAscii(name, "Password"))
      AddSecret(secrets, Params->GetValueFromIndex(i), {});
  }
  // The longer first, so that a password holding another is hidden whole.
  std::sort(secrets.begin(), secrets.end(),
            [](const std::string& A, const std::string& B) { return A.size() > B.size(); });
  for (const std::string& secret : secrets)
    for (std::size_t at = Text.find(secret); at != std::string::npos;
         at = Text.find(secret, at + 3))
      Text.replace(at, secret.size(), "***");
  return Text;
}

TSQLConnection::TSQLConnection(TComponent* AOwner) : TComponent(AOwner) {}

TSQLConnection::~TSQLConnection() {
  // Datasets hear of the removal while the session still runs, so that they
  // close and hand back their statements.
  Destroying();
  while (!FDataSets.empty()) FDataSets.back()->SetSQLConnection(nullptr);
  FBeforeDisconnect = nullptr;
  FAfterDisconnect = nullptr;
  FDriver.reset();
}

void TSQLConnection::CheckInactive() const {
  if (GetConnected()) DatabaseError(SConnectionOpen, this);
}

void TSQLConnection::SetDriverName(const std::string& Value) {
  if (Value == FDriverName) return;
  CheckInactive();
  FDriverName = Value;
}

void TSQLConnection::SetConnectionString(const std::string& Value) {
  if (Value == FConnectionString) return;
  CheckInactive();
  FConnectionString = Value;
}

void TSQLConnection::SetConnected(bool Value) {
  if (IsLoading() && IsReading()) {
    FStreamedConnected = Value;
    return;
  }
  if (Value == GetConnected() && (Value || FDriver == nullptr)) return;
  if (Value && (FSessionLost || (FDriver != nullptr && FDriver->Lost()))) {
    Reconnect();
    return;
  }
  if (FDriver != nullptr || FSessionLost) Disconnect();
  if (Value) Connect();
}

bool TSQLConnection::GetConnected() const {
  return FDriver != nullptr && !FDriver->Lost();
}

void TSQLConnection::Connect() {
  if (FBeforeConnect) FBeforeConnect(this);
  TStringList params;
  params.Assign(FParams);
  if (!FConnectionString.empty()) params.Insert(0, "ConnectionString=" + FConnectionString);
  try {
    FDriver = OpenSQLDriverConnection(FDriverName, params);
  } catch (Exception& e) {
    // A client library may echo what it could not read of the string.
    e.SetMessage(HidePasswords(e.Message(), {}, &params));
    throw;
  }
  if (FAfterConnect) FAfterConnect(this);
}

void TSQLConnection::Disconnect() {
  if (FBeforeDisconnect) FBeforeDisconnect(this);
  std::vector<TCustomSQLDataSet*> clients = FDataSets;
  for (TCustomSQLDataSet* ds : clients) ds->Disconnecting();
  FDriver.reset();
  FSessionLost = false;
  if (FAfterDisconnect) FAfterDisconnect(this);
}

void TSQLConnection::Reconnect() {
  if (FDriver != nullptr) {
    FSessionLost = true;
    std::vector<TCustomSQLDataSet*> clients = FDataSets;
    for (TCustomSQLDataSet* ds : clients) ds->SessionLost();
    // The statements still out are detached: the datasets prepare theirs
    // again on the new session.
    FDriver.reset();
  }
  // A failed attempt leaves the datasets as they are, for the next one.
  Connect();
  FSessionLost = false;
}

void TSQLConnection::Loaded() {
  TComponent::Loaded();
  if (FStreamedConnected) {
    FStreamedConnected = false;
    SetConnected(true);
  }
}

TSQLDriverConnection& TSQLConnection::Driver() const {
  if (GetConnected()) return *FDriver;
  if (FSessionLost || FDriver != nullptr) throw ESQLDatabaseError(SSessionLost, 0, "08003");
  DatabaseError(SConnectionClosed, this);
}

TSQLDriverConnection& TSQLConnection::Connected() {
  // A session lost while datasets are open took their transaction and
  // cursors along: connecting again implicitly in the middle of an
  // operation would carry it on as if nothing had happened. The application
  // reconnects explicitly (SetConnected, Open).
  if (FSessionLost || (FDriver != nullptr && FDriver->Lost())) {
    for (TCustomSQLDataSet* ds : FDataSets)
      if (ds->GetActive()) throw ESQLDatabaseError(SSessionLost, 0, "08003");
  }
  SetConnected(true);
  return *FDriver;
}

void TSQLConnection::StartTransaction() {
  Connected().StartTransaction();
}

void TSQLConnection::Commit() {
  Driver().Commit();
}

void TSQLConnection::Rollback() {
  Driver().Rollback();
}

bool TSQLConnection::InTransaction() const {
  return GetConnected() && FDriver->InTransaction();
}

std::int64_t TSQLConnection::ExecuteDirect(const std::string& SQL) {
  return Connected().ExecuteDirect(SQL);
}

std::int64_t TSQLConnection::Execute(const std::string& SQL, const TParams* Params) {
  return Connected().Execute(SQL, Params);
}

std::string TSQLConnection::GetQuoteChar() const {
  return FDriver != nullptr ? FDriver->GetQuoteChar() : "\"";
}

TCustomSQLDataSet* TSQLConnection::DataSets(int Index) const {
  if (Index < 0 || Index >= DataSetCount()) throw EListError(SDataSetIndexError);
  return FDataSets[static_cast<std::size_t>(Index)];
}

void TSQLConnection::CloseDataSets() {
  std::vector<TCustomSQLDataSet*> clients = FDataSets;
  for (TCustomSQLDataSet* ds : clients) ds->Close();
}

void TSQLConnection::RegisterClient(TCustomSQLDataSet* DataSet) {
  if (std::find(FDataSets.begin(), FDataSets.end(), DataSet) == FDataSets.end())
    FDataSets.push_back(DataSet);
}

void TSQLConnection::UnregisterClient(TCustomSQLDataSet* DataSet) {
  FDataSets.erase(std::remove(FDataSets.begin(), FDataSets.end(), DataSet), FDataSets.end());
}

void TSQLConnection::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation != opRemove) return;
  FDataSets.erase(std::remove_if(FDataSets.begin(), FDataSets.end(),
                                 [&](TCustomSQLDataSet* ds) {
                                   return static_cast<TComponent*>(ds) == AComponent;
                                 }),
                  FDataSets.end());
}

}  // namespace qvl
