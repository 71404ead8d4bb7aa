// The Qt item model over a cached query: lazy rows, what each role shows,
// editing through the model, and changes made by code, all under
// QAbstractItemModelTester.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include "qvl/components/QVLQuery.h"
#include "qvl/qt/QVLDataSetModel.h"
#include "tests/QtTestSupport.h"

namespace qvl {
namespace {

class QtModelTest : public testing::Test {
 protected:
  QtModelTest() : FFile(45) {
    FDb.SetDriverName("SQLite");
    FDb.Params().Add("Database=" + FFile.Path());
    FQuery.SetSQLConnection(&FDb);
    FQuery.SQL().SetText("select id, name, city, balance, joined from customers order by id");
    FQuery.SetCachedUpdates(true);
    FQuery.SetPageSize(10);
    FQuery.Open();
    FModel.SetDataSet(&FQuery);
  }
  // The tester reads on as it checks: row counts are then what it left.
  void StartTester() {
    FTester = std::make_unique<QAbstractItemModelTester>(
        &FModel, QAbstractItemModelTester::FailureReportingMode::Warning);
  }
  ~QtModelTest() override {
    EXPECT_EQ(test::TWarningCollector::Messages(), std::vector<std::string>{});
    test::TWarningCollector::Messages().clear();
  }
  std::string Cell(int Row, int Column, int Role = Qt::DisplayRole) {
    return FModel.data(FModel.index(Row, Column), Role).toString().toStdString();
  }
  std::string RowHeader(int Row) {
    return FModel.headerData(Row, Qt::Vertical).toString().toStdString();
  }

