#include "qvl/update/QVLDataSetSQLUpdateObject.h"

#include <algorithm>
#include <iterator>

#include "qvl/engine/QVLDataSetImpl.h"
#include "qvl/host/dataset/DBConsts.h"
#include "qvl/host/dataset/DataSet.h"
#include "qvl/host/dataset/Params.h"
#include "qvl/host/runtime/Exceptions.h"
#include "qvl/resources/QVLConsts.h"
#include "qvl/sql/QVLSQLProcessor.h"

namespace qvl {

bool TQVLDataSetSQLUpdateObject::Apply(TUpdateKind UpdateKind, TDataSet* DataSet) {
  return ApplySQL(GetSQL(UpdateKind), DataSet);
}

bool TQVLDataSetSQLUpdateObject::ApplySQL(const std::string& SQL, TDataSet* DataSet) {
  // A list holding only blank lines is no statement either.
  if (SQL.find_first_not_of(" \t\r\n") == std::string::npos) return false;
  TQVLDataSetImpl* impl = GetDataSetImpl();
  if (impl == nullptr) DatabaseErrorFmt(SUpdateObjectNotLinked, {GetName()});
  if (DataSet == nullptr) DataSet = impl->GetDataSet();
  TQVLSQLProcessor* processor = GetSQLProcessorToUse();
  // The records of an apply bring a few texts over and over (generated
  // statements differ with the fields given a value): what the processor
  // makes of each is kept while the text, the markers and the macros stay,
  // with its parameters, which each record fills anew.
  const std::uint64_t macros = processor->GetMacrosStamp();
  const char paramChar = processor->GetParamChar(), macroChar = processor->GetMacroChar();
  auto hit = std::find_if(FBuilt.begin(), FBuilt.end(), [&](const TBuilt& B) {
    return B.Source == SQL && B.ParamChar == paramChar && B.MacroChar == macroChar &&
           B.MacrosStamp == macros;
  });
  if (hit == FBuilt.end()) {
    TBuilt built{SQL, paramChar, macroChar, macros, {}, std::make_unique<TParams>(), {}, 0};
    built.SQL = processor->Build(*processor->Parse(SQL), nullptr, built.Params.get());
    // The one used longest ago makes room.
    if (FBuilt.size() == kBuiltKept)
      FBuilt.erase(
          std::min_element(FBuilt.begin(), FBuilt.end(),
                           [](const TBuilt& A, const TBuilt& B) { return A.LastUse < B.LastUse; }));
    FBuilt.push_back(std::move(built));
    hit = std::prev(FBuilt.end());
  }
  hit->LastUse = ++FUses;
  TParams& params = *hit->Params;
  AssignParamsFromDataSet(params, hit->FieldIndexes);
  if (impl->BatchingUpdates() && DataSet == impl->GetDataSet()) {
    DataSet->PSBatchAdd(hit->SQL, &params);
    impl->UpdateStatementQueued(this);
    return true;
  }
  const int rows = DataSet->PSExecuteStatement(hit->SQL, &params);
  CheckRowsAffected(rows, impl->GetUpdateOptions());
  return true;
}

void TQVLDataSetSQLUpdateObject::CheckRowsAffected(std::int64_t Rows, std::uint8_t Options) const {
  if ((Options & uoCheckRowsAffected) == 0) return;
  if (Rows > 1 && (Options & uoAllowMultiRecordUpdates) == 0)
    DatabaseError(STooManyRecordsModified);
  if (Rows < 1) DatabaseError(SRecordChanged);
}

TQVLSQLProcessor* TQVLDataSetSQLUpdateObject::GetSQLProcessorToUse() {
  TQVLDataSetImpl* impl = GetDataSetImpl();
  if (impl == nullptr) return &TQVLSQLProcessor::DefaultProcessor();
  return impl->GetRecordCursor().GetSQLProcessorInUse();
}

}  // namespace qvl
