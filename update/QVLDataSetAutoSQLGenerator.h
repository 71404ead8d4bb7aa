#pragma once
// TQVLDataSetAutoSQLGenerator: the update object that generates its statement
// from the linked dataset's fields, provider flags and update mode, through
// the processor's GenerateDateSetSQL. The engine links one for the records
// that neither OnUpdateRecord nor its update object wrote, when
// uoAllowAutomaticUpdate allows it.
//
// A modified record whose fields all hold their old values again has nothing
// to assign: it counts as applied without a statement.
//
// The text depends on the record only through which fields are assigned and
// which old values are null, so it is generated once per such shape and
// kept. The engine destroys the object when the dataset closes, which is
// when the fields and the table can change.

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "qvl/engine/QVLDataSetImpl.h"
#include "qvl/update/QVLDataSetSQLUpdateObject.h"

namespace qvl {

class TQVLDataSetSQLGenerator;

class TQVLDataSetAutoSQLGenerator : public TQVLDataSetSQLUpdateObject {
 public:
  using TQVLDataSetSQLUpdateObject::TQVLDataSetSQLUpdateObject;
  ~TQVLDataSetAutoSQLGenerator() override;

  bool Apply(TUpdateKind UpdateKind, TDataSet* DataSet) override;
  // Empty when not linked.
  std::string GetSQL(TUpdateKind UpdateKind) override;

 private:
  static constexpr std::size_t kShapesKept = 64;
  std::unique_ptr<TQVLDataSetSQLGenerator> FGenerator;  // for the open dataset
  bool FHasObjects = false;                             // object fields: generated each time
  std::string FShape;                                   // the current record's, reused
  std::vector<TQVLDataSetImpl::TNewValueHint> FHints;   // the current record's, reused
  std::unordered_map<std::string, std::string> FByShape;
};

}  // namespace qvl
