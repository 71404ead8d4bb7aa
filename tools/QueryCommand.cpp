// qvl query: runs one macro SQL statement through a TQVLQuery and prints its
// rows, or the rows it affected.
//
// --db names the database: a postgresql:// (or postgres://) URI, or an
// SQLite file (optionally written sqlite:PATH) that must exist; without it
// an empty in-memory SQLite database. -D lines are the query's macros,
// -P NAME=VALUE the values of its parameters (every parameter of that name;
// the others are null). The text is the SQL argument, or standard input for
// "-".
//
// Rows are printed as they are read: an aligned table whose widths come
// from the header and the first rows, then "(N rows)"; with --json, one
// JSON object a row (null for NULL only); with --csv, RFC 4180 CSV (a
// header line, CR LF line ends, fields quoted when they hold a comma, a
// quote or a line break, an empty text as "" and NULL as nothing). NaN and
// the infinities of every numeric type read "NaN", "Infinity" and
// "-Infinity" in every form. A statement without rows runs once and prints
// the rows it affected: "(N rows affected)", {"rows_affected": N} or a
// one-column CSV.
//
// Any error is one line on standard error and exit 1, with every password
// of --db shown as "***".

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Commands.h"
#include "qvl/components/QVLQuery.h"
#include "qvl/host/runtime/Exceptions.h"
#include "qvl/host/sqlclient/SQLConsts.h"
#include "qvl/macrosql/QVLMacroSQL.h"
#include "qvl/sql/QVLConnection.h"

