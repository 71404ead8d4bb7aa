#include "qvl/sql/QVLConnection.h"

namespace qvl {

TQVLConnection::TQVLConnection(TComponent* AOwner) : TSQLConnection(AOwner) {}

TQVLConnection::~TQVLConnection() {
  SetSQLProcessor(nullptr);
}

void TQVLConnection::SetSQLProcessor(TQVLSQLProcessor* Value) {
  if (FSQLProcessor != nullptr) FSQLProcessor->RemoveFreeNotification(this);
  FSQLProcessor = Value;
  if (Value != nullptr) Value->FreeNotification(this);
}

TQVLSQLProcessor& TQVLConnection::GetSQLProcessorInUse() const {
  return FSQLProcessor != nullptr ? *FSQLProcessor : TQVLSQLProcessor::DefaultProcessor();
}

void TQVLConnection::Notification(TComponent* AComponent, TOperation Operation) {
  TSQLConnection::Notification(AComponent, Operation);
  if (Operation == opRemove && AComponent != nullptr &&
      AComponent == static_cast<TComponent*>(FSQLProcessor))
    FSQLProcessor = nullptr;
}

}  // namespace qvl
