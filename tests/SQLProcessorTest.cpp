// TQVLSQLProcessor: properties, merging of macro lists, parsers, Parse and
// Build, and the process-wide default processor.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "qvl/host/dataset/Params.h"
#include "qvl/host/runtime/Strings.h"
#include "qvl/macrosql/QVLMacroSQL.h"
#include "qvl/sql/QVLSQLProcessor.h"

using namespace qvl;

namespace {
std::vector<std::string> Lines(const TStrings& List) {
  return List.ToVector();
}
}  // namespace

TEST(SQLProcessor, Defaults) {
  TQVLSQLProcessor processor(nullptr);
  EXPECT_EQ(processor.GetParamChar(), ':');
  EXPECT_EQ(processor.GetMacroChar(), '%');
  EXPECT_TRUE(processor.GetOracleLob());
  EXPECT_EQ(processor.GetMacros().Count(), 0);
}

TEST(SQLProcessor, SetMacrosCopiesTheLines) {
  TQVLSQLProcessor processor(nullptr);
  TStringList given{"A=1", "B"};
  processor.SetMacros(given);
  given.Put(0, "A=changed");
  given.Add("C=3");
  EXPECT_EQ(Lines(processor.GetMacros()), (std::vector<std::string>{"A=1", "B"}));
  processor.SetMacros(TStringList{});
  EXPECT_EQ(processor.GetMacros().Count(), 0);
}

TEST(SQLProcessor, OwnerDestroysProcessor) {
  auto owner = std::make_unique<TComponent>(nullptr);
  auto* processor = new TQVLSQLProcessor(owner.get());
  processor->GetMacros().Add("A=1");
  EXPECT_EQ(owner->ComponentCount(), 1);
  EXPECT_EQ(owner->Components(0), processor);
  owner.reset();  // frees the processor and its list; the sanitizer build checks for leaks
}

struct TMergeCase {
  const char* Name;
  std::vector<std::string> Processor;
  std::vector<std::string> Given;
  std::vector<std::string> Expected;
};

class SQLProcessorMerge : public ::testing::TestWithParam<TMergeCase> {};

TEST_P(SQLProcessorMerge, CreateFullMacros) {
  const TMergeCase& c = GetParam();
  TQVLSQLProcessor processor(nullptr);
  for (const auto& line : c.Processor) processor.GetMacros().Add(line);
  TStringList given;
  for (const auto& line : c.Given) given.Add(line);
  EXPECT_EQ(Lines(*processor.CreateFullMacros(&given)), c.Expected);
  EXPECT_EQ(Lines(given), c.Given);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SQLProcessorMerge,
    ::testing::Values(
        TMergeCase{"GivenValueWinsAndKeepsItsCase", {"A=1", "B=2"}, {"b=3"}, {"A=1", "b=3"}},
        TMergeCase{"IdenticalLineOnceAtGivenPosition",
                   {"A=1", "B=2", "C=3"},
                   {"X=9", "B=2"},
                   {"A=1", "C=3", "X=9", "B=2"}},
        TMergeCase{"IdenticalIgnoringCase", {"a=x"}, {"A=X"}, {"A=X"}},
        TMergeCase{"EmptyGivenList", {"A=1", "B"}, {}, {"A=1", "B"}},
        TMergeCase{"EmptyProcessorList", {}, {"A=1", "A=2"}, {"A=1", "A=2"}},
        TMergeCase{"BareProcessorLineKeptBesideGivenValue", {"A"}, {"A=1"}, {"A", "A=1"}},
        TMergeCase{"BareGivenLineDoesNotHideProcessorValue", {"A=1"}, {"A"}, {"A=1", "A"}},
        TMergeCase{"BareLineIsNotNamedEmpty", {"A", "=p"}, {"=g"}, {"A", "=g"}},
        TMergeCase{"GivenDuplicatesStay", {"B=0"}, {"A=1", "A=1"}, {"B=0", "A=1", "A=1"}}),
    [](const ::testing::TestParamInfo<TMergeCase>& Info) { return std::string(Info.param.Name); });

TEST(SQLProcessor, CreateFullMacrosWithoutListCopiesProcessorMacros) {
  TQVLSQLProcessor processor(nullptr);
  processor.GetMacros().Add("A=1");
  processor.GetMacros().Add("B");
  processor.GetMacros().Add("a=2");
  std::unique_ptr<TStringList> full = processor.CreateFullMacros(nullptr);
  EXPECT_EQ(Lines(*full), (std::vector<std::string>{"A=1", "B", "a=2"}));
  full->Add("C=3");
  EXPECT_EQ(processor.GetMacros().Count(), 3);
}

TEST(SQLProcessor, MergeUsesTheGivenListsComparison) {
  TQVLSQLProcessor processor(nullptr);
  processor.GetMacros().Add("A=1");
  TStringList given{"a=2"};
  given.SetCaseSensitive(true);
  EXPECT_EQ(Lines(*processor.CreateFullMacros(&given)), (std::vector<std::string>{"A=1", "a=2"}));
}

