#include "qvl/components/QVLDataSet.h"

namespace qvl {

TQVLDataSet::TQVLDataSet(TComponent* AOwner)
    : TQVLCustomDataSet<TSQLDataSet>(AOwner), FInternalUpdateObject(new TQVLUpdateSQL(this)) {
  SetUpdateObject(FInternalUpdateObject);
  FInternalUpdateObject->SetName("InternalUpdateObject");
}

TQVLDataSet::~TQVLDataSet() {
  DestroyingDataSet();
}

}  // namespace qvl
