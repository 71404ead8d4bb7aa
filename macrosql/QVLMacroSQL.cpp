#include "qvl/macrosql/QVLMacroSQL.h"

#include <stdexcept>

#include "qvl/host/runtime/RTLConsts.h"
#include "qvl/resources/QVLConsts.h"

namespace qvl {

namespace {
template <class T>
std::unique_ptr<T> Required(std::unique_ptr<T> Child, const char* What) {
  // A null child would only surface later, as a crash inside a visitor.
  if (!Child) throw std::invalid_argument(Format(SMissingMacroSQLChild, {What}));
  return Child;
}
}  // namespace

EQVLMacroSQLError::EQVLMacroSQLError(const std::string& Message, std::int32_t ALine,
                                     std::int32_t AColumn)
    : Exception(
          Format(SMacroSQLErrorAt, {Message, std::to_string(ALine), std::to_string(AColumn)})),
      FLine(ALine),
      FColumn(AColumn),
      FErrorText(Message) {}

void TQVLMacroSQLText::Accept(IQVLMacroSQLVisitor& Visitor) const {
  Visitor.VisitText(*this);
}
void TQVLMacroSQLParameter::Accept(IQVLMacroSQLVisitor& Visitor) const {
  Visitor.VisitParameter(*this);
}
void TQVLMacroSQLMacro::Accept(IQVLMacroSQLVisitor& Visitor) const {
  Visitor.VisitMacro(*this);
}
void TQVLMacroSQLError::Accept(IQVLMacroSQLVisitor& Visitor) const {
  Visitor.VisitError(*this);
}
void TQVLMacroSQLLogicalIdentifier::Accept(IQVLMacroSQLVisitor& Visitor) const {
  Visitor.VisitLogicalIdentifier(*this);
}

TQVLMacroSQLConditional::TQVLMacroSQLConditional(
    std::unique_ptr<TQVLMacroSQLLogicalExpression> Condition,
    std::unique_ptr<TQVLMacroSQLElement> ThenBranch,
    std::unique_ptr<TQVLMacroSQLElement> ElseBranch)
    : FCondition(Required(std::move(Condition), "condition")),
      FThenBranch(std::move(ThenBranch)),
      FElseBranch(std::move(ElseBranch)) {}

TQVLMacroSQLConditional::~TQVLMacroSQLConditional() {
  // Members would go in reverse declaration order; the tree's contract is
  // condition, then-branch, else-branch.
  FCondition.reset();
  FThenBranch.reset();
  FElseBranch.reset();
}

void TQVLMacroSQLConditional::Accept(IQVLMacroSQLVisitor& Visitor) const {
  Visitor.VisitConditional(*this);
}

TQVLMacroSQLElements::~TQVLMacroSQLElements() {
  for (auto& item : FItems) item.reset();
}

TQVLMacroSQLElements& TQVLMacroSQLElements::Add(std::unique_ptr<TQVLMacroSQLElement> Element) {
  if (Element) FItems.push_back(std::move(Element));
  return *this;
}

const TQVLMacroSQLElement& TQVLMacroSQLElements::Items(int Index) const {
  if (Index < 0 || Index >= Count())
    throw EListError(Format(SListIndexError, {std::to_string(Index)}));
  return *FItems[static_cast<std::size_t>(Index)];
}

void TQVLMacroSQLElements::Accept(IQVLMacroSQLVisitor& Visitor) const {
  for (const auto& item : FItems) item->Accept(Visitor);
}

TQVLMacroSQLLogicalExists::TQVLMacroSQLLogicalExists(
    std::unique_ptr<TQVLMacroSQLLogicalIdentifier> Identifier)
    : FIdentifier(Required(std::move(Identifier), "identifier")) {}

void TQVLMacroSQLLogicalExists::Accept(IQVLMacroSQLVisitor& Visitor) const {
  Visitor.VisitLogicalExists(*this);
}

TQVLMacroSQLLogicalCompare::TQVLMacroSQLLogicalCompare(
    std::unique_ptr<TQVLMacroSQLLogicalIdentifier> Left,
    std::unique_ptr<TQVLMacroSQLLogicalIdentifier> Right)
    : FLeft(Required(std::move(Left), "left operand")),
      FRight(Required(std::move(Right), "right operand")) {}

TQVLMacroSQLLogicalCompare::~TQVLMacroSQLLogicalCompare() {
  FLeft.reset();
  FRight.reset();
}

void TQVLMacroSQLLogicalEQUAL::Accept(IQVLMacroSQLVisitor& Visitor) const {
  Visitor.VisitLogicalEQUAL(*this);
}
void TQVLMacroSQLLogicalNOTEQUAL::Accept(IQVLMacroSQLVisitor& Visitor) const {
  Visitor.VisitLogicalNOTEQUAL(*this);
}

TQVLMacroSQLLogicalNOT::TQVLMacroSQLLogicalNOT(
    std::unique_ptr<TQVLMacroSQLLogicalExpression> Operand)
    : FOperand(Required(std::move(Operand), "operand")) {}

void TQVLMacroSQLLogicalNOT::Accept(IQVLMacroSQLVisitor& Visitor) const {
  Visitor.VisitLogicalNOT(*this);
}

TQVLMacroSQLLogicalBinaryOperator::TQVLMacroSQLLogicalBinaryOperator(
    std::unique_ptr<TQVLMacroSQLLogicalExpression> Left,
    std::unique_ptr<TQVLMacroSQLLogicalExpression> Right)
    : FLeft(Required(std::move(Left), "left operand")),
      FRight(Required(std::move(Right), "right operand")) {}

TQVLMacroSQLLogicalBinaryOperator::~TQVLMacroSQLLogicalBinaryOperator() {
  FLeft.reset();
  FRight.reset();
}

void TQVLMacroSQLLogicalAND::Accept(IQVLMacroSQLVisitor& Visitor) const {
  Visitor.VisitLogicalAND(*this);
}
void TQVLMacroSQLLogicalOR::Accept(IQVLMacroSQLVisitor& Visitor) const {
  Visitor.VisitLogicalOR(*this);
}

}  // namespace qvl
