#pragma once
// TQVLQuery: a TSQLQuery whose SQL list is macro SQL and whose records live
// in the record cache engine: scrollable both ways, editable with cached
// updates, searchable with Locate and Lookup.
//
// Macro SQL. Every change of the SQL list parses it with the processor in
// use (the query's SQLProcessor, else its TQVLConnection's, else the
// default) and keeps the tree; every change of the tree or of Macros
// evaluates it into the command text, the plain SQL with "?" markers that
// the host prepares. With ParamCheck the evaluation also rebuilds Params,
// one parameter per reference in text order (a name used twice gives two),
// each keeping the value a parameter of its name had. Changing Macros
// closes and unprepares the query first.
//
// Errors in those change notifications are not raised there: the command
// text is left empty, and the error is raised when the statement is next
// prepared (Open, ExecSQL). ParseMacroSQL() raises at once.
//
// A server's syntax error at a ":" that a "::" of the SQL list left alone
// (a PostgreSQL cast written x::date instead of x::::date) says so and names
// the fix (TQVLSQLProcessor::ExplainSyntaxError).
//
// Changing the processor, its macros or markers re-parses nothing: it
// counts from the next change of the SQL list or of Macros, or from the
// next prepare of an empty command text. The query does not own its
// processor; it forgets it when the processor is destroyed.

#include <cstdint>
#include <memory>

#include "qvl/components/QVLCustomDataSet.h"
#include "qvl/host/runtime/Strings.h"
#include "qvl/host/sqlclient/SQLDataSet.h"
#include "qvl/macrosql/QVLMacroSQL.h"

#pragma GCC visibility push(default)

namespace qvl {

extern template class TQVLCustomDataSet<TSQLQuery>;

class TQVLQuery : public TQVLCustomDataSet<TSQLQuery> {
 public:
  explicit TQVLQuery(TComponent* AOwner = nullptr);
  ~TQVLQuery() override;

  TQVLSQLProcessor* GetSQLProcessor() const noexcept { return FSQLProcessor; }
  // Null clears it. Nothing is parsed again.
  void SetSQLProcessor(TQVLSQLProcessor* Value);
  // The query's macro values, lines NAME=VALUE (or NAME alone).
  TStrings& GetMacros() noexcept { return *FMacros; }
  // Copies the lines of Value.
  void SetMacros(const TStrings& Value);

  // Parses and evaluates the SQL list now; on an error the command text
  // is left empty and the error raised.
  void ParseMacroSQL();
  // The parsed SQL list, or null before a parse or after a failed one.
  const TQVLMacroSQLElement* GetMacroSQL() const noexcept { return FMacroSQL.get(); }

  TQVLSQLProcessor* GetSQLProcessorInUse() override;

  std::int64_t ExecSQL() override;
  void InternalOpen() override;

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;
  void Loaded() override;
  void PrepareStatement() override;

 private:
  void MacroSQLChanged(TObject* Sender);
  void MacrosChanged(TObject* Sender);
  void ParseMacroSQL(bool Reset);
  void EvaluteCommandText(bool Reset);
  // Runs Step, explaining the server's syntax errors it raises.
  template <class TStep>
  auto ExplainingSyntaxErrors(TStep Step);

  TQVLSQLProcessor* FSQLProcessor = nullptr;  // not owned; cleared by free notification
  std::unique_ptr<TStringList> FMacros;
  std::unique_ptr<TQVLMacroSQLElement> FMacroSQL;
  bool FExplaining = false;  // inside ExplainingSyntaxErrors
};

}  // namespace qvl

#pragma GCC visibility pop
