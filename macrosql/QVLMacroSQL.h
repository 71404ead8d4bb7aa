#pragma once
// The macro SQL language: element tree, the visitor and parser interfaces,
// the directive enumeration and the language's one exception type.
//
// A tree is built once by a parser and then only read: every element owns
// the elements in its fields exclusively, and the caller of Parse owns the
// root. Accept dispatches to exactly one visitor operation (a list instead
// accepts the visitor on each item, first to last); it never descends into
// children on its own, so a visitor decides which branches it walks.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qvl/host/runtime/Exceptions.h"

#pragma GCC visibility push(default)

namespace qvl {

class IQVLMacroSQLVisitor;

// Raised for syntax errors, reached #error directives and the expansion
// guards. Message() reads "<ErrorText>\r\nLine: <Line>, Column: <Column>";
// lines and columns count from 1.
class EQVLMacroSQLError : public Exception {
 public:
  EQVLMacroSQLError(const std::string& Message, std::int32_t Line, std::int32_t Column);

  std::int32_t GetLine() const noexcept { return FLine; }
  std::int32_t GetColumn() const noexcept { return FColumn; }
  const std::string& GetErrorText() const noexcept { return FErrorText; }

 private:
  std::int32_t FLine;
  std::int32_t FColumn;
  std::string FErrorText;
};

// The directive that closed a sequence of elements.
enum TQVLMacroSQLDirective : std::uint8_t { msdNone, msdIF, msdELSEIF, msdELSE, msdENDIF };

class TQVLMacroSQLElement {
 public:
  TQVLMacroSQLElement() = default;
  TQVLMacroSQLElement(const TQVLMacroSQLElement&) = delete;
  TQVLMacroSQLElement& operator=(const TQVLMacroSQLElement&) = delete;
  virtual ~TQVLMacroSQLElement() = default;

  virtual void Accept(IQVLMacroSQLVisitor& Visitor) const = 0;
};

// A run of SQL text copied verbatim; also the base of every element that
// carries one string.
class TQVLMacroSQLText : public TQVLMacroSQLElement {
 public:
  explicit TQVLMacroSQLText(std::string Text) : FText(std::move(Text)) {}
  const std::string& GetText() const noexcept { return FText; }
  void Accept(IQVLMacroSQLVisitor& Visitor) const override;

 private:
  std::string FText;
};

// A parameter reference; the text is the parameter's name.
class TQVLMacroSQLParameter : public TQVLMacroSQLText {
 public:
  using TQVLMacroSQLText::TQVLMacroSQLText;
  void Accept(IQVLMacroSQLVisitor& Visitor) const override;
};

// A macro reference; the text is the macro's name. Line and column are where
// the reference stands (0 when unknown), so that an expansion that has to be
// stopped can say where.
class TQVLMacroSQLMacro : public TQVLMacroSQLText {
 public:
  explicit TQVLMacroSQLMacro(std::string Text, std::int32_t Line = 0, std::int32_t Column = 0)
      : TQVLMacroSQLText(std::move(Text)), FLine(Line), FColumn(Column) {}
  std::int32_t GetLine() const noexcept { return FLine; }
  std::int32_t GetColumn() const noexcept { return FColumn; }
  void Accept(IQVLMacroSQLVisitor& Visitor) const override;

 private:
  std::int32_t FLine;
  std::int32_t FColumn;
};

// An #error directive: its message and the position the parser recorded.
class TQVLMacroSQLError : public TQVLMacroSQLText {
 public:
  TQVLMacroSQLError(std::string Text, std::int32_t Line, std::int32_t Column)
      : TQVLMacroSQLText(std::move(Text)), FLine(Line), FColumn(Column) {}
  std::int32_t GetLine() const noexcept { return FLine; }
  std::int32_t GetColumn() const noexcept { return FColumn; }
  void Accept(IQVLMacroSQLVisitor& Visitor) const override;

