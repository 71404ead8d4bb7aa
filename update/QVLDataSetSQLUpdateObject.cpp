#include "qvl/update/QVLDataSetSQLUpdateObject.h"

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
  TParams params;
  // Every record of an apply usually brings the same text: what the
  // processor makes of it is kept for as long as the text, the markers and
  // the macros stay the same.
  std::string macros = processor->GetMacros().GetText();
  if (!FBuilt || FBuilt->Source != SQL || FBuilt->ParamChar != processor->GetParamChar() ||
      FBuilt->MacroChar != processor->GetMacroChar() || FBuilt->Macros != macros) {
    FBuilt.reset();
    TBuilt built{SQL, processor->GetParamChar(), processor->GetMacroChar(), std::move(macros), {},
                 {}};
    built.SQL = processor->Build(*processor->Parse(SQL), nullptr, &params);
    for (int i = 0; i < params.Count(); ++i) built.ParamNames.push_back(params.Items(i)->GetName());
    FBuilt = std::move(built);
  } else {
    for (const std::string& name : FBuilt->ParamNames) params.CreateParam(ftUnknown, name, ptInput);
  }
  AssignParamsFromDataSet(params);
  const int rows = DataSet->PSExecuteStatement(FBuilt->SQL, &params);
  const TQVLRecordUpdateOptions options = impl->GetUpdateOptions();
  if ((options & uoCheckRowsAffected) != 0) {
    if (rows > 1 && (options & uoAllowMultiRecordUpdates) == 0)
      DatabaseError(STooManyRecordsModified);
    if (rows < 1) DatabaseError(SRecordChanged);
  }
  return true;
}

TQVLSQLProcessor* TQVLDataSetSQLUpdateObject::GetSQLProcessorToUse() {
  TQVLDataSetImpl* impl = GetDataSetImpl();
  if (impl == nullptr) return &TQVLSQLProcessor::DefaultProcessor();
  return impl->GetRecordCursor().GetSQLProcessorInUse();
}

}  // namespace qvl
