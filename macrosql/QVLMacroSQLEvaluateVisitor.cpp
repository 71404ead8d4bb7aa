#include "qvl/macrosql/QVLMacroSQLEvaluateVisitor.h"

#include <stdexcept>

#include "qvl/resources/QVLConsts.h"

namespace qvl {

// One level of the walk: conditionals, connectives and macro expansions all
// recurse, and the sum of them is what the stack has to hold.
class TQVLMacroSQLEvaluateVisitor::TLevel {
 public:
  explicit TLevel(TQVLMacroSQLEvaluateVisitor& Visitor) : FVisitor(Visitor) { ++FVisitor.FDepth; }
  ~TLevel() { --FVisitor.FDepth; }
  TLevel(const TLevel&) = delete;
  TLevel& operator=(const TLevel&) = delete;

 private:
  TQVLMacroSQLEvaluateVisitor& FVisitor;
};

TQVLMacroSQLEvaluateVisitor::TQVLMacroSQLEvaluateVisitor(std::shared_ptr<IQVLMacroSQLParser> Parser,
                                                         const TStrings& Macros, TParams* Params)
    : FParser(std::move(Parser)), FMacros(Macros), FParams(Params) {
  if (!FParser) throw std::invalid_argument(SMissingMacroSQLParser);
}

void TQVLMacroSQLEvaluateVisitor::VisitText(const TQVLMacroSQLText& Element) {
  FResultSQL += Element.GetText();
}

void TQVLMacroSQLEvaluateVisitor::VisitParameter(const TQVLMacroSQLParameter& Element) {
  FResultSQL += '?';
  if (FParams != nullptr) FParams->CreateParam(ftUnknown, Element.GetText(), ptInput);
}

void TQVLMacroSQLEvaluateVisitor::StopExpansion(const TQVLMacroSQLMacro& Element,
                                                const std::string& Message) const {
  throw EQVLMacroSQLError(Message, Element.GetLine(), Element.GetColumn());
}

void TQVLMacroSQLEvaluateVisitor::VisitMacro(const TQVLMacroSQLMacro& Element) {
  const std::string& name = Element.GetText();
  for (const std::string& active : FExpanding)
    if (FMacros.CompareStrings(active, name) == 0)
      StopExpansion(Element, Format(SRecursiveMacro, {name}));
  if (static_cast<int>(FExpanding.size()) >= kMaxMacroExpansionDepth ||
      FDepth >= kMaxEvaluationDepth)
    StopExpansion(Element, SMacroNestingTooDeep);

  const std::string value = FMacros.GetValue(name);
  ++FExpansions;
  FExpandedBytes += value.size();
  if (FExpansions > kMaxMacroExpansions || FExpandedBytes > kMaxMacroExpansionSize)
    StopExpansion(Element, SMacroExpansionTooLarge);
  if (value.empty()) return;

  const std::unique_ptr<TQVLMacroSQLElement> tree = FParser->Parse(value);
  TLevel level(*this);
  FExpanding.push_back(name);
  try {
    tree->Accept(*this);
  } catch (...) {
    FExpanding.pop_back();
    throw;
  }
  FExpanding.pop_back();
}

void TQVLMacroSQLEvaluateVisitor::VisitConditional(const TQVLMacroSQLConditional& Element) {
  TLevel level(*this);
  Element.GetCondition().Accept(*this);
  const TQVLMacroSQLElement* branch = FResult ? Element.GetThenBranch() : Element.GetElseBranch();
  if (branch != nullptr) branch->Accept(*this);
}

void TQVLMacroSQLEvaluateVisitor::VisitError(const TQVLMacroSQLError& Element) {
  throw EQVLMacroSQLError(Element.GetText(), Element.GetLine(), Element.GetColumn());
}

void TQVLMacroSQLEvaluateVisitor::VisitLogicalIdentifier(
    const TQVLMacroSQLLogicalIdentifier& Element) {
  const int index = FMacros.IndexOfName(Element.GetText());
  FValue = index >= 0 ? FMacros.GetValueFromIndex(index) : Element.GetText();
}

void TQVLMacroSQLEvaluateVisitor::VisitLogicalExists(const TQVLMacroSQLLogicalExists& Element) {
  const std::string& name = Element.GetIdentifier().GetText();
  FResult = FMacros.IndexOf(name) >= 0 || FMacros.IndexOfName(name) >= 0;
}

bool TQVLMacroSQLEvaluateVisitor::SameValues(const TQVLMacroSQLLogicalCompare& Element) {
  Element.GetLeft().Accept(*this);
  const std::string left = FValue;
  Element.GetRight().Accept(*this);
  // Values compare as text, folding only A to Z.
  return SameTextAscii(left, FValue);
}

void TQVLMacroSQLEvaluateVisitor::VisitLogicalEQUAL(const TQVLMacroSQLLogicalEQUAL& Element) {
  FResult = SameValues(Element);
}

void TQVLMacroSQLEvaluateVisitor::VisitLogicalNOTEQUAL(const TQVLMacroSQLLogicalNOTEQUAL& Element) {
  FResult = !SameValues(Element);
}

void TQVLMacroSQLEvaluateVisitor::VisitLogicalNOT(const TQVLMacroSQLLogicalNOT& Element) {
  TLevel level(*this);
  Element.GetOperand().Accept(*this);
  FResult = !FResult;
}

void TQVLMacroSQLEvaluateVisitor::VisitLogicalAND(const TQVLMacroSQLLogicalAND& Element) {
  TLevel level(*this);
  Element.GetLeft().Accept(*this);
  const bool left = FResult;
  Element.GetRight().Accept(*this);
  FResult = left && FResult;
}

void TQVLMacroSQLEvaluateVisitor::VisitLogicalOR(const TQVLMacroSQLLogicalOR& Element) {
  TLevel level(*this);
  Element.GetLeft().Accept(*this);
  const bool left = FResult;
  Element.GetRight().Accept(*this);
  FResult = left || FResult;
}

}  // namespace qvl
