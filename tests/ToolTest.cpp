// The qvl tool's own options, run as a subprocess.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

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

TEST(Tool, DemoRunsOverAFreshSQLiteFile) {
  std::string path = ::testing::TempDir() + "qvl_demo_test.sqlite";
  std::remove(path.c_str());
  for (int run = 0; run < 2; ++run) {  // creates the table, then reuses it
    ToolRun r = RunTool("demo --db " + path);
    EXPECT_EQ(r.Status, 0);
    EXPECT_NE(r.Out.find("Last row, and the count now that every row is read: 200"),
              std::string::npos)
        << r.Out;
    EXPECT_NE(r.Out.find("After CancelUpdates: balance 1482.96, updates pending: no"),
              std::string::npos);
  }
  std::remove(path.c_str());
}
