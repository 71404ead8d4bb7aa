// The host runtime: variants, string lists, components, blob arrays,
// parameters, streams, dates.
#include <gtest/gtest.h>

#include <cstring>

#include "qvl/host/dataset/Params.h"
#include "qvl/host/runtime/BlobByteData.h"
#include "qvl/host/runtime/Component.h"
#include "qvl/host/runtime/DateTime.h"
#include "qvl/host/runtime/Exceptions.h"
#include "qvl/host/runtime/Stream.h"
#include "qvl/host/runtime/Strings.h"
#include "qvl/host/runtime/Variant.h"
#include "tests/support/Watcher.h"

using namespace qvl;

TEST(Variant, UnassignedAndNullAreDistinctValues) {
  EXPECT_TRUE(Variant().IsEmpty());
  EXPECT_TRUE(Variant::Null().IsNull());
  EXPECT_FALSE(Variant() == Variant::Null());
  EXPECT_TRUE(Variant::Null() == Variant::Null());
  EXPECT_FALSE(Variant::Null() == Variant(0));
  EXPECT_EQ(VarToStr(Variant::Null()), "");
}

TEST(Variant, ConversionsThatCannotBeMadeRaise) {
  try {
    Variant::Null().AsInteger();
    FAIL();
  } catch (const EVariantError& e) {
    EXPECT_STREQ(e.what(), "Could not convert variant of type (Null) into type (Integer)");
  }
  EXPECT_THROW(Variant("abc").AsType(varInteger), EVariantError);
  EXPECT_THROW(Variant("1.5x").AsFloat(), EVariantError);
  EXPECT_THROW(Variant(std::int64_t{1} << 40).AsInteger(), EVariantError);
  EXPECT_THROW(Variant("2024-13-01").AsDateTime(), EVariantError);
  EXPECT_THROW(VarArrayOf({1, 2}).AsString(), EVariantError);
  EXPECT_EQ(Variant(" 42 ").AsInteger(), 42);
  EXPECT_EQ(Variant(2.5).AsInt64(), 2) << "round half to even";
  EXPECT_EQ(Variant(3.5).AsInt64(), 4);
  EXPECT_EQ(Variant(true).AsString(), "True");
  EXPECT_EQ(Variant(0.1).AsString(), "0.1");
}

TEST(Variant, EqualityComparesByValueAcrossNumericTypes) {
  EXPECT_TRUE(Variant(5) == Variant(std::int64_t{5}));
  EXPECT_TRUE(Variant(5) == Variant(5.0));
  EXPECT_TRUE(Variant("5") == Variant(5));
  EXPECT_FALSE(Variant("abc") == Variant("ABC"));
  EXPECT_THROW((void)(Variant("abc") == Variant(5)), EVariantError);
  EXPECT_TRUE(Variant::Bcd("1.50") == Variant(1.5));
  EXPECT_TRUE(Variant::Bcd("12345678901234567890.5") == Variant::Bcd("12345678901234567890.50"));
  EXPECT_FALSE(Variant::Bcd("12345678901234567890.5") == Variant::Bcd("12345678901234567890.6"));
  EXPECT_TRUE(VarArrayOf({1, "a"}) == VarArrayOf({1, "a"}));
  EXPECT_FALSE(VarArrayOf({1, "a"}) == VarArrayOf({1, "b"}));
  EXPECT_TRUE(Variant(EncodeDate(2024, 2, 29)) == Variant("2024-02-29"));
}

TEST(Variant, ExactDecimalsKeepEveryDigit) {
  EXPECT_EQ(Variant::Bcd("-007.500").AsBcd(), "-7.5");
  EXPECT_EQ(Variant::Bcd("0.000").AsBcd(), "0");
  EXPECT_EQ(Variant::Bcd("123456789012345678901234567890.123456789").AsString(),
            "123456789012345678901234567890.123456789");
  EXPECT_EQ(CompareDecimal("-2", "-10"), 1);
  EXPECT_EQ(CompareDecimal("0.10", "0.1"), 0);
  EXPECT_THROW(Variant::Bcd("1e5"), EVariantError);
}

