// The macro SQL language through its public API: trees, evaluation, errors
// with their positions, and the guards against deep or endless input.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "qvl/host/dataset/Params.h"
#include "qvl/host/runtime/Strings.h"
#include "qvl/macrosql/QVLMacroSQL.h"
#include "qvl/macrosql/QVLMacroSQLEvaluateVisitor.h"
#include "qvl/macrosql/QVLMacroSQLParser.h"
#include "qvl/resources/QVLConsts.h"
#include "qvl/sql/QVLSQLProcessor.h"

using namespace qvl;

namespace {

// Writes a tree in a compact notation: "text", P(name), M(name),
// E(message@line:column), if(condition){then}{else}, [list items],
// EX(a), EQ(a,b), NE(a,b), NOT(x), AND(x,y), OR(x,y).
class TDumpVisitor : public IQVLMacroSQLVisitor {
 public:
  std::string Out;

  void VisitText(const TQVLMacroSQLText& E) override { Quote(E.GetText()); }
  void VisitParameter(const TQVLMacroSQLParameter& E) override { Out += "P(" + E.GetText() + ")"; }
  void VisitMacro(const TQVLMacroSQLMacro& E) override { Out += "M(" + E.GetText() + ")"; }
  void VisitConditional(const TQVLMacroSQLConditional& E) override {
    Out += "if(";
    E.GetCondition().Accept(*this);
    Out += "){";
    if (E.GetThenBranch() != nullptr) List(*E.GetThenBranch());
    Out += "}";
    if (E.GetElseBranch() != nullptr) {
      Out += "{";
      List(*E.GetElseBranch());
      Out += "}";
    }
  }
  void VisitError(const TQVLMacroSQLError& E) override {
    Out += "E(" + E.GetText() + "@" + std::to_string(E.GetLine()) + ":" +
           std::to_string(E.GetColumn()) + ")";
  }
  void VisitLogicalIdentifier(const TQVLMacroSQLLogicalIdentifier& E) override {
    Out += E.GetText();
  }
  void VisitLogicalExists(const TQVLMacroSQLLogicalExists& E) override {
    Out += "EX(";
    E.GetIdentifier().Accept(*this);
    Out += ")";
  }
  void VisitLogicalEQUAL(const TQVLMacroSQLLogicalEQUAL& E) override {
    Pair("EQ", E.GetLeft(), E.GetRight());
  }
  void VisitLogicalNOTEQUAL(const TQVLMacroSQLLogicalNOTEQUAL& E) override {
    Pair("NE", E.GetLeft(), E.GetRight());
  }
  void VisitLogicalNOT(const TQVLMacroSQLLogicalNOT& E) override {
    Out += "NOT(";
    E.GetOperand().Accept(*this);
    Out += ")";
  }
  void VisitLogicalAND(const TQVLMacroSQLLogicalAND& E) override {
    Pair("AND", E.GetLeft(), E.GetRight());
  }
  void VisitLogicalOR(const TQVLMacroSQLLogicalOR& E) override {
    Pair("OR", E.GetLeft(), E.GetRight());
  }

  // A list as [item item ...]; anything else is written as it is.
  void List(const TQVLMacroSQLElement& E) {
    const auto* list = dynamic_cast<const TQVLMacroSQLElements*>(&E);
    if (list == nullptr) {
      E.Accept(*this);
      return;
    }
    Out += "[";
    for (int i = 0; i < list->Count(); ++i) {
      if (i > 0) Out += " ";
      list->Items(i).Accept(*this);
    }
    Out += "]";
  }

 private:
  void Quote(const std::string& S) {
    Out += '"';
    for (char c : S) {
      if (c == '\r')
        Out += "\\r";
      else if (c == '\n')
        Out += "\\n";
      else if (c == '\t')
        Out += "\\t";
      else
        Out += c;
    }
    Out += '"';
  }
  void Pair(const char* Name, const TQVLMacroSQLElement& L, const TQVLMacroSQLElement& R) {
    Out += std::string(Name) + "(";
    L.Accept(*this);
    Out += ",";
    R.Accept(*this);
    Out += ")";
  }
};

std::string Dump(const TQVLMacroSQLElement& Root) {
  TDumpVisitor dump;
  dump.List(Root);
  return dump.Out;
}

}  // namespace

// ---- Element tree, exception, double dispatch ------------------------------

TEST(MacroSQLElements, ErrorMessageCarriesPosition) {
  EQVLMacroSQLError e("Identifier expected", 1, 9);
  EXPECT_STREQ(e.what(), "Identifier expected\r\nLine: 1, Column: 9");
  EXPECT_EQ(e.GetLine(), 1);
  EXPECT_EQ(e.GetColumn(), 9);
  EXPECT_EQ(e.GetErrorText(), "Identifier expected");
  // A message with a percent sign is not taken for a format.
  EXPECT_STREQ(EQVLMacroSQLError("100% wrong %s", 3, 12).what(),
               "100% wrong %s\r\nLine: 3, Column: 12");
}

