#include "qvl/components/QVLQuery.h"

#include "qvl/host/runtime/Exceptions.h"
#include "qvl/host/runtime/ScopedValue.h"
#include "qvl/host/sqlclient/SQLDriver.h"

namespace qvl {

TQVLQuery::TQVLQuery(TComponent* AOwner)
    : TQVLCustomDataSet<TSQLQuery>(AOwner), FMacros(std::make_unique<TStringList>()) {
  SQL().SetOnChange([this](TObject* Sender) { MacroSQLChanged(Sender); });
  FMacros->SetOnChange([this](TObject* Sender) { MacrosChanged(Sender); });
}

TQVLQuery::~TQVLQuery() {
  DestroyingDataSet();
  SetSQLProcessor(nullptr);
  SQL().SetOnChange(nullptr);
  FMacros->SetOnChange(nullptr);
}

void TQVLQuery::SetSQLProcessor(TQVLSQLProcessor* Value) {
  if (Value == FSQLProcessor) return;
  if (FSQLProcessor != nullptr) FSQLProcessor->RemoveFreeNotification(this);
  FSQLProcessor = Value;
  if (Value != nullptr) Value->FreeNotification(this);
}

void TQVLQuery::Notification(TComponent* AComponent, TOperation Operation) {
  TQVLCustomDataSet<TSQLQuery>::Notification(AComponent, Operation);
  if (Operation == opRemove && AComponent != nullptr &&
      AComponent == static_cast<TComponent*>(FSQLProcessor))
    FSQLProcessor = nullptr;
}

TQVLSQLProcessor* TQVLQuery::GetSQLProcessorInUse() {
  if (FSQLProcessor != nullptr) return FSQLProcessor;
  return TQVLCustomDataSet<TSQLQuery>::GetSQLProcessorInUse();
}

void TQVLQuery::SetMacros(const TStrings& Value) {
  FMacros->Assign(Value);
}

void TQVLQuery::MacroSQLChanged(TObject*) {
  if (IsReading()) return;
  try {
    ParseMacroSQL(true);
  } catch (const Exception&) {
    // Raised again when the statement is prepared.
    FMacroSQL.reset();
    SetFCommandText("");
  }
}

void TQVLQuery::MacrosChanged(TObject*) {
  if (IsReading() || FMacroSQL == nullptr) return;
  try {
    EvaluteCommandText(true);
  } catch (const Exception&) {
    SetFCommandText("");
  }
}

void TQVLQuery::ParseMacroSQL() {
  try {
    ParseMacroSQL(true);
  } catch (...) {
    FMacroSQL.reset();
    SetFCommandText("");
    throw;
  }
}

void TQVLQuery::ParseMacroSQL(bool Reset) {
  std::unique_ptr<TQVLMacroSQLElement> tree = GetSQLProcessorInUse()->Parse(SQL().GetText());
  FMacroSQL = std::move(tree);
  EvaluteCommandText(Reset);
}

void TQVLQuery::EvaluteCommandText(bool Reset) {
  if (Reset) {
    Close();
    SetPrepared(false);
  }
  TQVLSQLProcessor& processor = *GetSQLProcessorInUse();
  if (GetParamCheck()) {
    TParams evaluated;
    // The parameters evaluated before a failure replace the old ones too.
    auto keepValues = [&] {
      evaluated.AssignValues(Params());
      Params().Assign(evaluated);
    };
    try {
      SetFCommandText(processor.Build(*FMacroSQL, FMacros.get(), &evaluated));
    } catch (...) {
      keepValues();
      throw;
    }
    keepValues();
  } else {
    SetFCommandText(processor.Build(*FMacroSQL, FMacros.get(), nullptr));
  }
  DataEvent(dePropertyChange, 0);
}

template <class TStep>
auto TQVLQuery::ExplainingSyntaxErrors(TStep Step) {
  // Opening prepares: the outermost step explains, once.
  if (FExplaining) return Step();
  TScopedValue<bool> explaining(FExplaining, true);
  try {
    return Step();
  } catch (ESQLDatabaseError& e) {
    GetSQLProcessorInUse()->ExplainSyntaxError(e);
    throw;
  }
}

void TQVLQuery::PrepareStatement() {
  if (GetCommandText().empty()) {
    if (FMacroSQL != nullptr)
      EvaluteCommandText(false);
    else
      ParseMacroSQL(false);
  }
  ExplainingSyntaxErrors([this] { TQVLCustomDataSet<TSQLQuery>::PrepareStatement(); });
}

std::int64_t TQVLQuery::ExecSQL() {
  return ExplainingSyntaxErrors([this] { return TQVLCustomDataSet<TSQLQuery>::ExecSQL(); });
}

void TQVLQuery::InternalOpen() {
  ExplainingSyntaxErrors([this] { TQVLCustomDataSet<TSQLQuery>::InternalOpen(); });
}

void TQVLQuery::Loaded() {
  MacroSQLChanged(nullptr);
  TQVLCustomDataSet<TSQLQuery>::Loaded();
}

}  // namespace qvl