// A double becomes the shortest decimal that reads back as the same double,
// however small or large: never rounded to a fixed number of places.
TEST(Variant, DoublesBecomeTheirShortestExactDecimal) {
  const struct {
    double Value;
    std::string Decimal;
  } cases[] = {
      {1e-20, "0." + std::string(19, '0') + "1"},
      {1.2345678901234567e-10, "0." + std::string(9, '0') + "12345678901234568"},
      {-0.1, "-0.1"},
      {-0.0, "0"},
      {123.456, "123.456"},
      {-1e22, "-1" + std::string(22, '0')},
      {1.7976931348623157e308, "17976931348623157" + std::string(292, '0')},
      {2.2250738585072014e-308, "0." + std::string(307, '0') + "22250738585072014"},
      {5e-324, "0." + std::string(323, '0') + "5"},  // the smallest subnormal
      {-4.9406564584124654e-324, "-0." + std::string(323, '0') + "5"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Variant(c.Value).AsBcd(), c.Decimal) << c.Value;
    EXPECT_EQ(Variant(c.Value).AsType(varBcd).AsString(), c.Decimal) << c.Value;
    EXPECT_EQ(Variant::Bcd(c.Decimal).AsFloat(), c.Value) << c.Decimal;
  }
}

TEST(DateTime, TextRoundTripsToTheMicrosecond) {
  TDateTime t = EncodeDateTime(1969, 12, 31, 23, 59, 59, 999999);
  EXPECT_EQ(DateTimeToStr(t), "1969-12-31 23:59:59.999999");
  EXPECT_EQ(StrToDateTime("1969-12-31T23:59:59.999999"), t);
  EXPECT_EQ(DateToStr(StrToDateTime("0001-01-01")), "0001-01-01");
  EXPECT_EQ(TimeToStr(StrToDateTime("12:30")), "12:30:00");
  EXPECT_THROW(EncodeDate(2023, 2, 29), EConvertError);
  EXPECT_THROW(StrToDateTime("2024-01-01 25:00:00"), EConvertError);
  // The ends of the range sit next to the infinities, which no date text
  // reaches.
  const TDateTime last{TDateTime::kMaxDays, TDateTime::kMicrosPerDay - 1};
  const TDateTime first{TDateTime::kMinDays, 0};
  EXPECT_EQ(DateTimeToStr(last), "5881580-07-10 23:59:59.999999");
  EXPECT_EQ(StrToDateTime("5881580-07-10 23:59:59.999999"), last);
  EXPECT_EQ(StrToDateTime("-5877641-06-24"), first);
  EXPECT_TRUE(first > TDateTime::NegInfinity() && last < TDateTime::Infinity());
  EXPECT_THROW(StrToDateTime("5881580-07-11"), EConvertError);
  EXPECT_THROW(EncodeDate(-5877641, 6, 23), EConvertError);
  EXPECT_EQ(TimeToStr(StrToDateTime("24:00")), "24:00:00");
}

TEST(StringList, NamesValuesAndLookups) {
  TStringList list{"A=1", "b=2", "C", "a=3"};
  EXPECT_EQ(list.IndexOfName("a"), 0);
  EXPECT_EQ(list.IndexOfName("C"), -1) << "a line without = has no name";
  EXPECT_EQ(list.IndexOf("c"), 2);
  EXPECT_EQ(list.GetName(1), "b");
  EXPECT_EQ(list.GetValue("B"), "2");
  EXPECT_EQ(list.GetValue("missing"), "");
  list.SetCaseSensitive(true);
  EXPECT_EQ(list.IndexOfName("a"), 3);
  list.SetValue("a", "9");
  EXPECT_EQ(list[3], "a=9");
  list.SetValue("a", "");
  EXPECT_EQ(list.Count(), 3);
}

TEST(StringList, TextSplitsAtEveryLineBreakKind) {
  TStringList list;
  list.SetText("one\r\ntwo\nthree\rfour");
  EXPECT_EQ(list.ToVector(), (std::vector<std::string>{"one", "two", "three", "four"}));
  EXPECT_EQ(list.GetText(), "one\ntwo\nthree\nfour\n");
  list.SetText("");
  EXPECT_EQ(list.Count(), 0);
  list.SetText("x\n\ny\n");
  EXPECT_EQ(list.ToVector(), (std::vector<std::string>{"x", "", "y"}));
}

