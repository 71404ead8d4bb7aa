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
// Still to come with the connection unit (TQVLConnection): generating the
// INSERT, UPDATE and DELETE statement for a dataset's current record
// (GenerateDateSetSQL, through the update-SQL generator, which reads
// OracleLob and ParamChar).

#include <memory>
#include <string>
#include <string_view>

#include "qvl/host/dataset/Params.h"
#include "qvl/host/runtime/Component.h"
#include "qvl/host/runtime/Strings.h"
#include "qvl/macrosql/QVLMacroSQL.h"

namespace qvl {

class TQVLSQLProcessor : public TComponent {
 public:
  explicit TQVLSQLProcessor(TComponent* AOwner);
  ~TQVLSQLProcessor() override;

  static TQVLSQLProcessor& DefaultProcessor();

  TStrings& GetMacros() noexcept { return *FMacros; }
  const TStrings& GetMacros() const noexcept { return *FMacros; }
  // Copies the lines of Value; the caller keeps its list.
  void SetMacros(const TStrings& Value);
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

 private:
  char FParamChar = ':';
  char FMacroChar = '%';
  std::unique_ptr<TStringList> FMacros;
  bool FOracleLob = true;
};

}  // namespace qvl
