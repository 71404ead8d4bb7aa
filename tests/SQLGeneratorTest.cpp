// The update-SQL generator's text, through TQVLSQLProcessor::GenerateDateSetSQL,
// over a one-record dataset whose fields, old and current values and
// provider answers each case sets. Object fields (ADT, array) and Oracle LOB
// columns exist on neither test server, so their texts are checked here;
// SQLGeneratorDatabaseTest runs generated statements on real tables.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qvl/host/dataset/DataSet.h"
#include "qvl/host/dataset/Field.h"
#include "qvl/sql/QVLSQLProcessor.h"

using namespace qvl;

namespace {

class TOneRecordDataSet : public TDataSet {
 public:
  TOneRecordDataSet() : TDataSet(nullptr) {}
  ~TOneRecordDataSet() override { DestroyingDataSet(); }

  bool SQLBased = true;
  std::string Quote = "\"";
  std::string Table = "CUSTOMER";
  bool Inserted = false;

  // A field at the top level, or a child of Parent.
  TField* Add(const std::string& Name, TFieldType Type, TProviderFlags Flags,
              TField* Parent = nullptr) {
    std::unique_ptr<TField> field = CreateFieldForType(Type, 20);
    field->SetFieldName(Name);
    field->SetProviderFlags(Flags);
    if (Parent != nullptr) return static_cast<TObjectField*>(Parent)->AddChild(std::move(field));
    return Fields().Add(std::move(field));
  }
  TField* AddObject(const std::string& Name, TFieldType Type, const std::string& ObjectType) {
    TField* field = Add(Name, Type, pfInUpdate | pfInWhere);
    static_cast<TObjectField*>(field)->SetObjectType(ObjectType);
    return field;
  }
  // Old and current value; a current value equal to the old one is unchanged.
  void Set(const TField* Field, const Variant& Old, const Variant& Current) {
    FOld[Field] = Old;
    FCurrent[Field] = Current;
  }
  void Set(const std::string& Name, const Variant& Old, const Variant& Current) {
    Set(Find(Name), Old, Current);
  }
  TField* Find(const std::string& FullName) const {
    std::function<TField*(TField*)> search = [&](TField* f) -> TField* {
      if (f->GetFullName() == FullName) return f;
      if (auto* object = dynamic_cast<TObjectField*>(f))
        for (int i = 0; i < object->FieldCount(); ++i)
          if (TField* hit = search(object->Fields(i))) return hit;
      return nullptr;
    };
    for (int i = 0; i < Fields().Count(); ++i)
      if (TField* hit = search(Fields()[i])) return hit;
    throw std::runtime_error("no field " + FullName);
  }

  bool GetFieldData(TField* Field, void* Buffer) override {
    const auto& values = GetState() == dsOldValue ? FOld : FCurrent;
    auto it = values.find(Field);
    if (it == values.end() || it->second.IsNull() || it->second.IsEmpty()) return false;
    if (Buffer == nullptr) return true;
    if (Field->IsBlob()) {
      *static_cast<TBlobByteData*>(Buffer) = TBlobByteData(it->second.AsString());
    } else if (Field->GetDataType() == ftInteger || Field->GetDataType() == ftAutoInc) {
      const std::int32_t v = it->second.AsInteger();
      std::memcpy(Buffer, &v, 4);
    } else {
      const std::string s = it->second.AsString();
      std::memcpy(Buffer, s.c_str(), s.size() + 1);
    }
    return true;
  }
  TUpdateStatus UpdateStatus() override { return Inserted ? usInserted : usModified; }
  bool PSIsSQLBased() override { return SQLBased; }
  std::string PSGetQuoteChar() override { return Quote; }
  std::string PSGetTableName() override { return Table; }

  TRecordBuffer AllocRecordBuffer() override { return nullptr; }
  void FreeRecordBuffer(TRecordBuffer&) override {}
  TGetResult GetRecord(TRecordBuffer, TGetMode, bool) override { return grEOF; }
  void InternalOpen() override {}
  void InternalClose() override {}
  bool IsCursorOpen() override { return false; }
  void InternalFirst() override {}
  void InternalLast() override {}

