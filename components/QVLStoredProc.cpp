#include "qvl/components/QVLStoredProc.h"

namespace qvl {

TQVLStoredProc::TQVLStoredProc(TComponent* AOwner) : TQVLCustomDataSet<TSQLStoredProc>(AOwner) {}

TQVLStoredProc::~TQVLStoredProc() {
  DestroyingDataSet();
}

}  // namespace qvl
