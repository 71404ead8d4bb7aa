#pragma once
// TQVLDataSet: a TSQLDataSet (query, table or stored procedure by CommandType)
// whose records live in the record cache engine: scrollable both ways,
// editable with cached updates, searchable with Locate and Lookup.
//
// Still to come: the internal update object "InternalUpdateObject" and
// ApplyUpdates.

#include "qvl/components/QVLCustomDataSet.h"
#include "qvl/host/sqlclient/SQLDataSet.h"

namespace qvl {

extern template class TQVLCustomDataSet<TSQLDataSet>;

class TQVLDataSet : public TQVLCustomDataSet<TSQLDataSet> {
 public:
  explicit TQVLDataSet(TComponent* AOwner = nullptr);
  ~TQVLDataSet() override;
};

}  // namespace qvl
