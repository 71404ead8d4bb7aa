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

// ---- names ----------------------------------------------------------------
// A name is a list of parts (schema, table) as the database's catalog holds
// them. FoldLower: the database folds unquoted names to lower case
// (PostgreSQL); otherwise they keep their case (SQLite).

// A name given by the application (a table, a stored procedure): parts
// separated by dots, each written plainly (blanks around it dropped, folded
// when FoldLower) or in double quotes (a doubled quote standing for one).
// Never SQL: whatever the text, it names one object. EDatabaseError
// (SInvalidSQLName) for an empty part, an unclosed quote or text after a
// closing quote.
std::vector<std::string> SplitSQLName(const std::string& Name, bool FoldLower);
// Every part enclosed in Quote ('"' when empty) with embedded Quote
// characters doubled, joined with dots.
std::string QuoteSQLName(const std::vector<std::string>& Parts, const std::string& Quote);
// The catalog form handed to update-SQL generation (PSGetTableName, field
// Origin): the parts joined with dots as they are when each is a plain
// identifier (an ASCII letter or "_", then letters, digits and "_"; no upper
// case when FoldLower), otherwise every part in double quotes, so that the
// name survives being split at dots. Empty for no parts.
std::string CatalogSQLName(const std::vector<std::string>& Parts, bool FoldLower);

// The table a plain SELECT reads: one table in FROM, no join, union,
// subquery in FROM or WITH; its parts, empty when the statement is anything
// else.
std::vector<std::string> SimpleSelectTableParts(const std::string& SQL, bool FoldLower);
// The same in catalog form.
std::string SimpleSelectTable(const std::string& SQL, bool FoldLower);
// An application's table name in catalog form; empty when it is not a
// valid name.
std::string NormalizeTableName(const std::string& Name, bool FoldLower);

}  // namespace qvl
