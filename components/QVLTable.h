#pragma once
// TQVLTable: a TSQLTable whose rows live in the record cache engine:
// scrollable both ways, editable with cached updates, searchable with Locate
// and Lookup.

#include "qvl/components/QVLCustomDataSet.h"
#include "qvl/host/sqlclient/SQLDataSet.h"

#pragma GCC visibility push(default)

namespace qvl {

extern template class TQVLCustomDataSet<TSQLTable>;

class TQVLTable : public TQVLCustomDataSet<TSQLTable> {
 public:
  explicit TQVLTable(TComponent* AOwner = nullptr);
  ~TQVLTable() override;
};

}  // namespace qvl

#pragma GCC visibility pop
