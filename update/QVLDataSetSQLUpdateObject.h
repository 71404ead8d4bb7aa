#pragma once
// TQVLDataSetSQLUpdateObject: an update object that writes a change with one
// SQL statement per update kind. The statement (GetSQL) is macro SQL: it goes
// through the SQL processor (Parse, then Build with the processor's macros),
// its parameters are filled from the record's new and old values
// (AssignParamsFromDataSet: "OLD_NAME" for old values) and it is executed
// through the dataset's provider support.
//
// With uoCheckRowsAffected, a statement that affects no row raises the
// record-changed error (the row was changed or deleted by someone else), and
// one that affects more than one raises "Update affected more than 1 record."
// unless uoAllowMultiRecordUpdates is set. Both are EDatabaseError, so the
// engine offers them to OnUpdateError.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qvl/engine/QVLDataSetUpdateObject.h"
#include "qvl/host/dataset/Params.h"

#pragma GCC visibility push(default)

namespace qvl {

class TQVLSQLProcessor;

class TQVLDataSetSQLUpdateObject : public TQVLDataSetUpdateObject {
 public:
  using TQVLDataSetUpdateObject::TQVLDataSetUpdateObject;

  // False, with nothing executed, when GetSQL gives no statement for the
  // kind. Raises EDatabaseError when the object is not linked to an engine.
  bool Apply(TUpdateKind UpdateKind, TDataSet* DataSet) override;
  // The check described above.
  void CheckRowsAffected(std::int64_t Rows, std::uint8_t Options) const override;
  // The statement for the kind; empty when there is none.
  virtual std::string GetSQL(TUpdateKind UpdateKind) = 0;
  // The processor that processes the statements: by default the one the
  // linked dataset uses for its own SQL.
  virtual TQVLSQLProcessor* GetSQLProcessorToUse();

 protected:
  // Apply with the statement given: processed, filled, executed, checked
  // (or, while the engine applies in batches, added to the batch).
  bool ApplySQL(const std::string& SQL, TDataSet* DataSet);

 private:
  struct TBuilt {
    std::string Source;
    char ParamChar, MacroChar;
    std::uint64_t MacrosStamp;
    std::string SQL;                  // as processed
    std::unique_ptr<TParams> Params;  // one per reference, in text order
    std::vector<int> FieldIndexes;    // of the field each parameter names
    std::uint64_t LastUse;            // FUses when it was last taken
  };
  static constexpr std::size_t kBuiltKept = 8;
  std::vector<TBuilt> FBuilt;  // the statements processed last, in no order
  std::uint64_t FUses = 0;
};

}  // namespace qvl

#pragma GCC visibility pop
