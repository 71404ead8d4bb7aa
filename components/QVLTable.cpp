#include "qvl/components/QVLTable.h"

namespace qvl {

TQVLTable::TQVLTable(TComponent* AOwner) : TQVLCustomDataSet<TSQLTable>(AOwner) {}

TQVLTable::~TQVLTable() {
  DestroyingDataSet();
}

}  // namespace qvl
