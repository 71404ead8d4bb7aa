#include "qvl/macrosql/QVLMacroSQLParser.h"

#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "qvl/resources/QVLConsts.h"

namespace qvl {

namespace {

constexpr char kDirectiveChar = '#';

// The characters that end a plain run of text, the scanner's one list for its
// vector and scalar paths: the parameter and the macro character (the
// parser's own, first and second), directives, the three quotes, and the
// starts of the two comment forms.
constexpr std::size_t kSpecialCount = 8;
using TSpecialChars = std::array<char, kSpecialCount>;
constexpr TSpecialChars SpecialChars(char ParamChar, char MacroChar) noexcept {
  return {ParamChar, MacroChar, kDirectiveChar, '"', '\'', '`', '-', '/'};
}

bool IsQuote(char C) noexcept {
  return C == '"' || C == '\'' || C == '`';
}

bool IsNameChar(char C) noexcept {
  return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') || C == '_';
}

char FoldAscii(char C) noexcept {
  return C >= 'A' && C <= 'Z' ? static_cast<char>(C + ('a' - 'A')) : C;
}

// Spaces and every control character count as blanks around an #error text.
bool IsTrimmed(char C) noexcept {
  return static_cast<unsigned char>(C) <= 32;
}

// Without a popcount instruction in the baseline ISA, std::popcount becomes
// a library call; 16-bit masks are cheaper counted by hand.
int BitCount16(unsigned V) noexcept {
  V = V - ((V >> 1) & 0x5555u);
  V = (V & 0x3333u) + ((V >> 2) & 0x3333u);
  V = (V + (V >> 4)) & 0x0F0Fu;
  return static_cast<int>((V + (V >> 8)) & 0x1Fu);
}

std::int32_t Saturate(std::int64_t V) noexcept {
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(V > kMax ? kMax : V);
}

}  // namespace

// Counts one level of nesting for as long as a recursive production runs.
class TQVLMacroSQLParser::TNesting {
 public:
  explicit TNesting(TQVLMacroSQLParser& Parser) : FParser(Parser) {
    if (FParser.FDepth >= kMaxNestingDepth) FParser.ReportError(SNestingTooDeep);
    ++FParser.FDepth;
  }
  ~TNesting() { --FParser.FDepth; }
  TNesting(const TNesting&) = delete;
  TNesting& operator=(const TNesting&) = delete;

 private:
  TQVLMacroSQLParser& FParser;
};

TQVLMacroSQLParser::TQVLMacroSQLParser(char AParamChar, char AMacroChar)
    : FParamChar(AParamChar), FMacroChar(AMacroChar) {
  for (char c : SpecialChars(FParamChar, FMacroChar))
    FSpecial[static_cast<unsigned char>(c)] = true;
}

std::unique_ptr<TQVLMacroSQLElement> TQVLMacroSQLParser::Parse(std::string_view Text) {
  static constexpr char kEmpty[] = "";
  const char* begin = Text.empty() ? kEmpty : Text.data();
  const void* nul = std::memchr(begin, '\0', Text.size());
  FEnd = nul != nullptr ? static_cast<const char*>(nul) : begin + Text.size();
  FStart = FCurrent = FCounted = begin;
  FLine = 1;
  FColumn = 1;
  FDepth = 0;
  TQVLMacroSQLParseResult result = ParseElements();
  if (result.Directive != msdNone) ReportError(SUnexpectedDirective);
  return std::move(result.Elements);
}

void TQVLMacroSQLParser::ReportError(const std::string& Message) {
  UpdatePosition();
  throw EQVLMacroSQLError(Message, FLine, FColumn);
}

void TQVLMacroSQLParser::IncAndCount() {
  if (!AtEnd()) ++FCurrent;
}

void TQVLMacroSQLParser::IncAndCount(std::ptrdiff_t Count) {
  if (Count > FEnd - FCurrent) Count = FEnd - FCurrent;
  if (Count > 0) FCurrent += Count;
}

void TQVLMacroSQLParser::UpdatePosition() noexcept {
  // An LF starts a new line at column 1; a CR takes no column; anything else,
  // a tab included, takes one.
  const char* p = FCounted;
  const char* const stop = FCurrent;
  std::int64_t line = FLine;
  std::int64_t column = FColumn;
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  for (; stop - p >= 16; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const auto lfMask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)));
    const auto crMask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, cr)));
    if (lfMask == 0) {
      column += 16 - BitCount16(crMask);
      continue;
    }
    line += BitCount16(lfMask);
    const int last = std::bit_width(lfMask) - 1;
    const unsigned after = 0xFFFFu & ~((2u << last) - 1u);
    column = 1 + BitCount16(after) - BitCount16(crMask & after);
  }
