// `qvl render` run as a subprocess: exact bytes on standard output and error,
// exit statuses, JSON shapes and usage errors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct TRun {
  int Code = -1;
  std::string Out;
  std::string Err;
};

std::string ReadFile(const std::filesystem::path& Path) {
  std::ifstream in(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::filesystem::path& Path, const std::string& Data) {
  std::ofstream out(Path, std::ios::binary);
  out.write(Data.data(), static_cast<std::streamsize>(Data.size()));
}

class RenderCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "qvl-render-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    FDir = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(FDir, ignored);
  }

  std::filesystem::path File(const std::string& Name, const std::string& Data) {
    WriteFile(FDir / Name, Data);
    return FDir / Name;
  }

  // Runs `qvl render ARGS...` with Input on standard input.
  TRun Render(const std::vector<std::string>& Args, const std::string& Input = "") {
    const std::string in = (FDir / "stdin").string();
    const std::string out = (FDir / "stdout").string();
    const std::string err = (FDir / "stderr").string();
    WriteFile(in, Input);
    std::vector<std::string> argv{QVL_TOOL_PATH, "render"};
    argv.insert(argv.end(), Args.begin(), Args.end());
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    TRun run;
    if (spawned != 0) {
      ADD_FAILURE() << "cannot start " << raw[0];
      return run;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run.Code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.Out = ReadFile(out);
    run.Err = ReadFile(err);
    return run;
  }

  std::filesystem::path FDir;
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