namespace {
// Elements that log their destruction, to check the owners' order.
std::vector<std::string>* DestroyLog = nullptr;
class TLoggedText : public TQVLMacroSQLText {
 public:
  using TQVLMacroSQLText::TQVLMacroSQLText;
  ~TLoggedText() override { DestroyLog->push_back(GetText()); }
};
class TLoggedIdentifier : public TQVLMacroSQLLogicalIdentifier {
 public:
  using TQVLMacroSQLLogicalIdentifier::TQVLMacroSQLLogicalIdentifier;
  ~TLoggedIdentifier() override { DestroyLog->push_back(GetText()); }
};
class TLoggedExists : public TQVLMacroSQLLogicalExists {
 public:
  TLoggedExists(std::string Name, std::string Log)
      : TQVLMacroSQLLogicalExists(std::make_unique<TLoggedIdentifier>(std::move(Name))),
        FLog(std::move(Log)) {}
  ~TLoggedExists() override { DestroyLog->push_back(FLog); }

 private:
  std::string FLog;
};
}  // namespace

TEST(MacroSQLElements, DispatchVisitsListItemsInOrderAndEmptyListCallsNothing) {
  TQVLMacroSQLElements empty;
  TDumpVisitor nothing;
  empty.Accept(nothing);
  EXPECT_EQ(nothing.Out, "");

  TQVLMacroSQLElements list;
  list.Add(std::make_unique<TQVLMacroSQLText>("a"))
      .Add(std::make_unique<TQVLMacroSQLParameter>("p"))
      .Add(std::make_unique<TQVLMacroSQLMacro>("m"))
      .Add(nullptr);
  EXPECT_EQ(list.Count(), 3);
  TDumpVisitor calls;
  list.Accept(calls);
  EXPECT_EQ(calls.Out, "\"a\"P(p)M(m)");
  EXPECT_THROW(list.Items(3), EListError);
}

TEST(MacroSQLElements, OwnersDestroyChildrenInDeclaredOrder) {
  std::vector<std::string> log;
  DestroyLog = &log;
  {
    auto then = std::make_unique<TQVLMacroSQLElements>();
    then->Add(std::make_unique<TLoggedText>("then-1")).Add(std::make_unique<TLoggedText>("then-2"));
    TQVLMacroSQLConditional conditional(std::make_unique<TLoggedExists>("ident", "condition"),
                                        std::move(then));
  }
  EXPECT_EQ(log, (std::vector<std::string>{"condition", "ident", "then-1", "then-2"}));

  log.clear();
  {
    auto then = std::make_unique<TLoggedText>("then");
    auto otherwise = std::make_unique<TLoggedText>("else");
    TQVLMacroSQLConditional conditional(std::make_unique<TLoggedExists>("c", "condition"),
                                        std::move(then), std::move(otherwise));
  }
  EXPECT_EQ(log, (std::vector<std::string>{"condition", "c", "then", "else"}));

  log.clear();
  {
    TQVLMacroSQLLogicalEQUAL eq(std::make_unique<TLoggedIdentifier>("left"),
                                std::make_unique<TLoggedIdentifier>("right"));
    TQVLMacroSQLLogicalOR orElement(std::make_unique<TLoggedExists>("l", "left-exists"),
                                    std::make_unique<TLoggedExists>("r", "right-exists"));
  }
  EXPECT_EQ(log,
            (std::vector<std::string>{"left-exists", "l", "right-exists", "r", "left", "right"}));
  DestroyLog = nullptr;
}

TEST(MacroSQLElements, NullChildrenAreRefusedAtConstruction) {
  EXPECT_THROW(TQVLMacroSQLConditional(nullptr, nullptr), std::invalid_argument);
  EXPECT_THROW(TQVLMacroSQLLogicalExists(nullptr), std::invalid_argument);
  EXPECT_THROW(TQVLMacroSQLLogicalNOT(nullptr), std::invalid_argument);
  EXPECT_THROW(
      TQVLMacroSQLLogicalEQUAL(std::make_unique<TQVLMacroSQLLogicalIdentifier>("a"), nullptr),
      std::invalid_argument);
  EXPECT_THROW(TQVLMacroSQLEvaluateVisitor(nullptr, TStringList(), nullptr), std::invalid_argument);
}

TEST(MacroSQLElements, ConditionalWithoutThenBranchEvaluatesAsEmpty) {
  TQVLMacroSQLConditional conditional(std::make_unique<TQVLMacroSQLLogicalExists>(
                                          std::make_unique<TQVLMacroSQLLogicalIdentifier>("A")),
                                      nullptr);
  TStringList macros{"A"};
  TQVLMacroSQLEvaluateVisitor visitor(std::make_shared<TQVLMacroSQLParser>(':', '%'), macros,
                                      nullptr);
  conditional.Accept(visitor);
  EXPECT_EQ(visitor.GetResultSQL(), "");
}

// ---- The table: text and macros in, SQL and parameters or an error out ----