#endif
  for (; p < stop; ++p) {
    if (*p == '\n') {
      ++line;
      column = 1;
    } else if (*p != '\r') {
      ++column;
    }
  }
  FLine = Saturate(line);
  FColumn = Saturate(column);
  FCounted = stop;
}

bool TQVLMacroSQLParser::CompareString(std::string_view S) {
  if (FEnd - FCurrent < static_cast<std::ptrdiff_t>(S.size())) return false;
  for (std::size_t i = 0; i < S.size(); ++i)
    if (FoldAscii(FCurrent[i]) != FoldAscii(S[i])) return false;
  IncAndCount(static_cast<std::ptrdiff_t>(S.size()));
  return true;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QVL_MACROSQL_AVX2 1
namespace {
template <std::size_t... I>
__attribute__((target("avx2"))) __m256i AnyEqualAVX2(__m256i V, const __m256i* Keys,
                                                     std::index_sequence<I...>) noexcept {
  return (_mm256_cmpeq_epi8(V, Keys[I]) | ...);
}

// Plain runs dominate long texts; where the processor has AVX2, look at 32
// bytes at a time. Returns the first block position not fully scanned.
__attribute__((target("avx2"))) const char* SkipPlainAVX2(const char* P, const char* End,
                                                          char ParamChar, char MacroChar) noexcept {
  const TSpecialChars specials = SpecialChars(ParamChar, MacroChar);
  __m256i keys[kSpecialCount];
  for (std::size_t i = 0; i < kSpecialCount; ++i) keys[i] = _mm256_set1_epi8(specials[i]);
  for (; End - P >= 32; P += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(P));
    const __m256i hit = AnyEqualAVX2(v, keys, std::make_index_sequence<kSpecialCount>());
    const auto mask = static_cast<unsigned>(_mm256_movemask_epi8(hit));
    if (mask != 0) return P + std::countr_zero(mask);
  }
  return P;
}

bool HasAVX2() noexcept {
  static const bool has = __builtin_cpu_supports("avx2") != 0;
  return has;
}
}  // namespace
#endif

#if defined(__SSE2__)
namespace {
template <std::size_t... I>
__m128i AnyEqualSSE2(__m128i V, const __m128i* Keys, std::index_sequence<I...>) noexcept {
  return (_mm_cmpeq_epi8(V, Keys[I]) | ...);
}
}  // namespace
#endif

const char* TQVLMacroSQLParser::FindSpecial(const char* From) const noexcept {
  const char* p = From;
#if defined(QVL_MACROSQL_AVX2)
  if (FEnd - p >= 64 && HasAVX2()) {
    p = SkipPlainAVX2(p, FEnd, FParamChar, FMacroChar);
    if (FEnd - p >= 32) return p;  // stopped at a special character
  }
#endif
#if defined(__SSE2__)
  const TSpecialChars specials = SpecialChars(FParamChar, FMacroChar);
  __m128i keys[kSpecialCount];
  for (std::size_t i = 0; i < kSpecialCount; ++i) keys[i] = _mm_set1_epi8(specials[i]);
  for (; FEnd - p >= 16; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hit = AnyEqualSSE2(v, keys, std::make_index_sequence<kSpecialCount>());
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (mask != 0) return p + std::countr_zero(mask);
  }
#endif
  while (p < FEnd && !FSpecial[static_cast<unsigned char>(*p)]) ++p;
  return p;
}

void TQVLMacroSQLParser::SkipStringLiteral() {
  const char quote = *FCurrent;
  IncAndCount();
  for (;;) {
    // An unterminated literal runs to the end of the text.
    const void* hit = FCurrent < FEnd
                          ? std::memchr(FCurrent, quote, static_cast<std::size_t>(FEnd - FCurrent))
                          : nullptr;
    if (hit == nullptr) {
      IncAndCount(FEnd - FCurrent);
      return;
    }
    IncAndCount(static_cast<const char*>(hit) - FCurrent + 1);
    if (Peek() != quote) return;
    IncAndCount();  // a doubled quote belongs to the run
  }
}

void TQVLMacroSQLParser::SkipLine() {
  const void* lf = std::memchr(FCurrent, '\n', static_cast<std::size_t>(FEnd - FCurrent));
  IncAndCount(lf == nullptr ? FEnd - FCurrent : static_cast<const char*>(lf) - FCurrent + 1);
}

