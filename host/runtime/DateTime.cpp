#include "qvl/host/runtime/DateTime.h"

#include <cstdio>
#include <cstring>

#include "qvl/host/runtime/Exceptions.h"
#include "qvl/host/runtime/RTLConsts.h"

namespace qvl {

// The civil-date conversions count in 400-year eras of 146097 days, in 64
// bits, which makes them exact for every year an int can hold.
std::int64_t DaysFromCivil(int Year, unsigned Month, unsigned Day) {
  const std::int64_t y = static_cast<std::int64_t>(Year) - (Month <= 2 ? 1 : 0);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned mp = Month > 2 ? Month - 3 : Month + 9;
  const unsigned doy = (153 * mp + 2) / 5 + Day - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int32_t Days, int& Year, unsigned& Month, unsigned& Day) {
  const std::int64_t z = static_cast<std::int64_t>(Days) + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  Day = doy - (153 * mp + 2) / 5 + 1;
  Month = mp < 10 ? mp + 3 : mp - 9;
  Year = static_cast<int>(y + (Month <= 2 ? 1 : 0));
}

namespace {

bool IsLeap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned DaysInMonth(int y, unsigned m) {
  static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

bool ValidDate(int y, unsigned m, unsigned d) {
  return m >= 1 && m <= 12 && d >= 1 && d <= DaysInMonth(y, m);
}

bool ValidTime(unsigned h, unsigned mi, unsigned s, unsigned us) {
  return h < 24 && mi < 60 && s < 60 && us < 1000000;
}

bool FiniteDays(std::int64_t Days) {
  return Days >= TDateTime::kMinDays && Days <= TDateTime::kMaxDays;
}

}  // namespace

TDateTime EncodeDate(int Year, unsigned Month, unsigned Day) {
  if (!ValidDate(Year, Month, Day)) throw EConvertError(SInvalidDateEncode);
  const std::int64_t days = DaysFromCivil(Year, Month, Day);
  if (!FiniteDays(days)) throw EConvertError(SInvalidDateEncode);
  return TDateTime{static_cast<std::int32_t>(days), 0};
}

TDateTime EncodeTime(unsigned Hour, unsigned Minute, unsigned Second, unsigned Micro) {
  if (!ValidTime(Hour, Minute, Second, Micro)) throw EConvertError(SInvalidTimeEncode);
  return TDateTime{0, ((static_cast<std::int64_t>(Hour) * 60 + Minute) * 60 + Second) *
                              TDateTime::kMicrosPerSecond +
                          Micro};
}

TDateTime EncodeDateTime(int Year, unsigned Month, unsigned Day, unsigned Hour, unsigned Minute,
                         unsigned Second, unsigned Micro) {
  return TDateTime{EncodeDate(Year, Month, Day).Days, EncodeTime(Hour, Minute, Second, Micro).Time};
}

TDateTime DateFromDays(std::int32_t Days) {
  return TDateTime{Days, 0};
}

std::int32_t DatePart(TDateTime Value) {
  return Value.Days;
}

std::int64_t TimePart(TDateTime Value) {
  return Value.Time;
}

void PackDateTime(TDateTime Value, void* Buffer) {
  auto* out = static_cast<unsigned char*>(Buffer);
  std::memcpy(out, &Value.Days, sizeof Value.Days);
  std::memcpy(out + sizeof Value.Days, &Value.Time, sizeof Value.Time);
}

TDateTime UnpackDateTime(const void* Buffer) {
  const auto* in = static_cast<const unsigned char*>(Buffer);
  TDateTime value;
  std::memcpy(&value.Days, in, sizeof value.Days);
  std::memcpy(&value.Time, in + sizeof value.Days, sizeof value.Time);
  return value;
}

namespace {
const char* InfinityText(TDateTime Value) {
  return Value.Days > 0 ? "infinity" : "-infinity";
}
}  // namespace

std::string DateToStr(TDateTime Value) {
  if (Value.IsInfinite()) return InfinityText(Value);
  int y;
  unsigned m, d;
  CivilFromDays(DatePart(Value), y, m, d);
  if (y >= 0 && y <= 9999) {  // the usual case, without a general formatter
    const char text[10] = {static_cast<char>('0' + y / 1000),
                           static_cast<char>('0' + y / 100 % 10),
                           static_cast<char>('0' + y / 10 % 10),
                           static_cast<char>('0' + y % 10),
                           '-',
                           static_cast<char>('0' + m / 10),
                           static_cast<char>('0' + m % 10),
                           '-',
                           static_cast<char>('0' + d / 10),
                           static_cast<char>('0' + d % 10)};
    return std::string(text, sizeof text);
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", y, m, d);
  return buf;
}

std::string TimeToStr(TDateTime Value) {
  if (Value.IsInfinite()) return InfinityText(Value);
  // Only a time of day can be 24:00:00; a later value is a day and a time.
  std::int64_t t = Value.Days == 1 && Value.Time == 0 ? TDateTime::kMicrosPerDay : Value.Time;
  const unsigned us = static_cast<unsigned>(t % 1000000);
  t /= 1000000;
  char buf[32];
  if (us != 0)
    std::snprintf(buf, sizeof buf, "%02u:%02u:%02u.%06u", static_cast<unsigned>(t / 3600),
                  static_cast<unsigned>(t / 60 % 60), static_cast<unsigned>(t % 60), us);
  else
    std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", static_cast<unsigned>(t / 3600),
                  static_cast<unsigned>(t / 60 % 60), static_cast<unsigned>(t % 60));
  return buf;
}

std::string DateTimeToStr(TDateTime Value) {
  if (Value.IsInfinite()) return InfinityText(Value);
  return DateToStr(Value) + " " + TimeToStr(Value);
}

namespace {

// Reads exactly Width digits at s[i]; advances i.
bool Digits(const std::string& s, std::size_t& i, int width, unsigned& out) {
  out = 0;
  for (int k = 0; k < width; ++k, ++i) {
    if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
    out = out * 10 + static_cast<unsigned>(s[i] - '0');
  }
  return true;
}

bool ParseTime(const std::string& s, std::size_t& i, std::int64_t& micros) {
  unsigned h, mi, se = 0, us = 0;
  if (!Digits(s, i, 2, h) || i >= s.size() || s[i++] != ':' || !Digits(s, i, 2, mi)) return false;
  if (i < s.size() && s[i] == ':') {
    ++i;
    if (!Digits(s, i, 2, se)) return false;
    if (i < s.size() && s[i] == '.') {
      ++i;
      int n = 0;
      while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        if (n < 6) us = us * 10 + static_cast<unsigned>(s[i] - '0');
        ++n;
        ++i;
      }
      if (n == 0) return false;
      for (; n < 6; ++n) us *= 10;
    }
  }
  if (!ValidTime(h, mi, se, us)) return false;
  micros = ((static_cast<std::int64_t>(h) * 60 + mi) * 60 + se) * TDateTime::kMicrosPerSecond + us;
  return true;
}

}  // namespace

bool TryStrToDateTime(const std::string& Text, TDateTime& Value) {
  std::size_t i = 0;
  const std::string& s = Text;
  if (s == "infinity" || s == "+infinity" || s == "-infinity") {
    Value = s[0] == '-' ? TDateTime::NegInfinity() : TDateTime::Infinity();
    return true;
  }
  if (s.size() >= 5 && s[2] == ':') {
    if (s == "24:00:00" || s == "24:00") {
      Value = TDateTime{1, 0};
      return true;
    }
    std::int64_t t;
    if (!ParseTime(s, i, t) || i != s.size()) return false;
    Value = TDateTime{0, t};
    return true;
  }
  bool negative = false;
  if (i < s.size() && s[i] == '-') {
    negative = true;
    ++i;
  }
  unsigned y, m, d;
  std::size_t start = i;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
  if (i - start < 4 || i - start > 9) return false;
  y = static_cast<unsigned>(std::stoul(s.substr(start, i - start)));
  if (i >= s.size() || s[i++] != '-' || !Digits(s, i, 2, m) || i >= s.size() || s[i++] != '-' ||
      !Digits(s, i, 2, d))
    return false;
  const int year = negative ? -static_cast<int>(y) : static_cast<int>(y);
  if (!ValidDate(year, m, d)) return false;
  const std::int64_t days = DaysFromCivil(year, m, d);
  if (!FiniteDays(days)) return false;
  std::int64_t t = 0;
  if (i < s.size()) {
    if (s[i] != ' ' && s[i] != 'T') return false;
    ++i;
    if (!ParseTime(s, i, t) || i != s.size()) return false;
  }
  Value = TDateTime{static_cast<std::int32_t>(days), t};
  return true;
}

TDateTime StrToDateTime(const std::string& Text) {
  TDateTime v;
  if (!TryStrToDateTime(Text, v)) throw EConvertError(Format(SInvalidDateTime, {Text}));
  return v;
}

}  // namespace qvl
