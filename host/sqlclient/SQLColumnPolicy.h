#pragma once
// The one policy by which both SQL drivers describe columns and write
// parameters, so that a column or a value means the same whichever database
// holds it: string and decimal sizing, which columns are required or
// read-only, the buffer a column's values take, and the text of date and
// time parameters.

#include <cstddef>
#include <string>

#include "qvl/host/runtime/DateTime.h"
#include "qvl/host/sqlclient/SQLDriver.h"

namespace qvl::sqlpolicy {

// Strings declared longer than this many bytes become memos: a record slot
// of that size would cost every cached row more than the text usually needs.
inline constexpr int kMaxStringBytes = 16384;
// Exact numerics declared without a precision.
inline constexpr int kFreePrecision = 64;
inline constexpr int kFreeScale = 32;

// A string column of Type declared with Chars characters, each up to four
// UTF-8 bytes; a memo when Chars is not positive or the bytes would pass
// kMaxStringBytes.
void SetStringColumn(TSQLColumnDesc& C, TFieldType Type, long long Chars);
// An exact numeric of Precision digits, Scale of them after the point
// (kFreePrecision and kFreeScale when Precision is not positive; a negative
// scale adds digits before the point), with room for the "0" that a value
// below one is written with.
void SetDecimalColumn(TSQLColumnDesc& C, long long Precision, long long Scale);

// What a database's catalog says about a result column's base column.
struct TBaseColumnFacts {
  bool NotNull = false;
  bool FilledByServer = false;  // a default, an identity or the rowid
  bool Generated = false;       // computed from other columns
  bool RefusesValues = false;   // takes no value from clients (GENERATED ALWAYS)
  bool InKey = false;           // part of the primary key
};
// Required: NOT NULL with nothing on the server to fill it in. ReadOnly:
// generated or refusing values. An expression (no base column) is ReadOnly.
void ApplyBaseColumn(TSQLColumnDesc& C, const TBaseColumnFacts& Facts);
void ApplyExpression(TSQLColumnDesc& C);

// Bytes of the buffer that GetData writes for C; 0 for blob types, which
// are handed over as TBlobByteData.
std::size_t ColumnBufferSize(const TSQLColumnDesc& C);

// Date and time parameters. A date parameter whose value has a time of day
// raises (SParamDateHasTime) on every database: written as a timestamp it
// would not read back as a date, and cut it would lose the time. A time
// parameter takes the value as a time of day when it lies between 00:00
// and 24:00, else the time part of it.
enum class TTemporalParam { Date, Time, Timestamp };
// The kind for a parameter of DataType when the server does not say.
TTemporalParam TemporalParamKind(TFieldType DataType);
// Value's text for Kind; BCSuffix writes years before 1 as "... BC" instead
// of a minus sign; Number names the parameter in messages.
std::string TemporalParamText(const TDateTime& Value, TTemporalParam Kind, bool BCSuffix,
                              int Number);

}  // namespace qvl::sqlpolicy
