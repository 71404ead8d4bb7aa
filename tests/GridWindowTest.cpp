// The grid example's window on the offscreen platform: what it shows, lazy
// rows while scrolling, search, and an edit typed into a cell's editor.
#include <gtest/gtest.h>

#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>

#include "GridWindow.h"
#include "qvl/components/QVLQuery.h"
#include "qvl/qt/QVLDataSetModel.h"
#include "tests/QtTestSupport.h"

namespace qvl {
namespace {

// The model row under the middle of a view row's cell in a column.
int RowAt(QTableView& View, int ViewRow, int Column) {
  const QPoint at(View.columnViewportPosition(Column) + 4,
                  View.rowViewportPosition(ViewRow) + View.rowHeight(ViewRow) / 2);
  const QModelIndex index = View.indexAt(at);
  return index.isValid() && index.column() == Column ? index.row() : -1;
}

TEST(GridWindowTest, ShowsScrollsFindsAndEditsThroughTheView) {
  test::TCustomersFile file(300);
  TGridWindow window(QString::fromStdString(file.Path()));
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  QTableView& view = *window.View();
  TQVLDataSetModel& model = window.Model();
  QApplication::processEvents();

  // The first rows fill the view, and only about a page of them was read.
  const QImage image = window.grab().toImage();
  ASSERT_FALSE(image.isNull());
  EXPECT_TRUE(image.save(QStringLiteral(QVL_BUILD_DIR "/grid-window.png")));
  const int visible = view.viewport()->height() / view.rowHeight(0);
  ASSERT_GE(visible, 10);
  EXPECT_LT(model.rowCount(), 300);
  for (int r = 0; r < visible; ++r) {
    SCOPED_TRACE(r);
    const int row = RowAt(view, r, 1);
    ASSERT_EQ(row, r);
    EXPECT_EQ(model.data(model.index(row, 1)).toString(), QStringLiteral("Customer %1").arg(r + 1));
  }
  EXPECT_EQ(window.StatusLine()->text().toStdString(),
            std::to_string(model.rowCount()) + " rows read so far · no changes pending");

  // Scrolling to the bottom reads the rest.
  for (int i = 0; i < 100 && model.canFetchMore({}); ++i) {
    view.scrollToBottom();
    QApplication::processEvents();
  }
  view.scrollToBottom();
  QApplication::processEvents();
  EXPECT_EQ(model.rowCount(), 300);
  const int last =
      RowAt(view, view.verticalHeader()->visualIndexAt(view.viewport()->height() - 2), 1);
  EXPECT_EQ(last, 299);
  EXPECT_EQ(model.data(model.index(299, 1)).toString(), "Customer 300");

  // The search box finds a customer and shows its row.
  view.scrollToTop();
  QTest::keyClicks(window.SearchBox(), "customer 15");
  QTest::keyClick(window.SearchBox(), Qt::Key_Return);
  EXPECT_EQ(view.currentIndex().row(), 14);
  EXPECT_EQ(window.StatusLine()->text().left(19), "Found Customer 15 —");

  // An edit typed into the cell's editor.
  const QModelIndex cell = model.index(0, 1);
  view.scrollToTop();
  view.setCurrentIndex(cell);
  view.edit(cell);
  QApplication::processEvents();
  auto* editor = view.viewport()->findChild<QLineEdit*>();
  ASSERT_NE(editor, nullptr);
  editor->selectAll();
  QTest::keyClicks(editor, "Typed name");
  QTest::keyClick(editor, Qt::Key_Return);
  QApplication::processEvents();
  EXPECT_EQ(model.data(cell).toString(), "Typed name");
  EXPECT_EQ(model.headerData(0, Qt::Vertical).toString(), "1 *");
  EXPECT_TRUE(window.Query().GetUpdatesPending());
  // Nothing reaches the file before the cached updates are applied.
  EXPECT_EQ(file.Scalar("select name from customers where id = 1"), "Customer 1");
  window.ApplyButton()->click();
  EXPECT_EQ(window.StatusLine()->text().toStdString(),
            "Changes applied — 300 rows read · no changes pending");
  EXPECT_EQ(file.Scalar("select name from customers where id = 1"), "Typed name");
  EXPECT_EQ(model.headerData(0, Qt::Vertical).toString(), "1");

  // A second edit, cancelled, leaves the applied value.
  view.edit(cell);
  QApplication::processEvents();
  editor = view.viewport()->findChild<QLineEdit*>();
  ASSERT_NE(editor, nullptr);
  editor->selectAll();
  QTest::keyClicks(editor, "Never kept");
  QTest::keyClick(editor, Qt::Key_Return);
  QApplication::processEvents();
  window.CancelButton()->click();
  EXPECT_EQ(model.data(cell).toString(), "Typed name");
  EXPECT_EQ(file.Scalar("select name from customers where id = 1"), "Typed name");
}

}  // namespace
}  // namespace qvl
