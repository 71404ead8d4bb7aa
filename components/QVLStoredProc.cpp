#include "qvl/components/QVLStoredProc.h"

namespace qvl {

template class TQVLCustomDataSet<TSQLStoredProc>;

TQVLStoredProc::TQVLStoredProc(TComponent* AOwner) : TQVLCustomDataSet<TSQLStoredProc>(AOwner) {}

TQVLStoredProc::~TQVLStoredProc() {
  DestroyingDataSet();
}

}  // namespace qvl
