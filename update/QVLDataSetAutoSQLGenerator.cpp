#include "qvl/update/QVLDataSetAutoSQLGenerator.h"

#include <cstdint>

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

bool IsObjectType(TFieldType Type) {
  return Type == ftADT || Type == ftArray || Type == ftReference || Type == ftDataSet;
}

// What a field contributes to the shape of a record's statement.
enum : char { kAssigned = 1, kInWhere = 2, kOldNull = 4, kOldEmptyText = 8 };

}  // namespace

TQVLDataSetAutoSQLGenerator::~TQVLDataSetAutoSQLGenerator() = default;

bool TQVLDataSetAutoSQLGenerator::Apply(TUpdateKind UpdateKind, TDataSet* DataSet) {
  TQVLDataSetImpl* impl = GetDataSetImpl();
  if (impl == nullptr) return ApplySQL(GetSQL(UpdateKind), DataSet);
  const TQVLSQLProcessor* processor = GetSQLProcessorToUse();
  TDataSet& dataSet = *impl->GetDataSet();
  const TFields& fields = dataSet.Fields();
  if (FGenerator == nullptr) {
    FGenerator = std::make_unique<TQVLDataSetSQLGenerator>(dataSet);
    for (int i = 0, n = fields.Count(); i < n; ++i)
      FHasObjects = FHasObjects || IsObjectType(fields[i]->GetDataType());
  }
  TQVLDataSetSQLGenerator& generator = *FGenerator;
  generator.SetParamChar(processor->GetParamChar());
  generator.SetOracleLob(processor->GetOracleLob());
  const TUpdateMode mode = impl->GetUpdateMode();
  if (FHasObjects) {
    if (UpdateKind != ukModify) return ApplySQL(GetSQL(UpdateKind), DataSet);
    // A record changed and changed back has nothing to assign, and an
    // UPDATE with an empty SET list is no statement any server takes.
    bool any = false;
    for (int i = 0, n = fields.Count(); i < n && !any; ++i)
      any = AnyInUpdate(generator, *fields[i]);
    if (!any) return true;
    return ApplySQL(generator.GenerateUpdateSQL(mode), DataSet);
  }
  FShape.assign({static_cast<char>(UpdateKind), static_cast<char>(mode), processor->GetParamChar(),
                 static_cast<char>(processor->GetOracleLob())});
  const auto from = reinterpret_cast<std::uintptr_t>(processor);
  FShape.append(reinterpret_cast<const char*>(&from), sizeof from);
  // Whether a field is assigned is mostly told from the record's bytes; its
  // values are read only when they are not enough.
  const bool inserted = dataSet.UpdateStatus() == usInserted;
  if (UpdateKind != ukDelete) impl->NewValueHints(inserted, FHints);
  bool any = false;
  for (int i = 0, n = fields.Count(); i < n; ++i) {
    const TField& field = *fields[i];
    char shape = 0;
    if (UpdateKind != ukDelete && generator.CanUseFieldInUpdate(field)) {
      using enum TQVLDataSetImpl::TNewValueHint;
      const TQVLDataSetImpl::TNewValueHint hint = FHints[static_cast<std::size_t>(i)];
      if (hint == Assigned || (hint == Unknown && generator.UseFieldInUpdate(field))) {
        shape |= kAssigned;
        any = true;
      }
    }
    if (UpdateKind != ukInsert && generator.UseFieldInWhere(field, mode)) {
      shape |= kInWhere;
      const Variant old = field.GetOldValue();
      if (old.IsNull() || old.IsEmpty())
        shape |= kOldNull;
      else if (field.GetDataType() == ftString && VarToStr(old).empty())
        shape |= kOldEmptyText;
    }
    FShape += shape;
  }
  if (UpdateKind == ukModify && !any) return true;
  auto hit = FByShape.find(FShape);
  if (hit == FByShape.end()) {
    std::string sql = UpdateKind == ukModify   ? generator.GenerateUpdateSQL(mode)
                      : UpdateKind == ukInsert ? generator.GenerateInsertSQL()
                                               : generator.GenerateDeleteSQL(mode);
    if (FByShape.size() >= kShapesKept) FByShape.clear();
    hit = FByShape.emplace(FShape, std::move(sql)).first;
  }
  return ApplySQL(hit->second, DataSet);
}

std::string TQVLDataSetAutoSQLGenerator::GetSQL(TUpdateKind UpdateKind) {
  TQVLDataSetImpl* impl = GetDataSetImpl();
  if (impl == nullptr) return "";
  return GetSQLProcessorToUse()->GenerateDateSetSQL(*impl->GetDataSet(), UpdateKind,
                                                    impl->GetUpdateMode());
}

}  // namespace qvl