TEST(StringList, ChangeNotificationsAndUpdates) {
  TStringList list;
  int changing = 0, changed = 0;
  list.SetOnChanging([&](TObject*) { ++changing; });
  list.SetOnChange([&](TObject*) { ++changed; });
  list.Add("a");
  EXPECT_EQ(changed, 1);
  list.BeginUpdate();
  list.Add("b");
  list.Add("c");
  EXPECT_EQ(changed, 1);
  list.EndUpdate();
  EXPECT_EQ(changing, 2);
  EXPECT_EQ(changed, 2);
  TStringList other{"x", "y"};
  list.Assign(other);
  EXPECT_EQ(changed, 3);
  other.Add("z");
  EXPECT_EQ(list.Count(), 2) << "Assign copies";
  list.BeginUpdate();
  list.EndUpdate();
  EXPECT_EQ(changed, 3) << "an empty update fires nothing";
  list.AddStrings(list);
  EXPECT_EQ(list.ToVector(), (std::vector<std::string>{"x", "y", "x", "y"}));
  EXPECT_THROW(list.Get(9), EListError);
}

using test::TWatcher;

TEST(Component, OwnerDestroysWhatItOwns) {
  auto owner = std::make_unique<TWatcher>(nullptr);
  auto* a = new TWatcher(owner.get());
  auto* b = new TWatcher(owner.get());
  a->SetName("First");
  EXPECT_EQ(owner->ComponentCount(), 2);
  EXPECT_EQ(owner->FindComponent("FIRST"), a);
  EXPECT_THROW(b->SetName("first"), EComponentError);
  EXPECT_THROW(b->SetName("1bad"), EComponentError);
  delete b;
  EXPECT_EQ(owner->ComponentCount(), 1);
  EXPECT_EQ(owner->Heard.back().first, b);
  EXPECT_EQ(owner->Heard.back().second, opRemove);
  owner.reset();  // frees `a`; ASan checks nothing leaks or is freed twice
}

TEST(Component, FreeNotificationIsMutualAndOneShot) {
  auto watcher = std::make_unique<TWatcher>(nullptr);
  auto target = std::make_unique<TWatcher>(nullptr);
  target->FreeNotification(watcher.get());
  TComponent* raw = target.get();
  target.reset();
  ASSERT_EQ(watcher->Heard.size(), 1u);
  EXPECT_EQ(watcher->Heard[0].first, raw);
  EXPECT_EQ(watcher->Heard[0].second, opRemove);

  auto other = std::make_unique<TWatcher>(nullptr);
  other->FreeNotification(watcher.get());
  other->RemoveFreeNotification(watcher.get());
  other.reset();
  EXPECT_EQ(watcher->Heard.size(), 1u);

  // Destroying the watcher first unlinks it from the watched component.
  auto watched = std::make_unique<TWatcher>(nullptr);
  watched->FreeNotification(watcher.get());
  watcher.reset();
  watched.reset();
}

TEST(Component, LoadingStates) {
  TWatcher c(nullptr);
  c.BeginLoading();
  EXPECT_TRUE(c.IsLoading());
  EXPECT_TRUE(c.IsReading());
  c.EndLoading();
  EXPECT_TRUE(c.LoadedCalled);
  EXPECT_FALSE(c.IsLoading());
  EXPECT_FALSE(c.IsReading());
}

TEST(BlobByteData, SharedOnCopyCopiedOnWrite) {
  TBlobByteData a(std::string("abcd"));
  TBlobByteData b = a;
  EXPECT_EQ(a.RefCount(), 2u);
  EXPECT_EQ(a.Data(), b.Data());
  b.MutableData()[0] = 'X';
  EXPECT_EQ(a.ToString(), "abcd");
  EXPECT_EQ(b.ToString(), "Xbcd");
  EXPECT_EQ(a.RefCount(), 1u);
  TBlobByteData c = a;
  c.SetLength(6);
  EXPECT_EQ(a.ToString(), "abcd");
  EXPECT_EQ(c.ToString(), std::string("abcd\0\0", 6));
  c.SetLength(0);
  EXPECT_TRUE(c.IsEmpty());
  EXPECT_EQ(sizeof(TBlobByteData), sizeof(void*));
}

