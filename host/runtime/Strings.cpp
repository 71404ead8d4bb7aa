#include "qvl/host/runtime/Strings.h"

#include <atomic>
#include <cstdint>

#include "qvl/host/runtime/Exceptions.h"
#include "qvl/host/runtime/RTLConsts.h"

namespace qvl {

namespace {
unsigned char FoldAscii(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}
}  // namespace

int CompareTextAscii(std::string_view A, std::string_view B) {
  std::size_t n = std::min(A.size(), B.size());
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char a = FoldAscii(static_cast<unsigned char>(A[i]));
    unsigned char b = FoldAscii(static_cast<unsigned char>(B[i]));
    if (a != b) return a < b ? -1 : 1;
  }
  if (A.size() == B.size()) return 0;
  return A.size() < B.size() ? -1 : 1;
}

bool SameTextAscii(std::string_view A, std::string_view B) {
  // Names mostly come back spelt as they were given: bytes compare faster.
  return A.size() == B.size() && (A == B || CompareTextAscii(A, B) == 0);
}

std::string UpperCaseAscii(std::string S) {
  for (char& c : S)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return S;
}

std::string LowerCaseAscii(std::string S) {
  for (char& c : S)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return S;
}

std::string TrimAscii(std::string_view S) {
  std::size_t b = 0, e = S.size();
  while (b < e && IsBlankAscii(S[b])) ++b;
  while (e > b && IsBlankAscii(S[e - 1])) --e;
  return std::string(S.substr(b, e - b));
}

std::string TrimRightAscii(std::string_view S) {
  std::size_t e = S.size();
  while (e > 0 && IsBlankAscii(S[e - 1])) --e;
  return std::string(S.substr(0, e));
}

// ---- TStrings -------------------------------------------------------------