TEST(SQLProcessor, EachGetParserIsNewAndUsesCurrentMarkers) {
  TQVLSQLProcessor processor(nullptr);
  std::shared_ptr<IQVLMacroSQLParser> first = processor.GetParser();
  processor.SetParamChar('@');
  std::shared_ptr<IQVLMacroSQLParser> second = processor.GetParser();
  EXPECT_NE(first.get(), second.get());
  TParams params;
  TStringList none;
  TQVLSQLProcessor builder(nullptr);
  EXPECT_EQ(builder.Build(*first->Parse(":a @b"), &none, &params), "? @b");
  EXPECT_EQ(builder.Build(*second->Parse(":a @b"), &none, &params), ":a ?");
  ASSERT_EQ(params.Count(), 2);
  EXPECT_EQ(params[0]->GetName(), "a");
  EXPECT_EQ(params[1]->GetName(), "b");
}

TEST(SQLProcessor, MarkerChangesApplyToTheNextParse) {
  TQVLSQLProcessor processor(nullptr);
  auto before = processor.Parse("%X :p");
  processor.SetMacroChar('&');
  processor.SetParamChar('?');
  TStringList macros{"X=&Y ?q :r", "Y=1"};
  // The tree keeps what it was parsed as; macro values use the new markers.
  EXPECT_EQ(processor.Build(*before, &macros, nullptr), "1 ? :r ?");
  EXPECT_EQ(processor.Build(*processor.Parse("%X :p &X"), &macros, nullptr), "%X :p 1 ? :r");
}

TEST(SQLProcessor, BuildMergesProcessorAndCallerMacros) {
  TQVLSQLProcessor processor(nullptr);
  processor.GetMacros().Add("TABLE=orders");
  processor.GetMacros().Add("MODE=all");
  processor.GetMacros().Add("LIMITED");
  auto tree = processor.Parse(
      "select * from %TABLE\n#if (MODE = open)\nwhere open = 1\n#endif\n#if (LIMITED)\nlimit "
      "1\n#endif\n");
  EXPECT_EQ(processor.Build(*tree, nullptr, nullptr), "select * from orders\nlimit 1\n");
  TStringList given{"mode=OPEN", "TABLE=archive"};
  EXPECT_EQ(processor.Build(*tree, &given, nullptr),
            "select * from archive\nwhere open = 1\nlimit 1\n");
  EXPECT_EQ(processor.GetMacros().Count(), 3);
}

TEST(SQLProcessor, BuildAppendsToParametersWithoutClearing) {
  TQVLSQLProcessor processor(nullptr);
  TParams params;
  params.CreateParam(ftInteger, "existing", ptOutput);
  auto tree = processor.Parse("a = :a and b = :b");
  EXPECT_EQ(processor.Build(*tree, nullptr, &params), "a = ? and b = ?");
  ASSERT_EQ(params.Count(), 3);
  EXPECT_EQ(params[0]->GetName(), "existing");
  EXPECT_EQ(params[0]->GetDataType(), ftInteger);
  EXPECT_EQ(params[2]->GetName(), "b");
}

TEST(SQLProcessor, BuildFailureKeepsParametersAddedBefore) {
  TQVLSQLProcessor processor(nullptr);
  TParams params;
  auto tree = processor.Parse(":a %X :c");
  TStringList macros{"X=:b #error broken here"};
  try {
    processor.Build(*tree, &macros, &params);
    FAIL();
  } catch (const EQVLMacroSQLError& e) {
    EXPECT_EQ(e.GetErrorText(), "broken here");
    EXPECT_EQ(e.GetLine(), 1);
    EXPECT_EQ(e.GetColumn(), 10);
  }
  ASSERT_EQ(params.Count(), 2);
  EXPECT_EQ(params[1]->GetName(), "b");
}

TEST(SQLProcessor, ParseErrorLeavesNoTree) {
  TQVLSQLProcessor processor(nullptr);
  try {
    processor.Parse("select 1\n#if (a) x #else y");
    FAIL();
  } catch (const EQVLMacroSQLError& e) {
    EXPECT_STREQ(e.what(), "#endif directive expected\r\nLine: 2, Column: 18");
  }
}

TEST(SQLProcessor, DefaultProcessorIsOneLongLivedInstance) {
  TQVLSQLProcessor& first = TQVLSQLProcessor::DefaultProcessor();
  TQVLSQLProcessor& second = TQVLSQLProcessor::DefaultProcessor();
  EXPECT_EQ(&first, &second);
  EXPECT_EQ(first.GetOwner(), nullptr);
  EXPECT_EQ(first.GetParamChar(), ':');
  EXPECT_EQ(first.GetMacroChar(), '%');
  EXPECT_TRUE(first.GetOracleLob());
  EXPECT_EQ(first.GetMacros().Count(), 0);
  auto tree = first.Parse("select :a");
  EXPECT_EQ(first.Build(*tree, nullptr, nullptr), "select ?");
}
