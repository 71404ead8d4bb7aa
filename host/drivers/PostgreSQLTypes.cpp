#include "qvl/host/drivers/PostgreSQLTypes.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "qvl/host/dataset/Field.h"
#include "qvl/host/runtime/DateTime.h"
#include "qvl/host/runtime/Strings.h"
#include "qvl/host/sqlclient/SQLText.h"
#include "qvl/host/sqlclient/SQLValues.h"

namespace qvl {

std::string RewritePostgreSQLMarkers(const std::string& T, int& Count) {
  std::string out;
  out.reserve(T.size() + 16);
  Count = 0;
  std::size_t i = 0;
  while (i < T.size()) {
    std::size_t skip = SkipSQLLiteral(T, i);
    if (skip != i) {
      out.append(T, i, skip - i);
      i = skip;
      continue;
    }
    if (T[i] == '?') {
      if (i + 1 < T.size() && T[i + 1] == '?') {
        out += '?';
        i += 2;
        continue;
      }
      out += '$';
      out += std::to_string(++Count);
      ++i;
      continue;
    }
    out += T[i++];
  }
  return out;
}

namespace pgtype {

bool MayBeCursor(const std::string& SQL) {
  const std::vector<std::string> words = SQLCodeWords(SQL);
  static const std::set<std::string> first = {"SELECT", "VALUES", "TABLE", "WITH"};
  return !words.empty() && first.count(words[0]) != 0;
}

bool OneStatement(const std::string& SQL) {
  bool ended = false;
  for (std::size_t i = 0; i < SQL.size();) {
    const std::size_t skip = SkipSQLLiteral(SQL, i);
    if (skip != i) {
      if (ended && SQL[i] != '-' && SQL[i] != '/') return false;
      i = skip;
      continue;
    }
    if (SQL[i] == ';') {
      ended = true;
    } else if (ended && std::isspace(static_cast<unsigned char>(SQL[i])) == 0) {
      return false;
    }
    ++i;
  }
  return true;
}

namespace {

// numeric(p,s) keeps p and s in its type modifier, offset by 4; a negative
// scale is an 11-bit two's complement. No modifier: an unconstrained numeric,
// whose values (up to 131072 digits before the point and 16383 after) no
// fixed decimal field holds; a variant field keeps each one's text.
void SetNumeric(TSQLColumnDesc& C, int Typmod) {
  if (Typmod < 4) {
    C.DataType = ftVariant;
    return;
  }
  const int mod = Typmod - 4;
  int scale = mod & 0x7ff;
  if (scale & 0x400) scale -= 0x800;
  sqlpolicy::SetDecimalColumn(C, (mod >> 16) & 0xffff, scale);
}

}  // namespace

bool MapBuiltin(Oid Type, int Typmod, TSQLColumnDesc& C) {
  C.Size = 0;
  C.Precision = 0;
  switch (Type) {
    case kBool:
      C.DataType = ftBoolean;
      return true;
    case kBytea:
      C.DataType = ftBlob;
      return true;
    case kChar:
      // One byte, which the server prints as itself below 0x80 and as a
      // backslash and three octal digits above ("\200"), and reads back
      // from either form.
      C.DataType = ftFixedChar;
      C.Size = 4;
      return true;
    case kName:
      C.DataType = ftString;
      C.Size = 63;
      return true;
    case kInt8:
    case kOid:
      C.DataType = ftLargeint;
      return true;
    case kInt2:
      C.DataType = ftSmallint;
      return true;
    case kInt4:
      C.DataType = ftInteger;
      return true;
    case kText:
    case kJson:
    case kJsonb:
    case kXml:
      C.DataType = ftMemo;
      return true;
    case kFloat4:
    case kFloat8:
      C.DataType = ftFloat;
      return true;
    case kBpchar:
      sqlpolicy::SetStringColumn(C, ftFixedChar, Typmod - 4);
      return true;
    case kVarchar:
      sqlpolicy::SetStringColumn(C, ftString, Typmod - 4);
      return true;
    case kDate:
      C.DataType = ftDate;
      return true;
    case kTime:
      C.DataType = ftTime;
      return true;
    case kTimestamp:
    case kTimestamptz:
      C.DataType = ftTimeStamp;
      return true;
    case kTimetz:
      C.DataType = ftString;
      C.Size = 32;
      return true;
    case kInterval:
      C.DataType = ftString;
      C.Size = 80;
      return true;
    case kNumeric:
      SetNumeric(C, Typmod);
      return true;
    case kUuid:
      C.DataType = ftGuid;
      C.Size = 38;
      return true;
    case kInet:
    case kCidr:
      C.DataType = ftString;
      C.Size = 64;
      return true;
    case kMacaddr:
    case kMacaddr8:
      C.DataType = ftString;
      C.Size = 32;
      return true;
    case kMoney:
      C.DataType = ftString;
      C.Size = 40;
      return true;
    default:
      return false;
  }
}

// A message of libpq's own: its first line (the rest are hints), without
// the "FATAL:  " or "ERROR:  " that the server's severity puts before it.
std::string LibpqMessage(const char* Text) {
  std::string message = TrimRightAscii(Text != nullptr ? Text : "");
  message = message.substr(0, message.find('\n'));
  for (const char* severity : {"FATAL:  ", "ERROR:  ", "PANIC:  "})
    if (message.rfind(severity, 0) == 0) return message.substr(std::strlen(severity));
  return message;
}

// The SQLSTATE and the server's message in a verbose libpq message
// ("... FATAL:  3D000: database "x" does not exist\nLOCATION: ..."); false
// when the server said nothing (the network failed first).
bool ServerRefusal(const std::string& Text, std::string& State, std::string& Message) {
  for (const char* severity : {"FATAL:  ", "ERROR:  "}) {
    const std::size_t at = Text.find(severity);
    if (at == std::string::npos) continue;
    const std::size_t code = at + std::strlen(severity);
    if (Text.size() < code + 7 || Text.compare(code + 5, 2, ": ") != 0) continue;
    State = Text.substr(code, 5);
    const std::size_t start = code + 7;
    Message = Text.substr(start, Text.find('\n', start) - start);
    return true;
  }
  return false;
}

std::string OidArray(const std::set<Oid>& Oids) {
  std::string s = "{";
  for (Oid o : Oids) {
    if (s.size() > 1) s += ',';
    s += std::to_string(o);
  }
  return s + "}";
}

bool HasEquality(Oid Type) {
  static const std::set<Oid> noEquality = {114,  199,  142,  143,  600,  1017, 604,  1027,
                                           4072, 4073, 1790, 2201, 2970, 2949, 5038, 5039};
  return noEquality.count(Type) == 0;
}

TBinaryKind BinaryKindOf(Oid Type, bool Enum) {
  using B = TBinaryKind;
  switch (Type) {
    case kFloat4:
      return B::Float4;
    case kFloat8:
      return B::Float8;
    case kInt2:
    case kInt4:
    case kInt8:
      return B::Signed;
    case kOid:
      return B::Unsigned;
    case kBool:
      return B::Bool;
    case kNumeric:
      return B::Numeric;
    case kDate:
      return B::Date;
    case kTime:
      return B::Time;
    case kTimestamp:
      return B::Timestamp;
    case kTimestamptz:
      return B::Timestamptz;
    case kUuid:
      return B::Uuid;
    case kChar:
      return B::Char;
    case kText:
    case kVarchar:
    case kBpchar:
    case kName:
    case kJson:
    case kBytea:
      return B::Text;
    default:
      return Enum ? B::Text : B::No;
  }
}

// The binary forms below become the text the server prints for them, which
// the text decoders read: only the floats needed the binary form.
std::uint64_t BigEndian(const char* Data, std::size_t Size) {
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < Size; ++i) bits = bits << 8 | static_cast<std::uint8_t>(Data[i]);
  return bits;
}

// numeric: digit count, weight and sign, display scale, base-10000 digits.
bool NumericText(const char* Data, std::size_t Size, std::string& Out) {
  if (Size < 8) return false;
  const auto count = static_cast<std::int16_t>(BigEndian(Data, 2));
  const auto weight = static_cast<std::int16_t>(BigEndian(Data + 2, 2));
  const auto sign = static_cast<std::uint16_t>(BigEndian(Data + 4, 2));
  const auto scale = static_cast<std::uint16_t>(BigEndian(Data + 6, 2));
  if (count < 0 || Size != 8 + 2 * static_cast<std::size_t>(count)) return false;
  const char* special = sign == 0xC000   ? "NaN"
                        : sign == 0xD000 ? "Infinity"
                        : sign == 0xF000 ? "-Infinity"
                                         : nullptr;
  if (special != nullptr) {
    Out = special;
    return true;
  }
  auto digit = [&](int K) {
    return K >= 0 && K < count ? static_cast<int>(BigEndian(Data + 8 + 2 * K, 2)) : 0;
  };
  auto four = [](int D) {
    char b[8];
    std::snprintf(b, sizeof b, "%04d", D);
    return std::string(b);
  };
  Out.clear();
  if (sign == 0x4000) Out += '-';
  if (weight < 0) Out += '0';
  for (int k = 0; k <= weight; ++k) Out += k == 0 ? std::to_string(digit(k)) : four(digit(k));
  if (scale == 0) return true;
  std::string fraction;
  for (int k = weight + 1; fraction.size() < scale; ++k) fraction += four(digit(k));
  Out += '.' + fraction.substr(0, scale);
  return true;
}

// Days since 2000-01-01 as ISO text, with " BC" before year 1.
std::string DateText(std::int64_t Days, std::string& Era) {
  int year = 0;
  unsigned month = 0, day = 0;
  CivilFromDays(static_cast<std::int32_t>(Days + 10957), year, month, day);
  Era = year <= 0 ? " BC" : "";
  char b[32];
  std::snprintf(b, sizeof b, "%04d-%02u-%02u", year <= 0 ? 1 - year : year, month, day);
  return b;
}

// Microseconds of a day as "HH:MM:SS[.ffffff]".
std::string TimeText(std::int64_t Micros) {
  char b[32];
  std::snprintf(b, sizeof b, "%02d:%02d:%02d", static_cast<int>(Micros / 3600000000),
                static_cast<int>(Micros / 60000000 % 60), static_cast<int>(Micros / 1000000 % 60));
  std::string text = b;
  if (Micros % 1000000 != 0) {
    std::snprintf(b, sizeof b, ".%06d", static_cast<int>(Micros % 1000000));
    text += b;
    while (text.back() == '0') text.pop_back();
  }
  return text;
}

// Microseconds since 2000-01-01 00:00 as the server prints them (UTC for a
// zone-aware value).
std::string TimestampText(std::int64_t Micros, bool Zone) {
  if (Micros == INT64_MAX) return "infinity";
  if (Micros == INT64_MIN) return "-infinity";
  constexpr std::int64_t kDay = 86400000000;
  std::int64_t days = Micros / kDay, rest = Micros % kDay;
  if (rest < 0) {
    rest += kDay;
    --days;
  }
  std::string era;
  std::string text = DateText(days, era) + " " + TimeText(rest);
  return text + (Zone ? "+00" : "") + era;
}

std::string UuidText(const char* Data) {
  static const char hex[] = "0123456789abcdef";
  std::string text;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += hex[static_cast<std::uint8_t>(Data[i]) >> 4];
    text += hex[static_cast<std::uint8_t>(Data[i]) & 15];
  }
  return text;
}