void TStrings::Put(int Index, const std::string& S) {
  BeginUpdate();
  try {
    Delete(Index);
    Insert(Index, S);
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

int TStrings::Add(const std::string& S) {
  int index = Count();
  Insert(index, S);
  return index;
}

int TStrings::CompareStrings(const std::string& A, const std::string& B) const {
  if (FCaseSensitive) return A.compare(B) < 0 ? -1 : (A == B ? 0 : 1);
  return CompareTextAscii(A, B);
}

int TStrings::IndexOf(const std::string& S) const {
  for (int i = 0, n = Count(); i < n; ++i)
    if (CompareStrings(Get(i), S) == 0) return i;
  return -1;
}

int TStrings::IndexOfName(const std::string& Name) const {
  for (int i = 0, n = Count(); i < n; ++i) {
    std::string line = Get(i);
    std::size_t p = line.find('=');
    if (p != std::string::npos && CompareStrings(line.substr(0, p), Name) == 0) return i;
  }
  return -1;
}

std::string TStrings::GetName(int Index) const {
  std::string line = Get(Index);
  std::size_t p = line.find('=');
  return p == std::string::npos ? std::string() : line.substr(0, p);
}

std::string TStrings::GetValueFromIndex(int Index) const {
  std::string line = Get(Index);
  std::size_t p = line.find('=');
  return p == std::string::npos ? std::string() : line.substr(p + 1);
}

std::string TStrings::GetValue(const std::string& Name) const {
  int i = IndexOfName(Name);
  return i < 0 ? std::string() : GetValueFromIndex(i);
}

void TStrings::SetValue(const std::string& Name, const std::string& Value) {
  int i = IndexOfName(Name);
  if (Value.empty()) {
    if (i >= 0) Delete(i);
    return;
  }
  if (i < 0)
    Add(Name + "=" + Value);
  else
    Put(i, Name + "=" + Value);
}

std::string TStrings::GetText() const {
  std::string out;
  for (int i = 0, n = Count(); i < n; ++i) {
    out += Get(i);
    out += FLineBreak;
  }
  return out;
}

void TStrings::SetText(const std::string& Text) {
  BeginUpdate();
  try {
    Clear();
    std::size_t start = 0, i = 0;
    while (i < Text.size()) {
      char c = Text[i];
      if (c == '\r' || c == '\n') {
        Add(Text.substr(start, i - start));
        if (c == '\r' && i + 1 < Text.size() && Text[i + 1] == '\n') ++i;
        start = ++i;
      } else {
        ++i;
      }
    }
    if (start < Text.size()) Add(Text.substr(start));
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TStrings::Assign(const TStrings& Source) {
  if (&Source == this) return;
  BeginUpdate();
  try {
    Clear();
    AddStrings(Source);
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TStrings::AddStrings(const TStrings& Source) {
  // Copy first: Source may be this very list.
  std::vector<std::string> lines = Source.ToVector();
  BeginUpdate();
  try {
    for (const auto& line : lines) Add(line);
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TStrings::BeginUpdate() {
  if (FUpdateCount++ == 0) SetUpdateState(true);
}

void TStrings::EndUpdate() {
  if (FUpdateCount > 0 && --FUpdateCount == 0) SetUpdateState(false);
}

std::vector<std::string> TStrings::ToVector() const {
  std::vector<std::string> out;
  out.reserve(static_cast<std::size_t>(Count()));
  for (int i = 0, n = Count(); i < n; ++i) out.push_back(Get(i));
  return out;
}

// ---- TStringList ----------------------------------------------------------

TStringList::TStringList(std::initializer_list<std::string> Lines) : FList(Lines) {}

void TStringList::CheckIndex(int Index, int Limit) const {
  if (Index < 0 || Index >= Limit)
    throw EListError(Format(SListIndexError, {std::to_string(Index)}));
}

std::string TStringList::Get(int Index) const {
  CheckIndex(Index, Count());
  return FList[static_cast<std::size_t>(Index)];
}

void TStringList::Put(int Index, const std::string& S) {
  CheckIndex(Index, Count());
  Changing();
  FList[static_cast<std::size_t>(Index)] = S;
  Changed();
}

void TStringList::Insert(int Index, const std::string& S) {
  CheckIndex(Index, Count() + 1);
  Changing();
  FList.insert(FList.begin() + Index, S);
  Changed();
}

void TStringList::Delete(int Index) {
  CheckIndex(Index, Count());
  Changing();
  FList.erase(FList.begin() + Index);
  Changed();
}

void TStringList::Clear() {
  if (FList.empty()) return;
  Changing();
  FList.clear();
  Changed();
}

void TStringList::Assign(const TStrings& Source) {
  if (&Source == this) return;
  std::vector<std::string> lines = Source.ToVector();
  BeginUpdate();
  Changing();
  FList = std::move(lines);
  Changed();
  EndUpdate();
}

void TStringList::Changing() {
  // Inside an update the first change announces the whole batch.
  if (GetUpdateCount() > 0) {
    if (FChangedWhileUpdating) return;
    FChangedWhileUpdating = true;
  }
  if (FOnChanging) FOnChanging(this);
}

void TStringList::Changed() {
  static std::atomic<std::uint64_t> LastStamp{0};
  FChangeStamp = LastStamp.fetch_add(1, std::memory_order_relaxed) + 1;
  if (GetUpdateCount() == 0 && FOnChange) FOnChange(this);
}

void TStringList::SetUpdateState(bool Updating) {
  if (Updating) {
    FChangedWhileUpdating = false;
  } else if (FChangedWhileUpdating) {
    FChangedWhileUpdating = false;
    if (FOnChange) FOnChange(this);
  }
}

namespace {

// Length of the valid UTF-8 sequence at S[At], or 0 when it is not one.
std::size_t Utf8SequenceLength(std::string_view S, std::size_t At) {
  const auto b = static_cast<unsigned char>(S[At]);
  std::size_t n;
  std::uint32_t cp;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
    cp = b & 0x1Fu;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    cp = b & 0x0Fu;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    cp = b & 0x07u;
  } else {
    return 0;
  }
  if (At + n > S.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    const auto c = static_cast<unsigned char>(S[At + k]);
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3Fu);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not text.
  static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[n] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0;
  return n;
}

}  // namespace

std::string QuotedForMessage(std::string_view S, std::size_t MaxChars) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "'";
  std::size_t chars = 0;
  std::size_t at = 0;
  for (; at < S.size() && chars < MaxChars; ++chars) {
    const auto b = static_cast<unsigned char>(S[at]);
    const std::size_t n = b < 0x80 ? 1 : Utf8SequenceLength(S, at);
    if (b == '\\') {
      out += "\\\\";
    } else if (n == 0 || b < 0x20 || b == 0x7F) {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    } else {
      out.append(S.substr(at, n));
    }
    at += n == 0 ? 1 : n;
  }
  out += '\'';
  if (at < S.size()) out += "...";
  return out;
}

}  // namespace qvl