 private:
  std::int32_t FLine;
  std::int32_t FColumn;
};

// An operand of a condition. Not a condition itself: a lone identifier is
// always wrapped in a TQVLMacroSQLLogicalExists.
class TQVLMacroSQLLogicalIdentifier : public TQVLMacroSQLText {
 public:
  using TQVLMacroSQLText::TQVLMacroSQLText;
  void Accept(IQVLMacroSQLVisitor& Visitor) const override;
};

class TQVLMacroSQLLogicalExpression : public TQVLMacroSQLElement {};

// #if (or #elseif) with its branches. The condition is required; a missing
// then-branch counts as empty; the else-branch is null without #else and
// #elseif, and a nested conditional for #elseif.
class TQVLMacroSQLConditional : public TQVLMacroSQLElement {
 public:
  TQVLMacroSQLConditional(std::unique_ptr<TQVLMacroSQLLogicalExpression> Condition,
                          std::unique_ptr<TQVLMacroSQLElement> ThenBranch,
                          std::unique_ptr<TQVLMacroSQLElement> ElseBranch = nullptr);
  ~TQVLMacroSQLConditional() override;

  const TQVLMacroSQLLogicalExpression& GetCondition() const noexcept { return *FCondition; }
  const TQVLMacroSQLElement* GetThenBranch() const noexcept { return FThenBranch.get(); }
  const TQVLMacroSQLElement* GetElseBranch() const noexcept { return FElseBranch.get(); }
  void Accept(IQVLMacroSQLVisitor& Visitor) const override;

 private:
  std::unique_ptr<TQVLMacroSQLLogicalExpression> FCondition;
  std::unique_ptr<TQVLMacroSQLElement> FThenBranch;
  std::unique_ptr<TQVLMacroSQLElement> FElseBranch;
};

// A sequence of elements, destroyed first to last.
class TQVLMacroSQLElements : public TQVLMacroSQLElement {
 public:
  TQVLMacroSQLElements() = default;
  ~TQVLMacroSQLElements() override;

  // Takes ownership and returns this list; a null element is not added.
  TQVLMacroSQLElements& Add(std::unique_ptr<TQVLMacroSQLElement> Element);
  int Count() const noexcept { return static_cast<int>(FItems.size()); }
  // Raises EListError outside 0..Count()-1.
  const TQVLMacroSQLElement& Items(int Index) const;
  void Accept(IQVLMacroSQLVisitor& Visitor) const override;

 private:
  std::vector<std::unique_ptr<TQVLMacroSQLElement>> FItems;
};

// True when a macro of the identifier's name is defined.
class TQVLMacroSQLLogicalExists : public TQVLMacroSQLLogicalExpression {
 public:
  explicit TQVLMacroSQLLogicalExists(std::unique_ptr<TQVLMacroSQLLogicalIdentifier> Identifier);
  const TQVLMacroSQLLogicalIdentifier& GetIdentifier() const noexcept { return *FIdentifier; }
  void Accept(IQVLMacroSQLVisitor& Visitor) const override;

 private:
  std::unique_ptr<TQVLMacroSQLLogicalIdentifier> FIdentifier;
};

// Two identifier operands, destroyed left first.
class TQVLMacroSQLLogicalCompare : public TQVLMacroSQLLogicalExpression {
 public:
  TQVLMacroSQLLogicalCompare(std::unique_ptr<TQVLMacroSQLLogicalIdentifier> Left,
                             std::unique_ptr<TQVLMacroSQLLogicalIdentifier> Right);
  ~TQVLMacroSQLLogicalCompare() override;
  const TQVLMacroSQLLogicalIdentifier& GetLeft() const noexcept { return *FLeft; }
  const TQVLMacroSQLLogicalIdentifier& GetRight() const noexcept { return *FRight; }

