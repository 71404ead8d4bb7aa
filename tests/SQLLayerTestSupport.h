#pragma once
// Shared set-up of the SQL layer tests: each test runs on a database of its
// own, a temporary SQLite file or a schema of its own on the PostgreSQL
// server named by QVL_PG_CONNINFO (which the ctest fixture starts; see
// scripts/pg-test-cluster). Without that variable the PostgreSQL tests fail
// and say why: they are never skipped.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "qvl/host/runtime/Exceptions.h"
#include "qvl/host/sqlclient/SQLConnection.h"
#include "qvl/host/sqlclient/SQLDataSet.h"
#include "qvl/host/sqlclient/SQLDriver.h"

namespace qvl::test {

// QVL_PG_CONNINFO_FILE names a file holding it instead, when the server's
// port is chosen as it starts (the pooled run): its first line, and the
// lines after it the driver's parameters (Pooling=Transaction).
inline const std::vector<std::string>& PostgreSQLConnInfoFile() {
  static const std::vector<std::string> lines = [] {
    std::vector<std::string> read;
    const char* file = std::getenv("QVL_PG_CONNINFO_FILE");
    if (file == nullptr) return read;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) read.push_back(line);
    return read;
  }();
  return lines;
}

inline const char* PostgreSQLConnInfo() {
  const auto& file = PostgreSQLConnInfoFile();
  return file.empty() ? std::getenv("QVL_PG_CONNINFO") : file[0].c_str();
}

// "Transaction" when the tests run through a transaction pooler
// (QVL_PG_POOLING, or the parameter Pooling in the conninfo file):
// settings cannot go in the options then, so each test logs in as a role of
// its own, whose default search path ("$user") finds the test's schema of
// the same name.
inline std::string PostgreSQLPooling() {
  const char* p = std::getenv("QVL_PG_POOLING");
  if (p != nullptr) return p;
  for (const std::string& line : PostgreSQLConnInfoFile())
    if (line.rfind("Pooling=", 0) == 0) return line.substr(8);
  return "";
}

inline std::string UniqueName(const char* Prefix) {
  static int counter = 0;
  return std::string(Prefix) + std::to_string(::getpid()) + "_" + std::to_string(++counter);
}

// One database for one test: connections to it, and cleaning up after.
class TestDatabase {
 public:
  explicit TestDatabase(const std::string& Driver) : FDriver(Driver) {
    if (Driver == "PostgreSQL") {
      const char* info = PostgreSQLConnInfo();
      if (info == nullptr || *info == '\0') {
        ADD_FAILURE() << "QVL_PG_CONNINFO is not set: run the tests through ctest, which starts a "
                         "throwaway server (scripts/pg-test-cluster start DIR prints the value)";
        return;
      }
      FConnInfo = info;
      FSchema = UniqueName("qvl_t");
      auto admin = NewConnection(false);
      if (!PostgreSQLPooling().empty())
        admin->ExecuteDirect("CREATE ROLE " + FSchema + " LOGIN SUPERUSER");
      admin->ExecuteDirect("CREATE SCHEMA " + FSchema +
                           (PostgreSQLPooling().empty() ? "" : " AUTHORIZATION " + FSchema));
    } else {
      FFile = (std::filesystem::temp_directory_path() / (UniqueName("qvl_sql_") + ".db")).string();
    }
    FReady = true;
  }

  ~TestDatabase() {
    if (!FReady) return;
    if (FDriver == "PostgreSQL") {
      try {
        auto admin = NewConnection(false);
        admin->ExecuteDirect("DROP SCHEMA " + FSchema + " CASCADE");
        if (!PostgreSQLPooling().empty())
          admin->ExecuteDirect("DROP OWNED BY " + FSchema + "; DROP ROLE " + FSchema);
      } catch (const std::exception& E) {
        ADD_FAILURE() << "dropping the test schema: " << E.what();
      }
    } else {
      std::error_code ignored;
      for (const char* suffix : {"", "-journal", "-wal", "-shm"})
        std::filesystem::remove(FFile + suffix, ignored);
    }
  }

  bool Ready() const { return FReady; }
  bool IsPostgreSQL() const { return FDriver == "PostgreSQL"; }
  const std::string& Schema() const { return FSchema; }
  const std::string& File() const { return FFile; }

  std::unique_ptr<TSQLConnection> NewConnection(bool InSchema = true) const {
    auto c = std::make_unique<TSQLConnection>();
    c->SetDriverName(FDriver);
    if (FDriver == "PostgreSQL") {
      c->SetConnectionString(FConnInfo);
      if (!PostgreSQLPooling().empty()) {
        c->Params().Add("Pooling=" + PostgreSQLPooling());
        if (InSchema) c->Params().Add("User_Name=" + FSchema);
      } else if (InSchema) {
        c->Params().Add("options=-c search_path=" + FSchema);
      }
    } else {
      c->Params().Add("Database=" + FFile);
      // The SQL layer's tests check the mapping of declared types; the
      // default that keeps SQLite's storage classes has its own tests.
      c->Params().Add("ColumnTypes=Declared");
    }
    c->Open();
    return c;
  }

 private:
  std::string FDriver, FConnInfo, FSchema, FFile;
  bool FReady = false;
};

// Parameterised over the driver name; each test gets Db and an open Conn.
class SQLLayerTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    Db = std::make_unique<TestDatabase>(GetParam());
    ASSERT_TRUE(Db->Ready());
    Conn = Db->NewConnection();
  }
  void TearDown() override {
    Conn.reset();
    Db.reset();
  }

  bool PG() const { return Db->IsPostgreSQL(); }
  std::int64_t Exec(const std::string& SQL) { return Conn->ExecuteDirect(SQL); }

  std::unique_ptr<TSQLQuery> Query(const std::string& SQL, TSQLConnection* C = nullptr) {
    auto q = std::make_unique<TSQLQuery>();
    q->SetSQLConnection(C != nullptr ? C : Conn.get());
    q->SQL().SetText(SQL);
    return q;
  }

  std::unique_ptr<TestDatabase> Db;
  std::unique_ptr<TSQLConnection> Conn;
};

// The message of the EDatabaseError that Body raises, or "no error".
template <class Body>
std::string MessageOf(Body&& F) {
  try {
    F();
  } catch (const EDatabaseError& E) {
    return E.Message();
  }
  return "no error";
}

inline std::string DriverName(const ::testing::TestParamInfo<const char*>& Info) {
  return Info.param;
}

}  // namespace qvl::test

// Instantiates a SQLLayerTest descendant once per driver; the PostgreSQL
// instances are named PostgreSQL/..., which the ctest fixture filter uses.
#define QVL_SQL_LAYER_SUITE(Suite)                                                               \
  INSTANTIATE_TEST_SUITE_P(SQLite, Suite, ::testing::Values("SQLite"), ::qvl::test::DriverName); \
  INSTANTIATE_TEST_SUITE_P(PostgreSQL, Suite, ::testing::Values("PostgreSQL"),                   \
                           ::qvl::test::DriverName)
