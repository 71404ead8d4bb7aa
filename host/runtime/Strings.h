#pragma once
// TStrings: an ordered list of text lines with the name=value conventions of
// the host; TStringList: its concrete, vector-backed form with change events.
//
// A line "NAME=VALUE" has the name NAME (everything before the first "=") and
// the value VALUE; a line without "=" has no name. Names and whole lines are
// compared without regard to the case of the letters A to Z unless
// CaseSensitive is set. Text joins the lines, each followed by LineBreak
// ("\n" by default); setting Text splits at CR LF, LF and lone CR.
//
// Every change of a TStringList fires OnChanging before and OnChange after;
// between BeginUpdate and the matching EndUpdate they are held back, and
// EndUpdate fires one OnChange if anything changed.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "qvl/host/runtime/Object.h"

#pragma GCC visibility push(default)

namespace qvl {

class TStrings : public TObject {
 public:
  virtual int Count() const = 0;
  virtual std::string Get(int Index) const = 0;
  virtual void Put(int Index, const std::string& S);
  virtual void Insert(int Index, const std::string& S) = 0;
  virtual void Delete(int Index) = 0;
  virtual void Clear() = 0;
  virtual int Add(const std::string& S);

  // Position of the first line equal to S, or -1.
  virtual int IndexOf(const std::string& S) const;
  // Position of the first line that contains "=" and whose name is Name, or -1.
  virtual int IndexOfName(const std::string& Name) const;

  std::string operator[](int Index) const { return Get(Index); }
  std::string GetName(int Index) const;                 // Names[Index]
  std::string GetValueFromIndex(int Index) const;       // the value of line Index
  std::string GetValue(const std::string& Name) const;  // Values[Name], "" when absent
  // Values[Name] := Value: replaces the first line of that name, appends one
  // when there is none; an empty Value deletes the line.
  void SetValue(const std::string& Name, const std::string& Value);

  std::string GetText() const;
  void SetText(const std::string& Text);
  const std::string& GetLineBreak() const { return FLineBreak; }
  void SetLineBreak(std::string Value) { FLineBreak = std::move(Value); }

  // Replaces the content by a copy of Source's lines (one change).
  virtual void Assign(const TStrings& Source);
  void AddStrings(const TStrings& Source);

  void BeginUpdate();
  void EndUpdate();
  int GetUpdateCount() const { return FUpdateCount; }

  bool GetCaseSensitive() const { return FCaseSensitive; }
  void SetCaseSensitive(bool Value) { FCaseSensitive = Value; }
  // <0, 0 or >0, by the list's case rule.
  virtual int CompareStrings(const std::string& A, const std::string& B) const;

  std::vector<std::string> ToVector() const;

 protected:
  // Called when the update count leaves or reaches zero.
  virtual void SetUpdateState(bool Updating) { (void)Updating; }

 private:
  int FUpdateCount = 0;
  bool FCaseSensitive = false;
  std::string FLineBreak = "\n";
};

class TStringList : public TStrings {
 public:
  TStringList() = default;
  TStringList(std::initializer_list<std::string> Lines);

  int Count() const override { return static_cast<int>(FList.size()); }
  std::string Get(int Index) const override;
  void Put(int Index, const std::string& S) override;
  void Insert(int Index, const std::string& S) override;
  void Delete(int Index) override;
  void Clear() override;
  void Assign(const TStrings& Source) override;

  // Changes with every change of the lines, inside an update too, to a value
  // no list had before (0 for lists never changed, all empty): two equal
  // stamps mean equal lines, so a reader keeping something made from the
  // lines knows when to make it again, whichever list it reads.
  std::uint64_t GetChangeStamp() const noexcept { return FChangeStamp; }

  const TNotifyEvent& GetOnChange() const { return FOnChange; }
  void SetOnChange(TNotifyEvent Value) { FOnChange = std::move(Value); }
  const TNotifyEvent& GetOnChanging() const { return FOnChanging; }
  void SetOnChanging(TNotifyEvent Value) { FOnChanging = std::move(Value); }

 protected:
  void SetUpdateState(bool Updating) override;
  virtual void Changing();
  virtual void Changed();

 private:
  void CheckIndex(int Index, int Limit) const;
  std::vector<std::string> FList;
  bool FChangedWhileUpdating = false;
  std::uint64_t FChangeStamp = 0;
  TNotifyEvent FOnChange;
  TNotifyEvent FOnChanging;
};

// Case-insensitive comparison over the letters A to Z (other bytes exact).
int CompareTextAscii(std::string_view A, std::string_view B);
bool SameTextAscii(std::string_view A, std::string_view B);
// The letters A to Z (a to z) in the other case; every other byte, UTF-8
// included, as it is: the form for keywords, type names and identifiers.
std::string UpperCaseAscii(std::string S);
std::string LowerCaseAscii(std::string S);
// Whether C is a space, tab, CR or LF.
constexpr bool IsBlankAscii(char C) {
  return C == ' ' || C == '\t' || C == '\r' || C == '\n';
}
// S without the blanks (IsBlankAscii) at both ends, or at its end only.
std::string TrimAscii(std::string_view S);
// Text for a message, in single quotes: control bytes, bytes outside valid
// UTF-8 and the backslash are written as \xNN (the backslash as \\), so a
// zero byte cannot end the message; longer than MaxChars characters, it is
// cut after them and "..." follows.
std::string QuotedForMessage(std::string_view S, std::size_t MaxChars = 40);
std::string TrimRightAscii(std::string_view S);

}  // namespace qvl

#pragma GCC visibility pop
