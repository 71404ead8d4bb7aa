#include "qvl/components/QVLQuery.h"

namespace qvl {

template class TQVLCustomDataSet<TSQLQuery>;

TQVLQuery::TQVLQuery(TComponent* AOwner) : TQVLCustomDataSet<TSQLQuery>(AOwner) {}

TQVLQuery::~TQVLQuery() {
  DestroyingDataSet();
}

}  // namespace qvl
