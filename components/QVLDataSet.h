#pragma once
// TQVLDataSet: a TSQLDataSet (query, table or stored procedure by CommandType)
// whose records live in the record cache engine: scrollable both ways,
// editable with cached updates, searchable with Locate and Lookup.
//
// Its update object is fixed: a TQVLUpdateSQL named "InternalUpdateObject",
// owned by the dataset, whose statements the application fills through
// GetUpdateObject(). UpdateObject cannot be set.

#include "qvl/components/QVLCustomDataSet.h"
#include "qvl/host/sqlclient/SQLDataSet.h"
#include "qvl/update/QVLUpdateSQL.h"

#pragma GCC visibility push(default)

namespace qvl {

extern template class TQVLCustomDataSet<TSQLDataSet>;

class TQVLDataSet : public TQVLCustomDataSet<TSQLDataSet> {
 public:
  explicit TQVLDataSet(TComponent* AOwner = nullptr);
  ~TQVLDataSet() override;

  TQVLUpdateSQL* GetUpdateObject() const { return FInternalUpdateObject; }

 private:
  using TQVLCustomDataSet<TSQLDataSet>::SetUpdateObject;
  TQVLUpdateSQL* FInternalUpdateObject;  // owned as a component of this dataset
};

}  // namespace qvl

#pragma GCC visibility pop
