// TQVLDataSetImpl's Locate and Lookup: the search for a record by the values
// of key fields, over the records read and on through the rows not read yet.
//
// Keys are prepared once per search: integer and string fields compare their
// slot in place, other types through variants. Text is compared trimmed on
// the right; without case, both sides are upper-cased with ICU's case map
// in the process's default locale, so that keys match beyond ASCII too.
// Part of the engine, apart from the cache because it changes apart from it.

#include <unicode/ucasemap.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "qvl/engine/QVLDataSetImpl.h"
#include "qvl/host/dataset/Field.h"
#include "qvl/host/runtime/Exceptions.h"
#include "qvl/host/runtime/ScopedValue.h"
#include "qvl/resources/QVLConsts.h"

namespace qvl {

namespace {

bool IsBlank(char C) {
  return static_cast<unsigned char>(C) <= ' ';
}

void TrimRightInPlace(std::string& S) {
  std::size_t n = S.size();
  while (n > 0 && IsBlank(S[n - 1])) --n;
  S.resize(n);
}

// Locale-aware upper case of UTF-8 text (the process's default locale), so
// that keys match whatever the case of their letters, beyond ASCII too.
class TQVLUpperCase {
 public:
  TQVLUpperCase() {
    UErrorCode status = U_ZERO_ERROR;
    FMap = ucasemap_open(nullptr, 0, &status);
    if (U_FAILURE(status)) FMap = nullptr;
  }
  ~TQVLUpperCase() {
    if (FMap != nullptr) ucasemap_close(FMap);
  }
  TQVLUpperCase(const TQVLUpperCase&) = delete;
  TQVLUpperCase& operator=(const TQVLUpperCase&) = delete;

  // Source and Dest must differ.
  void Convert(const char* Source, std::size_t Length, std::string& Dest) {
    if (FMap != nullptr && Length <= static_cast<std::size_t>(INT32_MAX / 4)) {
      // Upper case can grow text (German sharp s becomes SS): retry once with
      // the size ICU asks for.
      Dest.resize(Length + 8);
      for (int attempt = 0; attempt < 2; ++attempt) {
        UErrorCode status = U_ZERO_ERROR;
        int32_t n = ucasemap_utf8ToUpper(FMap, Dest.data(), static_cast<int32_t>(Dest.size()),
                                         Source, static_cast<int32_t>(Length), &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
          Dest.resize(static_cast<std::size_t>(n));
          continue;
        }
        if (U_SUCCESS(status)) {
          Dest.resize(static_cast<std::size_t>(n));
          return;
        }
        break;
      }
    }
    // No case map, or text that is not UTF-8: ASCII letters only.
    Dest.assign(Source, Length);
    for (char& c : Dest)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }

