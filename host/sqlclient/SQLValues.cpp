#include "qvl/host/sqlclient/SQLValues.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "qvl/host/runtime/DateTime.h"
#include "qvl/host/runtime/Strings.h"
#include "qvl/host/runtime/Variant.h"
#include "qvl/host/sqlclient/SQLConsts.h"

namespace qvl::sqlvalue {

namespace {

constexpr std::int64_t kMicrosPerDay = TDateTime::kMicrosPerDay;

std::string FieldDescription(const TSQLColumnDesc& C) {
  std::string name = FieldTypeName(C.DataType);
  switch (C.DataType) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftGuid:
    case ftBytes:
    case ftVarBytes:
      return name + "(" + std::to_string(C.Size) + ")";
    case ftBCD:
    case ftFMTBcd:
      return name + "(" + std::to_string(C.Precision) + "," + std::to_string(C.Size) + ")";
    default:
      return name;
  }
}

// Long texts are shortened in messages; the message must stay readable and
// must not carry a whole document.
std::string Quoted(std::string_view Text) {
  return QuotedForMessage(Text);
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

std::int64_t FloorDiv(std::int64_t A, std::int64_t B) {
  std::int64_t q = A / B;
  if ((A % B != 0) && ((A < 0) != (B < 0))) --q;
  return q;
}

// A number as sign, significant digits and the exponent of the last digit,
// so that "0.10", "1e-1" and ".1" compare equal.
struct Canonical {
  bool Negative = false;
  std::string Digits;
  long Exponent = 0;
  bool operator==(const Canonical&) const = default;
};

bool Canonicalize(std::string_view T, Canonical& Out) {
  std::size_t i = 0;
  Out = {};
  if (i < T.size() && (T[i] == '-' || T[i] == '+')) Out.Negative = T[i++] == '-';
  std::string digits;
  long exponent = 0;
  bool any = false, point = false;
  for (; i < T.size(); ++i) {
    char c = T[i];
    if (IsDigit(c)) {
      digits += c;
      if (point) --exponent;
      any = true;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (!any) return false;
  if (i < T.size()) {
    if (T[i] != 'e' && T[i] != 'E') return false;
    ++i;
    std::int64_t e = 0;
    if (i < T.size() && T[i] == '+') ++i;
    if (!ParseInt64(T.substr(i), e) || e > 100000 || e < -100000) return false;
    exponent += static_cast<long>(e);
  }
  std::size_t nz = digits.find_first_not_of('0');
  if (nz == std::string::npos) {
    Out = {};
    return true;
  }
  digits.erase(0, nz);
  while (digits.back() == '0') {
    digits.pop_back();
    ++exponent;
  }
  Out.Digits = std::move(digits);
  Out.Exponent = exponent;
  return true;
}

// Writes a normalised decimal into an exact numeric field after checking
// that its digits fit the declared precision and scale.
void PutDecimal(const TSQLColumnDesc& C, std::string_view Shown, const std::string& Decimal,
                void* Buffer) {
  std::string norm = NormalizeDecimal(Decimal);
  std::size_t start = norm[0] == '-' ? 1 : 0;
  std::size_t point = norm.find('.');
  std::size_t intDigits = (point == std::string::npos ? norm.size() : point) - start;
  if (intDigits == 1 && norm[start] == '0') intDigits = 0;
  std::size_t fracDigits = point == std::string::npos ? 0 : norm.size() - point - 1;
  const int maxInt = C.Precision - C.Size;
  if (fracDigits > static_cast<std::size_t>(C.Size) ||
      intDigits > static_cast<std::size_t>(maxInt < 0 ? 0 : maxInt) ||
      norm.size() + 1 > static_cast<std::size_t>(C.Precision + 3))
    DoesNotFit(C, Shown);
  std::memcpy(Buffer, norm.c_str(), norm.size() + 1);
}

void PutString(const TSQLColumnDesc& C, std::string_view Text, void* Buffer) {
  if (Text.size() > static_cast<std::size_t>(C.Size) ||
      std::memchr(Text.data(), 0, Text.size()) != nullptr)
    DoesNotFit(C, Quoted(Text));
  std::memcpy(Buffer, Text.data(), Text.size());
  static_cast<char*>(Buffer)[Text.size()] = '\0';
}

bool ParseBoolean(std::string_view T, bool& Value) {
  if (SameTextAscii(T, "t") || SameTextAscii(T, "true") || T == "1") {
    Value = true;
    return true;
  }
  if (SameTextAscii(T, "f") || SameTextAscii(T, "false") || T == "0") {
    Value = false;
    return true;
  }
  return false;
}

bool ReadDigits(std::string_view T, std::size_t& i, std::size_t Count, int& Value) {
  if (i + Count > T.size()) return false;
  Value = 0;
  for (std::size_t k = 0; k < Count; ++k) {
    if (!IsDigit(T[i + k])) return false;
    Value = Value * 10 + (T[i + k] - '0');
  }
  i += Count;
  return true;
}

// HH:MM[:SS[.f...]] from position i; leaves i after it.
TParse ReadTime(std::string_view T, std::size_t& i, std::int64_t& Micros) {
  int h, m, s = 0;
  std::int64_t us = 0;
  if (!ReadDigits(T, i, 2, h) || i >= T.size() || T[i++] != ':' || !ReadDigits(T, i, 2, m))
    return TParse::Invalid;
  bool inexact = false;
  if (i < T.size() && T[i] == ':') {
    ++i;
    if (!ReadDigits(T, i, 2, s)) return TParse::Invalid;
    if (i < T.size() && T[i] == '.') {
      ++i;
      int n = 0;
      while (i < T.size() && IsDigit(T[i])) {
        if (n < 6)
          us = us * 10 + (T[i] - '0');
        else if (T[i] != '0')
          inexact = true;
        ++n;
        ++i;
      }
      if (n == 0) return TParse::Invalid;
      for (; n < 6; ++n) us *= 10;
    }
  }
  // 24:00:00 is midnight at the end of the day, as SQL time allows.
  if (m > 59 || s > 60 || h > 24 || (h == 24 && (m != 0 || s != 0 || us != 0)))
    return TParse::Invalid;
  if (s == 60) return TParse::Invalid;
  Micros = ((static_cast<std::int64_t>(h) * 60 + m) * 60 + s) * TDateTime::kMicrosPerSecond + us;
  return inexact ? TParse::Inexact : TParse::Ok;
}

bool ValidCivil(int Y, int M, int D) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (M < 1 || M > 12 || D < 1) return false;
  bool leap = (Y % 4 == 0 && Y % 100 != 0) || Y % 400 == 0;
  return D <= days[M - 1] + (M == 2 && leap ? 1 : 0);
}

void AppendPadded(std::string& Out, std::int64_t Value, int Width) {
  char digits[24];
  const char* end = std::to_chars(digits, digits + sizeof digits, Value).ptr;
  const auto n = static_cast<int>(end - digits);
  if (n < Width) Out.append(static_cast<std::size_t>(Width - n), '0');
  Out.append(digits, static_cast<std::size_t>(n));
}

}  // namespace

[[noreturn]] void NotValid(const TSQLColumnDesc& C, std::string_view Value) {
  DatabaseErrorFmt(SValueNotValid, {std::string(Value), C.Name, FieldTypeName(C.DataType)});
}

[[noreturn]] void DoesNotFit(const TSQLColumnDesc& C, std::string_view Value) {
  DatabaseErrorFmt(SValueDoesNotFit, {std::string(Value), C.Name, FieldDescription(C)});
}

bool ParseInt64(std::string_view T, std::int64_t& Value) {
  if (T.empty()) return false;
  const char* first = T.data();
  const char* last = T.data() + T.size();
  if (*first == '+') ++first;
  if (first == last || (*first != '-' && !IsDigit(*first))) return false;
  auto [ptr, ec] = std::from_chars(first, last, Value);
  return ec == std::errc() && ptr == last;
}

bool ParseDouble(std::string_view T, double& Value) {
  if (T.empty()) return false;
  std::string_view body = T;
  bool negative = false;
  if (body[0] == '-' || body[0] == '+') {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  if (SameTextAscii(body, "nan")) {
    Value = std::numeric_limits<double>::quiet_NaN();
    return true;
  }
  if (SameTextAscii(body, "inf") || SameTextAscii(body, "infinity")) {
    Value = negative ? -std::numeric_limits<double>::infinity()
                     : std::numeric_limits<double>::infinity();
    return true;
  }
  if (body.empty() || !(IsDigit(body[0]) || body[0] == '.')) return false;
  double v = 0;
  auto [ptr, ec] = std::from_chars(body.data(), body.data() + body.size(), v);
  // Out of range (a literal beyond the largest double) is not a double.
  if (ec != std::errc() || ptr != body.data() + body.size()) return false;
  Value = negative ? -v : v;
  return true;
}

int SignificantDigits(std::string_view Decimal) {
  Canonical c;
  if (!Canonicalize(Decimal, c)) return 0;
  return static_cast<int>(c.Digits.size());
}

bool SameNumber(std::string_view Text, double Value) {
  if (!std::isfinite(Value)) return true;  // the names of NaN and infinity carry no digits
  Canonical a, b;
  if (!Canonicalize(Text, a)) return false;
  Canonicalize(DoubleToText(Value), b);
  return a == b;
}

std::string DoubleToText(double Value, bool General) {
  if (std::isnan(Value)) return "NaN";
  if (std::isinf(Value)) return Value < 0 ? "-Infinity" : "Infinity";
  char buf[400];
  auto res = General ? std::to_chars(buf, buf + sizeof buf, Value)
                     : std::to_chars(buf, buf + sizeof buf, Value, std::chars_format::fixed);
  return std::string(buf, res.ptr);
}

TParse ParseTimestamp(std::string_view T, TDateTime& Value, bool& HadTime) {
  std::size_t i = 0;
  HadTime = false;
  bool negative = false;
  if (i < T.size() && T[i] == '-') {
    negative = true;
    ++i;
  }
  std::size_t start = i;
  std::int64_t year = 0;
  while (i < T.size() && IsDigit(T[i]) && i - start < 9) year = year * 10 + (T[i++] - '0');
  if (i - start < 4) return TParse::Invalid;
  int month, day;
  if (i >= T.size() || T[i++] != '-' || !ReadDigits(T, i, 2, month) || i >= T.size() ||
      T[i++] != '-' || !ReadDigits(T, i, 2, day))
    return TParse::Invalid;
  std::int64_t time = 0;
  bool inexact = false;
  if (i < T.size() && (T[i] == ' ' || T[i] == 'T') && i + 1 < T.size() && IsDigit(T[i + 1])) {
    ++i;
    TParse r = ReadTime(T, i, time);
    if (r == TParse::Invalid) return r;
    inexact = r == TParse::Inexact;
    HadTime = true;
  }
  // A zone offset: the value is given in UTC from here on.
  std::int64_t offset = 0;
  if (i < T.size() && T[i] == ' ' && i + 1 < T.size() && (T[i + 1] == '+' || T[i + 1] == '-')) ++i;
  if (HadTime && i < T.size() && (T[i] == 'Z' || T[i] == '+' || T[i] == '-')) {
    if (T[i] == 'Z') {
      ++i;
    } else {
      const bool west = T[i++] == '-';
      int oh, om = 0, os = 0;
      if (!ReadDigits(T, i, 2, oh)) return TParse::Invalid;
      if (i < T.size() && T[i] == ':') ++i;
      if (i < T.size() && IsDigit(T[i])) {
        if (!ReadDigits(T, i, 2, om)) return TParse::Invalid;
        if (i < T.size() && T[i] == ':') ++i;
        if (i < T.size() && IsDigit(T[i]) && !ReadDigits(T, i, 2, os)) return TParse::Invalid;
      }
      offset = ((oh * 60 + om) * 60 + os) * TDateTime::kMicrosPerSecond;
      if (west) offset = -offset;
    }
  }
  if (T.substr(i) == " BC") {
    if (negative || year == 0) return TParse::Invalid;
    year = 1 - year;
    i = T.size();
  }
  if (i != T.size()) return TParse::Invalid;
  if (negative) year = -year;
  if (!ValidCivil(static_cast<int>(year), month, day)) return TParse::Invalid;
  // Nine digits of year at most: the day count is exact in 64 bits, and the
  // offset moves the value by a day at most.
  std::int64_t days = DaysFromCivil(static_cast<int>(year), static_cast<unsigned>(month),
                                    static_cast<unsigned>(day));
  time -= offset;
  const std::int64_t carry = FloorDiv(time, kMicrosPerDay);
  days += carry;
  time -= carry * kMicrosPerDay;
  // A real date, but beyond the day counts a TDateTime holds.
  if (days < TDateTime::kMinDays || days > TDateTime::kMaxDays) return TParse::Inexact;
  Value = TDateTime{static_cast<std::int32_t>(days), time};
  return inexact ? TParse::Inexact : TParse::Ok;
}

TParse ParseTimeOfDay(std::string_view T, std::int64_t& Micros) {
  std::size_t i = 0;
  TParse r = ReadTime(T, i, Micros);
  if (r != TParse::Invalid && i != T.size()) return TParse::Invalid;
  return r;
}

std::string FormatDate(std::int32_t Days, bool BCSuffix) {
  int y;
  unsigned m, d;
  CivilFromDays(Days, y, m, d);
  std::string out;
  bool bc = false;
  if (y <= 0 && BCSuffix) {
    y = 1 - y;
    bc = true;
  } else if (y < 0) {
    out += '-';
    y = -y;
  }
  AppendPadded(out, y, 4);
  out += '-';
  AppendPadded(out, m, 2);
  out += '-';
  AppendPadded(out, d, 2);
  if (bc) out += " BC";
  return out;
}

std::string FormatTimeOfDay(std::int64_t Micros) {
  std::string out;
  std::int64_t secs = Micros / TDateTime::kMicrosPerSecond;
  std::int64_t us = Micros % TDateTime::kMicrosPerSecond;
  AppendPadded(out, secs / 3600, 2);
  out += ':';
  AppendPadded(out, secs / 60 % 60, 2);
  out += ':';
  AppendPadded(out, secs % 60, 2);
  if (us != 0) {
    out += '.';
    AppendPadded(out, us, 6);
  }
  return out;
}

std::string FormatTimestamp(TDateTime Value, bool BCSuffix) {
  std::string date = FormatDate(DatePart(Value), BCSuffix);
  std::string time = FormatTimeOfDay(TimePart(Value));
  std::size_t bc = date.find(" BC");
  if (bc != std::string::npos) return date.substr(0, bc) + " " + time + " BC";
  return date + " " + time;
}

void PutInt64(const TSQLColumnDesc& C, std::int64_t V, void* Buffer) {
  auto range = [&](std::int64_t Lo, std::int64_t Hi) {
    if (V < Lo || V > Hi) DoesNotFit(C, std::to_string(V));
  };
  switch (C.DataType) {
    case ftSmallint: {
      range(INT16_MIN, INT16_MAX);
      auto v = static_cast<std::int16_t>(V);
      std::memcpy(Buffer, &v, sizeof v);
      return;
    }
    case ftWord: {
      range(0, UINT16_MAX);
      auto v = static_cast<std::uint16_t>(V);
      std::memcpy(Buffer, &v, sizeof v);
      return;
    }
    case ftInteger:
    case ftAutoInc: {
      range(INT32_MIN, INT32_MAX);
      auto v = static_cast<std::int32_t>(V);
      std::memcpy(Buffer, &v, sizeof v);
      return;
    }
    case ftLargeint:
      std::memcpy(Buffer, &V, sizeof V);
      return;
    case ftBoolean: {
      range(0, 1);
      auto v = static_cast<std::uint16_t>(V);
      std::memcpy(Buffer, &v, sizeof v);
      return;
    }
    case ftFloat:
    case ftCurrency: {
      // Only integers that a double holds exactly.
      constexpr std::int64_t kExact = std::int64_t{1} << 53;
      if (V > kExact || V < -kExact) DoesNotFit(C, std::to_string(V));
      double d = static_cast<double>(V);
      std::memcpy(Buffer, &d, sizeof d);
      return;
    }
    case ftBCD:
    case ftFMTBcd: {
      std::string t = std::to_string(V);
      PutDecimal(C, t, t, Buffer);
      return;
    }
    case ftString:
    case ftFixedChar:
    case ftWideString:
      PutString(C, std::to_string(V), Buffer);
      return;
    default:
      NotValid(C, std::to_string(V));
  }
}

void PutDouble(const TSQLColumnDesc& C, double V, void* Buffer) {
  switch (C.DataType) {
    case ftFloat:
    case ftCurrency:
      std::memcpy(Buffer, &V, sizeof V);
      return;
    case ftSmallint:
    case ftWord:
    case ftInteger:
    case ftAutoInc:
    case ftLargeint:
    case ftBoolean: {
      // 2^63 itself is out of range; the comparison is exact in double.
      if (!std::isfinite(V) || V != std::trunc(V) || V < -9223372036854775808.0 ||
          V >= 9223372036854775808.0)
        DoesNotFit(C, DoubleToText(V));
      PutInt64(C, static_cast<std::int64_t>(V), Buffer);
      return;
    }
    case ftBCD:
    case ftFMTBcd: {
      if (!std::isfinite(V)) NotValid(C, DoubleToText(V));
      PutDecimal(C, DoubleToText(V), DoubleToText(V, false), Buffer);
      return;
    }
    case ftString:
    case ftFixedChar:
    case ftWideString:
      PutString(C, DoubleToText(V), Buffer);
      return;
    default:
      NotValid(C, DoubleToText(V));
  }
}

namespace {

// PutText for each kind of field, one function each.

void PutIntegerText(const TSQLColumnDesc& C, std::string_view T, void* Buffer) {
  std::int64_t v;
  if (!ParseInt64(T, v)) {
    // Beyond 64 bits it is a number still, just one that does not fit.
    Canonical c;
    if (Canonicalize(T, c) && c.Exponent >= 0 && T.find_first_of(".eE") == std::string_view::npos)
      DoesNotFit(C, T);
    NotValid(C, Quoted(T));
  }
  PutInt64(C, v, Buffer);
}

void PutBooleanText(const TSQLColumnDesc& C, std::string_view T, void* Buffer) {
  bool b;
  if (!ParseBoolean(T, b)) NotValid(C, Quoted(T));
  const std::uint16_t v = b ? 1 : 0;
  std::memcpy(Buffer, &v, sizeof v);
}

void PutFloatText(const TSQLColumnDesc& C, std::string_view T, void* Buffer) {
  double d;
  if (!ParseDouble(T, d)) NotValid(C, Quoted(T));
  if (!SameNumber(T, d)) DoesNotFit(C, T);
  std::memcpy(Buffer, &d, sizeof d);
}

// A number in exponent notation spelt out as plain decimal digits.
std::string PlainDecimal(const TSQLColumnDesc& C, std::string_view T) {
  Canonical c;
  if (!Canonicalize(T, c)) NotValid(C, Quoted(T));
  std::string digits = c.Digits.empty() ? "0" : c.Digits;
  std::string s;
  if (c.Exponent >= 0) {
    if (c.Exponent > 1000) DoesNotFit(C, T);
    s = digits + std::string(static_cast<std::size_t>(c.Exponent), '0');
  } else {
    const auto frac = static_cast<std::size_t>(-c.Exponent);
    if (frac > 1000) DoesNotFit(C, T);
    if (digits.size() <= frac) digits.insert(0, frac - digits.size() + 1, '0');
    s = digits.substr(0, digits.size() - frac) + "." + digits.substr(digits.size() - frac);
  }
  return c.Negative ? "-" + s : s;
}

void PutDecimalText(const TSQLColumnDesc& C, std::string_view T, void* Buffer) {
  // A server's special decimals are kept as their text.
  if (IsSpecialDecimal(T)) {
    if (T.size() + 1 > static_cast<std::size_t>(C.Precision + 3)) DoesNotFit(C, T);
    std::memcpy(Buffer, T.data(), T.size());
    static_cast<char*>(Buffer)[T.size()] = '\0';
    return;
  }
  std::string s(T);
  if (!IsDecimalText(s)) s = PlainDecimal(C, T);
  PutDecimal(C, T, s, Buffer);
}

// 'infinity' and '-infinity' of dates and timestamps.
bool IsInfinityText(std::string_view T, TDateTime& Value) {
  if (T != "infinity" && T != "-infinity") return false;
  Value = T[0] == '-' ? TDateTime::NegInfinity() : TDateTime::Infinity();
  return true;
}

void PutDateText(const TSQLColumnDesc& C, std::string_view T, void* Buffer) {
  if (TryPutIsoDate(T, Buffer)) return;  // the common form
  if (TDateTime inf; IsInfinityText(T, inf)) {
    const std::int32_t v = DatePart(inf);
    std::memcpy(Buffer, &v, sizeof v);
    return;
  }
  TDateTime value;
  bool hadTime;
  const TParse r = ParseTimestamp(T, value, hadTime);
  if (r == TParse::Invalid) NotValid(C, Quoted(T));
  if (r == TParse::Inexact || value.Time != 0) DoesNotFit(C, Quoted(T));
  std::memcpy(Buffer, &value.Days, sizeof value.Days);
}

void PutTimeText(const TSQLColumnDesc& C, std::string_view T, void* Buffer) {
  std::int64_t micros;
  const TParse r = ParseTimeOfDay(T, micros);
  if (r == TParse::Invalid) NotValid(C, Quoted(T));
  if (r == TParse::Inexact) DoesNotFit(C, Quoted(T));
  std::memcpy(Buffer, &micros, sizeof micros);
}

void PutTimestampText(const TSQLColumnDesc& C, std::string_view T, void* Buffer) {
  if (TDateTime inf; IsInfinityText(T, inf)) {
    PackDateTime(inf, Buffer);
    return;
  }
  TDateTime value;
  bool hadTime;
  const TParse r = ParseTimestamp(T, value, hadTime);
  if (r == TParse::Invalid) NotValid(C, Quoted(T));
  if (r == TParse::Inexact) DoesNotFit(C, Quoted(T));
  PackDateTime(value, Buffer);
}

}  // namespace

void PutText(const TSQLColumnDesc& C, std::string_view T, void* Buffer) {
  if (IsStringType(C.DataType)) return PutString(C, T, Buffer);
  if (IsExactNumericType(C.DataType)) return PutDecimalText(C, T, Buffer);
  switch (C.DataType) {
    case ftSmallint:
    case ftWord:
    case ftInteger:
    case ftAutoInc:
    case ftLargeint:
      return PutIntegerText(C, T, Buffer);
    case ftBoolean:
      return PutBooleanText(C, T, Buffer);
    case ftFloat:
    case ftCurrency:
      return PutFloatText(C, T, Buffer);
    case ftDate:
      return PutDateText(C, T, Buffer);
    case ftTime:
      return PutTimeText(C, T, Buffer);
    case ftDateTime:
    case ftTimeStamp:
      return PutTimestampText(C, T, Buffer);
    case ftBytes:
    case ftVarBytes:
      return PutBytes(C, T.data(), T.size(), Buffer);
    default:
      NotValid(C, Quoted(T));
  }
}

void PutBytes(const TSQLColumnDesc& C, const void* Data, std::size_t Size, void* Buffer) {
  const std::size_t limit = static_cast<std::size_t>(C.Size);
  switch (C.DataType) {
    case ftBytes:
      // Fixed-width binary: a shorter value is padded with zero bytes.
      if (Size > limit) DoesNotFit(C, std::to_string(Size) + " bytes");
      if (Size > 0) std::memcpy(Buffer, Data, Size);
      std::memset(static_cast<std::uint8_t*>(Buffer) + Size, 0, limit - Size);
      return;
    case ftVarBytes: {
      if (Size > limit || Size > UINT16_MAX) DoesNotFit(C, std::to_string(Size) + " bytes");
      auto n = static_cast<std::uint16_t>(Size);
      std::memcpy(Buffer, &n, sizeof n);
      if (Size > 0) std::memcpy(static_cast<std::uint8_t*>(Buffer) + 2, Data, Size);
      return;
    }
    default:
      PutText(C, std::string_view(static_cast<const char*>(Data), Size), Buffer);
      return;
  }
}

}  // namespace qvl::sqlvalue
