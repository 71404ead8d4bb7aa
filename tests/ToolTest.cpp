// The qvl tool's own options, run as a subprocess.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qvl/Version.h"

namespace {

struct ToolRun {
  int Status;
  std::string Out;
};

ToolRun RunTool(const std::string& Args) {
  std::string cmd = std::string(QVL_TOOL_PATH) + " " + Args + " 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  std::array<char, 4096> buf;
  std::size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
  int status = pclose(p);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

}  // namespace

TEST(Tool, VersionAndHelp) {
  ToolRun v = RunTool("--version");
  EXPECT_EQ(v.Status, 0);
  EXPECT_EQ(v.Out, std::string("qvl ") + QVL_VERSION + "\n");
  ToolRun h = RunTool("--help");
  EXPECT_EQ(h.Status, 0);
  EXPECT_NE(h.Out.find("demo"), std::string::npos);
  EXPECT_NE(h.Out.find("render"), std::string::npos);
}

TEST(Tool, UsageErrorsExitWithTwo) {
  EXPECT_EQ(RunTool("--no-such-option").Status, 2);
  EXPECT_EQ(RunTool("no-such-command").Status, 2);
}

// The key lines of each step of the demo, in order.
static void ExpectDemoCycle(const std::string& Db, const char* Driver) {
  for (int run = 0; run < 2; ++run) {  // the tables are made afresh: runs repeat
    ToolRun r = RunTool("demo --db '" + Db + "'");
    ASSERT_EQ(r.Status, 0) << r.Out;
    const char* const lines[] = {
        "made on ",
        Driver,
        "    where city = ?\n    order by id\n   parameters: 1 (CITY = Oslo)",
        "Record count while rows are still read as needed: -1 (not known yet)",
        "Last row, and the count now that every row is read: 200\n"
        "  # 200  id  996  Customer 996       Oslo    Norway   1852.16",
        "  # 198  id  986  Customer 986       Oslo    Norway   1482.96",
        "  # 101  id  501  Customer 501       Oslo    Norway   3537.61",
        "Lookup of the balance of customer 996: 1852.16",
        "  id    6  modified    Ada Lovelace\n  id   11  deleted     Customer 11\n"
        "  id   16  modified    Alan Turing\n  id 1001  inserted    Grace Hopper\n",
        "another connection renamed customer 16 to 'Changed elsewhere'",
        "  id 6, in a transaction: yes\n    update \"qvl_demo_customers\"\n    set\n"
        "    \"name\" = :\"name\"\n    where\n      \"id\" = :\"OLD_id\" and\n"
        "      \"name\" = :\"OLD_name\"",
        "OnUpdateError for id 16: Record not found or changed by another user -> skipped",
        "    insert into \"qvl_demo_customers\"",
        "After ApplyUpdates, in a transaction: no; still in the log:\n"
        "  id   16  modified    Alan Turing\n",
        "The server has customer 6 as 'Ada Lovelace', 11 as '(no row)', 1001 as 'Grace Hopper'.",
        "Applied: the server has customer 16 as 'Alan Turing', updates pending: no",
        "Customer 21's balance 777.31 edited to 0.01: status modified, updates pending: yes\n"
        "After CancelUpdates: balance 777.31, updates pending: no",
        "\"UpdateObject\": \"CustomerUpdate\"",
        "Read back and opened: 199 rows, page size 16, update object CustomerUpdate; the last:\n"
        "  # 199  id  996  Customer 996       Oslo    Norway   1852.16",
    };
    std::size_t at = 0;
    for (const char* line : lines) {
      const std::size_t found = r.Out.find(line, at);
      ASSERT_NE(found, std::string::npos) << "missing, or out of order: " << line << "\n" << r.Out;
      at = found;
    }
  }
}

TEST(Tool, DemoShowsTheWholeCycleOnSQLite) {
  std::string path = ::testing::TempDir() + "qvl_demo_test.sqlite";
  std::remove(path.c_str());
  ExpectDemoCycle(path, "SQLite");
  std::remove(path.c_str());
}

TEST(PostgreSQLTool, DemoShowsTheWholeCycle) {
  const char* uri = std::getenv("QVL_PG_CONNINFO");
  ASSERT_TRUE(uri != nullptr && std::string(uri).rfind("postgresql://", 0) == 0)
      << "QVL_PG_CONNINFO must be a postgresql:// URI (ctest sets it)";
  ExpectDemoCycle(uri, "PostgreSQL");
}