  test::TCustomersFile FFile;
  TSQLConnection FDb{nullptr};
  TQVLQuery FQuery{nullptr};
  test::TWarningCollector FWarnings;
  TQVLDataSetModel FModel;
  std::unique_ptr<QAbstractItemModelTester> FTester;
};

TEST_F(QtModelTest, RowsComeByPageAndCellsShowTheFieldsText) {
  EXPECT_EQ(FModel.columnCount(), 5);
  EXPECT_EQ(FModel.headerData(1, Qt::Horizontal).toString(), "name");
  while (FModel.rowCount() < 20 && FModel.canFetchMore({})) FModel.fetchMore({});
  EXPECT_EQ(FModel.rowCount(), 20);
  EXPECT_TRUE(FModel.canFetchMore({}));

  // Any row read, in any order; the dataset's active record stays put.
  struct {
    int Row, Column;
    std::string Text;
    bool Null;
  } cells[] = {{19, 1, "Customer 20", false}, {0, 0, "1", false},    {6, 2, "", true},
               {5, 2, "City 1", false},       {3, 3, "4.25", false}, {0, 4, "2024-01-02", false}};
  for (const auto& c : cells) {
    SCOPED_TRACE(c.Row * 10 + c.Column);
    EXPECT_EQ(Cell(c.Row, c.Column), c.Text);
    EXPECT_EQ(FModel.data(FModel.index(c.Row, c.Column), TQVLDataSetModel::IsNullRole).toBool(),
              c.Null);
  }
  EXPECT_EQ(FQuery.FieldByName("id")->GetAsInteger(), 1);
  EXPECT_EQ(FModel.data(FModel.index(0, 0), Qt::EditRole).typeId(), QMetaType::LongLong);
  EXPECT_EQ(FModel.data(FModel.index(0, 4), Qt::EditRole).toDate(), QDate(2024, 1, 2));
  EXPECT_EQ(FModel.data(FModel.index(0, 0), Qt::TextAlignmentRole).value<Qt::Alignment>(),
            Qt::AlignRight | Qt::AlignVCenter);
  EXPECT_EQ(FModel.data(FModel.index(0, 1), Qt::TextAlignmentRole).value<Qt::Alignment>(),
            Qt::AlignLeft | Qt::AlignVCenter);
  // balance is a variant column holding reals: a number, right-aligned.
  EXPECT_EQ(FModel.data(FModel.index(3, 3), Qt::EditRole), QVariant(4.25));
  EXPECT_EQ(FModel.data(FModel.index(3, 3), Qt::TextAlignmentRole).value<Qt::Alignment>(),
            Qt::AlignRight | Qt::AlignVCenter);

  while (FModel.canFetchMore({})) FModel.fetchMore({});
  EXPECT_EQ(FModel.rowCount(), 45);
  EXPECT_EQ(Cell(44, 1), "Customer 45");

  // Scrolling by code changes no row; the active row is found by reading on.
  FModel.SetDataSet(nullptr);
  FModel.SetDataSet(&FQuery);
  FQuery.MoveBy(24);
  EXPECT_EQ(FModel.rowCount(), 0);
  EXPECT_EQ(FModel.ActiveRow(), 24);
  EXPECT_EQ(FModel.rowCount(), 30);
}

// A variant column's cells show what each holds: numbers as numbers
// (right-aligned, numeric in the edit role), text and bytes as such, and the
// empty text apart from null.
TEST_F(QtModelTest, VariantCellsShowEachValueByItsKind) {
  FDb.ExecuteDirect("create table loose (id integer primary key, v)");
  FDb.ExecuteDirect(
      "insert into loose values (1, -9223372036854775808), (2, 2.5), (3, 'text'), (4, x'4142'), "
      "(5, null), (6, ''), (7, 'a text longer than a cell holds')");
  FQuery.Close();
  FQuery.SQL().SetText("select v from loose order by id");
  FQuery.Open();
  TQVLDataSetModel& model = FModel;
  while (model.canFetchMore({})) model.fetchMore({});
  ASSERT_EQ(model.rowCount(), 7);
  const struct {
    QVariant Edit;
    const char* Text;
    bool Right;
  } expected[] = {
      {QVariant::fromValue<qlonglong>(INT64_MIN), "-9223372036854775808", true},
      {QVariant(2.5), "2.5", true},
      {QVariant(QStringLiteral("text")), "text", false},
      {QVariant(QByteArray("AB")), "AB", false},
      {QVariant(), "", false},
      {QVariant(QString("")), "", false},
      {QVariant(QStringLiteral("a text longer than a cell holds")),
       "a text longer than a cell holds", false},
  };
  for (int row = 0; row < 7; ++row) {
    SCOPED_TRACE(row);
    const QModelIndex index = model.index(row, 0);
    const auto& e = expected[row];
    EXPECT_EQ(model.data(index, Qt::EditRole), e.Edit);
    EXPECT_EQ(model.data(index, Qt::EditRole).typeId(), e.Edit.typeId());
    EXPECT_EQ(model.data(index).toString().toStdString(), e.Text);
    EXPECT_EQ(model.data(index, TQVLDataSetModel::IsNullRole).toBool(), row == 4);
    EXPECT_EQ(model.data(index, Qt::TextAlignmentRole).value<Qt::Alignment>(),
              (e.Right ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter);
  }
}

TEST_F(QtModelTest, EditsThroughTheModelPostOrReportTheFieldsError) {
  StartTester();
  while (FModel.canFetchMore({})) FModel.fetchMore({});
  const int rows = FModel.rowCount();
  ASSERT_EQ(rows, 45);
  QSignalSpy errors(&FModel, &TQVLDataSetModel::errorOccurred);
  EXPECT_TRUE(FModel.setData(FModel.index(2, 1), "Edited"));
  EXPECT_EQ(Cell(2, 1), "Edited");
  EXPECT_EQ(RowHeader(2), "3 *");
  EXPECT_EQ(FModel.data(FModel.index(2, 1), TQVLDataSetModel::UpdateStatusRole).toInt(),
            usModified);
  EXPECT_EQ(FQuery.GetState(), dsBrowse);

  // A refused value: the record keeps its values and the field's message shows.
  EXPECT_FALSE(FModel.setData(FModel.index(4, 0), "abc"));
  EXPECT_EQ(FModel.LastError(), "'abc' is not a valid integer value");
  ASSERT_EQ(errors.count(), 1);
  EXPECT_EQ(Cell(4, 0), "5");
  EXPECT_EQ(RowHeader(4), "5");
  EXPECT_EQ(FQuery.GetState(), dsBrowse);

  // Typed values and null.
  EXPECT_TRUE(FModel.setData(FModel.index(4, 4), QDate(2025, 3, 9)));
  EXPECT_TRUE(FModel.setData(FModel.index(4, 2), QVariant()));
  EXPECT_EQ(Cell(4, 4), "2025-03-09");
  EXPECT_TRUE(FModel.data(FModel.index(4, 2), TQVLDataSetModel::IsNullRole).toBool());

  // Insert: a pending row until submit posts it.
  ASSERT_TRUE(FModel.insertRows(1, 1));
  EXPECT_EQ(FQuery.GetState(), dsInsert);
  EXPECT_EQ(FModel.rowCount(), rows + 1);
  EXPECT_TRUE(FModel.setData(FModel.index(1, 0), 100));
  EXPECT_TRUE(FModel.setData(FModel.index(1, 1), "New"));
  EXPECT_EQ(Cell(1, 1), "New");
  ASSERT_TRUE(FModel.submit());
  EXPECT_EQ(FQuery.GetState(), dsBrowse);
  EXPECT_EQ(RowHeader(1), "2 +");
  EXPECT_EQ(Cell(2, 1), "Customer 2");
  EXPECT_EQ(Cell(3, 1), "Edited");

  // A second insert, reverted.
  ASSERT_TRUE(FModel.insertRows(0, 1));
  FModel.revert();
  EXPECT_EQ(FModel.rowCount(), rows + 1);
  EXPECT_EQ(Cell(0, 1), "Customer 1");

  ASSERT_TRUE(FModel.removeRows(0, 2));
  EXPECT_EQ(FModel.rowCount(), rows - 1);
  EXPECT_EQ(Cell(0, 1), "Customer 2");

  // Cancelling the cached updates brings every row back.
  FQuery.CancelUpdates();
  EXPECT_EQ(Cell(0, 1), "Customer 1");
  EXPECT_EQ(Cell(2, 1), "Customer 3");
  EXPECT_EQ(RowHeader(2), "3");
  EXPECT_EQ(FModel.rowCount(), rows);
}

TEST_F(QtModelTest, ARowInsertedFirstIsPostedBySubmit) {
  StartTester();
  ASSERT_TRUE(FModel.insertRows(0, 1));
  EXPECT_TRUE(FModel.setData(FModel.index(0, 0), 100));
  EXPECT_TRUE(FModel.setData(FModel.index(0, 1), "First"));
  ASSERT_TRUE(FModel.submit());
  EXPECT_EQ(FQuery.GetState(), dsBrowse);
  EXPECT_EQ(FQuery.UpdateStatus(), usInserted);
  EXPECT_EQ(FQuery.FieldByName("name")->GetAsString(), "First");
  EXPECT_EQ(Cell(0, 1), "First");
  EXPECT_EQ(RowHeader(0), "1 +");
  EXPECT_EQ(Cell(1, 1), "Customer 1");
  FQuery.First();  // the dataset holds it first too
  EXPECT_EQ(FQuery.FieldByName("name")->GetAsString(), "First");
}

TEST_F(QtModelTest, ChangesMadeByCodeReachTheModel) {
  StartTester();
  while (FModel.canFetchMore({})) FModel.fetchMore({});
  const int rows = FModel.rowCount();
  QSignalSpy changed(&FModel, &QAbstractItemModel::dataChanged);
  QSignalSpy reset(&FModel, &QAbstractItemModel::modelReset);

  FQuery.MoveBy(3);
  FQuery.Edit();
  FQuery.FieldByName("name")->SetAsString("By code");
  EXPECT_EQ(Cell(3, 1), "By code");  // the open edit shows
  ASSERT_GE(changed.count(), 1);
  EXPECT_EQ(changed.last().at(0).toModelIndex().row(), 3);
  FQuery.Post();
  EXPECT_EQ(RowHeader(3), "4 *");
  EXPECT_EQ(reset.count(), 0);

  FQuery.First();
  FQuery.Delete();
  EXPECT_EQ(reset.count(), 1);
  EXPECT_EQ(Cell(0, 1), "Customer 2");
  EXPECT_EQ(FModel.rowCount(), rows - 1);

  FQuery.InsertRecord({Variant(200), Variant("Inserted by code")});
  EXPECT_EQ(Cell(0, 1), "Inserted by code");
  EXPECT_EQ(RowHeader(0), "1 +");

  FQuery.Refresh();
  EXPECT_EQ(Cell(0, 1), "Customer 1");
  EXPECT_EQ(FModel.rowCount(), rows);

  FQuery.Close();
  EXPECT_EQ(FModel.rowCount(), 0);
  EXPECT_EQ(FModel.columnCount(), 0);
  FQuery.Open();
  EXPECT_EQ(FModel.columnCount(), 5);
  EXPECT_TRUE(FModel.canFetchMore({}));
}

// A table of declared types, read whole into a model by a query.
struct TTypedCells {
  TTypedCells(const char* Create, const char* Insert) {
    Db.SetDriverName("SQLite");
    Db.Params().Add("Database=" + File.Path());
    Db.Params().Add("ColumnTypes=Declared");
    Db.Open();
    Db.ExecuteDirect(std::string("create table typed ") + Create);
    Db.ExecuteDirect(std::string("insert into typed values ") + Insert);
    Query.SetSQLConnection(&Db);
    Query.SQL().SetText("select * from typed");
    Query.Open();
    Model.SetDataSet(&Query);
    while (Model.canFetchMore({})) Model.fetchMore({});
  }
  ~TTypedCells() { Model.SetDataSet(nullptr); }

  test::TCustomersFile File{1};
  TSQLConnection Db{nullptr};
  TQVLQuery Query{nullptr};
  TQVLDataSetModel Model;
};

// Typed fields are formatted from the record's bytes: each cell shows what its
// field's GetAsString gives, and null shows empty (SQLite keeps -0.0 as 0).
// A text read earlier keeps its value while later rows are read.
TEST(QtModelTypedCells, ShowWhatTheFieldsGive) {
  TTypedCells cells("(s smallint, i int, b bigint, f real, d date, t varchar(8))",
                    "(-32768, -2147483648, -9223372036854775808, -0.0, '0001-01-01', ''), "
                    "(32767, 2147483647, 9223372036854775807, 0.1, '9999-12-31', 'x'), "
                    "(null, null, null, null, null, null), (-1, 7, 1, 1e300, '2024-02-29', 'añ€')");
  TQVLQuery& query = cells.Query;
  TQVLDataSetModel& model = cells.Model;
  ASSERT_EQ(model.rowCount(), 4);
  const std::vector<std::string> expected[] = {
      {"-32768", "-2147483648", "-9223372036854775808", "0", "0001-01-01", ""},
      {"32767", "2147483647", "9223372036854775807", "0.1", "9999-12-31", "x"},
      {"", "", "", "", "", ""},
      {"-1", "7", "1", "1e+300", "2024-02-29", "añ€"}};
  std::vector<QVariant> held;
  query.First();
  for (int r = 0; r < 4; ++r, query.Next())
    for (int c = 0; c < 6; ++c) {
      SCOPED_TRACE(r * 10 + c);
      const QModelIndex index = model.index(r, c);
      held.push_back(model.data(index));
      EXPECT_EQ(held.back().toString().toStdString(), expected[r][static_cast<std::size_t>(c)]);
      EXPECT_EQ(model.data(index).toString().toStdString(), query.Fields()[c]->GetAsString());
      EXPECT_EQ(model.data(index, TQVLDataSetModel::IsNullRole).toBool(),
                query.Fields()[c]->IsNull());
    }
  for (std::size_t i = 0; i < held.size(); ++i)
    EXPECT_EQ(held[i].toString().toStdString(), expected[i / 6][i % 6]) << i;
}

// Booleans, times, date-times and decimals too show their field's text.
TEST(QtModelTypedCells, BooleansTimesAndDecimalsShowWhatTheFieldsGive) {
  TTypedCells cells("(b boolean, t time, dt datetime, n numeric(12,4))",
                    "(1, '00:00:00', '2024-02-29 23:59:59.5', -12345678.0001), "
                    "(0, '23:59:59.999999', '0001-01-01 00:00:00', 0.1)");
  TQVLQuery& query = cells.Query;
  ASSERT_EQ(cells.Model.rowCount(), 2);
  const std::vector<std::string> expected[] = {
      {"True", "00:00:00", "2024-02-29 23:59:59.500000", "-12345678.0001"},
      {"False", "23:59:59.999999", "0001-01-01 00:00:00", "0.1"}};
  query.First();
  for (int r = 0; r < 2; ++r, query.Next())
    for (int c = 0; c < 4; ++c) {
      SCOPED_TRACE(r * 10 + c);
      const std::string shown = cells.Model.data(cells.Model.index(r, c)).toString().toStdString();
      EXPECT_EQ(shown, query.Fields()[c]->GetAsString());
      EXPECT_EQ(shown, expected[r][static_cast<std::size_t>(c)]);
    }
}

}  // namespace
}  // namespace qvl