namespace qvl::tool {

namespace {

struct TQueryOptions {
  std::string Db;
  std::string Pooling;
  std::vector<std::string> Defines;
  std::vector<std::string> Params;
  bool Json = false;
  bool Csv = false;
  std::string SQL;
};

// Rows that set the column widths before the first row is printed.
constexpr int WidthRows = 100;

class TCommandError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

void Connect(TQVLConnection& Connection, const std::string& Db, const std::string& Pooling) {
  if (Db.rfind("postgresql://", 0) == 0 || Db.rfind("postgres://", 0) == 0) {
    Connection.SetDriverName("PostgreSQL");
    Connection.SetConnectionString(Db);
    if (!Pooling.empty()) Connection.Params().Add("Pooling=" + Pooling);
  } else {
    const std::string path = Db.rfind("sqlite:", 0) == 0 ? Db.substr(7) : Db;
    // A mistyped name must not leave a new empty database behind.
    if (path != ":memory:" && !std::filesystem::exists(path))
      throw TCommandError("database file '" + path + "' does not exist");
    Connection.SetDriverName("SQLite");
    Connection.Params().Add("Database=" + path);
  }
  Connection.Open();
}

bool IsNumeric(TFieldType Type) {
  switch (Type) {
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeint:
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftFMTBcd:
      return true;
    default:
      return false;
  }
}

std::string Hex(const TBytes& Bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out = "\\x";
  for (std::uint8_t b : Bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

bool IsBinary(const TField& Field) {
  const TFieldType t = Field.GetDataType();
  return t == ftBytes || t == ftVarBytes || t == ftBlob || t == ftGraphic || t == ftTypedBinary ||
         t == ftOraBlob;
}

// NaN and the infinities of a floating-point value, written as PostgreSQL
// writes them whatever the column's type (JSON has no number for them);
// null for any other value.
const char* NonFiniteName(const TField& Field) {
  double value = 0;
  const TFieldType type = Field.GetDataType();
  if (type == ftFloat || type == ftCurrency) {
    value = Field.GetAsFloat();
  } else if (type == ftVariant) {
    const Variant v = Field.GetAsVariant();
    if (v.VarType() != varDouble) return nullptr;
    value = v.AsFloat();
  } else {
    return nullptr;
  }
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  return nullptr;
}

std::string Text(const TField& Field) {
  if (Field.IsNull()) return "NULL";
  if (IsBinary(Field)) return Hex(Field.GetAsVariant().AsBytes());
  if (const char* name = NonFiniteName(Field)) return name;
  // A variant field shows bytes as bytes and anything else as its text.
  if (Field.GetDataType() == ftVariant) {
    const Variant v = Field.GetAsVariant();
    if (v.VarType() == varBytes) return Hex(v.AsBytes());
  }
  return Field.GetAsString();
}

nlohmann::ordered_json JsonValue(const TField& Field) {
  if (Field.IsNull()) return nullptr;
  if (const char* name = NonFiniteName(Field)) return name;
  switch (Field.GetDataType()) {
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeint:
      return Field.GetAsLargeInt();
    case ftFloat:
    case ftCurrency:
      return Field.GetAsFloat();
    case ftBoolean:
      return Field.GetAsBoolean();
    case ftVariant: {
      const Variant v = Field.GetAsVariant();
      if (v.VarType() == varInt64) return v.AsInt64();
      if (v.VarType() == varDouble) return v.AsFloat();
      return Text(Field);
    }
    default:
      return Text(Field);  // exact decimals, dates and text as text
  }
}

std::string Dump(const nlohmann::ordered_json& Value) {
  return Value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void PrintRow(const std::vector<std::string>& Cells, const std::vector<std::size_t>& Widths,
              const std::vector<bool>& Right) {
  std::string line;
  for (std::size_t i = 0; i < Cells.size(); ++i) {
    if (i > 0) line += " | ";
    const std::size_t pad = Widths[i] > Cells[i].size() ? Widths[i] - Cells[i].size() : 0;
    // The last column is not padded on the right.
    if (Right[i])
      line += std::string(pad, ' ') + Cells[i];
    else
      line += Cells[i] + (i + 1 < Cells.size() ? std::string(pad, ' ') : "");
  }
  std::cout << line << '\n';
}

void PrintTable(TQVLQuery& Query) {
  const int n = Query.Fields().Count();
  std::vector<std::string> header;
  std::vector<std::size_t> widths;
  std::vector<bool> right;
  for (int i = 0; i < n; ++i) {
    header.push_back(Query.Fields()[i]->GetFieldName());
    widths.push_back(header.back().size());
    right.push_back(IsNumeric(Query.Fields()[i]->GetDataType()));
  }
  std::vector<std::vector<std::string>> first;
  long rows = 0;
  auto cells = [&] {
    std::vector<std::string> row;
    for (int i = 0; i < n; ++i) row.push_back(Text(*Query.Fields()[i]));
    return row;
  };
  // A variant column aligns as numbers when the first rows hold numbers only.
  std::vector<bool> variantNumbers(static_cast<std::size_t>(n), true);
  for (; !Query.Eof() && rows < WidthRows; Query.Next(), ++rows) {
    first.push_back(cells());
    for (int i = 0; i < n; ++i) {
      widths[i] = std::max(widths[i], first.back()[i].size());
      const TField& f = *Query.Fields()[i];
      if (f.GetDataType() == ftVariant && !f.IsNull()) {
        const TVarType kind = f.GetAsVariant().VarType();
        if (kind != varInt64 && kind != varDouble && kind != varBcd) variantNumbers[i] = false;
      }
    }
  }
  for (int i = 0; i < n; ++i)
    if (Query.Fields()[i]->GetDataType() == ftVariant) right[i] = variantNumbers[i];
  PrintRow(header, widths, std::vector<bool>(n, false));
  std::string rule;
  for (int i = 0; i < n; ++i) rule += (i > 0 ? "-+-" : "") + std::string(widths[i], '-');
  std::cout << rule << '\n';
  for (const auto& row : first) PrintRow(row, widths, right);
  std::cout.flush();
  for (; !Query.Eof(); Query.Next(), ++rows) {
    PrintRow(cells(), widths, right);
    std::cout.flush();
  }
  std::cout << '(' << rows << (rows == 1 ? " row)" : " rows)") << '\n';
}

void PrintJson(TQVLQuery& Query) {
  for (; !Query.Eof(); Query.Next()) {
    nlohmann::ordered_json row = nlohmann::ordered_json::object();
    for (int i = 0; i < Query.Fields().Count(); ++i)
      row[Query.Fields()[i]->GetFieldName()] = JsonValue(*Query.Fields()[i]);
    std::cout << Dump(row) << '\n' << std::flush;
  }
}

// One CSV field: quoted when it holds a separator, a quote or a line break,
// or is empty (an empty field without quotes is NULL), quotes doubled.
std::string CsvField(const std::string& Value) {
  if (!Value.empty() && Value.find_first_of(",\"\r\n") == std::string::npos) return Value;
  std::string out = "\"";
  for (char c : Value) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + '"';
}

void PrintCsvLine(const std::vector<std::string>& Fields) {
  std::string line;
  for (std::size_t i = 0; i < Fields.size(); ++i) line += (i > 0 ? "," : "") + Fields[i];
  std::cout << line << "\r\n";
}

void PrintCsv(TQVLQuery& Query) {
  const int n = Query.Fields().Count();
  std::vector<std::string> fields;
  for (int i = 0; i < n; ++i) fields.push_back(CsvField(Query.Fields()[i]->GetFieldName()));
  PrintCsvLine(fields);
  for (; !Query.Eof(); Query.Next()) {
    for (int i = 0; i < n; ++i) {
      const TField& f = *Query.Fields()[i];
      fields[static_cast<std::size_t>(i)] = f.IsNull() ? std::string() : CsvField(Text(f));
    }
    PrintCsvLine(fields);
    std::cout.flush();
  }
}

void PrintRowsAffected(std::int64_t Rows, const TQueryOptions& Options) {
  if (Options.Json)
    std::cout << Dump({{"rows_affected", Rows}}) << '\n';
  else if (Options.Csv)
    std::cout << "rows_affected\r\n" << Rows << "\r\n";
  else
    std::cout << '(' << Rows << (Rows == 1 ? " row affected)" : " rows affected)") << '\n';
}

int RunQuery(const TQueryOptions& Options) {
  std::string sql = Options.SQL;
  if (sql == "-") {
    sql.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    if (std::cin.bad()) throw TCommandError("cannot read standard input");
  }
  TQVLConnection connection;
  Connect(connection, Options.Db.empty() ? ":memory:" : Options.Db, Options.Pooling);
  TQVLQuery query;
  query.SetSQLConnection(&connection);
  query.SetUniDirectional(true);
  TStringList macros;
  for (const std::string& line : Options.Defines) macros.Add(line);
  query.SetMacros(macros);
  query.SQL().SetText(sql);
  query.ParseMacroSQL();
  for (const std::string& assignment : Options.Params) {
    const std::size_t eq = assignment.find('=');
    if (eq == std::string::npos || eq == 0)
      throw TCommandError("-P takes NAME=VALUE, got '" + assignment + "'");
    const std::string name = assignment.substr(0, eq);
    query.Params().ParamByName(name);  // raises for a name the query does not use
    for (int i = 0; i < query.Params().Count(); ++i)
      if (SameTextAscii(query.Params()[i]->GetName(), name))
        query.Params()[i]->SetAsString(assignment.substr(eq + 1));
  }
  // Both drivers refuse a statement without rows before running it.
  try {
    query.Open();
  } catch (const EDatabaseError& e) {
    if (e.Message() != SNoResultSet) throw;
    PrintRowsAffected(query.ExecSQL(), Options);
    return std::cout ? 0 : 1;
  }
  if (Options.Json)
    PrintJson(query);
  else if (Options.Csv)
    PrintCsv(query);
  else
    PrintTable(query);
  return std::cout ? 0 : 1;
}

// One line: the message with its line breaks folded.
std::string OneLine(std::string Message) {
  for (char& c : Message)
    if (c == '\r' || c == '\n') c = ' ';
  std::string out;
  for (char c : Message)
    if (!(c == ' ' && !out.empty() && out.back() == ' ')) out += c;
  return out;
}

}  // namespace

void AddQueryCommand(CLI::App& App, Status& Result) {
  auto options = std::make_shared<TQueryOptions>();
  auto* cmd = App.add_subcommand(
      "query", "Run one macro SQL statement and print its rows, or the rows it affected");
  cmd->add_option("--db", options->Db,
                  "postgresql:// URI or SQLite file (default: an empty in-memory database)");
  cmd->add_option("--pooling", options->Pooling,
                  "PostgreSQL behind a pooler: session (the default) or transaction");
  cmd->add_option("-D", options->Defines, "Macro line NAME=VALUE (or NAME); repeatable")
      ->allow_extra_args(false);
  cmd->add_option("-P", options->Params, "Parameter value NAME=VALUE; repeatable")
      ->allow_extra_args(false);
  auto* json = cmd->add_flag("--json", options->Json, "One JSON object a row instead of a table");
  cmd->add_flag("--csv", options->Csv, "RFC 4180 CSV with a header line instead of a table")
      ->excludes(json);
  cmd->add_option("SQL", options->SQL, "Macro SQL text, or - for standard input")->required();
  cmd->callback([options, &Result] {
    try {
      Result.Code = RunQuery(*options);
    } catch (const EQVLMacroSQLError& e) {
      std::cerr << "qvl query: " << OneLine(e.GetErrorText()) << " (line " << e.GetLine()
                << ", column " << e.GetColumn() << ")\n";
      Result.Code = 1;
    } catch (const std::exception& e) {
      // --db may be a URI misread as a file name, quoted whole.
      std::cerr << "qvl query: " << OneLine(HidePasswords(e.what(), options->Db)) << '\n';
      Result.Code = 1;
    }
  });
}

}  // namespace qvl::tool
