#pragma once
// TQVLUpdateSQL: the update object whose three statements come from the
// application: ModifySQL, InsertSQL and DeleteSQL (index 0, 1, 2, the update
// kind's value). An empty statement leaves its kind to the next way of
// writing (generated SQL when the dataset allows it).
//
// The statement lists are owned; setters copy the lines given. SQLProcessor,
// when set, processes the statements instead of the dataset's processor; it
// is not owned and is forgotten when it is destroyed (free notification).

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "qvl/host/runtime/Strings.h"
#include "qvl/update/QVLDataSetSQLUpdateObject.h"

#pragma GCC visibility push(default)

namespace qvl {

class TQVLUpdateSQL : public TQVLDataSetSQLUpdateObject {
 public:
  explicit TQVLUpdateSQL(TComponent* AOwner = nullptr);
  ~TQVLUpdateSQL() override;

  std::string GetSQL(TUpdateKind UpdateKind) override;
  TQVLSQLProcessor* GetSQLProcessorToUse() override;

  TQVLSQLProcessor* GetSQLProcessor() const { return FSQLProcessor; }
  void SetSQLProcessor(TQVLSQLProcessor* Value);
  // Index 0 to 2; raises EListError outside.
  TStrings& GetSQLIndex(int Index);
  const TStrings& GetSQLIndex(int Index) const;
  void SetSQLIndex(int Index, const TStrings& Value);
  TStrings& GetSQLUpdateKind(TUpdateKind UpdateKind) { return GetSQLIndex(UpdateKind); }
  const TStrings& GetSQLUpdateKind(TUpdateKind UpdateKind) const { return GetSQLIndex(UpdateKind); }
  void SetSQLUpdateKind(TUpdateKind UpdateKind, const TStrings& Value) {
    SetSQLIndex(UpdateKind, Value);
  }
  TStrings& GetModifySQL() { return GetSQLIndex(ukModify); }
  const TStrings& GetModifySQL() const { return GetSQLIndex(ukModify); }
  void SetModifySQL(const TStrings& Value) { SetSQLIndex(ukModify, Value); }
  TStrings& GetInsertSQL() { return GetSQLIndex(ukInsert); }
  const TStrings& GetInsertSQL() const { return GetSQLIndex(ukInsert); }
  void SetInsertSQL(const TStrings& Value) { SetSQLIndex(ukInsert, Value); }
  TStrings& GetDeleteSQL() { return GetSQLIndex(ukDelete); }
  const TStrings& GetDeleteSQL() const { return GetSQLIndex(ukDelete); }
  void SetDeleteSQL(const TStrings& Value) { SetSQLIndex(ukDelete, Value); }

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;

 private:
  TQVLSQLProcessor* FSQLProcessor = nullptr;
  std::array<std::unique_ptr<TStringList>, 3> FSQL;
  // Each list's Text as last joined: an apply asks for it on every record.
  struct TJoined {
    std::uint64_t Stamp = 0;
    std::string LineBreak, Text;
    bool Valid = false;
  };
  std::array<TJoined, 3> FJoined;
};

}  // namespace qvl

#pragma GCC visibility pop
