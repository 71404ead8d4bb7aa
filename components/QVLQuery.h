#pragma once
// TQVLQuery: a TSQLQuery whose records live in the record cache engine:
// scrollable both ways, editable with cached updates, searchable with Locate
// and Lookup.
//
// Still to come: macro SQL (the SQL list through the SQL processor) and the
// query's own SQLProcessor.

#include "qvl/components/QVLCustomDataSet.h"
#include "qvl/host/sqlclient/SQLDataSet.h"

namespace qvl {

extern template class TQVLCustomDataSet<TSQLQuery>;

class TQVLQuery : public TQVLCustomDataSet<TSQLQuery> {
 public:
  explicit TQVLQuery(TComponent* AOwner = nullptr);
  ~TQVLQuery() override;
};

}  // namespace qvl
