#include "qvl/host/sqlclient/SQLColumnPolicy.h"

#include <algorithm>

#include "qvl/host/dataset/VariantCell.h"
#include "qvl/host/sqlclient/SQLConsts.h"
#include "qvl/host/sqlclient/SQLValues.h"

namespace qvl::sqlpolicy {

void SetStringColumn(TSQLColumnDesc& C, TFieldType Type, long long Chars) {
  if (Chars <= 0 || Chars > kMaxStringBytes / 4) {
    C.DataType = ftMemo;
    C.Size = 0;
    return;
  }
  C.DataType = Type;
  C.Size = static_cast<int>(Chars * 4);
}

void SetDecimalColumn(TSQLColumnDesc& C, long long Precision, long long Scale) {
  if (Precision <= 0) {
    Precision = kFreePrecision;
    Scale = kFreeScale;
  }
  // A negative scale rounds to tens, hundreds, ...: more digits before the
  // point than the precision counts.
  const long long intDigits = std::max(Precision - Scale, 0LL);
  const long long fracDigits = std::max(Scale, 0LL);
  C.DataType = ftFMTBcd;
  C.Size = static_cast<int>(fracDigits);
  C.Precision = static_cast<int>(std::max(intDigits, 1LL) + fracDigits);
}

void ApplyBaseColumn(TSQLColumnDesc& C, const TBaseColumnFacts& Facts) {
  C.InKey = Facts.InKey;
  C.ReadOnly = Facts.Generated || Facts.RefusesValues;
  C.Required = Facts.NotNull && !Facts.FilledByServer && !C.ReadOnly;
}

void ApplyExpression(TSQLColumnDesc& C) {
  C.ReadOnly = true;
  C.Required = false;
  C.InKey = false;
}

std::size_t ColumnBufferSize(const TSQLColumnDesc& C) {
  const auto size = static_cast<std::size_t>(std::max(C.Size, 0));
  if (IsStringType(C.DataType)) return size + 1;
  if (IsExactNumericType(C.DataType)) return static_cast<std::size_t>(C.Precision) + 3;
  switch (C.DataType) {
    case ftBytes:
      return size;
    case ftVarBytes:
      return size + 2;
    case ftSmallint:
    case ftWord:
    case ftBoolean:
      return 2;
    case ftInteger:
    case ftAutoInc:
    case ftDate:
      return 4;
    case ftLargeint:
    case ftFloat:
    case ftCurrency:
    case ftTime:
      return 8;
    case ftDateTime:
    case ftTimeStamp:
      return kDateTimeBytes;
    case ftVariant:
      return TVariantCell::kSize;
    default:
      return 0;
  }
}

TTemporalParam TemporalParamKind(TFieldType DataType) {
  switch (DataType) {
    case ftDate:
      return TTemporalParam::Date;
    case ftTime:
      return TTemporalParam::Time;
    default:
      return TTemporalParam::Timestamp;
  }
}

std::string TemporalParamText(const TDateTime& Value, TTemporalParam Kind, bool BCSuffix,
                              int Number) {
  if (Value.IsInfinite()) return DateTimeToStr(Value);  // "infinity", "-infinity"
  switch (Kind) {
    case TTemporalParam::Date:
      if (TimePart(Value) != 0)
        DatabaseErrorFmt(SParamDateHasTime, {std::to_string(Number), DateTimeToStr(Value)});
      return sqlvalue::FormatDate(DatePart(Value), BCSuffix);
    case TTemporalParam::Time:
      // The end of the day, 24:00:00, is a time of its own.
      return sqlvalue::FormatTimeOfDay(Value.Days == 1 && Value.Time == 0 ? TDateTime::kMicrosPerDay
                                                                          : TimePart(Value));
    case TTemporalParam::Timestamp:
      break;
  }
  return sqlvalue::FormatTimestamp(Value, BCSuffix);
}

}  // namespace qvl::sqlpolicy
