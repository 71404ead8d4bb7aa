#pragma once
// IQVLRecordCursor: the row source a dataset component is to its record
// cache engine, with the types the components take from the engine: their
// bookmark size, record update options and update events.
//
// The engine itself (QVLDataSetImpl.h) is the library's own: a component
// holds it behind a pointer, so that an application compiles against none of
// its layout.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "qvl/engine/QVLDataSetUpdateObject.h"
#include "qvl/host/dataset/DBTypes.h"
#include "qvl/host/dataset/DataSet.h"
#include "qvl/host/runtime/BlobByteData.h"
#include "qvl/host/runtime/Exceptions.h"

#pragma GCC visibility push(default)

namespace qvl {

class TQVLSQLProcessor;

// The owner's side of the engine: the row source. The owner constructs the
// engine and outlives it.
class IQVLRecordCursor {
 public:
  // grOK: the owner's cursor stands on a new row; anything else: no more rows.
  virtual TGetResult FetchNext() = 0;
  // Writes the current row's value of a non-blob field (DataSize bytes, native
  // format; for a variant field, assigned to the TVariantCell at Buffer) into
  // Buffer; false for null.
  virtual bool ReadFieldData(int FieldNo, void* Buffer) = 0;
  // Stores the current row's blob bytes into Buffer (left null for null).
  virtual int ReadBlobFieldData(int FieldNo, TBlobByteData& Buffer) = 0;
  // Executes the statement again; the next FetchNext reads the first row.
  virtual void Restart() = 0;
  virtual TQVLSQLProcessor* GetSQLProcessorInUse() = 0;
  // A new update object that generates its statements from the dataset's
  // fields, or null when the owner has none; the engine links it for one
  // record's apply at a time.
  virtual std::unique_ptr<TQVLDataSetUpdateObject> CreateAutoSQLGenerator() = 0;

 protected:
  ~IQVLRecordCursor() = default;
};

inline constexpr int kQVLBookmarkSize = static_cast<int>(sizeof(void*) + sizeof(std::uint64_t));

// TQVLRecordUpdateOption: bit n for the n-th member.
enum TQVLRecordUpdateOption : std::uint8_t {
  uoCheckRowsAffected = 1,
  uoAllowMultiRecordUpdates = 2,
  uoAllowAutomaticUpdate = 4,
  uoUpdateInTransaction = 8,
};
using TQVLRecordUpdateOptions = std::uint8_t;
inline constexpr TQVLRecordUpdateOptions kQVLAllRecordUpdateOptions =
    uoCheckRowsAffected | uoAllowMultiRecordUpdates | uoAllowAutomaticUpdate |
    uoUpdateInTransaction;
// A new dataset's options: one record's change writes exactly one row.
// uoAllowMultiRecordUpdates is for an application that knows its statements
// change several rows on purpose; without it, a key-less table's identical
// rows or a query that leaves the key out would all take one edit.
inline constexpr TQVLRecordUpdateOptions kQVLDefaultRecordUpdateOptions =
    uoCheckRowsAffected | uoAllowAutomaticUpdate | uoUpdateInTransaction;

// OnUpdateRecord: applies the record itself, or leaves uaFail for the update
// object. OnUpdateError: decides what a database error while applying means.
using TUpdateRecordEvent =
    std::function<void(TDataSet* DataSet, TUpdateKind UpdateKind, TUpdateAction& UpdateAction)>;
using TUpdateErrorEvent = std::function<void(TDataSet* DataSet, EDatabaseError& E,
                                             TUpdateKind UpdateKind, TUpdateAction& UpdateAction)>;

}  // namespace qvl

#pragma GCC visibility pop
