// qvl render: shows what a macro SQL text becomes.
//
// The text is read byte for byte from FILE, or from standard input when FILE
// is absent or "-", parsed and built by a processor whose own macros are the
// -P lines and whose markers are --param-char and --macro-char; the -D lines
// are the caller's macros handed to Build. Output: the built SQL on standard
// output exactly and the parameter names on standard error, one a line; or,
// with --json, one object {"sql", "params"} on standard output. A macro SQL
// error exits with 1 (its formatted message on standard error, or
// {"error", "line", "column"} with --json); usage errors exit with 2.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Commands.h"
#include "qvl/host/dataset/Params.h"
#include "qvl/host/runtime/Strings.h"
#include "qvl/macrosql/QVLMacroSQL.h"
#include "qvl/sql/QVLSQLProcessor.h"

namespace qvl::tool {

namespace {

struct TRenderOptions {
  std::vector<std::string> Defines;
  std::vector<std::string> ProcessorMacros;
  std::string ParamChar = ":";
  std::string MacroChar = "%";
  std::string File = "-";
  bool Json = false;
};

// Output goes to a terminal or a pipe as UTF-8 JSON; SQL text may hold any
// bytes, so invalid sequences become U+FFFD instead of failing the dump.
std::string Dump(const nlohmann::ordered_json& Value) {
  return Value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

bool ReadAll(std::FILE* Stream, std::string& Text) {
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, Stream)) > 0) Text.append(buffer, n);
  return std::ferror(Stream) == 0;
}

bool ReadInput(const std::string& File, std::string& Text) {
  if (File == "-") {
    if (ReadAll(stdin, Text)) return true;
    std::cerr << "qvl render: cannot read standard input: " << std::strerror(errno) << '\n';
    return false;
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> stream(std::fopen(File.c_str(), "rb"),
                                                         &std::fclose);
  if (stream && ReadAll(stream.get(), Text)) return true;
  std::cerr << "qvl render: cannot read '" << File << "': " << std::strerror(errno) << '\n';
  return false;
}

int Render(const TRenderOptions& Options) {
  std::string text;
  if (!ReadInput(Options.File, text)) return 1;

  TQVLSQLProcessor processor(nullptr);
  processor.SetParamChar(Options.ParamChar[0]);
  processor.SetMacroChar(Options.MacroChar[0]);
  for (const std::string& line : Options.ProcessorMacros) processor.GetMacros().Add(line);
  TStringList defines;
  for (const std::string& line : Options.Defines) defines.Add(line);

  TParams params;
  std::string sql;
  try {
    const std::unique_ptr<TQVLMacroSQLElement> tree = processor.Parse(text);
    sql = processor.Build(*tree, &defines, &params);
  } catch (const EQVLMacroSQLError& e) {
    if (Options.Json) {
      nlohmann::ordered_json error;
      error["error"] = e.GetErrorText();
      error["line"] = e.GetLine();
      error["column"] = e.GetColumn();
      std::cout << Dump(error) << '\n';
    } else {
      std::cerr << e.what() << '\n';
    }
    return 1;
  }

  if (Options.Json) {
    nlohmann::ordered_json result;
    result["sql"] = sql;
    result["params"] = nlohmann::ordered_json::array();
    for (int i = 0; i < params.Count(); ++i) result["params"].push_back(params[i]->GetName());
    std::cout << Dump(result) << '\n';
  } else {
    std::cout.write(sql.data(), static_cast<std::streamsize>(sql.size()));
    for (int i = 0; i < params.Count(); ++i) std::cerr << params[i]->GetName() << '\n';
  }
  std::cout.flush();
  return std::cout ? 0 : 1;
}

std::string CheckSingleByte(const std::string& Value) {
  return Value.size() == 1 ? std::string() : "must be exactly one byte, got '" + Value + "'";
}

std::string CheckInputFile(const std::string& Value) {
  return Value == "-" ? std::string() : CLI::ExistingFile(Value);
}

}  // namespace

void AddRenderCommand(CLI::App& App, Status& Result) {
  auto options = std::make_shared<TRenderOptions>();
  auto* cmd =
      App.add_subcommand("render", "Show the SQL and parameters that a macro SQL text builds to");
  cmd->add_option("-D", options->Defines,
                  "Macro line NAME=VALUE (or NAME) handed to Build; repeatable")
      ->allow_extra_args(false);
  cmd->add_option("-P", options->ProcessorMacros,
                  "Macro line NAME=VALUE (or NAME) of the processor; repeatable")
      ->allow_extra_args(false);
  cmd->add_option("--param-char", options->ParamChar, "Parameter marker (one byte)")
      ->check(CLI::Validator(CheckSingleByte, "CHAR"));
  cmd->add_option("--macro-char", options->MacroChar, "Macro marker (one byte)")
      ->check(CLI::Validator(CheckSingleByte, "CHAR"));
  cmd->add_flag("--json", options->Json, "Write one JSON object instead of plain text");
  cmd->add_option("FILE", options->File, "Macro SQL text; standard input when absent or -")
      ->check(CLI::Validator(CheckInputFile, "FILE"));
  cmd->callback([options, &Result] {
    try {
      Result.Code = Render(*options);
    } catch (const std::exception& e) {
      std::cerr << "qvl render: " << e.what() << '\n';
      Result.Code = 1;
    }
  });
}

}  // namespace qvl::tool
