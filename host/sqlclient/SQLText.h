#pragma once
// Reading SQL text without a parser: where quoted runs and comments begin
// and end, parameter markers, and the table of a plain single-table SELECT.
//
// Quoted runs are '...' (with E'...' backslash escapes), "...", and
// $tag$...$tag$ bodies; comments are -- to the end of the line and /* */,
// which nest. Nothing inside them is ever taken for a marker or a keyword.

#include <string>
#include <vector>

namespace qvl {

class TParams;

// The end of the quoted run or comment that starts at Index, or Index when
// none starts there.
std::size_t SkipSQLLiteral(const std::string& SQL, std::size_t Index);

// The words outside quoted runs and comments, upper-cased, in order.
std::vector<std::string> SQLCodeWords(const std::string& SQL);

// The statement with each ":name" marker (":"quoted name"" too) turned into
// "?"; Into, when given, is cleared and receives one input parameter per
// marker in text order, named after it, unnamed for "?" markers. "::" (a
// cast) and "??" (a literal question mark) are left as they are.
std::string ParseSQLParams(const std::string& SQL, TParams* Into);

// The table a plain SELECT reads: one table in FROM, no join, union,
// subquery in FROM or WITH. Unquoted parts as written, or folded to lower
// case when FoldLower; quoted parts without their quotes. Empty when the
// statement is anything else.
std::string SimpleSelectTable(const std::string& SQL, bool FoldLower);

// A table name as the server knows it (see SimpleSelectTable's folding).
std::string NormalizeTableName(const std::string& Name, bool FoldLower);

}  // namespace qvl