namespace {

struct TCase {
  std::string Name;
  std::string Text;
  std::vector<std::string> Macros;
  std::string SQL;
  std::vector<std::string> Params;
  std::string Error;  // empty: success expected
  int Line = 0;
  int Column = 0;
  std::string Tree;  // empty: not checked
  char ParamChar = ':';
  char MacroChar = '%';
};

TCase Ok(std::string Name, std::string Text, std::vector<std::string> Macros, std::string SQL,
         std::vector<std::string> Params = {}, std::string Tree = "") {
  TCase c;
  c.Name = std::move(Name);
  c.Text = std::move(Text);
  c.Macros = std::move(Macros);
  c.SQL = std::move(SQL);
  c.Params = std::move(Params);
  c.Tree = std::move(Tree);
  return c;
}

TCase Fails(std::string Name, std::string Text, std::vector<std::string> Macros, std::string Error,
            int Line, int Column) {
  TCase c;
  c.Name = std::move(Name);
  c.Text = std::move(Text);
  c.Macros = std::move(Macros);
  c.Error = std::move(Error);
  c.Line = Line;
  c.Column = Column;
  return c;
}

TCase WithTree(TCase C, std::string Tree) {
  C.Tree = std::move(Tree);
  return C;
}

// Failures name the row instead of dumping its bytes.
void PrintTo(const TCase& C, std::ostream* Os) {
  *Os << C.Name;
}

TCase Markers(TCase C, char ParamChar, char MacroChar) {
  C.ParamChar = ParamChar;
  C.MacroChar = MacroChar;
  return C;
}

const std::string kOrders =
    "select * from orders\r\n"
    "#if (FILTER)\r\n"
    "where %FILTER\r\n"
    "#elseif (MODE = open)\r\n"
    "where status = :STATUS\r\n"
    "#endif\r\n"
    "order by 1\r\n";

const std::string kOrdersTree =
    "[\"select * from orders\\r\\n\" if(EX(FILTER)){[\"where \" M(FILTER) \"\\r\\n\"]}"
    "{if(EQ(MODE,open)){[\"where status = \" P(STATUS) \"\\r\\n\"]}} \"order by 1\\r\\n\"]";

std::string Repeat(const std::string& S, int N) {
  std::string out;
  for (int i = 0; i < N; ++i) out += S;
  return out;
}

std::vector<TCase> Cases() {
  const std::string tooDeep = SNestingTooDeep;
  return {
      // Lexical rules and the parser's edge cases.
      Ok("EmptyText", "", {}, "", {}, "[]"),
      Ok("PlainTextIsOneElement", "select a, b from t where x > 1 and y < 2", {},
         "select a, b from t where x > 1 and y < 2", {},
         "[\"select a, b from t where x > 1 and y < 2\"]"),
      Ok("DoubledParamMarker", "a::b", {}, "a:b", {}, "[\"a:\" \"b\"]"),
      Ok("DoubledMacroMarker", "a%%b", {}, "a%b"),
      Ok("DoubledDirectiveMarker", "a##b", {}, "a#b"),
      Ok("ParamWithEmptyName", "x := 1", {}, "x ?= 1", {""}, "[\"x \" P() \"= 1\"]"),
      Ok("ParamMarkerLast", "a:", {}, "a?", {""}, "[\"a\" P()]"),
      Ok("MacroMarkerLast", "a%", {}, "a", {}, "[\"a\" M()]"),
      Ok("DirectiveMarkerLast", "a#", {}, "a", {}, "[\"a\"]"),
      Ok("DoubledMacroThenParam", "%%:a", {}, "%?", {"a"}, "[\"%\" \"\" P(a)]"),
      Ok("FourParamMarkers", "::::", {}, "::", {}, "[\":\" \":\"]"),
      Ok("MarkerInsideQuotedRun", "where s = 'it''s :x'", {}, "where s = 'it''s :x'", {},
         "[\"where s = 'it''s :x'\"]"),
      Ok("MarkersInBackquotesAndDoubleQuotes", "select `%m`, \":p\" from t", {"m=1"},
         "select `%m`, \":p\" from t"),
      Ok("MarkersInLineComment", "select 1 -- :x %m #if\nfrom t", {"m=1"},
         "select 1 -- :x %m #if\nfrom t", {}, "[\"select 1 -- :x %m #if\\nfrom t\"]"),
      Ok("LineCommentToEnd", "select 1 -- :x", {}, "select 1 -- :x"),
      Ok("MarkersInBlockComment", "select /* :x\n%m */ :y", {"m=1"}, "select /* :x\n%m */ ?",
         {"y"}),
      Ok("UnterminatedBlockComment", "select /* :x", {}, "select /* :x"),
      Ok("BlockCommentClosedAfterStars", "/* **/:x", {}, "/* **/?", {"x"}),
      Ok("SingleDashAndSlashAreText", "a - :b / c", {}, "a - ? / c", {"b"}),
      Ok("QuotedParamName", ":\"Order Date\" x", {}, "? x", {"Order Date"}),
      Ok("QuotedParamNameKeepsDoubledQuotes", ":\"a\"\"b\"", {}, "?", {"a\"\"b"}),
      Ok("UnterminatedQuotedParamName", ":\"abc", {}, "?", {"ab"}),
      Ok("LoneQuoteAsParamName", ":'", {}, "?", {""}),
      Ok("NameStopsAtOtherCharacters", ":a.b :c$d :e\xC3\xA9", {}, "?.b ?$d ?\xC3\xA9",
         {"a", "c", "e"}),
      Ok("UpperCaseDirectives", "#IF (A) x #ENDIF", {"A"}, "x ", {}, "[\"\" if(EX(A)){[\"x \"]}]"),
      Ok("DirectivesWithoutBlanks", "#if(A)x#endif", {"A"}, "x", {}, "[\"\" if(EX(A)){[\"x\"]}]"),
      Ok("MarkerBeforeBlankIsDropped", "# if (A)", {}, " if (A)", {}, "[\"\" \" if (A)\"]"),
      Fails("IfdefIsIfWithoutParenthesis", "#ifdef X", {}, SOpeningBracketExpected, 1, 4),
      Ok("ElsewhereIsElseAndText", "#if (A)x#elsewhere#endif", {}, "where", {},
         "[\"\" if(EX(A)){[\"x\"]}{[\"where\"]}]"),
      Ok("NotAsPrefix", "#if (nota)y#endif", {}, "y", {}, "[\"\" if(NOT(EX(a))){[\"y\"]}]"),
      Ok("OrAsPrefix", "#if (a orb)y#endif", {"b"}, "y", {}, "[\"\" if(OR(EX(a),EX(b))){[\"y\"]}]"),
      Ok("AndBindsTighterThanOr", "#if (a and b or c)y#endif", {"c"}, "y", {},
         "[\"\" if(OR(AND(EX(a),EX(b)),EX(c))){[\"y\"]}]"),
      Ok("NotBindsTighterThanAnd", "#if (not a and b)y#endif", {"b"}, "y", {},
         "[\"\" if(AND(NOT(EX(a)),EX(b))){[\"y\"]}]"),
      Ok("OrAndAndNestToTheRight", "#if (a or b or c and d and e)#endif", {}, "", {},
         "[\"\" if(OR(EX(a),OR(EX(b),AND(EX(c),AND(EX(d),EX(e)))))){[\"\"]}]"),
      Ok("ParenthesesGroup", "#if ((a or b) and not (c))#endif", {}, "", {},
         "[\"\" if(AND(OR(EX(a),EX(b)),NOT(EX(c)))){[\"\"]}]"),
      Ok("ComparisonsAndQuotedIdentifiers", "#if (a = 'x y' or \"b\" <> c)#endif", {}, "", {},
         "[\"\" if(OR(EQ(a,x y),NE(b,c))){[\"\"]}]"),
      Ok("BlanksAndLineBreaksInsideCondition", "#if\t(\r\n a\n=\tb\r\n)\r\nx\r\n#endif\r\n",
         {"a=1", "b=1"}, "x\r\n"),
      Fails("MissingRightOperand", "#if (a = )", {}, SIdentifierExpected, 1, 10),
      Fails("EmptyCondition", "#if ()", {}, SIdentifierExpected, 1, 6),
      Fails("EmptyQuotedIdentifier", "#if (\"\")", {}, SIdentifierExpected, 1, 8),
      Fails("IdentifierAtEndOfText", "#if (a and", {}, SIdentifierExpected, 1, 11),
      Fails("ChainedComparison", "#if (a = b = c)", {}, SClosingBracketExpected, 1, 12),
      Fails("LessThanAloneIsNoOperator", "#if (a < b)", {}, SClosingBracketExpected, 1, 8),
      Fails("MissingEndifAtEndOfText", "#if (a)\r\nx", {}, SEndIfExpected, 2, 2),
      Fails("SecondElse", "#if (a) x #else y #else z #endif", {}, SEndIfExpected, 1, 25),
      Fails("ElseIfAfterElse", "#if (a)\n#else\n#elseif (b)\n#endif", {}, SEndIfExpected, 3, 9),
      Fails("EndifFirstLine", "#endif\r\nselect", {}, SUnexpectedDirective, 2, 1),
      Fails("StrayElse", "select 1\n  #else  x", {}, SUnexpectedDirective, 2, 10),
      Fails("StrayElseIf", "#elseif (a)", {}, SUnexpectedDirective, 1, 9),
      Ok("BlankAfterEndifIsDropped", "#if (a)\n#endif x", {"a"}, "x", {},
         "[\"\" if(EX(a)){[\"\"]} \"x\"]"),
      Ok("BlanksBeforeEndifStay", "#if (a)\n  #endif", {"a"}, "  ", {},
         "[\"\" if(EX(a)){[\"  \"]}]"),
      Ok("DirectiveLinesLeaveNoEmptyLines", "a\r\n#if (x)\r\nb\r\n#else\r\nc\r\n#endif\r\nd\r\n",
         {}, "a\r\nc\r\nd\r\n"),
      Ok("OnlyOneLineBreakIsDropped", "#if (x)\n\nb\n#endif\n\nd", {"x"}, "\nb\n\nd"),
      WithTree(Fails("ErrorDirective", "#error Wrong mode  \r\nnext", {}, "Wrong mode", 1, 7),
               "[\"\" E(Wrong mode@1:7) \"next\"]"),
      Fails("ErrorDirectiveTrimsControlCharacters", "x\n  #error\t\x01 why \x7F\x02\n", {},
            "why \x7F", 2, 9),
      Ok("ErrorInBranchNotTaken", "#if (A)\n#error no\n#endif\nok", {}, "ok"),
      Fails("ErrorInElseBranch", "#if (A)\nyes\n#else\n#error no A\n#endif", {}, "no A", 4, 7),
      Ok("ErrorWithEmptyMessage", "#if (A)#error\n#endif", {}, "", {},
         "[\"\" if(EX(A)){[\"\" E(@1:14) \"\"]}]"),
      Fails("TabCountsOneColumn", "\t#if x", {}, SOpeningBracketExpected, 1, 6),
      Fails("LoneCRDoesNotEndLine", "a\rb\r#if x", {}, SOpeningBracketExpected, 1, 7),
      Fails("CRLFEndsLine", "a\r\nb\r\n#if x", {}, SOpeningBracketExpected, 3, 5),
      Fails("LFEndsLine", "a\n\n\t\t#if (a", {}, SClosingBracketExpected, 3, 9),
      Ok("NulEndsText", std::string("ab\0:c %X", 8), {"X=1"}, "ab", {}, "[\"ab\"]"),
      Ok("NulEndsMacroValue", "%X", {std::string("X=a\0:b", 6)}, "a"),
      Ok("BytesAbove127PassUnchanged", "select '\xFF\xFE' \x80\x81 :p", {},
         "select '\xFF\xFE' \x80\x81 ?", {"p"}),

      // Evaluation.
      Ok("EmptyTextElementAddsNothing", ":a", {}, "?", {"a"}, "[\"\" P(a)]"),
      Ok("RepeatedParameter", "select :a, :A, :a", {}, "select ?, ?, ?", {"a", "A", "a"}),
      Ok("MacroWithParameter", "where %X", {"X=id = :ID"}, "where id = ?", {"ID"}),
      Ok("MacroOfUndefinedMacro", "a %X b", {"X=%Y"}, "a  b"),
      Ok("UndefinedMacroIsEmpty", "a %X b", {}, "a  b"),
      Ok("MacroNamesIgnoreCase", "%x", {"X=1"}, "1"),
      Ok("FirstEntryCounts", "%X", {"X=1", "X=2"}, "1"),
      Ok("ValueAfterFirstEqualsSign", "%X", {"X=a=b"}, "a=b"),
      Ok("QuotedMacroName", "%\"X\"", {"X=1"}, "1"),
      Ok("EmptyValueExistsAndExpandsToNothing", "#if (X)yes#endif[%X]", {"X="}, "yes[]"),
      Ok("BareEntryExists", "#if (X)yes#endif[%X]", {"X"}, "yes[]"),
      Ok("BareEntryComparesItsOwnText", "#if (X = X)yes#endif", {"X"}, "yes"),
      Ok("BareEntryHasNoValue", "#if (X = 1)yes#else no#endif", {"X", "X=1"}, "yes"),
      Ok("ComparisonIgnoresCaseOfAToZ", "#if (MODE = Open)y#else n#endif", {"MODE=OPEN"}, "y"),
      Ok("InequalityIgnoresCaseOfAToZ", "#if (MODE <> open)y#else n#endif", {"MODE=OPEN"}, "n"),
      Ok("CaseOutsideAToZDiffers", "#if (MODE = \"\xC3\xA4\")y#else n#endif", {"MODE=\xC3\x84"},
         "n"),
      Ok("BothIdentifiersStandForValues", "#if (A = B)y#else n#endif", {"A=1", "B=1"}, "y"),
      Ok("ValuesCompareAsText", "#if (LEVEL = 2)y#endif#if (LEVEL = 02)z#endif", {"LEVEL=2"}, "y"),
      Ok("QuotedIdentifierIsLookedUpToo", "#if ('LEVEL' = \"2\")y#endif", {"LEVEL=2"}, "y"),
      Ok("AndWithUndefinedOperand", "#if (A and B)y#else n#endif", {"B=1"}, "n"),
      Ok("OrWithOneDefinedOperand", "#if (A or B)y#else n#endif", {"B=1"}, "y"),
      Ok("NotOfUndefined", "#if (not A)y#else n#endif", {}, "y"),
      Ok("ElseIfChainTakesFirstTrue", "#if (A)a#elseif (B)b#elseif (C)c#else d#endif", {"B", "C"},
         "b"),
      Ok("ElseIfChainFallsToElse", "#if (A)a#elseif (B)b#elseif (C)c#else d#endif", {}, "d"),
      Ok("NestedConditionals", "#if (A)a#if (B)b#else c#endif#endif.", {"A"}, "ac."),
      Ok("ParametersOnlyFromTakenBranches", "(#if (A):a#else :b#endif):c", {}, "(?)?", {"b", "c"}),
      Ok("ParametersFollowTextOrder", ":a %X :d", {"X=:b %Y", "Y=:c"}, "? ? ? ?",
         {"a", "b", "c", "d"}),
      Ok("DirectivesInMacroValues", "%X", {"X=#if (A)yes#else no#endif", "A"}, "yes"),
      Ok("MacroRepeatedWithoutCycle", "%A", {"A=%B%B", "B=x"}, "xx"),
      Ok("SelfReferenceInBranchNotTaken", "%X.", {"X=#if (0)%X#endif"}, "."),
      Fails("ErrorInMacroValueCountsWithinValue", "select %X", {"X=#if (a"},
            SClosingBracketExpected, 1, 7),
      Fails("ErrorInMacroValueOnLaterLine", "select\n\n %X", {"X=\n\n  #if x"},
            SOpeningBracketExpected, 3, 7),
      Fails("ErrorDirectiveInNestedMacro", "%X", {"X=a %Y", "Y=b\r\n\t#error bad value"},
            "bad value", 2, 8),

      // The worked example with its four macro lists.
      Ok("WorkedExampleFilter", kOrders, {"FILTER=customer = 7"},
         "select * from orders\r\nwhere customer = 7\r\norder by 1\r\n", {}, kOrdersTree),
      Ok("WorkedExampleMode", kOrders, {"MODE=OPEN"},
         "select * from orders\r\nwhere status = ?\r\norder by 1\r\n", {"STATUS"}, kOrdersTree),
      Ok("WorkedExampleBareFilter", kOrders, {"FILTER"},
         "select * from orders\r\nwhere \r\norder by 1\r\n", {}, kOrdersTree),
      Ok("WorkedExampleEmpty", kOrders, {}, "select * from orders\r\norder by 1\r\n", {},
         kOrdersTree),

      // Other markers.
      Markers(Ok("OtherMarkers", "select @a, :b, %c, &X, @@, &&", {"X=@d"},
                 "select ?, :b, %c, ?, @, &", {"a", "d"}),
              '@', '&'),
      Markers(Ok("SameMarkerIsParameter", "$a $$", {"a=1"}, "? $", {"a"}), '$', '$'),
      Markers(Ok("DirectiveMarkerAsParamMarker", "#if (a)", {}, "? (a)", {"if"}), '#', '%'),
      Markers(Ok("MacroMarkerInValueUsesParsersMarkers", "&X", {"X=&Y %Y", "Y=1"}, "1 %Y"), ':',
              '&'),

      // Guards: nesting depth. Every #if, #elseif, parenthesis (the
      // condition's own included), not, and, or counts one level.
      Ok("NestingAtLimit", Repeat("#if(a)\n", 255) + "x" + Repeat("#endif\n", 255), {"a"}, "x"),
      Fails("NestedIfTooDeep", Repeat("#if(a)\n", 256) + "x" + Repeat("#endif\n", 256), {}, tooDeep,
            256, 4),
      Ok("ParenthesesAtLimit", "#if " + Repeat("(", 255) + "a" + Repeat(")", 255) + "y#endif",
         {"a"}, "y"),
      Fails("ParenthesesTooDeep", "#if " + Repeat("(", 256) + "a" + Repeat(")", 256) + "#endif", {},
            tooDeep, 1, 260),
      Ok("NotAtLimit", "#if (" + Repeat("not ", 254) + "a)y#endif", {"a"}, "y"),
      Fails("NotTooDeep", "#if (" + Repeat("not ", 255) + "a)#endif", {}, tooDeep, 1, 1025),
      Ok("OrChainAtLimit", "#if (a" + Repeat(" or a", 254) + ")y#endif", {"a"}, "y"),
      Fails("OrChainTooDeep", "#if (a" + Repeat(" or a", 255) + ")#endif", {}, tooDeep, 1, 1280),
      Fails("AndChainTooDeep", "#if (a" + Repeat(" and a", 255) + ")#endif", {}, tooDeep, 1, 1535),
      Ok("ElseIfChainAtLimit", "#if (x)" + Repeat("#elseif (x)\n", 253) + "#elseif (a)y#endif",
         {"a"}, "y"),
      Fails("ElseIfChainTooDeep", "#if (x)" + Repeat("#elseif (x)\n", 256) + "#endif", {}, tooDeep,
            255, 9),
      Fails("VeryDeepInputStopsEarly", "#if " + Repeat("(", 100000), {}, tooDeep, 1, 260),
      Fails("VeryDeepIfsStopEarly", Repeat("#if (a)", 100000), {}, tooDeep, 1, 1790),

      // Guards: macro expansion.
      Fails("MacroRefersToItself", "x %X", {"X=a %X"}, Format(SRecursiveMacro, {"X"}), 1, 3),
      Fails("MacroRefersToItselfIgnoringCase", "%X", {"X=%x"}, Format(SRecursiveMacro, {"x"}), 1,
            1),
      Fails("MacroCycleThroughOthers", "%A", {"A=x %B", "B=y\n %C", "C=%A"},
            Format(SRecursiveMacro, {"A"}), 1, 1),
      Fails("MacroCycleInCondition", "%A", {"A=#if (B)\n\t%A\n#endif", "B"},
            Format(SRecursiveMacro, {"A"}), 2, 2),
  };
}

class MacroSQLCases : public ::testing::TestWithParam<TCase> {};

TEST_P(MacroSQLCases, ParseAndBuild) {
  const TCase& c = GetParam();
  TQVLSQLProcessor processor(nullptr);
  processor.SetParamChar(c.ParamChar);
  processor.SetMacroChar(c.MacroChar);
  TStringList macros;
  for (const auto& line : c.Macros) macros.Add(line);
  TParams params;
  std::string sql;
  try {
    std::unique_ptr<TQVLMacroSQLElement> tree = processor.Parse(c.Text);
    if (!c.Tree.empty()) {
      EXPECT_EQ(Dump(*tree), c.Tree);
    }
    sql = processor.Build(*tree, &macros, &params);
  } catch (const EQVLMacroSQLError& e) {
    ASSERT_FALSE(c.Error.empty()) << "unexpected error: " << e.what();
    EXPECT_EQ(e.GetErrorText(), c.Error);
    EXPECT_EQ(e.GetLine(), c.Line);
    EXPECT_EQ(e.GetColumn(), c.Column);
    EXPECT_EQ(std::string(e.what()), c.Error + "\r\nLine: " + std::to_string(c.Line) +
                                         ", Column: " + std::to_string(c.Column));
    return;
  }
  ASSERT_TRUE(c.Error.empty()) << "expected the error " << c.Error << ", got " << sql;
  EXPECT_EQ(sql, c.SQL);
  std::vector<std::string> names;
  for (int i = 0; i < params.Count(); ++i) {
    names.push_back(params[i]->GetName());
    EXPECT_EQ(params[i]->GetDataType(), ftUnknown);
    EXPECT_EQ(params[i]->GetParamType(), ptInput);
  }
  EXPECT_EQ(names, c.Params);
}

INSTANTIATE_TEST_SUITE_P(Table, MacroSQLCases, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<TCase>& Info) {
                           return Info.param.Name;
                         });

}  // namespace