 private:
  std::map<const TField*, Variant> FOld, FCurrent;
};

std::string Lines(std::initializer_list<std::string> Parts) {
  std::string out;
  bool first = true;
  for (const std::string& p : Parts) {
    out += (first ? "" : "\r\n") + p;
    first = false;
  }
  return out;
}

// CUSTOMER: ID (key), NAME, PHOTO (Oracle BLOB).
void Customer(TOneRecordDataSet& D) {
  D.Add("ID", ftInteger, pfInUpdate | pfInWhere | pfInKey);
  D.Add("NAME", ftString, pfInUpdate | pfInWhere);
  D.Add("PHOTO", ftOraBlob, pfInUpdate | pfInWhere);
}
void NewCustomer(TOneRecordDataSet& D) {
  Customer(D);
  D.Inserted = true;
  D.Set("ID", Variant::Null(), 7);
  D.Set("NAME", Variant::Null(), "Ann");
  D.Set("PHOTO", Variant::Null(), "jpeg");
}
// NAME and PHOTO changed.
void ChangedCustomer(TOneRecordDataSet& D) {
  Customer(D);
  D.Set("ID", 7, 7);
  D.Set("NAME", "Ann", "Bob");
  D.Set("PHOTO", "jpeg", "png");
}
void PhotoChanged(TOneRecordDataSet& D) {
  Customer(D);
  D.Set("ID", 7, 7);
  D.Set("NAME", "Ann", "Ann");
  D.Set("PHOTO", "jpeg", "png");
}
// PERSON: ID, ADDR of ADDR_T (STREET, CITY).
void Person(TOneRecordDataSet& D, bool Inserted) {
  D.Table = "PERSON";
  D.Inserted = Inserted;
  D.Add("ID", ftInteger, pfInUpdate | pfInWhere | pfInKey);
  TField* addr = D.AddObject("ADDR", ftADT, "ADDR_T");
  D.Add("STREET", ftString, pfInUpdate | pfInWhere, addr);
  D.Add("CITY", ftString, pfInUpdate | pfInWhere, addr);
  if (Inserted) {
    D.Set("ID", Variant::Null(), 1);
    D.Set("ADDR.STREET", Variant::Null(), "Main St");
    D.Set("ADDR.CITY", Variant::Null(), "Oslo");
  } else {
    D.Set("ID", 1, 1);
    D.Set("ADDR.STREET", "Main St", "High St");
    D.Set("ADDR.CITY", "Oslo", "Oslo");
  }
}

struct TGenCase {
  const char* Name;
  std::function<void(TOneRecordDataSet&)> Setup;
  TUpdateKind Kind;
  TUpdateMode Mode;
  std::string Expected;  // the statement, or "error: " and the message
  char ParamChar = ':';
  bool OracleLob = true;
};

std::string Generate(const TGenCase& C) {
  TOneRecordDataSet d;
  C.Setup(d);
  TQVLSQLProcessor processor(nullptr);
  processor.SetParamChar(C.ParamChar);
  processor.SetOracleLob(C.OracleLob);
  try {
    return processor.GenerateDateSetSQL(d, C.Kind, C.Mode);
  } catch (const EDatabaseError& e) {
    return "error: " + e.Message();
  }
}

const std::string WhereIdName =
    Lines({"", "where", "  \"ID\" = :\"OLD_ID\" and", "  \"NAME\" = :\"OLD_NAME\""});
const std::string WhereId = Lines({"", "where", "  \"ID\" = :\"OLD_ID\""});
const std::string PhotoReturning = Lines({"", "returning", "  \"PHOTO\"", "into", "  :\"PHOTO\""});
const std::string NoKey = "error: Unable to find record. No key specified";

const TGenCase WorkedExamples[] = {
    {"Insert", NewCustomer, ukInsert, upWhereAll,
     Lines({"insert into \"CUSTOMER\"", "  (\"ID\", \"NAME\", \"PHOTO\")", "values",
            "  (:\"ID\", :\"NAME\", empty_blob())", "returning", "  \"PHOTO\"", "into",
            "  :\"PHOTO\""})},
    {"InsertIgnoresTheMode", NewCustomer, ukInsert, upWhereKeyOnly,
     Lines({"insert into \"CUSTOMER\"", "  (\"ID\", \"NAME\", \"PHOTO\")", "values",
            "  (:\"ID\", :\"NAME\", empty_blob())"}) +
         PhotoReturning},
    {"UpdateWhereAll", ChangedCustomer, ukModify, upWhereAll,
     Lines({"update \"CUSTOMER\"", "set", "\"NAME\" = :\"NAME\", \"PHOTO\" = empty_blob()"}) +
         WhereIdName + PhotoReturning},
    {"UpdateWhereChanged", ChangedCustomer, ukModify, upWhereChanged,
     Lines({"update \"CUSTOMER\"", "set", "\"NAME\" = :\"NAME\", \"PHOTO\" = empty_blob()"}) +
         WhereIdName + PhotoReturning},
    {"UpdateWhereKeyOnly", ChangedCustomer, ukModify, upWhereKeyOnly,
     Lines({"update \"CUSTOMER\"", "set", "\"NAME\" = :\"NAME\", \"PHOTO\" = empty_blob()"}) +
         WhereId + PhotoReturning},
    {"PhotoOnlyWhereAll", PhotoChanged, ukModify, upWhereAll,
     Lines({"update \"CUSTOMER\"", "set", "\"PHOTO\" = empty_blob()"}) + WhereIdName +
         PhotoReturning},
    {"PhotoOnlyWhereChanged", PhotoChanged, ukModify, upWhereChanged,
     Lines({"update \"CUSTOMER\"", "set", "\"PHOTO\" = empty_blob()"}) + WhereId + PhotoReturning},
    {"PhotoOnlyWhereKeyOnly", PhotoChanged, ukModify, upWhereKeyOnly,
     Lines({"update \"CUSTOMER\"", "set", "\"PHOTO\" = empty_blob()"}) + WhereId + PhotoReturning},
    {"NullOldName",
     [](TOneRecordDataSet& d) {
       ChangedCustomer(d);
       d.Set("NAME", Variant::Null(), "Bob");
     },
     ukModify, upWhereAll,
     Lines({"update \"CUSTOMER\"", "set", "\"NAME\" = :\"NAME\", \"PHOTO\" = empty_blob()", "where",
            "  \"ID\" = :\"OLD_ID\" and", "  \"NAME\" is null"}) +
         PhotoReturning},
    {"DeleteWhereAll", ChangedCustomer, ukDelete, upWhereAll,
     "delete from \"CUSTOMER\"" + WhereIdName},
    {"InsertWithoutOracleLob", NewCustomer, ukInsert, upWhereAll,
     Lines({"insert into \"CUSTOMER\"", "  (\"ID\", \"NAME\", \"PHOTO\")", "values",
            "  (:\"ID\", :\"NAME\", :\"PHOTO\")"}),
     ':', false},
    {"UpdateWithoutOracleLob", ChangedCustomer, ukModify, upWhereAll,
     Lines({"update \"CUSTOMER\"", "set", "\"NAME\" = :\"NAME\", \"PHOTO\" = :\"PHOTO\""}) +
         WhereIdName,
     ':', false},
    {"NotSQLBased",
     [](TOneRecordDataSet& d) {
       ChangedCustomer(d);
       d.SQLBased = false;
       d.Table = "customer.db";
       d.Set("NAME", "", "Bob");
     },
     ukModify, upWhereAll,
     Lines({"update \"customer.db\"", "set",
            "\"customer.db\".\"NAME\" = :\"NAME\", \"customer.db\".\"PHOTO\" = :\"PHOTO\"", "where",
            "  \"customer.db\".\"ID\" = :\"OLD_ID\" and", "  \"customer.db\".\"NAME\" is null"}),
     ':', false},
    {"AdtInsert", [](TOneRecordDataSet& d) { Person(d, true); }, ukInsert, upWhereAll,
     Lines({"insert into \"PERSON\"", "  (\"ID\", \"ADDR\")", "values",
            "  (:\"ID\", ADDR_T(:\"STREET\", :\"CITY\"))"})},
    // The alias is " T", so an assignment through it begins with a space.
    {"AdtUpdate", [](TOneRecordDataSet& d) { Person(d, false); }, ukModify, upWhereKeyOnly,
     Lines({"update \"PERSON\" T", "set", " T.\"ADDR\".\"STREET\" = :\"STREET\"", "where",
            "  \"ID\" = :\"OLD_ID\""})},
};

class SQLGeneratorWorkedExample : public ::testing::TestWithParam<TGenCase> {};
TEST_P(SQLGeneratorWorkedExample, Text) {
  EXPECT_EQ(Generate(GetParam()), GetParam().Expected);
}
INSTANTIATE_TEST_SUITE_P(, SQLGeneratorWorkedExample, ::testing::ValuesIn(WorkedExamples),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// Two integer columns A (key) and B with the given old and current values.
std::function<void(TOneRecordDataSet&)> TwoColumns(Variant OldA, Variant A, Variant OldB,
                                                   Variant B) {
  return [=](TOneRecordDataSet& d) {
    d.Table = "T";
    d.Add("A", ftInteger, pfInUpdate | pfInWhere | pfInKey);
    d.Add("B", ftString, pfInUpdate | pfInWhere);
    d.Set("A", OldA, A);
    d.Set("B", OldB, B);
  };
}

const TGenCase EdgeCases[] = {
    {"EmptyQuoteLeavesNamesUnquoted",
     [](TOneRecordDataSet& d) {
       TwoColumns(1, 1, "x", "y")(d);
       d.Quote = "";
       d.Table = "s.t";
     },
     ukModify, upWhereKeyOnly,
     Lines({"update s.t", "set", "B = :\"B\"", "where", "  A = :\"OLD_A\""})},
    {"QuotedTableUnchanged",
     [](TOneRecordDataSet& d) {
       TwoColumns(1, 1, "x", "x")(d);
       d.Table = "`odd.name`";
     },
     ukDelete, upWhereKeyOnly, Lines({"delete from `odd.name`", "where", "  \"A\" = :\"OLD_A\""})},
    {"ThreeDotsGiveThreePieces",
     [](TOneRecordDataSet& d) {
       TwoColumns(1, 1, "x", "x")(d);
       d.Table = "a.b.c.d";
     },
     ukDelete, upWhereKeyOnly,
     Lines({"delete from \"a\".\"b\".\"c.d\"", "where", "  \"A\" = :\"OLD_A\""})},
    {"UnassignedNewValueLeftOutOfSet", TwoColumns(1, 1, "x", "x"), ukModify, upWhereChanged,
     Lines({"update \"T\"", "set", "", "where", "  \"A\" = :\"OLD_A\""})},
    {"ChangedColumnInWhereChanged", TwoColumns(1, 1, "x", "y"), ukModify, upWhereChanged,
     Lines({"update \"T\"", "set", "\"B\" = :\"B\"", "where", "  \"A\" = :\"OLD_A\" and",
            "  \"B\" = :\"OLD_B\""})},
    {"UnassignedLeftOutOfInsert",
     [](TOneRecordDataSet& d) {
       TwoColumns(Variant::Null(), 3, Variant::Null(), Variant::Null())(d);
       d.Inserted = true;
     },
     ukInsert, upWhereAll, Lines({"insert into \"T\"", "  (\"A\")", "values", "  (:\"A\")"})},
    {"NullOldKeyIsNullComparison", TwoColumns(Variant::Null(), 2, "x", "x"), ukDelete,
     upWhereKeyOnly, Lines({"delete from \"T\"", "where", "  \"A\" is null"})},
    {"EmptyOldStringComparedWhenSQLBased", TwoColumns(1, 1, "", "y"), ukDelete, upWhereAll,
     Lines({"delete from \"T\"", "where", "  \"A\" = :\"OLD_A\" and", "  \"B\" = :\"OLD_B\""})},
    {"QuestionMarkMarker", TwoColumns(1, 1, "x", "y"), ukModify, upWhereKeyOnly,
     Lines({"update \"T\"", "set", "\"B\" = ?\"B\"", "where", "  \"A\" = ?\"OLD_A\""}), '?'},
    {"EmptyTableName",
     [](TOneRecordDataSet& d) {
       TwoColumns(Variant::Null(), 1, Variant::Null(), "y")(d);
       d.Table = "";
       d.Inserted = true;
     },
     ukInsert, upWhereAll,
     Lines({"insert into ", "  (\"A\", \"B\")", "values", "  (:\"A\", :\"B\")"})},
    {"NoKeyForUpdate",
     [](TOneRecordDataSet& d) {
       d.Add("A", ftInteger, pfInUpdate);
       d.Set("A", 1, 2);
     },
     ukModify, upWhereAll, NoKey},
    {"DeleteWhereChangedUsesTheKey", TwoColumns(1, 1, "x", "x"), ukDelete, upWhereChanged,
     "delete from \"T\"\r\nwhere\r\n  \"A\" = :\"OLD_A\""},
    {"BlobAndMemoInWhereLikeAnyField",
     [](TOneRecordDataSet& d) {
       d.Add("P", ftBlob, pfInUpdate | pfInWhere | pfInKey);
       d.Add("M", ftMemo, pfInUpdate | pfInWhere);
       d.Set("P", "a", "b");
       d.Set("M", "", "c");
     },
     ukDelete, upWhereAll,
     "delete from \"CUSTOMER\"\r\nwhere\r\n  \"P\" = :\"OLD_P\" and\r\n  \"M\" = :\"OLD_M\""},
    {"OracleLobNeverInWhere",
     [](TOneRecordDataSet& d) {
       d.Add("P", ftOraBlob, pfInUpdate | pfInWhere | pfInKey);
       d.Add("C", ftOraClob, pfInUpdate | pfInWhere);
       d.Set("P", "a", "b");
       d.Set("C", "a", "b");
     },
     ukDelete, upWhereAll, NoKey},
    {"ClobInInsertUpdateReturning",
     [](TOneRecordDataSet& d) {
       d.Table = "T";
       d.Add("A", ftInteger, pfInUpdate | pfInWhere | pfInKey);
       d.Add("C1", ftOraClob, pfInUpdate);
       d.Add("M", ftMemo, pfInUpdate);
       d.Add("C2", ftOraClob, pfInUpdate);
       d.Set("A", 1, 1);
       d.Set("C1", "a", "b");
       d.Set("M", "a", "b");
       d.Set("C2", "a", "b");
     },
     ukModify, upWhereKeyOnly,
     Lines({"update \"T\"", "set", "\"C1\" = empty_clob(), \"M\" = :\"M\", \"C2\" = empty_clob()",
            "where", "  \"A\" = :\"OLD_A\"", "returning", "  \"C1\", \"C2\"", "into",
            "  :\"C1\", :\"C2\""})},
    {"SkippedFieldKinds",
     [](TOneRecordDataSet& d) {
       d.Table = "T";
       d.Add("A", ftInteger, pfInUpdate | pfInWhere | pfInKey);
       d.Add("H", ftString, pfInUpdate | pfHidden);
       d.Add("R", ftString, pfInUpdate)->SetReadOnly(true);
       d.Add("C", ftString, pfInUpdate | pfInWhere)->SetFieldKind(fkCalculated);
       d.Add("N", ftAutoInc, pfInUpdate | pfInWhere);
       for (const char* n : {"H", "R", "C"}) d.Set(n, "a", "b");
       d.Set("A", 1, 2);
       d.Set("N", 5, 6);
     },
     ukModify, upWhereAll,
     Lines({"update \"T\"", "set", "\"A\" = :\"A\"", "where", "  \"A\" = :\"OLD_A\" and",
            "  \"N\" = :\"OLD_N\""})},
    {"AdtFirstInInsert",
     [](TOneRecordDataSet& d) {
       d.Table = "P";
       d.Inserted = true;
       TField* addr = d.AddObject("ADDR", ftADT, "ADDR_T");
       d.Add("CITY", ftString, pfInUpdate, addr);
       d.Add("ZIP", ftString, pfInUpdate, addr);
       d.Add("ID", ftInteger, pfInUpdate | pfInKey);
       d.Set("ADDR.CITY", Variant::Null(), "Oslo");
       d.Set("ID", Variant::Null(), 1);
     },
     ukInsert, upWhereAll,
     Lines({"insert into \"P\"", "  (\"ADDR\", \"ID\")", "values",
            "  (ADDR_T(:\"CITY\", null), :\"ID\")"})},
    {"AdtFirstInUpdateArrayAlways",
     [](TOneRecordDataSet& d) {
       d.Table = "P";
       TField* addr = d.AddObject("ADDR", ftADT, "ADDR_T");
       d.Add("CITY", ftString, pfInUpdate | pfInWhere, addr);
       TField* tags = d.AddObject("TAGS", ftArray, "TAGS_T");
       d.Add("TAG1", ftString, pfInUpdate, tags);
       d.Add("ID", ftInteger, pfInUpdate | pfInKey);
       d.Set("ADDR.CITY", "Oslo", "Bergen");
       d.Set("TAGS.TAG1", "a", "a");
       d.Set("ID", 1, 2);
     },
     ukModify, upWhereAll,
     Lines({"update \"P\" T", "set",
            " T.\"ADDR\".\"CITY\" = :\"CITY\", TAGS = TAGS_T(:\"TAG1\"), \"ID\" = :\"ID\"", "where",
            "   T.\"ADDR\".\"CITY\" = :\"OLD_CITY\""})},
    // A quote character inside a name is doubled, so it cannot end the
    // quoted name early; the parameter keeps the field's own name.
    {"EmbeddedQuoteDoubled",
     [](TOneRecordDataSet& d) {
       d.Table = "s\"x.t\"y";
       d.Add("a\"b", ftInteger, pfInUpdate | pfInWhere | pfInKey);
       d.Set("a\"b", 1, 2);
     },
     ukModify, upWhereAll,
     Lines({"update \"s\"\"x\".\"t\"\"y\"", "set", "\"a\"\"b\" = :'a\"b'", "where",
            "  \"a\"\"b\" = :'OLD_a\"b'"})},
    {"QuotedOriginKept",
     [](TOneRecordDataSet& d) {
       d.Table = "t";
       d.Add("A", ftInteger, pfInUpdate | pfInWhere | pfInKey)->SetOrigin("\"x\"\"y\"");
       d.Add("B", ftInteger, pfInUpdate | pfInWhere)->SetOrigin("b");
       d.Set("A", 1, 2);
       d.Set("B", 1, 1);
     },
     ukModify, upWhereAll,
     Lines({"update \"t\"", "set", "\"x\"\"y\" = :\"A\"", "where", "  \"x\"\"y\" = :\"OLD_A\" and",
            "  \"b\" = :\"OLD_B\""})},
};

class SQLGeneratorEdgeCase : public ::testing::TestWithParam<TGenCase> {};
TEST_P(SQLGeneratorEdgeCase, Text) {
  EXPECT_EQ(Generate(GetParam()), GetParam().Expected);
}
INSTANTIATE_TEST_SUITE_P(, SQLGeneratorEdgeCase, ::testing::ValuesIn(EdgeCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

TEST(SQLGenerator, QuoteTableName) {
  struct {
    bool SQLBased;
    const char* Quote;
    const char* Name;
    const char* Expected;
  } cases[] = {
      {true, "\"", "", ""},
      {true, "\"", "a", "\"a\""},
      {true, "\"", "a.b", "\"a\".\"b\""},
      {true, "\"", "a.b.c", "\"a\".\"b\".\"c\""},
      {true, "\"", "a.b.c.d", "\"a\".\"b\".\"c.d\""},
      {false, "\"", "a.b.c", "\"a.b.c\""},
      {true, "\"", "\"My Table\"", "\"My Table\""},
      {true, "\"", "public.\"a.b\"", "public.\"a.b\""},
      {true, "\"", "'x", "'x"},
      {true, "`", "a`b.c", "`a``b`.`c`"},
      {false, "\"", "a\"b", "\"a\"\"b\""},
      {true, "", "a.b", "a.b"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(QuoteTableName(c.SQLBased, c.Quote, c.Name), c.Expected) << c.Name;
}

TEST(SQLGenerator, NameHoldingEveryQuoteCannotBeAParameter) {
  TGenCase c{"",
             [](TOneRecordDataSet& d) {
               d.Add("a\"b'c`", ftInteger, pfInUpdate | pfInWhere | pfInKey);
               d.Set("a\"b'c`", 1, 2);
             },
             ukModify, upWhereAll, ""};
  EXPECT_EQ(Generate(c),
            "error: Field name 'a\"b'c`' holds every quote character and cannot be named by a "
            "parameter");
}

}  // namespace