 private:
  std::unique_ptr<TQVLMacroSQLLogicalIdentifier> FLeft;
  std::unique_ptr<TQVLMacroSQLLogicalIdentifier> FRight;
};

class TQVLMacroSQLLogicalEQUAL : public TQVLMacroSQLLogicalCompare {
 public:
  using TQVLMacroSQLLogicalCompare::TQVLMacroSQLLogicalCompare;
  void Accept(IQVLMacroSQLVisitor& Visitor) const override;
};

class TQVLMacroSQLLogicalNOTEQUAL : public TQVLMacroSQLLogicalCompare {
 public:
  using TQVLMacroSQLLogicalCompare::TQVLMacroSQLLogicalCompare;
  void Accept(IQVLMacroSQLVisitor& Visitor) const override;
};

class TQVLMacroSQLLogicalNOT : public TQVLMacroSQLLogicalExpression {
 public:
  explicit TQVLMacroSQLLogicalNOT(std::unique_ptr<TQVLMacroSQLLogicalExpression> Operand);
  const TQVLMacroSQLLogicalExpression& GetOperand() const noexcept { return *FOperand; }
  void Accept(IQVLMacroSQLVisitor& Visitor) const override;

 private:
  std::unique_ptr<TQVLMacroSQLLogicalExpression> FOperand;
};

// Two logical operands, destroyed left first.
class TQVLMacroSQLLogicalBinaryOperator : public TQVLMacroSQLLogicalExpression {
 public:
  TQVLMacroSQLLogicalBinaryOperator(std::unique_ptr<TQVLMacroSQLLogicalExpression> Left,
                                    std::unique_ptr<TQVLMacroSQLLogicalExpression> Right);
  ~TQVLMacroSQLLogicalBinaryOperator() override;
  const TQVLMacroSQLLogicalExpression& GetLeft() const noexcept { return *FLeft; }
  const TQVLMacroSQLLogicalExpression& GetRight() const noexcept { return *FRight; }

 private:
  std::unique_ptr<TQVLMacroSQLLogicalExpression> FLeft;
  std::unique_ptr<TQVLMacroSQLLogicalExpression> FRight;
};

class TQVLMacroSQLLogicalAND : public TQVLMacroSQLLogicalBinaryOperator {
 public:
  using TQVLMacroSQLLogicalBinaryOperator::TQVLMacroSQLLogicalBinaryOperator;
  void Accept(IQVLMacroSQLVisitor& Visitor) const override;
};

class TQVLMacroSQLLogicalOR : public TQVLMacroSQLLogicalBinaryOperator {
 public:
  using TQVLMacroSQLLogicalBinaryOperator::TQVLMacroSQLLogicalBinaryOperator;
  void Accept(IQVLMacroSQLVisitor& Visitor) const override;
};

// One operation per concrete element class. A visitor is handed to Accept as
// a plain reference; whoever creates it destroys it.
class IQVLMacroSQLVisitor {
 public:
  virtual ~IQVLMacroSQLVisitor() = default;

  virtual void VisitText(const TQVLMacroSQLText& Element) = 0;
  virtual void VisitParameter(const TQVLMacroSQLParameter& Element) = 0;
  virtual void VisitMacro(const TQVLMacroSQLMacro& Element) = 0;
  virtual void VisitConditional(const TQVLMacroSQLConditional& Element) = 0;
  virtual void VisitError(const TQVLMacroSQLError& Element) = 0;
  virtual void VisitLogicalIdentifier(const TQVLMacroSQLLogicalIdentifier& Element) = 0;
  virtual void VisitLogicalExists(const TQVLMacroSQLLogicalExists& Element) = 0;
  virtual void VisitLogicalEQUAL(const TQVLMacroSQLLogicalEQUAL& Element) = 0;
  virtual void VisitLogicalNOTEQUAL(const TQVLMacroSQLLogicalNOTEQUAL& Element) = 0;
  virtual void VisitLogicalNOT(const TQVLMacroSQLLogicalNOT& Element) = 0;
  virtual void VisitLogicalAND(const TQVLMacroSQLLogicalAND& Element) = 0;
  virtual void VisitLogicalOR(const TQVLMacroSQLLogicalOR& Element) = 0;
};

// Turns macro SQL text into a new tree owned by the caller, or raises
// EQVLMacroSQLError. Parsers are shared through std::shared_ptr: an
// evaluating visitor keeps its parser for macro values.
class IQVLMacroSQLParser {
 public:
  virtual ~IQVLMacroSQLParser() = default;
  virtual std::unique_ptr<TQVLMacroSQLElement> Parse(std::string_view Text) = 0;
};

}  // namespace qvl

#pragma GCC visibility pop