// ---- Behaviour around the table --------------------------------------------

TEST(MacroSQLParser, FailedParseCanBeRepeatedAfterCorrection) {
  auto parser = std::make_shared<TQVLMacroSQLParser>(':', '%');
  EXPECT_THROW(parser->Parse("#if (a"), EQVLMacroSQLError);
  std::unique_ptr<TQVLMacroSQLElement> tree = parser->Parse("#if (a)x#endif");
  EXPECT_EQ(Dump(*tree), "[\"\" if(EX(a)){[\"x\"]}]");
  // Positions start again at line 1 for every text.
  try {
    parser->Parse("\n\n#endif");
    FAIL();
  } catch (const EQVLMacroSQLError& e) {
    EXPECT_EQ(e.GetLine(), 3);
    EXPECT_EQ(e.GetColumn(), 7);
  }
}

TEST(MacroSQLParser, LongTextsKeepPositions) {
  // Long runs are counted in blocks; the position must match the
  // character-by-character rule across block borders, CR and LF alike.
  std::string text;
  int line = 1;
  int column = 1;
  for (int i = 0; i < 5000; ++i) {
    const char c = "ab\r\ncdefghij\rklmnopqrstu\n"[i % 25];
    text += c;
    if (c == '\n') {
      ++line;
      column = 1;
    } else if (c != '\r') {
      ++column;
    }
  }
  text += "#if x";
  column += 4;
  try {
    TQVLMacroSQLParser(':', '%').Parse(text);
    FAIL();
  } catch (const EQVLMacroSQLError& e) {
    EXPECT_EQ(e.GetLine(), line);
    EXPECT_EQ(e.GetColumn(), column);
  }
}

