#include "qvl/sql/QVLSQLProcessor.h"

#include "qvl/macrosql/QVLMacroSQLEvaluateVisitor.h"
#include "qvl/macrosql/QVLMacroSQLParser.h"

namespace qvl {

TQVLSQLProcessor::TQVLSQLProcessor(TComponent* AOwner)
    : TComponent(AOwner), FMacros(std::make_unique<TStringList>()) {}

TQVLSQLProcessor::~TQVLSQLProcessor() = default;

TQVLSQLProcessor& TQVLSQLProcessor::DefaultProcessor() {
  // Deliberately never freed: components may reach it from their own static
  // destructors. It stays reachable, so leak checkers do not count it.
  static TQVLSQLProcessor* const Instance = new TQVLSQLProcessor(nullptr);
  return *Instance;
}

void TQVLSQLProcessor::SetMacros(const TStrings& Value) {
  FMacros->Assign(Value);
}

std::shared_ptr<IQVLMacroSQLParser> TQVLSQLProcessor::GetParser() const {
  return std::make_shared<TQVLMacroSQLParser>(FParamChar, FMacroChar);
}

std::unique_ptr<TStringList> TQVLSQLProcessor::CreateFullMacros(const TStrings* Macros) const {
  auto result = std::make_unique<TStringList>();
  if (Macros == nullptr) {
    result->Assign(*FMacros);
    return result;
  }
  for (int i = 0, n = FMacros->Count(); i < n; ++i) {
    const std::string line = FMacros->Get(i);
    if (Macros->IndexOf(line) >= 0) continue;
    // A bare line has no name; it must not be taken for one named "".
    if (line.find('=') != std::string::npos && Macros->IndexOfName(FMacros->GetName(i)) >= 0)
      continue;
    result->Add(line);
  }
  result->AddStrings(*Macros);
  return result;
}

std::unique_ptr<TQVLMacroSQLElement> TQVLSQLProcessor::Parse(std::string_view SQL) const {
  return GetParser()->Parse(SQL);
}

std::string TQVLSQLProcessor::Build(const TQVLMacroSQLElement& Tree, const TStrings* Macros,
                                    TParams* Params) const {
  const std::unique_ptr<TStringList> macros = CreateFullMacros(Macros);
  TQVLMacroSQLEvaluateVisitor visitor(GetParser(), *macros, Params);
  Tree.Accept(visitor);
  return std::move(visitor).GetResultSQL();
}

}  // namespace qvl
