#pragma once
// Conversions shared by the SQL drivers: database values into the native
// field buffer formats of host/dataset/Field.h, and parameter values into the text
// forms the databases read.
//
// The Put* functions write one value for the column C into Buffer, in the
// format of C.DataType. They never cut or round: a value the format cannot
// hold raises EDatabaseError naming the column (SValueDoesNotFit), and a
// value that is not of the column's kind at all raises SValueNotValid.
// Blob types are not written through them (drivers hand blobs over as
// TBlobByteData).

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "qvl/host/runtime/DateTime.h"
#include "qvl/host/sqlclient/SQLDriver.h"

namespace qvl::sqlvalue {

[[noreturn]] void NotValid(const TSQLColumnDesc& C, std::string_view Value);
[[noreturn]] void DoesNotFit(const TSQLColumnDesc& C, std::string_view Value);

void PutInt64(const TSQLColumnDesc& C, std::int64_t Value, void* Buffer);
void PutDouble(const TSQLColumnDesc& C, double Value, void* Buffer);
// Text as the database stores or prints it; parsed for non-text types.
void PutText(const TSQLColumnDesc& C, std::string_view Text, void* Buffer);
// Raw bytes for ftBytes and ftVarBytes; for text types the same as PutText.
void PutBytes(const TSQLColumnDesc& C, const void* Data, std::size_t Size, void* Buffer);

// Days since 1970-01-01 of "YYYY-MM-DD" at P, which must be followed by
// End (the end of the text); false (nothing written to Buffer) for any other
// text or an impossible date. The common form of dates read from text, so
// it stays short.
inline bool TryPutIsoDate(const char* P, const char* End, void* Buffer) {
  if (End - P != 10) return false;
  // Eight bytes at once: XOR with '0' maps the digits, and only them, to
  // 0..9; the dashes become 0x1d.
  std::uint64_t w;
  std::memcpy(&w, P, 8);
  const std::uint64_t x = w ^ 0x3030303030303030ull;
  constexpr std::uint64_t kDigits = 0x0080800080808080ull;  // bytes 0-3, 5, 6
  constexpr std::uint64_t kDashes = 0xff0000ff00000000ull;  // bytes 4, 7
  if ((((x | (x + 0x7676767676767676ull)) & kDigits) != 0) ||
      (x & kDashes) != 0x1d00001d00000000ull)
    return false;
  const unsigned d0 = static_cast<unsigned char>(P[8]) - 48u;
  const unsigned d1 = static_cast<unsigned char>(P[9]) - 48u;
  if ((d0 > 9) | (d1 > 9)) return false;
  const auto byte = [&](int I) { return static_cast<unsigned>((x >> (8 * I)) & 0xff); };
  const unsigned y = byte(0) * 1000 + byte(1) * 100 + byte(2) * 10 + byte(3);
  const unsigned m = byte(5) * 10 + byte(6), d = d0 * 10 + d1;
  // Days before each month, counted from March so that a leap day is last.
  static constexpr unsigned short kBefore[13] = {0,   306, 337, 0,   31,  61, 92,
                                                 122, 153, 184, 214, 245, 275};
  static constexpr unsigned char kLength[13] = {0, 31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m - 1 > 11 || d - 1 >= kLength[m]) return false;
  if (m == 2 && d == 29 && (y % 4 != 0 || (y % 100 == 0 && y % 400 != 0))) return false;
  // Years shifted by 400 so that March-based counting never goes negative.
  const unsigned yy = y + 400 - (m <= 2 ? 1 : 0);
  const unsigned days = yy * 365 + yy / 4 - yy / 100 + yy / 400 + kBefore[m] + d - 1;
  const std::int32_t since1970 = static_cast<std::int32_t>(days) - 719468 - 146097;
  std::memcpy(Buffer, &since1970, sizeof since1970);
  return true;
}
inline bool TryPutIsoDate(std::string_view T, void* Buffer) {
  return TryPutIsoDate(T.data(), T.data() + T.size(), Buffer);
}

// Whole-text parsers; false for anything else than the form named.
bool ParseInt64(std::string_view Text, std::int64_t& Value);
// Decimal or exponent notation, "NaN", "Infinity", "-Infinity", "inf".
bool ParseDouble(std::string_view Text, double& Value);
// The digits of a plain decimal ("-0012.3400") from its first to its last
// non-zero digit (4 here); 0 for zero.
int SignificantDigits(std::string_view Decimal);
// True when Text names the same number as Value prints as (no digit lost).
bool SameNumber(std::string_view Text, double Value);

// Shortest text that reads back as the same double; General may use an
// exponent, otherwise plain decimal digits.
std::string DoubleToText(double Value, bool General = true);

enum class TParse { Ok, Invalid, Inexact };
// "[-]YYYY-MM-DD", then optionally " " or "T" and a time, an offset
// ("Z", "+HH", "+HH:MM", ...) that is taken away to give UTC, and " BC".
// Inexact: digits beyond the microsecond, or a real date beyond TDateTime's
// finite day counts.
TParse ParseTimestamp(std::string_view Text, TDateTime& Value, bool& HadTime);
// "HH:MM[:SS[.ffffff]]", 24:00:00 allowed.
TParse ParseTimeOfDay(std::string_view Text, std::int64_t& Micros);

// Text forms written for parameters. ISO keeps year 0 and before as a
// minus sign; the PostgreSQL form writes them with " BC".
std::string FormatDate(std::int32_t Days, bool BCSuffix);
std::string FormatTimeOfDay(std::int64_t Micros);
std::string FormatTimestamp(TDateTime Value, bool BCSuffix);

}  // namespace qvl::sqlvalue