TEST(MacroSQLEvaluate, NullParameterListStillWritesMarks) {
  TQVLSQLProcessor processor(nullptr);
  auto tree = processor.Parse("a = :a and b = %X");
  TStringList macros{"X=:b"};
  EXPECT_EQ(processor.Build(*tree, &macros, nullptr), "a = ? and b = ?");
}

TEST(MacroSQLEvaluate, ErrorKeepsWhatWasWritten) {
  auto parser = std::make_shared<TQVLMacroSQLParser>(':', '%');
  auto tree = parser->Parse("select :a, %X\n#error stop here\n:c");
  TStringList macros{"X=:b"};
  TParams params;
  TQVLMacroSQLEvaluateVisitor visitor(parser, macros, &params);
  EXPECT_THROW(tree->Accept(visitor), EQVLMacroSQLError);
  EXPECT_EQ(visitor.GetResultSQL(), "select ?, ?\n");
  ASSERT_EQ(params.Count(), 2);
  EXPECT_EQ(params[1]->GetName(), "b");
}

TEST(MacroSQLEvaluate, OneTreeServesManyEvaluations) {
  TQVLSQLProcessor processor(nullptr);
  auto tree = processor.Parse(kOrders);
  TStringList filter{"FILTER=x = 1"};
  TStringList mode{"MODE=open"};
  EXPECT_EQ(processor.Build(*tree, &filter, nullptr),
            "select * from orders\r\nwhere x = 1\r\norder by 1\r\n");
  EXPECT_EQ(processor.Build(*tree, &mode, nullptr),
            "select * from orders\r\nwhere status = ?\r\norder by 1\r\n");
  EXPECT_EQ(processor.Build(*tree, &filter, nullptr),
            "select * from orders\r\nwhere x = 1\r\norder by 1\r\n");
}

