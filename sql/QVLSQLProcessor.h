#pragma once
// TQVLSQLProcessor: the settings with which SQL text is processed (its own
// macro values, the parameter and macro markers, Oracle LOB handling) and
// the services that use them: Parse turns macro SQL text into an element
// tree, Build turns a tree, the merged macros and an optional parameter list
// into final SQL text.
//
// Changing a property notifies nobody: users see it the next time they parse
// or build. Trees, merged macro lists and parsers are handed to the caller.
//
// DefaultProcessor is the process-wide processor for components without one
// of their own: created on first use, never destroyed, so a reference to it
// stays valid for the rest of the process, static destruction included.
//
// GenerateDateSetSQL writes the INSERT, UPDATE or DELETE statement for a
// dataset's current record with TQVLDataSetSQLGenerator, using this
// processor's ParamChar and OracleLob.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "qvl/host/dataset/DBTypes.h"
#include "qvl/host/dataset/Params.h"
#include "qvl/host/runtime/Component.h"
#include "qvl/host/runtime/Strings.h"
#include "qvl/macrosql/QVLMacroSQL.h"

#pragma GCC visibility push(default)

namespace qvl {

class ESQLDatabaseError;
class TDataSet;
class TField;

// A table name quoted for a statement, given whether the dataset's names are
// qualified SQL names and its identifier quote (one character or empty):
// a name that begins or ends with a quote character (double quote,
// apostrophe, backquote) is taken as already quoted and returned unchanged;
// otherwise a SQL-based name is cut at its first two dots and each piece
// quoted, any other name quoted whole. A quote character inside a piece is
// doubled, so that no name can end its quotes early.
std::string QuoteTableName(bool SQLBased, const std::string& Quote, const std::string& Name);

// TQVLDataSetSQLGenerator: the INSERT, UPDATE or DELETE statement that
// applies the current record of a dataset to its table, from the dataset's
// fields (provider flags, old and new values, names) and provider
// information. It executes nothing and holds nothing beyond its strings.
//
// The text is macro SQL: each value is a parameter reference named after its
// field, ParamChar then the quoted field name (:"NAME"), and each old value
// one named "OLD_" and the field name (:"OLD_NAME"). Lines end with CR LF.
// A field name that holds a double quote is quoted with an apostrophe, or
// else a backquote, so that the reference still names the field.
//
// The dataset must outlive the generator. Reading metadata happens once, in
// the constructor; UPDATE and DELETE raise EDatabaseError SNoKeySpecified
// when no field qualifies for the WHERE clause.
class TQVLDataSetSQLGenerator : public TObject {
 public:
  explicit TQVLDataSetSQLGenerator(TDataSet& ADataSet);

  char GetParamChar() const noexcept { return FParamChar; }
  void SetParamChar(char Value) noexcept { FParamChar = Value; }
  bool GetOracleLob() const noexcept { return FOracleLob; }
  void SetOracleLob(bool Value) noexcept { FOracleLob = Value; }

  // In the SET list and the INSERT: flagged pfInUpdate, a plain data field
  // of a writable type, not ReadOnly, not hidden, and given a new value.
  bool UseFieldInUpdate(const TField& Field) const;
  // UseFieldInUpdate but for the new value: whether one would put it in.
  bool CanUseFieldInUpdate(const TField& Field) const;
  // In the WHERE clause: a plain data field, chosen by the mode from
  // pfInWhere, pfInKey and whether it was given a new value. Memo and blob
  // fields take part like any other (a change to a text must not go
  // unseen); a field of a type the database cannot compare comes without
  // pfInWhere. Oracle LOBs never do: Oracle has no equality for them.
  bool UseFieldInWhere(const TField& Field, TUpdateMode Mode) const;
  // FullName with each dot-separated piece quoted, without table prefix.
  std::string GetQuotedFullName(const TField& Field) const;
  // The table prefix (not SQL-based datasets only) and the quoted Origin,
  // or FieldName when Origin is empty; an Origin already in quotes is kept.
  std::string GetQuotedOriginalName(const TField& Field) const;

