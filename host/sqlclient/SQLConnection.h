#pragma once
// TSQLConnection: a component that holds one database session.
//
// The driver is chosen by name (DriverName: "SQLite" or "PostgreSQL") and
// opened with the NAME=VALUE lines of Params plus ConnectionString (see
// host/drivers/SQLiteDriver.h and host/drivers/PostgreSQLDriver.h for the names each driver
// reads). Params and ConnectionString are read when the connection opens;
// DriverName and ConnectionString cannot change while it is open.
//
// Datasets that name the connection register with it. Closing the
// connection closes them and releases their prepared statements first;
// destroying it also detaches them (their SQLConnection becomes null).
// A dataset that opens or a provider call that needs the session opens the
// connection on demand.
//
// A session the server ended (a terminated backend, a restart, a failover)
// leaves the connection not Connected, its datasets open. While any is
// open, what needs the session raises ESQLDatabaseError with SQLSTATE 08003
// until the application connects again (SetConnected(true), Open): that
// keeps every dataset open with its records, bookmarks and pending updates;
// only what lived in the session is gone (its transaction, prepared
// statements, the server cursors of datasets still being read, which raise
// when they next read on and read again once refreshed).
//
// Set Connected while the component is being loaded and it connects when
// loading ends. An error raised while connecting shows no password
// (HidePasswords).

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qvl/host/dataset/Params.h"
#include "qvl/host/runtime/Component.h"
#include "qvl/host/runtime/Strings.h"

#pragma GCC visibility push(default)

namespace qvl {

class TCustomSQLDataSet;
class TSQLDriverConnection;

// Text with every password that ConnectionString and Params carry shown as
// "***", for a message that may quote them: the password of a URI's user
// info (postgresql://, or any SCHEME://) and of its query string's
// password=, a keyword/value string's password (quoted or not), and the
// Password lines of Params and the passwords of their ConnectionString
// lines. Each is hidden as written and as decoded (percent escapes, the
// quotes' backslashes). Malformed strings are read as far as they go, so
// that what a client library echoes of them is hidden too: a URI's user
// info runs to its last "@", and the pieces of a password that holds "@" or
// "/" are hidden one by one.
std::string HidePasswords(std::string Text, std::string_view ConnectionString,
                          const TStrings* Params = nullptr);

class TSQLConnection : public TComponent {
 public:
  explicit TSQLConnection(TComponent* AOwner = nullptr);
  ~TSQLConnection() override;

  const std::string& GetDriverName() const { return FDriverName; }
  void SetDriverName(const std::string& Value);
  const std::string& GetConnectionString() const { return FConnectionString; }
  void SetConnectionString(const std::string& Value);
  TStringList& Params() { return FParams; }
  const TStringList& Params() const { return FParams; }

  // False also once the session was lost; SetConnected(true) (or Open)
  // then connects again, keeping the datasets open.
  bool GetConnected() const;
  void SetConnected(bool Value);
  void Open() { SetConnected(true); }
  void Close() { SetConnected(false); }

  void StartTransaction();
  void Commit();
  void Rollback();
  bool InTransaction() const;

  // Runs SQL (several statements allowed, no parameters); the rows the last
  // statement affected.
  std::int64_t ExecuteDirect(const std::string& SQL);
  // Runs one statement with "?" markers bound to Params in order.
  std::int64_t Execute(const std::string& SQL, const TParams* Params);

  // The identifier quote: one character, or empty.
  std::string GetQuoteChar() const;

  int DataSetCount() const { return static_cast<int>(FDataSets.size()); }
  TCustomSQLDataSet* DataSets(int Index) const;
  void CloseDataSets();

  // The open session; raises when the connection is closed.
  TSQLDriverConnection& Driver() const;

  const TNotifyEvent& GetBeforeConnect() const { return FBeforeConnect; }
  void SetBeforeConnect(TNotifyEvent Value) { FBeforeConnect = std::move(Value); }
  const TNotifyEvent& GetAfterConnect() const { return FAfterConnect; }
  void SetAfterConnect(TNotifyEvent Value) { FAfterConnect = std::move(Value); }
  const TNotifyEvent& GetBeforeDisconnect() const { return FBeforeDisconnect; }
  void SetBeforeDisconnect(TNotifyEvent Value) { FBeforeDisconnect = std::move(Value); }
  const TNotifyEvent& GetAfterDisconnect() const { return FAfterDisconnect; }
  void SetAfterDisconnect(TNotifyEvent Value) { FAfterDisconnect = std::move(Value); }

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;
  void Loaded() override;

 private:
  friend class TCustomSQLDataSet;
  void RegisterClient(TCustomSQLDataSet* DataSet);
  void UnregisterClient(TCustomSQLDataSet* DataSet);
  void CheckInactive() const;
  void Connect();
  void Disconnect();
  // A new session in place of the lost one, the datasets kept open.
  void Reconnect();
  TSQLDriverConnection& Connected();

  std::string FDriverName;
  std::string FConnectionString;
  TStringList FParams;
  std::unique_ptr<TSQLDriverConnection> FDriver;
  std::vector<TCustomSQLDataSet*> FDataSets;  // registered clients, not owned
  bool FStreamedConnected = false;
  bool FSessionLost = false;  // the datasets outlived a session that is not replaced yet
  TNotifyEvent FBeforeConnect, FAfterConnect, FBeforeDisconnect, FAfterDisconnect;
};

}  // namespace qvl

#pragma GCC visibility pop