TEST(MacroSQLEvaluate, CaseSensitiveListComparesNamesExactly) {
  TQVLSQLProcessor processor(nullptr);
  auto tree = processor.Parse("%x|%X|#if (x)y#endif");
  TStringList macros{"X=1"};
  macros.SetCaseSensitive(true);
  TQVLMacroSQLEvaluateVisitor visitor(processor.GetParser(), macros, nullptr);
  tree->Accept(visitor);
  EXPECT_EQ(visitor.GetResultSQL(), "|1|");
}

// ---- Guards that need generated macro lists ---------------------------------

namespace {
std::string ExpectError(const std::string& Text, const TStringList& Macros, int& Line,
                        int& Column) {
  TQVLSQLProcessor processor(nullptr);
  try {
    auto tree = processor.Parse(Text);
    processor.Build(*tree, &Macros, nullptr);
  } catch (const EQVLMacroSQLError& e) {
    Line = e.GetLine();
    Column = e.GetColumn();
    return e.GetErrorText();
  }
  return "no error";
}
}  // namespace

TEST(MacroSQLGuards, ExpansionDepthIsBounded) {
  TStringList chain;
  for (int i = 0; i < 63; ++i) chain.Add("M" + std::to_string(i) + "=%M" + std::to_string(i + 1));
  chain.Add("M63=end");
  TQVLSQLProcessor processor(nullptr);
  EXPECT_EQ(processor.Build(*processor.Parse("%M0"), &chain, nullptr), "end");

  chain.Delete(63);
  for (int i = 63; i < 100; ++i)
    chain.Add("M" + std::to_string(i) + "=x %M" + std::to_string(i + 1));
  int line = 0;
  int column = 0;
  EXPECT_EQ(ExpectError("%M0", chain, line, column), SMacroNestingTooDeep);
  EXPECT_EQ(line, 1);
  EXPECT_EQ(column, 3);
}