  std::string GenerateWhereSQL(TUpdateMode Mode, const std::string& Alias) const;
  std::string GenerateOracleReturning() const;
  std::string GenerateInsertSQL() const;
  std::string GenerateUpdateSQL(TUpdateMode Mode) const;
  std::string GenerateDeleteSQL(TUpdateMode Mode) const;

 private:
  void InitializeMetadata();
  std::string ParamRef(const TField& Field, bool Old) const;
  std::string QuoteName(const std::string& Name) const;
  void AppendWhere(const TField& Field, TUpdateMode Mode, const std::string& Alias, bool InObject,
                   std::string& Separator, std::string& Where) const;
  std::string InsertValue(const TField& Field) const;
  std::string UpdateItem(const TField& Field, const std::string& Alias, bool InObject,
                         bool InArray) const;

  TDataSet* FDataSet;
  bool FSQLBased = false;
  std::string FQuoteChar;
  std::string FTableName;
  std::string FTablePrefix;
  bool FHasObjects = false;
  char FParamChar = ':';
  bool FOracleLob = true;
};

class TQVLSQLProcessor : public TComponent {
 public:
  explicit TQVLSQLProcessor(TComponent* AOwner);
  ~TQVLSQLProcessor() override;

  static TQVLSQLProcessor& DefaultProcessor();

  TStrings& GetMacros() noexcept { return *FMacros; }
  const TStrings& GetMacros() const noexcept { return *FMacros; }
  // Copies the lines of Value; the caller keeps its list.
  void SetMacros(const TStrings& Value);
  // Equal stamps mean equal macro lines (see TStringList::GetChangeStamp).
  std::uint64_t GetMacrosStamp() const noexcept { return FMacros->GetChangeStamp(); }
  char GetParamChar() const noexcept { return FParamChar; }
  void SetParamChar(char Value) noexcept { FParamChar = Value; }
  char GetMacroChar() const noexcept { return FMacroChar; }
  void SetMacroChar(char Value) noexcept { FMacroChar = Value; }
  bool GetOracleLob() const noexcept { return FOracleLob; }
  void SetOracleLob(bool Value) noexcept { FOracleLob = Value; }

  // A new parser with the current markers on each call.
  std::shared_ptr<IQVLMacroSQLParser> GetParser() const;

  // This processor's macros merged with Macros (which may be null): the
  // processor's lines whose name Macros does not define come first, then all
  // of Macros' lines, so that the caller's value wins. Names compare as
  // Macros compares them.
  std::unique_ptr<TStringList> CreateFullMacros(const TStrings* Macros) const;

  // Raises EQVLMacroSQLError for malformed text.
  std::unique_ptr<TQVLMacroSQLElement> Parse(std::string_view SQL) const;

  // Evaluates Tree against the merged macros. Params, when not null, gets one
  // parameter per evaluated reference appended (it is not cleared first) and
  // keeps them when evaluation raises.
  std::string Build(const TQVLMacroSQLElement& Tree, const TStrings* Macros, TParams* Params) const;

  // The statement of Kind for DataSet's current record, generated with this
  // processor's ParamChar and OracleLob; Mode chooses the WHERE clause of
  // UPDATE and DELETE and is ignored for INSERT.
  std::string GenerateDateSetSQL(TDataSet& DataSet, TUpdateKind Kind, TUpdateMode Mode) const;

  // With ParamChar ':' a doubled marker stands for one ':', so that a
  // PostgreSQL cast x::date written in macro SQL reaches the server as
  // x:date, a syntax error. When Error, raised by the server for SQL that
  // this processor built, is such a syntax error (SQLSTATE 42601 at ":"),
  // its message gets the reason and the fix appended
  // (SDoubledParamCharSyntax); any other error is left as it is.
  void ExplainSyntaxError(ESQLDatabaseError& Error) const;

 private:
  char FParamChar = ':';
  char FMacroChar = '%';
  std::unique_ptr<TStringList> FMacros;
  bool FOracleLob = true;
};

}  // namespace qvl

#pragma GCC visibility pop
