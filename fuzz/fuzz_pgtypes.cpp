// libFuzzer target: the PostgreSQL driver's decoders of values in binary
// form and of bytea in hex form, as a server (or whatever answers in its
// place) could send them, with their round trips through the text readers.
//
// Input layout: byte 0 picks the binary kind (or, past the last kind, the
// hex and decimal decoders); the rest is the value's bytes.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "qvl/host/drivers/PostgreSQLTypes.h"
#include "qvl/host/runtime/Exceptions.h"
#include "qvl/host/sqlclient/SQLValues.h"

namespace {

using qvl::pgtype::TBinaryKind;

void Check(bool Condition) {
  if (!Condition) std::abort();
}

constexpr std::int32_t kDaysFrom1970To2000 = 10957;

// The bytes into a field of each kind: a value or a clear error.
void PutEveryKind(TBinaryKind Kind, std::string_view In) {
  static const qvl::TFieldType kinds[] = {qvl::ftString,    qvl::ftSmallint, qvl::ftInteger,
                                          qvl::ftLargeint,  qvl::ftBoolean,  qvl::ftFloat,
                                          qvl::ftFMTBcd,    qvl::ftDate,     qvl::ftTime,
                                          qvl::ftTimeStamp, qvl::ftGuid,     qvl::ftFixedChar};
  for (qvl::TFieldType type : kinds) {
    qvl::TSQLColumnDesc c;
    c.Name = "c";
    c.DataType = type;
    c.Size = type == qvl::ftFMTBcd ? 10 : 40;
    c.Precision = 30;
    alignas(8) char buffer[256] = {};
    try {
      qvl::pgtype::PutBinary(c, Kind, In.data(), In.size(), buffer);
    } catch (const qvl::EDatabaseError&) {
    }
  }
}

// What the server prints for a date or timestamp reads back as the instant
// it came from, across the server's whole range and beyond.
void RoundTrips(TBinaryKind Kind, std::string_view In) {
  if (Kind == TBinaryKind::Date && In.size() == 4) {
    const auto days = static_cast<std::int32_t>(qvl::pgtype::BigEndian(In.data(), 4));
    // The server's dates run from 4714-11-24 BC to 5874897-12-31.
    if (days < -2451545 || days > 2145031948) return;
    std::string era;
    const std::string text = qvl::pgtype::DateText(days, era) + era;
    qvl::TDateTime value;
    bool hadTime = true;
    Check(qvl::sqlvalue::ParseTimestamp(text, value, hadTime) == qvl::sqlvalue::TParse::Ok);
    Check(!hadTime && value == qvl::TDateTime{days + kDaysFrom1970To2000, 0});
  }
  if (Kind == TBinaryKind::Timestamp && In.size() == 8) {
    const auto at = static_cast<std::int64_t>(qvl::pgtype::BigEndian(In.data(), 8));
    const std::string text = qvl::pgtype::TimestampText(at, false);
    if (at == INT64_MIN) return Check(text == "-infinity");
    if (at == INT64_MAX) return Check(text == "infinity");
    qvl::TDateTime value;
    bool hadTime = false;
    Check(qvl::sqlvalue::ParseTimestamp(text, value, hadTime) == qvl::sqlvalue::TParse::Ok);
    const qvl::TDateTime since2000 = qvl::TDateTime::FromMicros(at);
    Check(hadTime && value == qvl::TDateTime{since2000.Days + kDaysFrom1970To2000, since2000.Time});
  }
  if (Kind == TBinaryKind::Char && In.size() == 1) {
    // The server reads its own text back as the byte: three octal digits
    // after a backslash, else the first character (none for 0).
    const std::string text = qvl::pgtype::CharText(static_cast<unsigned char>(In[0]));
    const auto octal = [&](std::size_t I) { return text[I] >= '0' && text[I] <= '7'; };
    const unsigned char back =
        text.size() == 4 && text[0] == '\\' && octal(1) && octal(2) && octal(3)
            ? static_cast<unsigned char>((text[1] - '0') << 6 | (text[2] - '0') << 3 |
                                         (text[3] - '0'))
            : static_cast<unsigned char>(text.empty() ? 0 : text[0]);
    Check(back == static_cast<unsigned char>(In[0]) && text.size() <= 4);
  }
  if (Kind == TBinaryKind::Numeric) {
    std::string text;
    if (!qvl::pgtype::NumericText(In.data(), In.size(), text)) return;
    if (text == "NaN" || text == "Infinity" || text == "-Infinity") return;
    // A plain decimal: an optional sign, digits, at most one point.
    std::size_t i = text[0] == '-' ? 1 : 0, points = 0;
    Check(i < text.size() && text[i] != '.');
    for (; i < text.size(); ++i) {
      if (text[i] == '.') ++points;
      Check(text[i] == '.' || std::isdigit(static_cast<unsigned char>(text[i])) != 0);
    }
    Check(points <= 1 && text.back() != '.');
  }
}

void HexAndDecimal(std::string_view In) {
  qvl::TSQLColumnDesc c;
  c.Name = "c";
  c.DataType = qvl::ftBlob;
  qvl::TBlobByteData value;
  try {
    qvl::pgtype::ReadByteaHex(c, In, value);
    Check(In.size() >= 2 && value.Length() == (In.size() - 2) / 2);
    // Well-formed hex reads back as the same digits.
    bool hex = In.size() % 2 == 0;
    for (std::size_t i = 2; i < In.size(); ++i)
      hex = hex && std::isxdigit(static_cast<unsigned char>(In[i])) != 0;
    if (hex) {
      static const char digits[] = "0123456789abcdef";
      std::string again = "\\x";
      for (std::size_t i = 0; i < value.Length(); ++i) {
        again += digits[value.Data()[i] >> 4];
        again += digits[value.Data()[i] & 15];
      }
      for (std::size_t i = 2; i < In.size(); ++i)
        Check(again[i] == std::tolower(static_cast<unsigned char>(In[i])));
    }
  } catch (const qvl::EDatabaseError&) {
    Check(In.size() < 2 || In[0] != '\\' || In[1] != 'x');
  }
  try {
    qvl::TVariantCell cell;
    qvl::pgtype::ReadDecimalVariant(c, true, In, cell);
  } catch (const qvl::EDatabaseError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  std::string_view in(reinterpret_cast<const char*>(Data), Size);
  if (in.empty()) return 0;
  constexpr unsigned kKinds = static_cast<unsigned>(TBinaryKind::Char) + 1;
  const unsigned mode = static_cast<unsigned char>(in[0]) % (kKinds + 1);
  in.remove_prefix(1);
  if (mode == kKinds) {
    HexAndDecimal(in);
    return 0;
  }
  const auto kind = static_cast<TBinaryKind>(mode);
  PutEveryKind(kind, in);
  RoundTrips(kind, in);
  return 0;
}