 private:
  UCaseMap* FMap = nullptr;
};

bool IsIntegerFieldType(TFieldType T) {
  return T == ftSmallint || T == ftInteger || T == ftWord || T == ftAutoInc || T == ftLargeint;
}

}  // namespace

namespace {

// One key field and its key value, prepared once per search. Integer and
// string fields read their slot directly; other types go through variants.
struct TKeyMatcher {
  enum TKind : std::uint8_t { kNever, kVariant, kInteger, kString };
  TField* Field = nullptr;
  Variant Key;
  TKind Kind = kVariant;
  bool IsStringField = false;
  std::int32_t Offset = 0;
  std::int32_t DataSize = 0;
  bool Unsigned = false;
  std::int64_t IntKey = 0;
  std::string StrKey;   // trimmed, upper-cased when case-insensitive
  std::string Scratch;  // reused per record
  std::string Folded;
};

std::int64_t ReadSlotInteger(const std::uint8_t* At, std::int32_t Size, bool Unsigned) {
  switch (Size) {
    case 2: {
      if (Unsigned) {
        std::uint16_t v;
        std::memcpy(&v, At, 2);
        return v;
      }
      std::int16_t v;
      std::memcpy(&v, At, 2);
      return v;
    }
    case 4: {
      std::int32_t v;
      std::memcpy(&v, At, 4);
      return v;
    }
    default: {
      std::int64_t v;
      std::memcpy(&v, At, 8);
      return v;
    }
  }
}

}  // namespace

bool TQVLDataSetImpl::Locate(const std::string& KeyFields, const Variant& KeyValues,
                             TLocateOptions Options, bool Restart) {
  FHost.DoBeforeScroll();
  const bool found = LocateRecord(KeyFields, KeyValues, Options, Restart);
  if (found) {
    FHost.Resync(rmExact | rmCenter);
    FHost.DoAfterScroll();
  }
  return found;
}

// The keys of one search, prepared once: how each key field is compared,
// and the case map that folds text when case does not count.
struct TQVLDataSetImpl::TKeySearch {
  bool CaseInsensitive = false;
  bool Partial = false;
  TQVLUpperCase Upper;
  std::vector<TKeyMatcher> Matchers;
};

namespace {

// Compares text already trimmed (and folded when case does not count) with
// the key, whole or as its prefix.
bool TextMatches(const std::string& Text, const std::string& Key, bool Partial) {
  if (Partial) return Text.compare(0, Key.size(), Key) == 0;
  return Text == Key;
}

// A string slot read in place: the zero-terminated text, trimmed.
bool StringSlotMatches(TQVLDataSetImpl::TKeySearch& Search, TKeyMatcher& M,
                       const std::uint8_t* At) {
  if (At[0] == 0) return false;
  const auto* text = reinterpret_cast<const char*>(At + 1);
  std::size_t n = strnlen(text, static_cast<std::size_t>(M.DataSize));
  while (n > 0 && IsBlank(text[n - 1])) --n;
  if (Search.CaseInsensitive) {
    Search.Upper.Convert(text, n, M.Folded);
    return TextMatches(M.Folded, M.StrKey, Search.Partial);
  }
  M.Scratch.assign(text, n);
  return TextMatches(M.Scratch, M.StrKey, Search.Partial);
}

// Any other field: its value converted to the key's type; a value that does
// not convert matches nothing.
bool VariantMatches(TQVLDataSetImpl::TKeySearch& Search, TKeyMatcher& M) {
  Variant value = M.Field->GetAsVariant();
  if (value.IsNull() || value.IsEmpty()) return false;
  try {
    value = value.AsType(M.Key.VarType());
    if (!M.IsStringField) return value == M.Key;
    std::string text = value.AsString();
    std::string key = M.Key.AsString();
    TrimRightInPlace(text);
    TrimRightInPlace(key);
    if (Search.CaseInsensitive) {
      std::string folded;
      Search.Upper.Convert(key.data(), key.size(), folded);
      key = std::move(folded);
      Search.Upper.Convert(text.data(), text.size(), M.Folded);
      text = M.Folded;
    }
    return TextMatches(text, key, Search.Partial);
  } catch (const EVariantError&) {
    return false;
  }
}

bool KeyMatches(TQVLDataSetImpl::TKeySearch& Search, TKeyMatcher& M, const std::uint8_t* Record) {
  switch (M.Kind) {
    case TKeyMatcher::kNever:
      return false;
    case TKeyMatcher::kInteger: {
      const std::uint8_t* at = Record + M.Offset;
      return at[0] != 0 && ReadSlotInteger(at + 1, M.DataSize, M.Unsigned) == M.IntKey;
    }
    case TKeyMatcher::kString:
      return StringSlotMatches(Search, M, Record + M.Offset);
    case TKeyMatcher::kVariant:
      break;
  }
  return VariantMatches(Search, M);
}

}  // namespace

void TQVLDataSetImpl::PrepareKeySearch(TKeySearch& Search, const std::vector<TField*>& Fields,
                                       const Variant& KeyValues) {
  Search.Matchers.resize(Fields.size());
  for (std::size_t i = 0; i < Fields.size(); ++i) {
    TKeyMatcher& m = Search.Matchers[i];
    m.Field = Fields[i];
    m.Key = KeyValues.IsArray() ? KeyValues[i] : KeyValues;
    m.IsStringField = IsStringFieldType(m.Field->GetDataType()) ||
                      (m.Field->GetDataType() == ftVariant && m.Key.VarType() == varString);
    // A key without a value matches nothing, not even a field without one.
    if (m.Key.IsNull() || m.Key.IsEmpty()) {
      m.Kind = TKeyMatcher::kNever;
      continue;
    }
    // Integer and plain string fields are read straight from their slots.
    const int index = FieldSlotIndex(m.Field);
    const bool plainSlot = index >= 0 && !FFieldSlots[static_cast<std::size_t>(index)].IsBlob &&
                           !FFieldSlots[static_cast<std::size_t>(index)].IsVariant;
    if (plainSlot) {
      m.Offset = FFieldOffsets[static_cast<std::size_t>(index)];
      m.DataSize = FFieldSlots[static_cast<std::size_t>(index)].DataSize;
    }
    const TVarType keyType = m.Key.VarType();
    if (plainSlot && IsIntegerFieldType(m.Field->GetDataType()) &&
        (keyType == varInteger || keyType == varInt64)) {
      m.Kind = TKeyMatcher::kInteger;
      m.IntKey = m.Key.AsInt64();
      m.Unsigned = m.Field->GetDataType() == ftWord;
    } else if (plainSlot && m.IsStringField && typeid(*m.Field) == typeid(TStringField) &&
               keyType == varString) {
      m.Kind = TKeyMatcher::kString;
      m.StrKey = m.Key.AsString();
      TrimRightInPlace(m.StrKey);
      if (Search.CaseInsensitive) {
        std::string folded;
        Search.Upper.Convert(m.StrKey.data(), m.StrKey.size(), folded);
        m.StrKey = std::move(folded);
      }
    }
  }
}

bool TQVLDataSetImpl::LocateRecord(const std::string& KeyFields, const Variant& KeyValues,
                                   TLocateOptions Options, bool Restart) {
  FDataSet->CheckBrowseMode();
  std::vector<TField*> fields;
  FDataSet->GetFieldList(fields, KeyFields);
  TKeySearch search;
  search.CaseInsensitive = (Options & loCaseInsensitive) != 0;
  search.Partial = (Options & loPartialKey) != 0;
  PrepareKeySearch(search, fields, KeyValues);

  // Fields read the record the search stands on.
  TScopedValue<bool> filtering(FFiltering, true);
  if (Restart)
    InternalFirst();
  else
    FHost.UpdateCursorPos();
  FHost.CursorPosChanged();

  while (GetRecord(gmNext) == grOK) {
    const bool all =
        std::all_of(search.Matchers.begin(), search.Matchers.end(),
                    [&](TKeyMatcher& m) { return KeyMatches(search, m, FCurrentRecord); });
    if (all) return true;
  }
  return false;
}

Variant TQVLDataSetImpl::Lookup(const std::string& KeyFields, const Variant& KeyValues,
                                const std::string& ResultFields) {
  // The search moves the engine; whatever was reading the current record
  // (a fetch calculating its row, a host operation) goes on with it.
  TScopedValue<TRecordBuffer> current(FCurrentRecord, FCurrentRecord);
  const bool nested = FDataSet->GetState() == dsCalcFields;
  if (!LocateRecord(KeyFields, KeyValues, 0, true)) return Variant::Null();
  // Inside a calculation of this dataset (a handler looking up its own
  // dataset) the found record's stored values serve: calculating it again
  // could come back here without end.
  if (!nested) CalcRecordFields(FCurrentRecord);
  // Fields read the found record, as they do while filtering.
  TScopedValue<bool> filtering(FFiltering, true);
  return FDataSet->GetFieldValue(ResultFields);
}

}  // namespace qvl
