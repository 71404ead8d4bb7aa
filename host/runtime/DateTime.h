#pragma once
// TDateTime: a calendar date and time of day without a time zone, kept as a
// day count since 1970-01-01 (negative before it) and the microseconds since
// that day's start. Every value a SQL server stores survives a round trip,
// to the microsecond: 32 bits of days reach about 5.88 million years either
// side of 1970, past PostgreSQL's dates (4714 BC to 5874897) and timestamps
// (to 294276), which one 64-bit count of microseconds could not all hold.
// Text form: "YYYY-MM-DD", "HH:MM:SS[.ffffff]" or both separated by a blank
// or a "T".
//
// Two values stand for SQL's 'infinity' and '-infinity' (dates and
// timestamps after and before every other): the largest and the smallest
// day count, INT32_MAX and INT32_MIN, as a date field keeps them. They read
// and write as "infinity" and "-infinity".
//
// A time of day is a value on day 0; the end of the day, 24:00:00, is day 1
// at time 0.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <string>

#pragma GCC visibility push(default)

namespace qvl {

struct TDateTime {
  std::int32_t Days = 0;  // since 1970-01-01
  std::int64_t Time = 0;  // microseconds since the day's start, 0 to kMicrosPerDay - 1

  static constexpr std::int64_t kMicrosPerSecond = 1000000;
  static constexpr std::int64_t kMicrosPerDay = 86400 * kMicrosPerSecond;
  // The day counts of finite values; the two beyond are the infinities.
  static constexpr std::int32_t kMinDays = INT32_MIN + 1;
  static constexpr std::int32_t kMaxDays = INT32_MAX - 1;

  static constexpr TDateTime Infinity() { return {INT32_MAX, 0}; }
  static constexpr TDateTime NegInfinity() { return {INT32_MIN, 0}; }
  constexpr bool IsInfinite() const { return Days == INT32_MAX || Days == INT32_MIN; }

  // Microseconds since 1970-01-01 00:00, negative before it; every count
  // lies within the finite range.
  static constexpr TDateTime FromMicros(std::int64_t Micros) {
    std::int64_t days = Micros / kMicrosPerDay, time = Micros % kMicrosPerDay;
    if (time < 0) {
      time += kMicrosPerDay;
      --days;
    }
    return {static_cast<std::int32_t>(days), time};
  }

  friend constexpr bool operator==(TDateTime, TDateTime) = default;
  friend constexpr auto operator<=>(TDateTime, TDateTime) = default;
};

// Days since 1970-01-01 of a proleptic Gregorian date, exact for every year
// an int holds, and back.
std::int64_t DaysFromCivil(int Year, unsigned Month, unsigned Day);
void CivilFromDays(std::int32_t Days, int& Year, unsigned& Month, unsigned& Day);

// Raise EConvertError for a month, day, hour, minute or second out of range,
// and for a date beyond the finite day counts.
TDateTime EncodeDate(int Year, unsigned Month, unsigned Day);
TDateTime EncodeTime(unsigned Hour, unsigned Minute, unsigned Second, unsigned Micro = 0);
TDateTime EncodeDateTime(int Year, unsigned Month, unsigned Day, unsigned Hour, unsigned Minute,
                         unsigned Second, unsigned Micro = 0);

// The day part (INT32_MAX and INT32_MIN for the infinities) and the time
// part of a value. A day count back to a value, infinities kept.
TDateTime DateFromDays(std::int32_t Days);
std::int32_t DatePart(TDateTime Value);
std::int64_t TimePart(TDateTime Value);

// The 12 bytes in which a date-time or timestamp field keeps a value: the
// day count, then the time, each in the machine's byte order.
inline constexpr std::size_t kDateTimeBytes = 12;
void PackDateTime(TDateTime Value, void* Buffer);
TDateTime UnpackDateTime(const void* Buffer);

std::string DateToStr(TDateTime Value);      // YYYY-MM-DD
std::string TimeToStr(TDateTime Value);      // HH:MM:SS[.ffffff]; "24:00:00" is a time of its own
std::string DateTimeToStr(TDateTime Value);  // YYYY-MM-DD HH:MM:SS[.ffffff]

// Parses the text forms above, "infinity" and "-infinity", and the time of
// day 24:00:00 (the end of the day, kept as day 1); returns false for
// anything else, a date beyond the finite day counts included.
bool TryStrToDateTime(const std::string& Text, TDateTime& Value);
// The same, raising EConvertError.
TDateTime StrToDateTime(const std::string& Text);

}  // namespace qvl

#pragma GCC visibility pop