TEST(MacroSQLGuards, WalkDepthAcrossMacrosIsBounded) {
  // Each value nests 200 conditionals around the next reference: the walk
  // gets deeper by 201 levels per macro and stops before 1024 + 256.
  TStringList macros{"a"};
  for (int i = 0; i < 10; ++i)
    macros.Add("M" + std::to_string(i) + "=" + Repeat("#if (a)\n", 200) + "%M" +
               std::to_string(i + 1) + Repeat("\n#endif", 200));
  int line = 0;
  int column = 0;
  EXPECT_EQ(ExpectError("%M0", macros, line, column), SMacroNestingTooDeep);
  EXPECT_EQ(line, 201);
  EXPECT_EQ(column, 1);
}

TEST(MacroSQLGuards, ExponentialExpansionStopsQuickly) {
  TStringList macros;
  for (int i = 0; i < 40; ++i)
    macros.Add("A" + std::to_string(i) + "=%A" + std::to_string(i + 1) + "%A" +
               std::to_string(i + 1));
  macros.Add("A40=x");
  const auto start = std::chrono::steady_clock::now();
  int line = 0;
  int column = 0;
  EXPECT_EQ(ExpectError("%A0", macros, line, column), SMacroExpansionTooLarge);
  EXPECT_EQ(line, 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST(MacroSQLGuards, ExpandedBytesAreBounded) {
  const std::size_t quarter = TQVLMacroSQLEvaluateVisitor::kMaxMacroExpansionSize / 4;
  TStringList macros{"X=" + std::string(quarter, 'x')};
  TQVLSQLProcessor processor(nullptr);
  EXPECT_EQ(processor.Build(*processor.Parse("%X%X%X%X"), &macros, nullptr).size(), 4 * quarter);
  macros.Put(0, "X=" + std::string(quarter + 1, 'x'));
  int line = 0;
  int column = 0;
  EXPECT_EQ(ExpectError("%X%X\n%X%X", macros, line, column), SMacroExpansionTooLarge);
  EXPECT_EQ(line, 2);
  EXPECT_EQ(column, 3);
}
