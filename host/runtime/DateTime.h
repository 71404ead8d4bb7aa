#pragma once
// TDateTime: a calendar date and time of day without a time zone, kept as
// microseconds since 1970-01-01 00:00:00 so that every value a SQL server
// stores (to the microsecond) survives a round trip. Dates before 1970 are
// negative counts. Text form: "YYYY-MM-DD", "HH:MM:SS[.ffffff]" or both
// separated by a blank or a "T".
//
// Two values stand for SQL's 'infinity' and '-infinity' (dates and
// timestamps after and before every other): the largest and the smallest
// count. They read and write as "infinity" and "-infinity"; a date field keeps
// them as the largest and smallest day count.

#include <cstdint>
#include <string>

namespace qvl {

struct TDateTime {
  std::int64_t Micros = 0;

  static constexpr std::int64_t kMicrosPerSecond = 1000000;
  static constexpr std::int64_t kMicrosPerDay = 86400 * kMicrosPerSecond;

  static constexpr TDateTime Infinity() { return TDateTime{INT64_MAX}; }
  static constexpr TDateTime NegInfinity() { return TDateTime{INT64_MIN}; }
  constexpr bool IsInfinite() const { return Micros == INT64_MAX || Micros == INT64_MIN; }

  friend bool operator==(TDateTime a, TDateTime b) { return a.Micros == b.Micros; }
  friend auto operator<=>(TDateTime a, TDateTime b) { return a.Micros <=> b.Micros; }
};

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
std::int32_t DaysFromCivil(int Year, unsigned Month, unsigned Day);
void CivilFromDays(std::int32_t Days, int& Year, unsigned& Month, unsigned& Day);

// Raise EConvertError for a month, day, hour, minute or second out of range.
TDateTime EncodeDate(int Year, unsigned Month, unsigned Day);
TDateTime EncodeTime(unsigned Hour, unsigned Minute, unsigned Second, unsigned Micro = 0);
TDateTime EncodeDateTime(int Year, unsigned Month, unsigned Day, unsigned Hour, unsigned Minute,
                         unsigned Second, unsigned Micro = 0);

// The day part (days since 1970-01-01; INT32_MAX and INT32_MIN for the
// infinities) and the time part (microseconds since midnight, always 0 or
// more) of a value. A day count back to a value, infinities kept.
TDateTime DateFromDays(std::int32_t Days);
std::int32_t DatePart(TDateTime Value);
std::int64_t TimePart(TDateTime Value);

std::string DateToStr(TDateTime Value);      // YYYY-MM-DD
std::string TimeToStr(TDateTime Value);      // HH:MM:SS[.ffffff]; "24:00:00" is a time of its own
std::string DateTimeToStr(TDateTime Value);  // YYYY-MM-DD HH:MM:SS[.ffffff]

// Parses the text forms above, "infinity" and "-infinity", and the time of
// day 24:00:00 (the end of the day, kept as one day's count); returns false
// for anything else.
bool TryStrToDateTime(const std::string& Text, TDateTime& Value);
// The same, raising EConvertError.
TDateTime StrToDateTime(const std::string& Text);

}  // namespace qvl