TEST(BlobByteData, RawSlotsCountTheirHolds) {
  alignas(void*) unsigned char slot1[sizeof(void*)] = {};
  alignas(void*) unsigned char slot2[sizeof(void*)] = {};
  EXPECT_EQ(TBlobByteData::SlotLength(slot1), 0u);
  TBlobByteData::SlotAssign(slot1, TBlobByteData(std::string("xyz")));
  EXPECT_EQ(TBlobByteData::SlotRefCount(slot1), 1u);
  std::memcpy(slot2, slot1, sizeof slot1);
  TBlobByteData::SlotAddRef(slot2);
  EXPECT_EQ(TBlobByteData::SlotRefCount(slot1), 2u);
  TBlobByteData::SlotMutableData(slot2)[0] = 'Q';
  EXPECT_EQ(TBlobByteData::SlotGet(slot1).ToString(), "xyz");
  EXPECT_EQ(TBlobByteData::SlotGet(slot2).ToString(), "Qyz");
  TBlobByteData::SlotSetLength(slot2, 1);
  EXPECT_EQ(TBlobByteData::SlotLength(slot2), 1u);
  TBlobByteData::SlotRelease(slot1);
  TBlobByteData::SlotRelease(slot2);
  EXPECT_EQ(TBlobByteData::SlotData(slot1), nullptr);
}

TEST(Params, DuplicatesAndAssignValues) {
  TParams params;
  params.CreateParam(ftUnknown, "A", ptInput);
  params.CreateParam(ftUnknown, "A", ptInput);
  params.CreateParam(ftUnknown, "B", ptInput);
  TParams values;
  values.CreateParam(ftInteger, "a", ptInput)->SetAsInteger(7);
  params.AssignValues(values);
  EXPECT_EQ(params[0]->GetValue(), Variant(7));
  EXPECT_EQ(params[1]->GetValue(), Variant(7));
  EXPECT_TRUE(params[2]->IsNull());
  try {
    params.ParamByName("C");
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Parameter 'C' not found");
  }
  TParams copy;
  copy.Assign(params);
  EXPECT_EQ(copy.Count(), 3);
  EXPECT_EQ(copy[1]->GetDataType(), ftInteger);
  params[0]->Clear();
  EXPECT_TRUE(params[0]->GetValue().IsNull());
}

TEST(Stream, MemoryStreamReadsWritesSeeks) {
  TMemoryStream s;
  s.WriteBuffer("hello", 5);
  EXPECT_EQ(s.GetSize(), 5);
  s.SetPosition(10);
  s.WriteBuffer("!", 1);
  EXPECT_EQ(s.GetSize(), 11);
  s.SetPosition(0);
  char buf[16] = {};
  EXPECT_EQ(s.Read(buf, 16), 11);
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_EQ(buf[7], 0);
  EXPECT_EQ(s.Read(buf, 1), 0);
  EXPECT_THROW(s.ReadBuffer(buf, 1), EStreamError);
}

TEST(Exceptions, FormatAndApplicationHandler) {
  EXPECT_EQ(Format("Field '%s' of %d%%", {"X", "3"}), "Field 'X' of 3%");
  int handled = 0;
  SetApplicationExceptionHandler([&](const TObject*, std::exception_ptr) { ++handled; });
  try {
    throw Exception("boom");
  } catch (...) {
    ApplicationHandleException(nullptr);
  }
  try {
    Abort();
  } catch (...) {
    ApplicationHandleException(nullptr);
  }
  EXPECT_EQ(handled, 1) << "the silent abort is never reported";
  SetApplicationExceptionHandler(nullptr);
  try {
    throw Exception("dropped");
  } catch (...) {
    ApplicationHandleException(nullptr);
  }
}

TEST(Strings, QuotedForMessageEscapesWhatCannotBeShown) {
  const struct {
    std::string Text;
    std::size_t Max;
    const char* Shown;
  } cases[] = {
      {std::string("A\0B", 3), 40, "'A\\x00B'"},
      {"tab\there\x7f", 40, "'tab\\x09here\\x7F'"},
      {"back\\slash", 40, "'back\\\\slash'"},
      {"Grüße €", 40, "'Grüße €'"},
      {"\xff\xc3(\xe2\x82", 40, "'\\xFF\\xC3(\\xE2\\x82'"},  // not UTF-8
      {"\xed\xa0\x80", 40, "'\\xED\\xA0\\x80'"},             // a surrogate
      {"ab€cd", 3, "'ab€'..."},
      {"", 40, "''"},
  };
  for (const auto& c : cases) EXPECT_EQ(QuotedForMessage(c.Text, c.Max), c.Shown) << c.Shown;
}
