#pragma once
// Enumerations and small sets shared by the dataset framework, the SQL layer
// and the components. Values keep their declared order from 0.

#include <cstdint>
#include <exception>

#pragma GCC visibility push(default)

namespace qvl {

enum TFieldType : std::uint8_t {
  ftUnknown,
  ftString,
  ftSmallint,
  ftInteger,
  ftWord,
  ftBoolean,
  ftFloat,
  ftCurrency,
  ftBCD,
  ftDate,
  ftTime,
  ftDateTime,
  ftBytes,
  ftVarBytes,
  ftAutoInc,
  ftBlob,
  ftMemo,
  ftGraphic,
  ftFmtMemo,
  ftParadoxOle,
  ftDBaseOle,
  ftTypedBinary,
  ftCursor,
  ftFixedChar,
  ftWideString,
  ftLargeint,
  ftADT,
  ftArray,
  ftReference,
  ftDataSet,
  ftOraBlob,
  ftOraClob,
  ftVariant,
  ftInterface,
  ftIDispatch,
  ftGuid,
  ftTimeStamp,
  ftFMTBcd,
};
const char* FieldTypeName(TFieldType Type);
// Types whose values are whole byte arrays (TBlobByteData), binary or text.
constexpr bool IsBlobType(TFieldType Type) {
  switch (Type) {
    case ftBlob:
    case ftMemo:
    case ftGraphic:
    case ftFmtMemo:
    case ftTypedBinary:
    case ftOraBlob:
    case ftOraClob:
      return true;
    default:
      return false;
  }
}

// Types held as zero-terminated text in a buffer of DataSize bytes.
constexpr bool IsStringType(TFieldType Type) {
  return Type == ftString || Type == ftFixedChar || Type == ftWideString || Type == ftGuid;
}
// Types whose values are text of any length (memos).
constexpr bool IsMemoType(TFieldType Type) {
  return Type == ftMemo || Type == ftFmtMemo || Type == ftOraClob;
}
// Types whose values are bytes, not text: fixed and variable buffers and
// binary blobs.
constexpr bool IsBinaryType(TFieldType Type) {
  return Type == ftBytes || Type == ftVarBytes || (IsBlobType(Type) && !IsMemoType(Type));
}
// Exact decimals, held as their normalised decimal text.
constexpr bool IsExactNumericType(TFieldType Type) {
  return Type == ftBCD || Type == ftFMTBcd;
}

enum TFieldKind : std::uint8_t { fkData, fkCalculated, fkLookup, fkInternalCalc, fkAggregate };

enum TProviderFlag : std::uint8_t {
  pfInUpdate = 1,
  pfInWhere = 2,
  pfInKey = 4,
  pfHidden = 8,
};
using TProviderFlags = std::uint8_t;

enum TDataSetState : std::uint8_t {
  dsInactive,
  dsBrowse,
  dsEdit,
  dsInsert,
  dsSetKey,
  dsCalcFields,
  dsFilter,
  dsNewValue,
  dsOldValue,
  dsCurValue,
  dsBlockRead,
  dsInternalCalc,
  dsOpening,
};

enum TGetMode : std::uint8_t { gmCurrent, gmNext, gmPrior };
enum TGetResult : std::uint8_t { grOK, grBOF, grEOF, grError };
enum TUpdateStatus : std::uint8_t { usUnmodified, usModified, usInserted, usDeleted };
enum TUpdateKind : std::uint8_t { ukModify, ukInsert, ukDelete };
enum TUpdateAction : std::uint8_t { uaFail, uaAbort, uaSkip, uaRetry, uaApplied };
// What became of a transaction whose COMMIT went unanswered.
enum TCommitOutcome : std::uint8_t { coCommitted, coRolledBack, coUnknown };
enum TUpdateMode : std::uint8_t { upWhereAll, upWhereChanged, upWhereKeyOnly };
enum TBookmarkFlag : std::uint8_t { bfCurrent, bfBOF, bfEOF, bfInserted };
enum TBlobStreamMode : std::uint8_t { bmRead, bmWrite, bmReadWrite };

enum TDataEvent : std::uint8_t {
  deFieldChange,
  deRecordChange,
  deDataSetChange,
  deDataSetScroll,
  deLayoutChange,
  deUpdateRecord,
  deUpdateState,
  deCheckBrowseMode,
  dePropertyChange,
  deFieldListChange,
  deFocusControl,
  deParentScroll,
  deConnectChange,
};

// A set of TUpdateStatus values, bit n for the n-th status.
using TUpdateStatusSet = std::uint8_t;
constexpr TUpdateStatusSet UpdateStatusBit(TUpdateStatus S) {
  return static_cast<TUpdateStatusSet>(1u << S);
}

enum TLocateOption : std::uint8_t { loCaseInsensitive = 1, loPartialKey = 2 };
using TLocateOptions = std::uint8_t;

enum TResyncModeFlag : std::uint8_t { rmExact = 1, rmCenter = 2 };
using TResyncMode = std::uint8_t;

enum TParamType : std::uint8_t { ptUnknown, ptInput, ptOutput, ptInputOutput, ptResult };

// What became of a statement of a batch (PSBatchAdd): Run, with the rows it
// affected, or its Error; neither when a statement before it failed.
struct TBatchOutcome {
  bool Run = false;
  std::int64_t Rows = 0;
  std::exception_ptr Error;
};

}  // namespace qvl

#pragma GCC visibility pop