void TQVLMacroSQLParser::SkipMultiLineComment() {
  for (;;) {
    const void* star = std::memchr(FCurrent, '*', static_cast<std::size_t>(FEnd - FCurrent));
    if (star == nullptr) {
      IncAndCount(FEnd - FCurrent);
      return;
    }
    IncAndCount(static_cast<const char*>(star) - FCurrent);
    if (CompareString("*/")) return;
    IncAndCount();
  }
}

void TQVLMacroSQLParser::SkipBlanksAfterDirective() {
  while (!AtEnd() && (*FCurrent == '\t' || *FCurrent == '\r' || *FCurrent == ' ')) IncAndCount();
  if (Peek() == '\n') IncAndCount();
  FStart = FCurrent;
}

void TQVLMacroSQLParser::SkipLogicalExpressionBlanks() {
  while (!AtEnd() &&
         (*FCurrent == '\t' || *FCurrent == '\n' || *FCurrent == '\r' || *FCurrent == ' '))
    IncAndCount();
}

TQVLMacroSQLParseResult TQVLMacroSQLParser::ParseElements() {
  TQVLMacroSQLParseResult result;
  result.Elements = std::make_unique<TQVLMacroSQLElements>();
  TQVLMacroSQLElements& list = *result.Elements;
  while (!AtEnd() && result.Directive == msdNone) {
    const char c = *FCurrent;
    if (c == FParamChar) {
      if (ParseDelimiter(list))
        list.Add(std::make_unique<TQVLMacroSQLParameter>(ParseIdentifier()));
    } else if (c == FMacroChar) {
      UpdatePosition();
      const std::int32_t line = FLine;
      const std::int32_t column = FColumn;
      if (ParseDelimiter(list))
        list.Add(std::make_unique<TQVLMacroSQLMacro>(ParseIdentifier(), line, column));
    } else if (c == kDirectiveChar) {
      if (ParseDelimiter(list)) result.Directive = ParseDirective(list);
    } else if (IsQuote(c)) {
      SkipStringLiteral();
    } else if (CompareString("--")) {
      SkipLine();
    } else if (CompareString("/*")) {
      SkipMultiLineComment();
    } else {
      // Nothing up to the next special character can start an element.
      IncAndCount(FindSpecial(FCurrent + 1) - FCurrent);
    }
  }
  if (FCurrent != FStart) {
    list.Add(std::make_unique<TQVLMacroSQLText>(Pending()));
    FStart = FCurrent;
  }
  return result;
}

bool TQVLMacroSQLParser::ParseDelimiter(TQVLMacroSQLElements& List) {
  const bool single = Peek(1) != *FCurrent;
  if (!single) IncAndCount();  // the first of a pair stays in the text
  List.Add(std::make_unique<TQVLMacroSQLText>(Pending()));
  IncAndCount();
  FStart = FCurrent;
  return single;
}

std::string TQVLMacroSQLParser::ParseIdentifier() {
  std::string name;
  if (IsQuote(Peek())) {
    SkipStringLiteral();
    if (FCurrent - FStart >= 2) name.assign(FStart + 1, FCurrent - 1);
  } else {
    const char* p = FCurrent;
    while (p < FEnd && IsNameChar(*p)) ++p;
    IncAndCount(p - FCurrent);
    name = Pending();
  }
  FStart = FCurrent;
  return name;
}

TQVLMacroSQLDirective TQVLMacroSQLParser::ParseDirective(TQVLMacroSQLElements& List) {
  if (CompareString("if")) {
    List.Add(ParseConditionalOperator());
    return msdNone;
  }
  if (CompareString("elseif")) {
    SkipBlanksAfterDirective();
    return msdELSEIF;
  }
  if (CompareString("else")) {
    SkipBlanksAfterDirective();
    return msdELSE;
  }
  if (CompareString("endif")) {
    SkipBlanksAfterDirective();
    return msdENDIF;
  }
  if (CompareString("error")) {
    List.Add(ParseError());
    return msdNone;
  }
  return msdNone;
}

std::unique_ptr<TQVLMacroSQLConditional> TQVLMacroSQLParser::ParseConditionalOperator() {
  TNesting nesting(*this);
  std::unique_ptr<TQVLMacroSQLLogicalExpression> condition = ParseLogicalSubExpression();
  SkipBlanksAfterDirective();
  TQVLMacroSQLParseResult thenBranch = ParseElements();
  std::unique_ptr<TQVLMacroSQLElement> elseBranch;
  if (thenBranch.Directive == msdELSEIF) {
    elseBranch = ParseConditionalOperator();
  } else {
    TQVLMacroSQLDirective closing = thenBranch.Directive;
    if (closing == msdELSE) {
      TQVLMacroSQLParseResult elseElements = ParseElements();
      closing = elseElements.Directive;
      elseBranch = std::move(elseElements.Elements);
    }
    if (closing != msdENDIF) ReportError(SEndIfExpected);
  }
  return std::make_unique<TQVLMacroSQLConditional>(
      std::move(condition), std::move(thenBranch.Elements), std::move(elseBranch));
}

