#pragma once
// TQVLMacroSQLParser: one left-to-right scan with recursive descent for
// directives and conditions, turning macro SQL text into an element tree.
//
// Markers are recognised only outside quoted runs and comments; everything
// else, quoted runs and comments included, lands unchanged in text elements.
// The text ends at its end or at its first NUL. Syntax errors raise
// EQVLMacroSQLError at the scan position (line and column from 1; an LF ends
// a line, a CR takes no column) and leave nothing behind.
//
// Nesting (#if, each #elseif of a chain, parentheses, not, and, or) is
// bounded by kMaxNestingDepth levels along any path, so that neither parsing
// nor walking nor destroying a tree can exhaust the stack.
//
// Line and column are counted lazily, only when a position is needed (an
// error, an #error element, a macro reference), so plain text costs one scan.
//
// One instance serves one Parse at a time and keeps nothing between calls.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "qvl/macrosql/QVLMacroSQL.h"

namespace qvl {

struct TQVLMacroSQLParseResult {
  std::unique_ptr<TQVLMacroSQLElements> Elements;
  TQVLMacroSQLDirective Directive = msdNone;
};

class TQVLMacroSQLParser : public IQVLMacroSQLParser {
 public:
  static constexpr int kMaxNestingDepth = 256;

  TQVLMacroSQLParser(char AParamChar, char AMacroChar);

  std::unique_ptr<TQVLMacroSQLElement> Parse(std::string_view Text) override;

  char GetParamChar() const noexcept { return FParamChar; }
  char GetMacroChar() const noexcept { return FMacroChar; }

 private:
  class TNesting;

  [[noreturn]] void ReportError(const std::string& Message);
  // Brings FLine and FColumn up to the scan position.
  void UpdatePosition() noexcept;

  bool AtEnd() const noexcept { return FCurrent >= FEnd; }
  // The character at the scan position, NUL at the end.
  char Peek(std::ptrdiff_t Offset = 0) const noexcept {
    return FEnd - FCurrent > Offset ? FCurrent[Offset] : '\0';
  }
  std::string Pending() const { return std::string(FStart, FCurrent); }

  void IncAndCount();
  void IncAndCount(std::ptrdiff_t Count);
  bool CompareString(std::string_view S);
  // First character at or after From that the element scan has to look at.
  const char* FindSpecial(const char* From) const noexcept;

  void SkipStringLiteral();
  void SkipLine();
  void SkipMultiLineComment();
  void SkipBlanksAfterDirective();
  void SkipLogicalExpressionBlanks();

  TQVLMacroSQLParseResult ParseElements();
  bool ParseDelimiter(TQVLMacroSQLElements& List);
  std::string ParseIdentifier();
  TQVLMacroSQLDirective ParseDirective(TQVLMacroSQLElements& List);
  std::unique_ptr<TQVLMacroSQLConditional> ParseConditionalOperator();
  std::unique_ptr<TQVLMacroSQLError> ParseError();

  std::unique_ptr<TQVLMacroSQLLogicalExpression> ParseLogicalExpression();
  std::unique_ptr<TQVLMacroSQLLogicalExpression> ParseLogicalMultiplication();
  std::unique_ptr<TQVLMacroSQLLogicalExpression> ParseLogicalPrimary();
  std::unique_ptr<TQVLMacroSQLLogicalExpression> ParseLogicalSubExpression();
  std::unique_ptr<TQVLMacroSQLLogicalExpression> ParseLogicalPrimitive();
  std::unique_ptr<TQVLMacroSQLLogicalIdentifier> ParseLogicalIdentifier();

  char FParamChar;
  char FMacroChar;
  const char* FStart = nullptr;
  const char* FCurrent = nullptr;
  std::int32_t FLine = 1;
  std::int32_t FColumn = 1;
  const char* FEnd = nullptr;
  const char* FCounted = nullptr;  // FLine and FColumn hold for this position
  int FDepth = 0;
  std::array<bool, 256> FSpecial{};
};

}  // namespace qvl
