// `qvl render` run as a subprocess: exact bytes on standard output and error,
// exit statuses, JSON shapes and usage errors.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/ToolRunner.h"

namespace {

using qvl::test::TToolRun;
using TRun = TToolRun;

class RenderCommand : public ::testing::Test {
 protected:
  std::filesystem::path File(const std::string& Name, const std::string& Data) {
    return FRunner.File(Name, Data);
  }

  // Runs `qvl render ARGS...` with Input on standard input.
  TRun Render(const std::vector<std::string>& Args, const std::string& Input = "") {
    std::vector<std::string> argv{"render"};
    argv.insert(argv.end(), Args.begin(), Args.end());
    return FRunner.Run(argv, Input);
  }

  qvl::test::TToolRunner FRunner;
  const std::filesystem::path& FDir = FRunner.Dir();
};

const std::string kOrders =
    "select * from orders\r\n"
    "#if (FILTER)\r\n"
    "where %FILTER\r\n"
    "#elseif (MODE = open)\r\n"
    "where status = :STATUS\r\n"
    "#endif\r\n"
    "order by 1\r\n";

TEST_F(RenderCommand, WritesSQLExactlyAndParameterNamesToStandardError) {
  TRun run = Render({"-D", "MODE=OPEN"}, kOrders);
  EXPECT_EQ(run.Code, 0);
  EXPECT_EQ(run.Out, "select * from orders\r\nwhere status = ?\r\norder by 1\r\n");
  EXPECT_EQ(run.Err, "STATUS\n");

  run = Render({"-D", "FILTER=customer = :C and region = :R"}, kOrders);
  EXPECT_EQ(run.Code, 0);
  EXPECT_EQ(run.Out, "select * from orders\r\nwhere customer = ? and region = ?\r\norder by 1\r\n");
  EXPECT_EQ(run.Err, "C\nR\n");

  run = Render({}, "");
  EXPECT_EQ(run.Code, 0);
  EXPECT_EQ(run.Out, "");
  EXPECT_EQ(run.Err, "");
}

TEST_F(RenderCommand, ReadsFileDashOrStandardInput) {
  const auto path = File("query.sql", "select :a from %T");
  TRun fromFile = Render({"-D", "T=t1", path.string()}, "ignored");
  EXPECT_EQ(fromFile.Code, 0);
  EXPECT_EQ(fromFile.Out, "select ? from t1");
  EXPECT_EQ(fromFile.Err, "a\n");

  TRun fromDash = Render({"-", "-D", "T=t2"}, "select %T");
  EXPECT_EQ(fromDash.Code, 0);
  EXPECT_EQ(fromDash.Out, "select t2");
}

TEST_F(RenderCommand, IsBinarySafe) {
  const std::string input("a\r\n\xFF\xFE\x80 :p\r'\x01'", 13);
  TRun run = Render({}, input);
  EXPECT_EQ(run.Code, 0);
  EXPECT_EQ(run.Out, std::string("a\r\n\xFF\xFE\x80 ?\r'\x01'", 12));
  // The text ends at its first NUL byte.
  run = Render({}, std::string("ab\0:c", 5));
  EXPECT_EQ(run.Code, 0);
  EXPECT_EQ(run.Out, "ab");
  EXPECT_EQ(run.Err, "");
}

TEST_F(RenderCommand, CallerMacrosOverrideProcessorMacrosInOrder) {
  TRun run = Render({"-P", "A=1", "-P", "B=2", "-D", "a=3", "-P", "C", "-D", "X=x\ny"},
                    "%A %B #if (C)c#endif %X");
  EXPECT_EQ(run.Code, 0);
  EXPECT_EQ(run.Out, "3 2 cx\ny");
}

TEST_F(RenderCommand, OtherMarkers) {
  TRun run =
      Render({"--param-char", "@", "--macro-char", "&", "-D", "X=@b"}, "select @a, :c, %d, &X, @@");
  EXPECT_EQ(run.Code, 0);
  EXPECT_EQ(run.Out, "select ?, :c, %d, ?, @");
  EXPECT_EQ(run.Err, "a\nb\n");
}

TEST_F(RenderCommand, JsonResult) {
  TRun run = Render({"--json", "-D", "X=:a"}, "select \"q\", :a, %X\n");
  EXPECT_EQ(run.Code, 0);
  EXPECT_EQ(run.Out, "{\"sql\":\"select \\\"q\\\", ?, ?\\n\",\"params\":[\"a\",\"a\"]}\n");
  EXPECT_EQ(run.Err, "");

  run = Render({"--json"}, "select 1");
  EXPECT_EQ(run.Out, "{\"sql\":\"select 1\",\"params\":[]}\n");

  // Bytes that are not UTF-8 still give valid JSON.
  run = Render({"--json"}, "select '\xFF' :\"\xC3\"");
  EXPECT_EQ(run.Code, 0);
  const auto parsed = nlohmann::json::parse(run.Out);
  EXPECT_EQ(parsed["sql"], "select '\xEF\xBF\xBD' ?");
  EXPECT_EQ(parsed["params"], nlohmann::json::array({"\xEF\xBF\xBD"}));
}

TEST_F(RenderCommand, MacroSQLErrors) {
  TRun run = Render({}, "select 1\n#if (a");
  EXPECT_EQ(run.Code, 1);
  EXPECT_EQ(run.Out, "");
  EXPECT_EQ(run.Err, "')' expected\r\nLine: 2, Column: 7\n");

  run = Render({"--json"}, "select 1\n#if (a");
  EXPECT_EQ(run.Code, 1);
  EXPECT_EQ(run.Out, "{\"error\":\"')' expected\",\"line\":2,\"column\":7}\n");
  EXPECT_EQ(run.Err, "");

  run = Render({"--json", "-D", "MODE"}, "#if (MODE)\n\t#error MODE needs a value\n#endif\n");
  EXPECT_EQ(run.Code, 1);
  EXPECT_EQ(run.Out, "{\"error\":\"MODE needs a value\",\"line\":2,\"column\":8}\n");

  run = Render({"--json", "-D", "X=a %Y", "-P", "Y=%X"}, "%X");
  EXPECT_EQ(run.Code, 1);
  EXPECT_EQ(run.Out, "{\"error\":\"Macro 'X' refers back to itself\",\"line\":1,\"column\":1}\n");

  run = Render({"-D", "X=#endif"}, "a %X b");
  EXPECT_EQ(run.Code, 1);
  EXPECT_EQ(run.Out, "");
  EXPECT_EQ(run.Err, "Unexpected directive\r\nLine: 1, Column: 7\n");
}

TEST_F(RenderCommand, UsageErrorsExitWithTwo) {
  const auto path = File("q.sql", "select 1");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--param-char", "ab"},
           {"--param-char", ""},
           {"--macro-char", "%%"},
           {"--macro-char"},
           {"--bogus"},
           {(FDir / "missing.sql").string()},
           {FDir.string()},
           {path.string(), path.string()},
       }) {
    TRun run = Render(args, "select 1");
    EXPECT_EQ(run.Code, 2) << args[0];
    EXPECT_EQ(run.Out, "") << args[0];
    EXPECT_NE(run.Err, "") << args[0];
  }
}

}  // namespace
