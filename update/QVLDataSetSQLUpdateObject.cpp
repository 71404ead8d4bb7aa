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
  std::string sql = GetSQL(UpdateKind);
  // A list holding only blank lines is no statement either.
  if (sql.find_first_not_of(" \t\r\n") == std::string::npos) return false;
  TQVLDataSetImpl* impl = GetDataSetImpl();
  if (impl == nullptr) DatabaseErrorFmt(SUpdateObjectNotLinked, {GetName()});
  if (DataSet == nullptr) DataSet = impl->GetDataSet();
  TQVLSQLProcessor* processor = GetSQLProcessorToUse();
  TParams params;
  sql = processor->Build(*processor->Parse(sql), nullptr, &params);
  AssignParamsFromDataSet(params);
  const int rows = DataSet->PSExecuteStatement(sql, &params);
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
