#include "qvl/update/QVLUpdateSQL.h"

#include <utility>

#include "qvl/host/runtime/Exceptions.h"
#include "qvl/host/runtime/RTLConsts.h"
#include "qvl/sql/QVLSQLProcessor.h"

namespace qvl {

TQVLUpdateSQL::TQVLUpdateSQL(TComponent* AOwner) : TQVLDataSetSQLUpdateObject(AOwner) {
  for (auto& list : FSQL) list = std::make_unique<TStringList>();
}

TQVLUpdateSQL::~TQVLUpdateSQL() {
  SetSQLProcessor(nullptr);
}

std::string TQVLUpdateSQL::GetSQL(TUpdateKind UpdateKind) {
  const TStringList& list = static_cast<TStringList&>(GetSQLIndex(UpdateKind));
  TJoined& joined = FJoined[static_cast<std::size_t>(UpdateKind)];
  if (!joined.Valid || joined.Stamp != list.GetChangeStamp() ||
      joined.LineBreak != list.GetLineBreak()) {
    joined.Text = list.GetText();
    joined.Stamp = list.GetChangeStamp();
    joined.LineBreak = list.GetLineBreak();
    joined.Valid = true;
  }
  return joined.Text;
}

TQVLSQLProcessor* TQVLUpdateSQL::GetSQLProcessorToUse() {
  if (FSQLProcessor != nullptr) return FSQLProcessor;
  return TQVLDataSetSQLUpdateObject::GetSQLProcessorToUse();
}

void TQVLUpdateSQL::SetSQLProcessor(TQVLSQLProcessor* Value) {
  if (FSQLProcessor != nullptr) FSQLProcessor->RemoveFreeNotification(this);
  FSQLProcessor = Value;
  if (Value != nullptr) Value->FreeNotification(this);
}

const TStrings& TQVLUpdateSQL::GetSQLIndex(int Index) const {
  if (Index < 0 || Index >= static_cast<int>(FSQL.size()))
    throw EListError(Format(SListIndexError, {std::to_string(Index)}));
  return *FSQL[static_cast<std::size_t>(Index)];
}

TStrings& TQVLUpdateSQL::GetSQLIndex(int Index) {
  return const_cast<TStrings&>(std::as_const(*this).GetSQLIndex(Index));
}

void TQVLUpdateSQL::SetSQLIndex(int Index, const TStrings& Value) {
  GetSQLIndex(Index).Assign(Value);
}

void TQVLUpdateSQL::Notification(TComponent* AComponent, TOperation Operation) {
  TQVLDataSetSQLUpdateObject::Notification(AComponent, Operation);
  if (AComponent == FSQLProcessor && Operation == opRemove) FSQLProcessor = nullptr;
}

}  // namespace qvl
