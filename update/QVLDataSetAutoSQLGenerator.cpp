#include "qvl/update/QVLDataSetAutoSQLGenerator.h"

#include "qvl/engine/QVLDataSetImpl.h"
#include "qvl/host/dataset/DataSet.h"
#include "qvl/host/dataset/Field.h"
#include "qvl/sql/QVLSQLProcessor.h"

namespace qvl {

namespace {

bool AnyInUpdate(const TQVLDataSetSQLGenerator& Generator, const TField& Field) {
  if (Generator.UseFieldInUpdate(Field)) return true;
  if (const auto* object = dynamic_cast<const TObjectField*>(&Field))
    for (int i = 0, n = object->FieldCount(); i < n; ++i)
      if (AnyInUpdate(Generator, *object->Fields(i))) return true;
  return false;
}

}  // namespace

bool TQVLDataSetAutoSQLGenerator::Apply(TUpdateKind UpdateKind, TDataSet* DataSet) {
  TQVLDataSetImpl* impl = GetDataSetImpl();
  if (UpdateKind != ukModify || impl == nullptr) return ApplySQL(GetSQL(UpdateKind), DataSet);
  // GenerateDateSetSQL's own steps, with one generator for the check and the
  // text: a record changed and changed back has nothing to assign, and an
  // UPDATE with an empty SET list is no statement any server takes.
  const TQVLSQLProcessor* processor = GetSQLProcessorToUse();
  TQVLDataSetSQLGenerator generator(*impl->GetDataSet());
  generator.SetParamChar(processor->GetParamChar());
  generator.SetOracleLob(processor->GetOracleLob());
  const TFields& fields = impl->GetDataSet()->Fields();
  bool any = false;
  for (int i = 0, n = fields.Count(); i < n && !any; ++i) any = AnyInUpdate(generator, *fields[i]);
  if (!any) return true;
  return ApplySQL(generator.GenerateUpdateSQL(impl->GetUpdateMode()), DataSet);
}

std::string TQVLDataSetAutoSQLGenerator::GetSQL(TUpdateKind UpdateKind) {
  TQVLDataSetImpl* impl = GetDataSetImpl();
  if (impl == nullptr) return "";
  return GetSQLProcessorToUse()->GenerateDateSetSQL(*impl->GetDataSet(), UpdateKind,
                                                    impl->GetUpdateMode());
}

}  // namespace qvl
