#pragma once
// What the PostgreSQL driver knows about the server's types and texts,
// without a session: pure functions over bytes and strings, so that each can
// be tested and fuzzed without a server.
//
// Columns: MapBuiltin gives the field of a built-in type by its number and
// type modifier; types it does not know (domains, enumerations, extensions)
// are resolved from the catalog by the statement.
//
// Values: a result comes in text form, read by the SQL layer's text readers
// (sqlvalue::PutText), or in binary form, which PutBinary reads. Every
// binary form is first turned into the text the server would have printed
// for the value (NumericText, DateText, TimeText, TimestampText, UuidText,
// CharText)
// and read as that text, so that both forms give the same field value; only
// floats read their bits directly, which is why binary results exist. Bytes
// that are no value of the column's kind (a hostile or changed server) raise
// EDatabaseError naming the column, never read past Length.
//
// Statement texts: "?" markers become "$n" (RewritePostgreSQLMarkers), and
// a text is told apart as a query a cursor may hold (MayBeCursor) and as one
// statement (OneStatement). libpq's messages: LibpqMessage and
// ServerRefusal.

#include <postgres_ext.h>

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "qvl/host/dataset/VariantCell.h"
#include "qvl/host/runtime/BlobByteData.h"
#include "qvl/host/sqlclient/SQLColumnPolicy.h"
#include "qvl/host/sqlclient/SQLDriver.h"

namespace qvl {

// "?" markers to "$n" outside quoted text, dollar-quoted bodies, quoted
// names and comments; "??" is a literal "?" (the jsonb operators). Count
// receives the number of markers.
std::string RewritePostgreSQLMarkers(const std::string& Text, int& Count);

namespace pgtype {

// The numbers of the built-in types the driver reads.
enum : Oid {
  kBool = 16,
  kBytea = 17,
  kChar = 18,
  kName = 19,
  kInt8 = 20,
  kInt2 = 21,
  kInt4 = 23,
  kText = 25,
  kOid = 26,
  kJson = 114,
  kXml = 142,
  kCidr = 650,
  kFloat4 = 700,
  kFloat8 = 701,
  kMacaddr8 = 774,
  kMoney = 790,
  kMacaddr = 829,
  kInet = 869,
  kBpchar = 1042,
  kVarchar = 1043,
  kDate = 1082,
  kTime = 1083,
  kTimestamp = 1114,
  kTimestamptz = 1184,
  kInterval = 1186,
  kTimetz = 1266,
  kNumeric = 1700,
  kUuid = 2950,
  kJsonb = 3802,
};

// The field type, size and precision of a built-in type with its type
// modifier (-1: none); false, with C's type untouched, for types the
// catalog must name.
bool MapBuiltin(Oid Type, int Typmod, TSQLColumnDesc& C);

// How a column of a type reads in binary form: the types whose binary form
// is their text, and the numbers; No for a type without one read here.
enum class TBinaryKind : char {
  No,
  Text,
  Float4,
  Float8,
  Signed,
  Unsigned,
  Bool,
  Numeric,
  Date,
  Time,
  Timestamp,
  Timestamptz,
  Uuid,
  Char
};
TBinaryKind BinaryKindOf(Oid Type, bool Enum);

// Whether the server can compare two values of a built-in type with "=",
// so that a generated WHERE may name the column: false for json, xml,
// point, polygon, jsonpath, refcursor, txid_snapshot, pg_snapshot and their
// arrays.
bool HasEquality(Oid Type);

// Reads a value of Kind in binary form (Length bytes at Data) into the
// buffer of column C, as sqlvalue::PutText would read the server's text for
// it; raises EDatabaseError naming the column for bytes that are no value
// of Kind.
void PutBinary(const TSQLColumnDesc& C, TBinaryKind Kind, const char* Data, std::size_t Length,
               void* Buffer);
// Reads a bytea in its hex text form ("\x" and two digits a byte) into
// Value; raises EDatabaseError naming the column for any other form.
void ReadByteaHex(const TSQLColumnDesc& C, std::string_view Text, TBlobByteData& Value);
// Reads an unconstrained numeric, in binary form or as text, into the
// decimal cell a variant field keeps.
void ReadDecimalVariant(const TSQLColumnDesc& C, bool Binary, std::string_view Data,
                        TVariantCell& Value);

// Big-endian unsigned number of Size bytes (at most 8).
std::uint64_t BigEndian(const char* Data, std::size_t Size);
// The text of a numeric in binary form (digit count, weight, sign, display
// scale, base-10000 digits), "NaN" and "Infinity" included; false when the
// bytes are not of that form.
bool NumericText(const char* Data, std::size_t Size, std::string& Out);
// Days since 2000-01-01 as ISO text; Era receives " BC" for years before 1.
std::string DateText(std::int64_t Days, std::string& Era);
// Microseconds of a day as "HH:MM:SS[.ffffff]", trailing zeros dropped.
std::string TimeText(std::int64_t Micros);
// Microseconds since 2000-01-01 00:00 as the server prints them, "+00"
// after a zone-aware value (the session's zone is UTC).
std::string TimestampText(std::int64_t Micros, bool Zone);
// 16 bytes as the lower-case text with dashes.
std::string UuidText(const char* Data);
// The byte of a "char" as the server prints it: itself below 0x80 (none for
// 0), a backslash and three octal digits from 0x80 on ("\200").
std::string CharText(unsigned char Byte);

// The form of a date or time parameter sent to a server type Target.
sqlpolicy::TTemporalParam TemporalKindOf(Oid Target, TFieldType DataType);
// An array literal of type numbers, for the catalog queries.
std::string OidArray(const std::set<Oid>& Oids);

// Whether the statement is a query that a cursor might hold (it begins with
// SELECT, VALUES, TABLE or WITH); the server decides the rest.
bool MayBeCursor(const std::string& SQL);
// Whether the text holds one statement: nothing but blanks and comments
// after a ";".
bool OneStatement(const std::string& SQL);

// A message of libpq's own: its first line, without the severity that the
// server puts before it.
std::string LibpqMessage(const char* Text);
// The SQLSTATE and the server's message in a verbose libpq message ("...
// FATAL:  3D000: database "x" does not exist\n..."); false when the server
// said nothing (the network failed first).
bool ServerRefusal(const std::string& Text, std::string& State, std::string& Message);

}  // namespace pgtype
}  // namespace qvl
