#include "qvl/host/runtime/Variant.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

#include "qvl/host/runtime/Exceptions.h"
#include "qvl/host/runtime/RTLConsts.h"
#include "qvl/host/runtime/Strings.h"

namespace qvl {

const char* VarTypeName(TVarType Type) {
  switch (Type) {
    case varEmpty:
      return "Empty";
    case varNull:
      return "Null";
    case varBoolean:
      return "Boolean";
    case varInteger:
      return "Integer";
    case varInt64:
      return "Int64";
    case varDouble:
      return "Double";
    case varBcd:
      return "Bcd";
    case varDate:
      return "Date";
    case varString:
      return "String";
    case varBytes:
      return "Bytes";
    case varArray:
      return "Array";
  }
  return "Unknown";
}

// ---- decimal text -------------------------------------------------------

bool IsDecimalText(const std::string& s) {
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
  std::size_t digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  }
  return digits > 0 && i == s.size();
}

bool IsSpecialDecimal(std::string_view s) {
  return s == "NaN" || s == "Infinity" || s == "-Infinity";
}

std::string NormalizeDecimal(const std::string& s) {
  bool negative = !s.empty() && s[0] == '-';
  std::size_t i = (!s.empty() && (s[0] == '-' || s[0] == '+')) ? 1 : 0;
  std::string intPart, frac;
  while (i < s.size() && s[i] != '.') intPart += s[i++];
  if (i < s.size()) frac = s.substr(i + 1);
  std::size_t nz = intPart.find_first_not_of('0');
  intPart = nz == std::string::npos ? "0" : intPart.substr(nz);
  while (!frac.empty() && frac.back() == '0') frac.pop_back();
  std::string out = intPart;
  if (!frac.empty()) out += "." + frac;
  if (negative && out != "0") out = "-" + out;
  return out;
}

int CompareDecimal(const std::string& a, const std::string& b) {
  std::string x = NormalizeDecimal(a), y = NormalizeDecimal(b);
  bool nx = x[0] == '-', ny = y[0] == '-';
  if (nx != ny) return nx ? -1 : 1;
  if (nx) {
    x.erase(0, 1);
    y.erase(0, 1);
  }
  auto split = [](const std::string& s, std::string& ip, std::string& fp) {
    auto p = s.find('.');
    ip = s.substr(0, p);
    fp = p == std::string::npos ? "" : s.substr(p + 1);
  };
  std::string xi, xf, yi, yf;
  split(x, xi, xf);
  split(y, yi, yf);
  int c = 0;
  if (xi.size() != yi.size())
    c = xi.size() < yi.size() ? -1 : 1;
  else if (xi != yi)
    c = xi < yi ? -1 : 1;
  else {
    xf.resize(std::max(xf.size(), yf.size()), '0');
    yf.resize(xf.size(), '0');
    c = xf == yf ? 0 : (xf < yf ? -1 : 1);
  }
  return nx ? -c : c;
}

// ---- construction -------------------------------------------------------

Variant::Variant(std::vector<Variant> Items)
    : FValue(std::make_shared<const std::vector<Variant>>(std::move(Items))) {}

Variant Variant::Null() {
  Variant v;
  v.FValue = NullTag{};
  return v;
}

Variant Variant::Bcd(const std::string& Decimal) {
  std::string t = Decimal;
  while (!t.empty() && t.front() == ' ') t.erase(0, 1);
  while (!t.empty() && t.back() == ' ') t.pop_back();
  const bool special = IsSpecialDecimal(t);
  if (!special && !IsDecimalText(t))
    throw EVariantError(Format(SVarTypeCouldNotConvert, {"String", "Bcd"}));
  Variant v;
  v.FValue = BcdValue{special ? t : NormalizeDecimal(t)};
  return v;
}

Variant VarArrayOf(std::vector<Variant> Items) {
  return Variant(std::move(Items));
}

bool Variant::IsNumeric() const {
  switch (VarType()) {
    case varBoolean:
    case varInteger:
    case varInt64:
    case varDouble:
    case varBcd:
      return true;
    default:
      return false;
  }
}

void Variant::CannotConvert(TVarType To) const {
  throw EVariantError(Format(SVarTypeCouldNotConvert, {VarTypeName(VarType()), VarTypeName(To)}));
}

// ---- conversions --------------------------------------------------------