std::string CharText(unsigned char Byte) {
  if (Byte == 0) return "";
  if (Byte < 0x80) return std::string(1, static_cast<char>(Byte));
  return {'\\', static_cast<char>('0' + (Byte >> 6)), static_cast<char>('0' + ((Byte >> 3) & 7)),
          static_cast<char>('0' + (Byte & 7))};
}

// The server's type of a date or time parameter decides its form; for other
// targets (text, unknown) the parameter's own type does.
sqlpolicy::TTemporalParam TemporalKindOf(Oid Target, TFieldType DataType) {
  switch (Target) {
    case kDate:
      return sqlpolicy::TTemporalParam::Date;
    case kTime:
    case kTimetz:
      return sqlpolicy::TTemporalParam::Time;
    case kTimestamp:
    case kTimestamptz:
      return sqlpolicy::TTemporalParam::Timestamp;
    default:
      return sqlpolicy::TemporalParamKind(DataType);
  }
}

namespace {

constexpr std::int32_t kDaysFrom1970To2000 = 10957;

}  // namespace

void PutBinary(const TSQLColumnDesc& C, TBinaryKind Kind, const char* Data, std::size_t Length,
               void* Buffer) {
  const std::uint64_t bits = BigEndian(Data, std::min<std::size_t>(Length, 8));
  switch (Kind) {
    case TBinaryKind::Float8:
      if (Length != 8) break;
      sqlvalue::PutDouble(C, std::bit_cast<double>(bits), Buffer);
      return;
    case TBinaryKind::Float4: {
      if (Length != 4) break;
      // The shortest text of the float4, as the server prints it.
      const float f = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
      char text[32];
      const char* end = std::to_chars(text, text + sizeof text, f).ptr;
      if (std::isnan(f)) {
        sqlvalue::PutText(C, "NaN", Buffer);
      } else if (std::isinf(f)) {
        sqlvalue::PutText(C, f > 0 ? "Infinity" : "-Infinity", Buffer);
      } else {
        sqlvalue::PutText(C, std::string_view(text, static_cast<std::size_t>(end - text)), Buffer);
      }
      return;
    }
    case TBinaryKind::Signed:
      if (Length == 2) return sqlvalue::PutInt64(C, static_cast<std::int16_t>(bits), Buffer);
      if (Length == 4) return sqlvalue::PutInt64(C, static_cast<std::int32_t>(bits), Buffer);
      if (Length == 8) return sqlvalue::PutInt64(C, static_cast<std::int64_t>(bits), Buffer);
      break;
    case TBinaryKind::Unsigned:
      if (Length == 4) return sqlvalue::PutInt64(C, static_cast<std::int64_t>(bits), Buffer);
      break;
    case TBinaryKind::Bool:
      if (Length == 1) return sqlvalue::PutText(C, bits != 0 ? "t" : "f", Buffer);
      break;
    case TBinaryKind::Text:
      return sqlvalue::PutText(C, std::string_view(Data, Length), Buffer);
    case TBinaryKind::Numeric: {
      std::string text;
      if (!NumericText(Data, Length, text)) break;
      return sqlvalue::PutText(C, text, Buffer);
    }
    case TBinaryKind::Date: {
      if (Length != 4) break;
      const auto days = static_cast<std::int32_t>(bits);
      std::string era;
      if (days == INT32_MAX) return sqlvalue::PutText(C, "infinity", Buffer);
      if (days == INT32_MIN) return sqlvalue::PutText(C, "-infinity", Buffer);
      // The server's dates run from 4714-11-24 BC to 5874897-12-31; days
      // beyond would wrap in the calendar arithmetic.
      if (days < -2451545 || days > 2145031948) break;
      // A date field holds days since 1970, which is what its text would
      // read as: no text is made for it.
      if (C.DataType == ftDate) {
        const std::int32_t since1970 = days + kDaysFrom1970To2000;
        std::memcpy(Buffer, &since1970, sizeof since1970);
        return;
      }
      return sqlvalue::PutText(C, DateText(days, era) + era, Buffer);
    }
    case TBinaryKind::Time: {
      if (Length != 8) break;
      const auto micros = static_cast<std::int64_t>(bits);
      if (C.DataType == ftTime && micros >= 0 && micros <= TDateTime::kMicrosPerDay) {
        std::memcpy(Buffer, &micros, sizeof micros);
        return;
      }
      return sqlvalue::PutText(C, TimeText(micros), Buffer);
    }
    case TBinaryKind::Timestamp:
    case TBinaryKind::Timestamptz: {
      if (Length != 8) break;
      const auto micros = static_cast<std::int64_t>(bits);
      // Microseconds since 2000 become a day since 1970 and a time of day;
      // the two infinities read through their text.
      if ((C.DataType == ftTimeStamp || C.DataType == ftDateTime) && micros != INT64_MIN &&
          micros != INT64_MAX) {
        TDateTime value = TDateTime::FromMicros(micros);
        value.Days += kDaysFrom1970To2000;
        PackDateTime(value, Buffer);
        return;
      }
      return sqlvalue::PutText(C, TimestampText(micros, Kind == TBinaryKind::Timestamptz), Buffer);
    }
    case TBinaryKind::Uuid:
      if (Length != 16) break;
      return sqlvalue::PutText(C, UuidText(Data), Buffer);
    case TBinaryKind::Char:
      if (Length != 1) break;
      return sqlvalue::PutText(C, CharText(static_cast<unsigned char>(Data[0])), Buffer);
    case TBinaryKind::No:
      break;
  }
  // A table changed under the statement into a type without a binary form
  // read here.
  sqlvalue::NotValid(C, "(binary, " + std::to_string(Length) + " bytes)");
}

