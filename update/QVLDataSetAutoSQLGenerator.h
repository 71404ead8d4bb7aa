#pragma once
// TQVLDataSetAutoSQLGenerator: the update object that generates its statement
// from the linked dataset's fields, provider flags and update mode, through
// the processor's GenerateDateSetSQL. The engine links one for the records
// that neither OnUpdateRecord nor its update object wrote, when
// uoAllowAutomaticUpdate allows it.
//
// A modified record whose fields all hold their old values again has nothing
// to assign: it counts as applied without a statement.

#include "qvl/update/QVLDataSetSQLUpdateObject.h"

namespace qvl {

class TQVLDataSetAutoSQLGenerator : public TQVLDataSetSQLUpdateObject {
 public:
  using TQVLDataSetSQLUpdateObject::TQVLDataSetSQLUpdateObject;

  bool Apply(TUpdateKind UpdateKind, TDataSet* DataSet) override;
  // Empty when not linked.
  std::string GetSQL(TUpdateKind UpdateKind) override;
};

}  // namespace qvl
