#pragma once
// TQVLStoredProc: a TSQLStoredProc whose result rows live in the record
// cache engine: scrollable both ways, editable with cached updates,
// searchable with Locate and Lookup.

#include "qvl/components/QVLCustomDataSet.h"
#include "qvl/host/sqlclient/SQLDataSet.h"

#pragma GCC visibility push(default)

namespace qvl {

extern template class TQVLCustomDataSet<TSQLStoredProc>;

class TQVLStoredProc : public TQVLCustomDataSet<TSQLStoredProc> {
 public:
  explicit TQVLStoredProc(TComponent* AOwner = nullptr);
  ~TQVLStoredProc() override;
};

}  // namespace qvl

#pragma GCC visibility pop