void ReadByteaHex(const TSQLColumnDesc& C, std::string_view Text, TBlobByteData& Value) {
  const char* text = Text.data();
  const std::size_t length = Text.size();
  if (length < 2 || text[0] != '\\' || text[1] != 'x')
    sqlvalue::NotValid(C, QuotedForMessage(Text, 16));
  const std::size_t size = (length - 2) / 2;
  if (size == 0) {
    Value = TBlobByteData::Empty();
    return;
  }
  if (Value.RefCount() != 1 || Value.Length() != size) {
    Value.Clear();
    Value.SetLength(size);
  }
  std::uint8_t* out = Value.MutableData();
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
  };
  for (std::size_t i = 0; i < size; ++i)
    out[i] = static_cast<std::uint8_t>(nibble(text[2 + 2 * i]) * 16 + nibble(text[3 + 2 * i]));
}

void ReadDecimalVariant(const TSQLColumnDesc& C, bool Binary, std::string_view Data,
                        TVariantCell& Value) {
  if (!Binary) {
    Value.SetBytes(vkDecimal, Data.data(), Data.size());
    return;
  }
  std::string decimal;
  if (!NumericText(Data.data(), Data.size(), decimal))
    sqlvalue::NotValid(C, "(binary, " + std::to_string(Data.size()) + " bytes)");
  Value.SetBytes(vkDecimal, decimal.data(), decimal.size());
}

}  // namespace pgtype
}  // namespace qvl
