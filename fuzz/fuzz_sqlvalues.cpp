// libFuzzer target: the value parsers and formatters of the SQL drivers
// (timestamps, times, dates, doubles, decimals), with their round trips.
//
// Input layout: byte 0 picks the check, the rest is its input: text to
// parse into each kind of field, twelve bytes of a date and time or eight
// bytes of a double to format and read back.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "qvl/host/runtime/DateTime.h"
#include "qvl/host/runtime/Exceptions.h"
#include "qvl/host/sqlclient/SQLValues.h"

namespace {

void Check(bool Condition) {
  if (!Condition) std::abort();
}

std::int64_t Bits(std::string_view In) {
  std::uint8_t bytes[8] = {};
  std::memcpy(bytes, In.data(), std::min<std::size_t>(In.size(), 8));
  std::int64_t v;
  std::memcpy(&v, bytes, 8);
  return v;
}

// Text through PutText into a field of each kind: a value or a clear error.
void PutEveryKind(std::string_view Text) {
  static const qvl::TFieldType kinds[] = {qvl::ftString,    qvl::ftSmallint, qvl::ftInteger,
                                          qvl::ftLargeint,  qvl::ftBoolean,  qvl::ftFloat,
                                          qvl::ftFMTBcd,    qvl::ftDate,     qvl::ftTime,
                                          qvl::ftTimeStamp, qvl::ftBytes,    qvl::ftVarBytes};
  for (qvl::TFieldType kind : kinds) {
    qvl::TSQLColumnDesc c;
    c.Name = "c";
    c.DataType = kind;
    c.Size = kind == qvl::ftFMTBcd ? 10 : 40;
    c.Precision = 30;
    alignas(8) char buffer[64] = {};
    try {
      qvl::sqlvalue::PutText(c, Text, buffer);
    } catch (const qvl::EDatabaseError&) {
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  std::string_view in(reinterpret_cast<const char*>(Data), Size);
  if (in.empty()) return 0;
  const unsigned mode = static_cast<unsigned char>(in[0]) % 4;
  in.remove_prefix(1);
  using qvl::sqlvalue::TParse;
  switch (mode) {
    case 0:
      PutEveryKind(in);
      qvl::sqlvalue::SignificantDigits(in);
      break;
    case 1: {
      // Every value the runtime holds is written and read back exactly, in
      // both forms: a day count (4 bytes), then a time of day (8 bytes).
      const qvl::TDateTime value{
          static_cast<std::int32_t>(Bits(in.substr(0, 4))),
          qvl::TDateTime::FromMicros(Bits(in.substr(std::min<std::size_t>(in.size(), 4)))).Time};
      // The two extreme counts are the infinities, which are written by name.
      if (value.IsInfinite()) break;
      for (bool bc : {false, true}) {
        std::string text = qvl::sqlvalue::FormatTimestamp(value, bc);
        if (bc && text.size() > 3 && text.compare(text.size() - 3, 3, " BC") != 0) bc = false;
        qvl::TDateTime back;
        bool hadTime = false;
        Check(qvl::sqlvalue::ParseTimestamp(text, back, hadTime) == TParse::Ok);
        Check(back == value);
      }
      break;
    }
    case 2: {
      qvl::TDateTime value;
      bool hadTime = false;
      if (qvl::sqlvalue::ParseTimestamp(in, value, hadTime) == TParse::Ok) {
        Check(!value.IsInfinite() && value.Time >= 0 && value.Time < qvl::TDateTime::kMicrosPerDay);
        qvl::TDateTime again;
        Check(qvl::sqlvalue::ParseTimestamp(qvl::sqlvalue::FormatTimestamp(value, false), again,
                                            hadTime) == TParse::Ok);
        Check(again == value);
      }
      std::int64_t micros = 0;
      if (qvl::sqlvalue::ParseTimeOfDay(in, micros) == TParse::Ok)
        Check(micros >= 0 && micros <= qvl::TDateTime::kMicrosPerDay);
      break;
    }
    case 3: {
      double d;
      const std::int64_t bits = Bits(in);
      std::memcpy(&d, &bits, 8);
      double back = 0;
      Check(qvl::sqlvalue::ParseDouble(qvl::sqlvalue::DoubleToText(d), back));
      Check(std::isnan(d) ? std::isnan(back) : back == d && std::signbit(back) == std::signbit(d));
      if (std::isfinite(d)) Check(qvl::sqlvalue::SameNumber(qvl::sqlvalue::DoubleToText(d), d));
      break;
    }
  }
  return 0;
}
