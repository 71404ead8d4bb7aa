#pragma once
// TQVLDataSetUpdateObject: what writes one cached record's change to the
// server. The engine calls Apply for each record that OnUpdateRecord did not
// apply; the SQL-based objects that implement it (update/) build, fill and
// execute a statement.
//
// The engine and its update object refer to each other. The link is kept by
// explicit calls, never by free notification: TQVLDataSetImpl::SetUpdateObject
// sets both sides and clears the old object's; destroying a linked object
// clears the engine's reference to it; destroying the engine clears the
// object's. A temporary object the engine makes for generated SQL is linked
// for reading only: it is never the engine's update object.

#include <cstdint>
#include <string>
#include <vector>

#include "qvl/host/dataset/DBTypes.h"
#include "qvl/host/runtime/Component.h"

namespace qvl {

// The library's own, declared outside the exported part.
class TQVLDataSetImpl;

}  // namespace qvl

#pragma GCC visibility push(default)

namespace qvl {

class TDataSet;
class TParams;

class TQVLDataSetUpdateObject : public TComponent {
 public:
  explicit TQVLDataSetUpdateObject(TComponent* AOwner) : TComponent(AOwner) {}
  ~TQVLDataSetUpdateObject() override;

  // Writes the change of the record being applied through DataSet; false
  // when this object has nothing to write for UpdateKind. While the engine
  // applies records in batches (TQVLDataSetImpl::BatchingUpdates), an
  // object may add its statement to the dataset's batch instead of running
  // it (PSBatchAdd) and tell the engine so (UpdateStatementQueued): the
  // engine hands it the rows the statement affected, once the batch ran, to
  // CheckRowsAffected.
  virtual bool Apply(TUpdateKind UpdateKind, TDataSet* DataSet) = 0;
  // Raises EDatabaseError when Rows is not what a statement of this object
  // must affect under the engine's update options (Options, a
  // TQVLRecordUpdateOptions); the default takes any count.
  virtual void CheckRowsAffected(std::int64_t Rows, std::uint8_t Options) const;

  // The linked engine's dataset, or null.
  TDataSet* GetDataSet() const;
  TQVLDataSetImpl* GetDataSetImpl() const { return FDataSetImpl; }

  // Fills each parameter from the field of its name: "OLD_NAME" (those exact
  // capitals) takes the old value of field NAME, any other name the new
  // value of its field. A parameter that names no field is left as it is.
  // Null is sent as null, and empty text or bytes as empty.
  void AssignParamsFromDataSet(TParams& Params) const;
  // The same for parameters filled again and again: FieldIndexes keeps, per
  // parameter, the index of the field it names (-1: none) from one call to
  // the next.
  void AssignParamsFromDataSet(TParams& Params, std::vector<int>& FieldIndexes) const;

 private:
  friend class TQVLDataSetImpl;
  TQVLDataSetImpl* FDataSetImpl = nullptr;
};

}  // namespace qvl

#pragma GCC visibility pop
