#include "qvl/components/QVLDataSet.h"

namespace qvl {

template class TQVLCustomDataSet<TSQLDataSet>;

TQVLDataSet::TQVLDataSet(TComponent* AOwner) : TQVLCustomDataSet<TSQLDataSet>(AOwner) {}

TQVLDataSet::~TQVLDataSet() {
  DestroyingDataSet();
}

}  // namespace qvl
