// qvl grid: a table view over the customers of the demo's SQLite database
// (made by `qvl demo`). Usage: qvl-grid [DATABASE], demo.sqlite by default.
#include <QApplication>

#include "GridWindow.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QStringList args = QApplication::arguments();
  TGridWindow window(args.size() > 1 ? args[1] : QStringLiteral("demo.sqlite"));
  window.show();
  return QApplication::exec();
}