std::unique_ptr<TQVLMacroSQLError> TQVLMacroSQLParser::ParseError() {
  UpdatePosition();
  const std::int32_t line = FLine;
  const std::int32_t column = FColumn;
  FStart = FCurrent;
  SkipLine();
  const char* first = FStart;
  const char* last = FCurrent;
  while (first < last && IsTrimmed(*first)) ++first;
  while (last > first && IsTrimmed(last[-1])) --last;
  FStart = FCurrent;
  return std::make_unique<TQVLMacroSQLError>(std::string(first, last), line, column);
}

std::unique_ptr<TQVLMacroSQLLogicalExpression> TQVLMacroSQLParser::ParseLogicalSubExpression() {
  SkipLogicalExpressionBlanks();
  if (Peek() != '(') ReportError(SOpeningBracketExpected);
  TNesting nesting(*this);
  IncAndCount();
  std::unique_ptr<TQVLMacroSQLLogicalExpression> expression = ParseLogicalExpression();
  SkipLogicalExpressionBlanks();
  if (Peek() != ')') ReportError(SClosingBracketExpected);
  IncAndCount();
  return expression;
}

std::unique_ptr<TQVLMacroSQLLogicalExpression> TQVLMacroSQLParser::ParseLogicalExpression() {
  std::unique_ptr<TQVLMacroSQLLogicalExpression> term = ParseLogicalMultiplication();
  SkipLogicalExpressionBlanks();
  if (!CompareString("or")) return term;
  TNesting nesting(*this);
  std::unique_ptr<TQVLMacroSQLLogicalExpression> rest = ParseLogicalExpression();
  return std::make_unique<TQVLMacroSQLLogicalOR>(std::move(term), std::move(rest));
}

std::unique_ptr<TQVLMacroSQLLogicalExpression> TQVLMacroSQLParser::ParseLogicalMultiplication() {
  std::unique_ptr<TQVLMacroSQLLogicalExpression> factor = ParseLogicalPrimary();
  SkipLogicalExpressionBlanks();
  if (!CompareString("and")) return factor;
  TNesting nesting(*this);
  std::unique_ptr<TQVLMacroSQLLogicalExpression> rest = ParseLogicalMultiplication();
  return std::make_unique<TQVLMacroSQLLogicalAND>(std::move(factor), std::move(rest));
}

std::unique_ptr<TQVLMacroSQLLogicalExpression> TQVLMacroSQLParser::ParseLogicalPrimary() {
  SkipLogicalExpressionBlanks();
  if (Peek() == '(') return ParseLogicalSubExpression();
  if (!CompareString("not")) return ParseLogicalPrimitive();
  TNesting nesting(*this);
  std::unique_ptr<TQVLMacroSQLLogicalExpression> operand = ParseLogicalPrimary();
  return std::make_unique<TQVLMacroSQLLogicalNOT>(std::move(operand));
}

std::unique_ptr<TQVLMacroSQLLogicalExpression> TQVLMacroSQLParser::ParseLogicalPrimitive() {
  std::unique_ptr<TQVLMacroSQLLogicalIdentifier> left = ParseLogicalIdentifier();
  SkipLogicalExpressionBlanks();
  if (Peek() == '=') {
    IncAndCount();
    std::unique_ptr<TQVLMacroSQLLogicalIdentifier> right = ParseLogicalIdentifier();
    return std::make_unique<TQVLMacroSQLLogicalEQUAL>(std::move(left), std::move(right));
  }
  if (Peek() == '<' && Peek(1) == '>') {
    IncAndCount(2);
    std::unique_ptr<TQVLMacroSQLLogicalIdentifier> right = ParseLogicalIdentifier();
    return std::make_unique<TQVLMacroSQLLogicalNOTEQUAL>(std::move(left), std::move(right));
  }
  return std::make_unique<TQVLMacroSQLLogicalExists>(std::move(left));
}

std::unique_ptr<TQVLMacroSQLLogicalIdentifier> TQVLMacroSQLParser::ParseLogicalIdentifier() {
  SkipLogicalExpressionBlanks();
  FStart = FCurrent;
  std::string name = ParseIdentifier();
  if (name.empty()) ReportError(SIdentifierExpected);
  return std::make_unique<TQVLMacroSQLLogicalIdentifier>(std::move(name));
}

}  // namespace qvl
