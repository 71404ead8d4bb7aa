#pragma once
// What the Qt tests share: a customers table like the demo's in a temporary
// SQLite file, and a handler that keeps the model tester's complaints.

#include <unistd.h>

#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "qvl/host/sqlclient/SQLConnection.h"

namespace qvl::test {

// Rows 1..Count: name "Customer N", city null for every seventh, balance N.25.
class TCustomersFile {
 public:
  explicit TCustomersFile(int Count) {
    char pattern[] = "/tmp/qvl-qt-XXXXXX";
    const int fd = mkstemp(pattern);
    close(fd);
    FPath = pattern;
    TSQLConnection db(nullptr);
    db.SetDriverName("SQLite");
    db.Params().Add("Database=" + FPath);
    db.Open();
    db.ExecuteDirect(
        "create table customers (id integer primary key, name varchar(40) not null, city "
        "varchar(30),"
        " balance numeric(12,2), joined date)");
    db.ExecuteDirect("begin");
    for (int i = 1; i <= Count; ++i)
      db.ExecuteDirect("insert into customers values (" + std::to_string(i) + ", 'Customer " +
                       std::to_string(i) + "', " +
                       (i % 7 == 0 ? std::string("null") : "'City " + std::to_string(i % 5) + "'") +
                       ", " + std::to_string(i) + ".25, '2024-01-" + (i % 28 < 9 ? "0" : "") +
                       std::to_string(1 + i % 28) + "')");
    db.ExecuteDirect("commit");
  }
  ~TCustomersFile() { std::remove(FPath.c_str()); }
  const std::string& Path() const { return FPath; }
  // One value read straight from the file.
  std::string Scalar(const std::string& SQL) const {
    TSQLConnection db(nullptr);
    db.SetDriverName("SQLite");
    db.Params().Add("Database=" + FPath);
    db.Open();
    TSQLQuery q(nullptr);
    q.SetSQLConnection(&db);
    q.SQL().SetText(SQL);
    q.Open();
    return q.Fields()[0]->GetAsString();
  }

 private:
  std::string FPath;
};

// Collects warnings (the model tester's complaints) while it lives.
class TWarningCollector {
 public:
  TWarningCollector() { FPrevious = qInstallMessageHandler(&Handle); }
  ~TWarningCollector() { qInstallMessageHandler(FPrevious); }
  static std::vector<std::string>& Messages() {
    static std::vector<std::string> messages;
    return messages;
  }

 private:
  static void Handle(QtMsgType Type, const QMessageLogContext&, const QString& Message) {
    if (Type != QtDebugMsg && Type != QtInfoMsg) Messages().push_back(Message.toStdString());
  }
  QtMessageHandler FPrevious;
};

}  // namespace qvl::test
