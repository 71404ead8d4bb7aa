#include "qvl/components/QVLDataSet.h"

namespace qvl {

template class TQVLCustomDataSet<TSQLDataSet>;

TQVLDataSet::TQVLDataSet(TComponent* AOwner)
    : TQVLCustomDataSet<TSQLDataSet>(AOwner), FInternalUpdateObject(new TQVLUpdateSQL(this)) {
  SetUpdateObject(FInternalUpdateObject);
  FInternalUpdateObject->SetName("InternalUpdateObject");
}

TQVLDataSet::~TQVLDataSet() {
  DestroyingDataSet();
}

}  // namespace qvl
