// libFuzzer target: the SQL text scanner, that is marker rewriting and
// parameter parsing, statement words, table-name extraction and name
// quoting, under both databases' lexical rules.
//
// Input layout: byte 0 is a mode (bit 0: SQLite's rules instead of
// PostgreSQL's), then the SQL text up to the first 0x1E byte, then name
// parts separated by 0x1F.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "qvl/host/dataset/Params.h"
#include "qvl/host/drivers/PostgreSQLTypes.h"
#include "qvl/host/runtime/Exceptions.h"
#include "qvl/host/sqlclient/SQLText.h"

namespace {

void Check(bool Condition) {
  if (!Condition) std::abort();
}

std::vector<std::string> Parts(std::string_view In) {
  std::vector<std::string> parts;
  while (true) {
    const std::size_t end = In.find('\x1F');
    parts.emplace_back(In.substr(0, end));
    if (end == std::string_view::npos) break;
    In.remove_prefix(end + 1);
  }
  return parts;
}

bool Usable(const std::vector<std::string>& Parts) {
  for (const std::string& p : Parts)
    if (p.empty() || p.find('\0') != std::string::npos) return false;
  return !Parts.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  std::string_view in(reinterpret_cast<const char*>(Data), Size);
  unsigned mode = 0;
  if (!in.empty()) {
    mode = static_cast<unsigned char>(in[0]);
    in.remove_prefix(1);
  }
  const bool sqlite = (mode & 1) != 0;
  const qvl::TSQLDialect dialect = sqlite ? qvl::TSQLDialect::SQLite : qvl::TSQLDialect::PostgreSQL;
  const std::size_t separator = in.find('\x1E');
  const std::string text(in.substr(0, separator));

  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::size_t end = qvl::SkipSQLLiteral(text, i, dialect);
    Check(end >= i && end <= text.size());
  }
  int count = -1;
  const std::string rewritten = qvl::RewritePostgreSQLMarkers(text, count);
  Check(count >= 0);
  if (text.find('?') == std::string::npos) Check(rewritten == text);
  qvl::SQLCodeWords(text, dialect);
  qvl::TParams params;
  const std::string parsed = qvl::ParseSQLParams(text, &params, dialect);
  Check(parsed.size() <= text.size() + static_cast<std::size_t>(params.Count()));

  // A table name read from text comes back whole through its catalog form.
  const std::vector<std::string> table = qvl::SimpleSelectTableParts(text, !sqlite);
  if (Usable(table))
    Check(qvl::SplitSQLName(qvl::CatalogSQLName(table, !sqlite), !sqlite) == table);

  // Any name, quoted, is read back as the same parts.
  if (separator != std::string_view::npos) {
    const std::vector<std::string> parts = Parts(in.substr(separator + 1));
    if (Usable(parts)) {
      Check(qvl::SplitSQLName(qvl::QuoteSQLName(parts, "\""), !sqlite) == parts);
      Check(qvl::SplitSQLName(qvl::CatalogSQLName(parts, !sqlite), !sqlite) == parts);
    }
    try {
      qvl::SplitSQLName(std::string(in.substr(separator + 1)), !sqlite);
    } catch (const qvl::EDatabaseError&) {
      // not a name: refused, which is all that is asked
    }
  }
  return 0;
}
