#include "qvl/components/QVLTable.h"

namespace qvl {

template class TQVLCustomDataSet<TSQLTable>;

TQVLTable::TQVLTable(TComponent* AOwner) : TQVLCustomDataSet<TSQLTable>(AOwner) {}

TQVLTable::~TQVLTable() {
  DestroyingDataSet();
}

}  // namespace qvl
