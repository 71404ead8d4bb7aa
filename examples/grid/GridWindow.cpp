#include "GridWindow.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

#include "qvl/components/QVLQuery.h"
#include "qvl/host/sqlclient/SQLConnection.h"
#include "qvl/qt/QVLDataSetModel.h"

using namespace qvl;

TGridWindow::TGridWindow(const QString& DatabasePath, QWidget* Parent)
    : QWidget(Parent),
      FConnection(std::make_unique<TSQLConnection>(nullptr)),
      FQuery(std::make_unique<TQVLQuery>(nullptr)),
      FModel(new TQVLDataSetModel(this)),
      FView(new QTableView(this)),
      FSearch(new QLineEdit(this)),
      FApply(new QPushButton(tr("Apply"), this)),
      FCancel(new QPushButton(tr("Cancel changes"), this)),
      FStatus(new QLabel(this)) {
  setWindowTitle(tr("qvl grid — %1").arg(DatabasePath));
  FSearch->setPlaceholderText(tr("Find a customer by name and press Enter"));
  FView->setModel(FModel);  // a QTableView over a TQVLDataSetModel
  FView->verticalHeader()->setDefaultSectionSize(22);
  FView->setAlternatingRowColors(true);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(FSearch, 1);
  buttons->addWidget(FApply);
  buttons->addWidget(FCancel);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(buttons);
  layout->addWidget(FView, 1);
  layout->addWidget(FStatus);
  resize(640, 420);

  connect(FSearch, &QLineEdit::returnPressed, this, [this] { Find(FSearch->text()); });
  connect(FApply, &QPushButton::clicked, this, [this] { ApplyUpdates(); });
  connect(FCancel, &QPushButton::clicked, this, [this] { CancelUpdates(); });
  connect(FModel, &TQVLDataSetModel::errorOccurred, this,
          [this](const QString& Message) { ShowStatus(Message); });
  for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
    connect(FModel, signal, this, [this] { ShowStatus(); });
  connect(FModel, &QAbstractItemModel::dataChanged, this, [this] { ShowStatus(); });
  connect(FModel, &QAbstractItemModel::modelReset, this, [this] { ShowStatus(); });

  try {
    FConnection->SetDriverName("SQLite");
    FConnection->Params().Add("Database=" + DatabasePath.toStdString());
    FConnection->Open();
    FQuery->SetSQLConnection(FConnection.get());
    FQuery->SQL().SetText("select id, name, city, balance, joined from customers order by id");
    FQuery->SetCachedUpdates(true);
    FQuery->Open();
    FModel->SetDataSet(FQuery.get());  // any open dataset with bookmarks; rows come by its PageSize
    ShowStatus();
  } catch (const Exception& e) {
    ShowStatus(tr("Cannot open %1: %2").arg(DatabasePath, QString::fromUtf8(e.what())));
  }
}

// The model unlinks from the query before the query goes.
TGridWindow::~TGridWindow() {
  FModel->SetDataSet(nullptr);
}

bool TGridWindow::Find(const QString& Name) {
  if (!FQuery->GetActive() || Name.isEmpty()) return false;
  try {
    if (!FQuery->Locate("name", Variant(Name.toStdString()), loCaseInsensitive | loPartialKey)) {
      ShowStatus(tr("No customer's name begins with \"%1\"").arg(Name));
      return false;
    }
  } catch (const Exception& e) {
    ShowStatus(QString::fromUtf8(e.what()));
    return false;
  }
  const int row = FModel->ActiveRow();
  if (row >= 0) {
    FView->selectRow(row);
    FView->scrollTo(FModel->index(row, 0));
  }
  ShowStatus(
      tr("Found %1").arg(QString::fromStdString(FQuery->FieldByName("name")->GetAsString())));
  return true;
}

void TGridWindow::ApplyUpdates() {
  if (!FQuery->GetActive()) return;
  try {
    FModel->submit();
    FQuery->ApplyUpdates();
    ShowStatus(tr("Changes applied"));
  } catch (const Exception& e) {
    ShowStatus(QString::fromUtf8(e.what()));
  }
}

void TGridWindow::CancelUpdates() {
  if (!FQuery->GetActive()) return;
  FModel->revert();
  FQuery->CancelUpdates();
  ShowStatus(tr("Changes cancelled"));
}

void TGridWindow::ShowStatus(const QString& Text) {
  QString line =
      FQuery->GetActive()
          ? tr("%1 rows read%2 · %3")
                .arg(FModel->rowCount())
                .arg(FModel->canFetchMore(QModelIndex()) ? tr(" so far") : QString())
                .arg(FQuery->GetUpdatesPending() ? tr("changes pending") : tr("no changes pending"))
          : tr("Not connected");
  if (!Text.isEmpty()) line = Text + QStringLiteral(" — ") + line;
  FStatus->setText(line);
}