namespace {

bool ParseInt64(const std::string& text, std::int64_t& out) {
  std::string s = TrimAscii(text);
  if (!s.empty() && s[0] == '+') s.erase(0, 1);
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && p == s.data() + s.size() && !s.empty();
}

bool ParseDouble(const std::string& text, double& out) {
  std::string s = TrimAscii(text);
  if (!s.empty() && s[0] == '+') s.erase(0, 1);
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && p == s.data() + s.size() && !s.empty();
}

std::string DoubleToText(double d) {
  char buf[64];
  auto [p, ec] = std::to_chars(buf, buf + sizeof buf, d);
  (void)ec;
  return std::string(buf, p);
}

// The shortest digits that read back as d, written out without an exponent:
// 1e-20 is "0.00000000000000000001", 1e300 a one and 300 zeros. A fixed
// count of digits after the point would lose the small values.
std::string DoubleToDecimal(double d) {
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  (void)ec;
  const std::string_view text(buf, static_cast<std::size_t>(end - buf));
  const std::size_t e = text.find('e');
  const bool negative = text[0] == '-';
  std::string digits;
  for (char c : text.substr(0, e))
    if (c >= '0' && c <= '9') digits += c;
  int exponent = 0;
  std::from_chars(text.data() + e + 1 + (text[e + 1] == '+'), text.data() + text.size(), exponent);
  // digits holds d's significant digits, the first of them at 10^exponent.
  const int point = exponent + 1;  // digits before the point
  std::string out;
  if (point <= 0)
    out = "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
  else if (static_cast<std::size_t>(point) >= digits.size())
    out = digits + std::string(static_cast<std::size_t>(point) - digits.size(), '0');
  else
    out = digits.substr(0, static_cast<std::size_t>(point)) + "." +
          digits.substr(static_cast<std::size_t>(point));
  return NormalizeDecimal(negative ? "-" + out : out);
}

}  // namespace

bool Variant::AsBoolean() const {
  switch (VarType()) {
    case varEmpty:
      return false;
    case varBoolean:
      return std::get<bool>(FValue);
    case varInteger:
      return std::get<std::int32_t>(FValue) != 0;
    case varInt64:
      return std::get<std::int64_t>(FValue) != 0;
    case varDouble:
      return std::get<double>(FValue) != 0;
    case varBcd:
      return NormalizeDecimal(std::get<BcdValue>(FValue).Text) != "0";
    case varString: {
      const std::string s = LowerCaseAscii(TrimAscii(std::get<std::string>(FValue)));
      if (s == "true") return true;
      if (s == "false") return false;
      double d;
      if (ParseDouble(s, d)) return d != 0;
      break;
    }
    default:
      break;
  }
  CannotConvert(varBoolean);
}

std::int64_t Variant::AsInt64() const {
  switch (VarType()) {
    case varEmpty:
      return 0;
    case varBoolean:
      return std::get<bool>(FValue) ? 1 : 0;
    case varInteger:
      return std::get<std::int32_t>(FValue);
    case varInt64:
      return std::get<std::int64_t>(FValue);
    case varDouble: {
      double d = std::nearbyint(std::get<double>(FValue));
      if (std::isfinite(d) && d >= -9223372036854775808.0 && d < 9223372036854775808.0)
        return static_cast<std::int64_t>(d);
      break;
    }
    case varBcd:
    case varString: {
      const std::string& s =
          VarType() == varBcd ? std::get<BcdValue>(FValue).Text : std::get<std::string>(FValue);
      std::int64_t v;
      if (ParseInt64(s, v)) return v;
      double d;
      if (ParseDouble(s, d)) return Variant(d).AsInt64();
      break;
    }
    default:
      break;
  }
  CannotConvert(varInt64);
}

std::int32_t Variant::AsInteger() const {
  if (VarType() == varInteger) return std::get<std::int32_t>(FValue);
  std::int64_t v;
  try {
    v = AsInt64();
  } catch (const EVariantError&) {
    CannotConvert(varInteger);
  }
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
    CannotConvert(varInteger);
  return static_cast<std::int32_t>(v);
}

double Variant::AsFloat() const {
  switch (VarType()) {
    case varEmpty:
      return 0;
    case varBoolean:
      return std::get<bool>(FValue) ? 1 : 0;
    case varInteger:
      return std::get<std::int32_t>(FValue);
    case varInt64:
      return static_cast<double>(std::get<std::int64_t>(FValue));
    case varDouble:
      return std::get<double>(FValue);
    case varBcd: {
      double d;
      if (ParseDouble(std::get<BcdValue>(FValue).Text, d)) return d;
      break;
    }
    case varString: {
      double d;
      if (ParseDouble(std::get<std::string>(FValue), d)) return d;
      break;
    }
    default:
      break;
  }
  CannotConvert(varDouble);
}

std::string Variant::AsBcd() const {
  switch (VarType()) {
    case varEmpty:
      return "0";
    case varBoolean:
      return std::get<bool>(FValue) ? "1" : "0";
    case varInteger:
      return std::to_string(std::get<std::int32_t>(FValue));
    case varInt64:
      return std::to_string(std::get<std::int64_t>(FValue));
    case varDouble: {
      const double d = std::get<double>(FValue);
      if (!std::isfinite(d)) break;
      return DoubleToDecimal(d);
    }
    case varBcd:
      return std::get<BcdValue>(FValue).Text;
    case varString: {
      std::string t = TrimAscii(std::get<std::string>(FValue));
      if (IsDecimalText(t)) return NormalizeDecimal(t);
      if (IsSpecialDecimal(t)) return t;
      break;
    }
    default:
      break;
  }
  CannotConvert(varBcd);
}

