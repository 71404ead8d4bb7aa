// The PostgreSQL driver's conversions, without a server: columns of the
// built-in types, values in binary and hex form, statement texts and
// libpq's messages.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "qvl/host/drivers/PostgreSQLTypes.h"
#include "qvl/host/runtime/DateTime.h"
#include "qvl/host/runtime/Exceptions.h"

using namespace qvl;
using namespace qvl::pgtype;

namespace {

std::string Bytes(std::initializer_list<int> B) {
  std::string s;
  for (int b : B) s += static_cast<char>(b);
  return s;
}

std::string BigEndianBytes(std::uint64_t V, int Size) {
  std::string s;
  for (int i = Size - 1; i >= 0; --i) s += static_cast<char>((V >> (8 * i)) & 0xff);
  return s;
}

// A numeric in binary form: digit count, weight, sign, scale, digits.
std::string Numeric(int Weight, int Sign, int Scale, std::vector<int> Digits) {
  std::string s = BigEndianBytes(Digits.size(), 2) + BigEndianBytes(Weight & 0xffff, 2) +
                  BigEndianBytes(Sign, 2) + BigEndianBytes(Scale, 2);
  for (int d : Digits) s += BigEndianBytes(d, 2);
  return s;
}

TSQLColumnDesc TextColumn() {
  TSQLColumnDesc c;
  c.Name = "c";
  c.DataType = ftString;
  c.Size = 80;
  return c;
}

// What PutBinary reads into a string column, or the error it raises.
std::string ReadAsText(TBinaryKind Kind, const std::string& Data) {
  char buffer[128] = {};
  try {
    PutBinary(TextColumn(), Kind, Data.data(), Data.size(), buffer);
  } catch (const EDatabaseError& E) {
    return "error: " + E.Message();
  }
  return buffer;
}

TEST(PGTypes, BuiltinTypesMapToTheirFields) {
  struct Case {
    Oid Type;
    int Typmod;
    TFieldType DataType;
    int Size, Precision;
  };
  const Case cases[] = {
      {kNumeric, (10 << 16 | 2) + 4, ftFMTBcd, 2, 10},
      {kNumeric, (5 << 16 | 0x7fe) + 4, ftFMTBcd, 0, 7},  // numeric(5,-2): to hundreds
      {kNumeric, -1, ftVariant, 0, 0},
      {kVarchar, 20 + 4, ftString, 80, 0},
      {kVarchar, -1, ftMemo, 0, 0},
      {kBpchar, 3 + 4, ftFixedChar, 12, 0},
      {kChar, -1, ftFixedChar, 4, 0},  // "\200": one byte as the server prints it
      {kInt2, -1, ftSmallint, 0, 0},
      {kOid, -1, ftLargeint, 0, 0},
      {kTimestamptz, -1, ftTimeStamp, 0, 0},
      {kUuid, -1, ftGuid, 38, 0},
      {kJsonb, -1, ftMemo, 0, 0},
      {kInterval, -1, ftString, 80, 0},
  };
  for (const Case& c : cases) {
    TSQLColumnDesc col;
    ASSERT_TRUE(MapBuiltin(c.Type, c.Typmod, col)) << c.Type;
    EXPECT_EQ(c.DataType, col.DataType) << c.Type << " " << c.Typmod;
    EXPECT_EQ(c.Size, col.Size) << c.Type << " " << c.Typmod;
    EXPECT_EQ(c.Precision, col.Precision) << c.Type << " " << c.Typmod;
  }
  TSQLColumnDesc point;
  EXPECT_FALSE(MapBuiltin(600, -1, point));  // point: the catalog names it
  EXPECT_EQ(TBinaryKind::No, BinaryKindOf(600, false));
  EXPECT_EQ(TBinaryKind::Text, BinaryKindOf(600, true));  // an enumeration's labels
}

TEST(PGTypes, BinaryValuesReadAsTheServerPrintsThem) {
  using K = TBinaryKind;
  const char kUuidBytes[] = "\x12\x34\x56\x78\x9a\xbc\xde\xf0\x01\x23\x45\x67\x89\xab\xcd\xef";
  struct Case {
    K Kind;
    std::string Data, Text;
  };
  const Case cases[] = {
      {K::Numeric, Numeric(0, 0x4000, 3, {12, 3400}), "-12.340"},
      {K::Numeric, Numeric(-1, 0, 4, {1}), "0.0001"},
      {K::Numeric, Numeric(2, 0, 0, {1}), "100000000"},
      {K::Numeric, Numeric(0, 0, 0, {}), "0"},
      {K::Numeric, Numeric(0, 0xC000, 0, {}), "NaN"},
      {K::Numeric, Numeric(0, 0xF000, 0, {}), "-Infinity"},
      {K::Date, BigEndianBytes(0, 4), "2000-01-01"},
      {K::Date, BigEndianBytes(static_cast<std::uint32_t>(-730119), 4), "0001-01-01"},
      {K::Date, BigEndianBytes(static_cast<std::uint32_t>(-730120), 4), "0001-12-31 BC"},
      {K::Date, BigEndianBytes(0x7fffffff, 4), "infinity"},
      {K::Time, BigEndianBytes(86400000000, 8), "24:00:00"},
      {K::Time, BigEndianBytes(3723500000, 8), "01:02:03.5"},
      {K::Timestamptz, BigEndianBytes(1000001, 8), "2000-01-01 00:00:01.000001+00"},
      {K::Timestamp, BigEndianBytes(static_cast<std::uint64_t>(-1), 8),
       "1999-12-31 23:59:59.999999"},
      {K::Timestamp, BigEndianBytes(0x8000000000000000, 8), "-infinity"},
      {K::Uuid, std::string(kUuidBytes, 16), "12345678-9abc-def0-0123-456789abcdef"},
      {K::Float4, BigEndianBytes(0x3dcccccd, 4), "0.1"},
      {K::Float4, BigEndianBytes(0xff800000, 4), "-Infinity"},
      {K::Signed, BigEndianBytes(0xfffe, 2), "-2"},
      {K::Unsigned, BigEndianBytes(0xffffffff, 4), "4294967295"},
      {K::Bool, Bytes({1}), "t"},
      {K::Text, std::string("a\0b", 3),
       "error: Value 'a\\x00b' of column 'c' does not fit its String(80) field"},
      // Bytes of the wrong length or form are refused, never read past.
      {K::Numeric, Numeric(0, 0, 0, {1}).substr(0, 9),
       "error: Value (binary, 9 bytes) of column 'c' is not a valid String"},
      {K::Signed, BigEndianBytes(1, 3),
       "error: Value (binary, 3 bytes) of column 'c' is not a valid String"},
      {K::Date, BigEndianBytes(2145031948, 4), "5874897-12-31"},
      {K::Char, Bytes({'a'}), "a"},
      {K::Char, Bytes({0}), ""},
      {K::Char, Bytes({0x80}), "\\200"},
      {K::Char, Bytes({0xff}), "\\377"},
      {K::Char, Bytes({0x80, 0}),
       "error: Value (binary, 2 bytes) of column 'c' is not a valid String"},
      {K::Date, BigEndianBytes(2145031949, 4),
       "error: Value (binary, 4 bytes) of column 'c' is not a valid String"},
      {K::Uuid, std::string(kUuidBytes, 15),
       "error: Value (binary, 15 bytes) of column 'c' is not a valid String"},
      {K::No, "x", "error: Value (binary, 1 bytes) of column 'c' is not a valid String"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.Text, ReadAsText(c.Kind, c.Data)) << c.Text;
}

// The ends of the server's ranges, in binary form, into the fields that
// columns of their types get: each value exactly, and the parameter text
// that writes it back as the server reads it.
TEST(PGTypes, DatesAndTimestampsAtTheEndsOfTheServersRangeReadAndWriteBackExactly) {
  using K = TBinaryKind;
  struct Case {
    K Kind;
    std::int64_t SinceY2K;  // days or microseconds since 2000-01-01
    const char *Shown, *Param;
  };
  const Case cases[] = {
      {K::Date, 2145031948, "5874897-12-31", "5874897-12-31"},
      {K::Date, -2451545, "-4713-11-24", "4714-11-24 BC"},
      {K::Timestamp, 9223371331199999999, "294276-12-31 23:59:59.999999",
       "294276-12-31 23:59:59.999999"},
      {K::Timestamptz, 9223371331199999999, "294276-12-31 23:59:59.999999",
       "294276-12-31 23:59:59.999999"},
      {K::Timestamp, -211813488000000000, "-4713-11-24 00:00:00", "4714-11-24 00:00:00 BC"},
      {K::Timestamptz, -211813488000000000 + 1, "-4713-11-24 00:00:00.000001",
       "4714-11-24 00:00:00.000001 BC"},
  };
  for (const Case& c : cases) {
    const bool date = c.Kind == K::Date;
    TSQLColumnDesc col;
    col.Name = "c";
    ASSERT_TRUE(MapBuiltin(date ? kDate : kTimestamp, -1, col));
    const std::string bytes = BigEndianBytes(static_cast<std::uint64_t>(c.SinceY2K), date ? 4 : 8);
    unsigned char buffer[kDateTimeBytes] = {};
    PutBinary(col, c.Kind, bytes.data(), bytes.size(), buffer);
    std::int32_t days = 0;
    std::memcpy(&days, buffer, sizeof days);
    const TDateTime value = date ? DateFromDays(days) : UnpackDateTime(buffer);
    EXPECT_EQ(c.Shown, date ? DateToStr(value) : DateTimeToStr(value));
    EXPECT_EQ(c.Param,
              sqlpolicy::TemporalParamText(
                  value, TemporalKindOf(date ? kDate : kTimestamp, col.DataType), true, 1));
  }
}

TEST(PGTypes, ByteaInHexFormAndDecimalsForVariants) {
  TSQLColumnDesc col = TextColumn();
  TBlobByteData value;
  ReadByteaHex(col, "\\x00ff41Ab", value);
  EXPECT_EQ(std::string("\x00\xff\x41\xab", 4),
            std::string(reinterpret_cast<const char*>(value.Data()), value.Length()));
  ReadByteaHex(col, "\\x", value);
  EXPECT_FALSE(value.IsNull());
  EXPECT_EQ(0u, value.Length());
  try {
    ReadByteaHex(col, "0x00", value);
    ADD_FAILURE() << "no error";
  } catch (const EDatabaseError& E) {
    EXPECT_EQ("Value '0x00' of column 'c' is not a valid String", E.Message());
  }
  TVariantCell fromBinary, fromText;
  ReadDecimalVariant(col, true, Numeric(1, 0x4000, 2, {1, 2345, 6700}), fromBinary);
  ReadDecimalVariant(col, false, "-12345.67", fromText);
  EXPECT_EQ(vkDecimal, fromBinary.Kind());
  EXPECT_EQ("-12345.67", fromBinary.View().Text());
  EXPECT_EQ("-12345.67", fromText.View().Text());
}

TEST(PGTypes, StatementTextsAndLibpqMessages) {
  EXPECT_TRUE(MayBeCursor("  /* x */ with t as (select 1) select * from t"));
  EXPECT_TRUE(MayBeCursor("VALUES (1)"));
  EXPECT_FALSE(MayBeCursor("insert into t select 1"));
  EXPECT_FALSE(MayBeCursor("-- select\n"));
  EXPECT_TRUE(OneStatement("select ';'; -- done\n /* really */ "));
  EXPECT_FALSE(OneStatement("select 1; select 2"));
  EXPECT_FALSE(OneStatement("select 1; 'x'"));

  EXPECT_EQ("could not connect", LibpqMessage("FATAL:  could not connect\nHINT: retry\n"));
  EXPECT_EQ("no such host", LibpqMessage("no such host  \n"));
  EXPECT_EQ("", LibpqMessage(nullptr));
  std::string state, message;
  ASSERT_TRUE(ServerRefusal(
      "connection to server failed: FATAL:  3D000: database \"x\" does not exist\nLOCATION: y",
      state, message));
  EXPECT_EQ("3D000", state);
  EXPECT_EQ("database \"x\" does not exist", message);
  EXPECT_FALSE(ServerRefusal("could not connect to server: Connection refused", state, message));
  EXPECT_EQ("{16,1700}", OidArray({1700, 16}));
}

}  // namespace
