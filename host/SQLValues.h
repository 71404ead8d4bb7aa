#pragma once
// Conversions shared by the SQL drivers: database values into the native
// field buffer formats of host/Field.h, and parameter values into the text
// forms the databases read.
//
// The Put* functions write one value for the column C into Buffer, in the
// format of C.DataType. They never cut or round: a value the format cannot
// hold raises EDatabaseError naming the column (SValueDoesNotFit), and a
// value that is not of the column's kind at all raises SValueNotValid.
// Blob types are not written through them (drivers hand blobs over as
// TBlobByteData).

#include <cstdint>
#include <string>
#include <string_view>

#include "host/SQLDriver.h"

namespace qvl::sqlvalue {

[[noreturn]] void NotValid(const TSQLColumnDesc& C, std::string_view Value);
[[noreturn]] void DoesNotFit(const TSQLColumnDesc& C, std::string_view Value);

void PutInt64(const TSQLColumnDesc& C, std::int64_t Value, void* Buffer);
void PutDouble(const TSQLColumnDesc& C, double Value, void* Buffer);
// Text as the database stores or prints it; parsed for non-text types.
void PutText(const TSQLColumnDesc& C, std::string_view Text, void* Buffer);
// Raw bytes for ftBytes and ftVarBytes; for text types the same as PutText.
void PutBytes(const TSQLColumnDesc& C, const void* Data, std::size_t Size, void* Buffer);

// Whole-text parsers; false for anything else than the form named.
bool ParseInt64(std::string_view Text, std::int64_t& Value);
// Decimal or exponent notation, "NaN", "Infinity", "-Infinity", "inf".
bool ParseDouble(std::string_view Text, double& Value);
// True when Text names the same number as Value prints as (no digit lost).
bool SameNumber(std::string_view Text, double Value);

// Shortest text that reads back as the same double; General may use an
// exponent, otherwise plain decimal digits.
std::string DoubleToText(double Value, bool General = true);

enum class TParse { Ok, Invalid, Inexact };
// "[-]YYYY-MM-DD", then optionally " " or "T" and a time, an offset
// ("Z", "+HH", "+HH:MM", ...) that is taken away to give UTC, and " BC".
TParse ParseTimestamp(std::string_view Text, std::int64_t& Micros, bool& HadTime);
// "HH:MM[:SS[.ffffff]]", 24:00:00 allowed.
TParse ParseTimeOfDay(std::string_view Text, std::int64_t& Micros);

// Text forms written for parameters. ISO keeps year 0 and before as a
// minus sign; the PostgreSQL form writes them with " BC".
std::string FormatDate(std::int32_t Days, bool BCSuffix);
std::string FormatTimeOfDay(std::int64_t Micros);
std::string FormatTimestamp(std::int64_t Micros, bool BCSuffix);

}  // namespace qvl::sqlvalue