TDateTime Variant::AsDateTime() const {
  switch (VarType()) {
    case varDate:
      return std::get<TDateTime>(FValue);
    case varString: {
      TDateTime v;
      if (TryStrToDateTime(TrimAscii(std::get<std::string>(FValue)), v)) return v;
      break;
    }
    default:
      break;
  }
  CannotConvert(varDate);
}

std::string Variant::AsString() const {
  switch (VarType()) {
    case varEmpty:
      return "";
    case varBoolean:
      return std::get<bool>(FValue) ? "True" : "False";
    case varInteger:
      return std::to_string(std::get<std::int32_t>(FValue));
    case varInt64:
      return std::to_string(std::get<std::int64_t>(FValue));
    case varDouble:
      return DoubleToText(std::get<double>(FValue));
    case varBcd:
      return std::get<BcdValue>(FValue).Text;
    case varDate: {
      TDateTime d = std::get<TDateTime>(FValue);
      if (TimePart(d) == 0) return DateToStr(d);
      if (DatePart(d) == 0) return TimeToStr(d);
      return DateTimeToStr(d);
    }
    case varString:
      return std::get<std::string>(FValue);
    case varBytes: {
      const TBytes& b = std::get<TBytes>(FValue);
      return std::string(b.begin(), b.end());
    }
    default:
      break;
  }
  CannotConvert(varString);
}

TBytes Variant::AsBytes() const {
  switch (VarType()) {
    case varEmpty:
      return {};
    case varBytes:
      return std::get<TBytes>(FValue);
    case varString: {
      const std::string& s = std::get<std::string>(FValue);
      return TBytes(s.begin(), s.end());
    }
    default:
      break;
  }
  CannotConvert(varBytes);
}

Variant Variant::AsType(TVarType Type) const {
  if (Type == VarType()) return *this;
  if (IsNull() || IsArray()) CannotConvert(Type);
  switch (Type) {
    case varEmpty:
      return Variant();
    case varNull:
      return Null();
    case varBoolean:
      return Variant(AsBoolean());
    case varInteger:
      return Variant(AsInteger());
    case varInt64:
      return Variant(AsInt64());
    case varDouble:
      return Variant(AsFloat());
    case varBcd: {
      Variant v;
      v.FValue = BcdValue{AsBcd()};
      return v;
    }
    case varDate:
      return Variant(AsDateTime());
    case varString:
      return Variant(AsString());
    case varBytes:
      return Variant(AsBytes());
    case varArray:
      break;
  }
  CannotConvert(Type);
}

std::size_t Variant::ArrayCount() const {
  return Items().size();
}

const std::vector<Variant>& Variant::Items() const {
  if (!IsArray()) throw EVariantError(SVarNotArray);
  return *std::get<Array>(FValue);
}

const Variant& Variant::operator[](std::size_t Index) const {
  const auto& items = Items();
  if (Index >= items.size()) throw EVariantError(SVarArrayBounds);
  return items[Index];
}

// ---- equality -----------------------------------------------------------

bool operator==(const Variant& A, const Variant& B) {
  TVarType ta = A.VarType(), tb = B.VarType();
  if (ta == varEmpty || tb == varEmpty || ta == varNull || tb == varNull) return ta == tb;
  if (ta == varArray || tb == varArray) {
    if (ta != tb) return false;
    const auto &x = A.Items(), &y = B.Items();
    if (x.size() != y.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i)
      if (!(x[i] == y[i])) return false;
    return true;
  }
  if (ta == varString && tb == varString) return A.AsString() == B.AsString();
  if ((ta == varString || ta == varBytes) && (tb == varString || tb == varBytes))
    return A.AsBytes() == B.AsBytes();
  if (ta == varDate || tb == varDate) return A.AsDateTime() == B.AsDateTime();
  if (ta == varBytes || tb == varBytes) return A.AsBytes() == B.AsBytes();
  // Numbers, or text against a number: compare in the widest exact form.
  TVarType na = ta == varString ? tb : ta;
  TVarType nb = tb == varString ? ta : tb;
  if (na == varDouble || nb == varDouble) return A.AsFloat() == B.AsFloat();
  if (na == varBcd || nb == varBcd) {
    const std::string a = A.AsBcd(), b = B.AsBcd();
    if (IsSpecialDecimal(a) || IsSpecialDecimal(b)) return a == b;
    return CompareDecimal(a, b) == 0;
  }
  if (na == varBoolean && nb == varBoolean) return A.AsBoolean() == B.AsBoolean();
  return A.AsInt64() == B.AsInt64();
}

std::string VarToStr(const Variant& Value) {
  return Value.IsNull() ? std::string() : Value.AsString();
}

}  // namespace qvl
