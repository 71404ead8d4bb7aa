#pragma once
// TQVLMacroSQLEvaluateVisitor: turns an element tree, a macro list and an
// optional parameter list into the final SQL text.
//
// Text runs are written unchanged; each parameter reference writes "?" and
// appends an input parameter of unknown type; a macro reference is replaced
// by its value, itself parsed (with the visitor's parser) and evaluated in
// place; a conditional keeps the branch whose condition holds; a reached
// #error raises EQVLMacroSQLError. Macro names are looked up with the list's
// own comparison; the first entry of a name counts.
//
// Expansion stops with EQVLMacroSQLError, at the position of the offending
// reference within the text that holds it, when a macro refers back to one
// being expanded, when expansions nest deeper than kMaxMacroExpansionDepth or
// the walk deeper than kMaxEvaluationDepth levels, and when one evaluation
// would expand more than kMaxMacroExpansions macros or parse more than
// kMaxMacroExpansionSize bytes of macro values.
//
// One visitor serves one walk; its creator destroys it. On an error the
// result and the parameters added so far stay as they are.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qvl/host/dataset/Params.h"
#include "qvl/host/runtime/Strings.h"
#include "qvl/macrosql/QVLMacroSQL.h"

namespace qvl {

class TQVLMacroSQLEvaluateVisitor : public IQVLMacroSQLVisitor {
 public:
  static constexpr int kMaxMacroExpansionDepth = 64;
  static constexpr int kMaxEvaluationDepth = 1024;
  static constexpr std::size_t kMaxMacroExpansions = 10000;
  static constexpr std::size_t kMaxMacroExpansionSize = std::size_t{64} << 20;

  // Parser must not be null (std::invalid_argument). Macros and Params are
  // not owned and must outlive the visitor; Params may be null.
  TQVLMacroSQLEvaluateVisitor(std::shared_ptr<IQVLMacroSQLParser> Parser, const TStrings& Macros,
                              TParams* Params);

  const std::string& GetResultSQL() const& noexcept { return FResultSQL; }
  // Hands the result over without copying it.
  std::string GetResultSQL() && noexcept { return std::move(FResultSQL); }

  void VisitText(const TQVLMacroSQLText& Element) override;
  void VisitParameter(const TQVLMacroSQLParameter& Element) override;
  void VisitMacro(const TQVLMacroSQLMacro& Element) override;
  void VisitConditional(const TQVLMacroSQLConditional& Element) override;
  void VisitError(const TQVLMacroSQLError& Element) override;
  void VisitLogicalIdentifier(const TQVLMacroSQLLogicalIdentifier& Element) override;
  void VisitLogicalExists(const TQVLMacroSQLLogicalExists& Element) override;
  void VisitLogicalEQUAL(const TQVLMacroSQLLogicalEQUAL& Element) override;
  void VisitLogicalNOTEQUAL(const TQVLMacroSQLLogicalNOTEQUAL& Element) override;
  void VisitLogicalNOT(const TQVLMacroSQLLogicalNOT& Element) override;
  void VisitLogicalAND(const TQVLMacroSQLLogicalAND& Element) override;
  void VisitLogicalOR(const TQVLMacroSQLLogicalOR& Element) override;

 private:
  class TLevel;

  bool SameValues(const TQVLMacroSQLLogicalCompare& Element);
  [[noreturn]] void StopExpansion(const TQVLMacroSQLMacro& Element,
                                  const std::string& Message) const;

  std::shared_ptr<IQVLMacroSQLParser> FParser;
  const TStrings& FMacros;
  TParams* FParams;
  std::string FResultSQL;
  std::string FValue;
  bool FResult = false;

  int FDepth = 0;
  std::vector<std::string> FExpanding;
  std::size_t FExpansions = 0;
  std::size_t FExpandedBytes = 0;
};

}  // namespace qvl
