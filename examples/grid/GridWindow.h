#pragma once
// TGridWindow: the grid example's window. A QTableView over a cached
// TQVLQuery on the demo's customers table, a search box that finds a
// customer by name (Locate), buttons that apply or cancel the cached
// updates, and a status line.

#include <QString>
#include <QWidget>
#include <memory>

class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;

namespace qvl {
class TQVLDataSetModel;
class TQVLQuery;
class TSQLConnection;
}  // namespace qvl

class TGridWindow : public QWidget {
 public:
  // Opens DatabasePath (an SQLite file holding the demo's customers table);
  // a failure shows in the status line.
  explicit TGridWindow(const QString& DatabasePath, QWidget* Parent = nullptr);
  ~TGridWindow() override;

  QTableView* View() const { return FView; }
  QLineEdit* SearchBox() const { return FSearch; }
  QPushButton* ApplyButton() const { return FApply; }
  QPushButton* CancelButton() const { return FCancel; }
  QLabel* StatusLine() const { return FStatus; }
  qvl::TQVLQuery& Query() const { return *FQuery; }
  qvl::TQVLDataSetModel& Model() const { return *FModel; }

  // What the search box and the buttons do.
  bool Find(const QString& Name);
  void ApplyUpdates();
  void CancelUpdates();

 private:
  void ShowStatus(const QString& Text = QString());

  std::unique_ptr<qvl::TSQLConnection> FConnection;
  std::unique_ptr<qvl::TQVLQuery> FQuery;
  qvl::TQVLDataSetModel* FModel;  // owned by this window, as every widget below
  QTableView* FView;
  QLineEdit* FSearch;
  QPushButton* FApply;
  QPushButton* FCancel;
  QLabel* FStatus;
};
