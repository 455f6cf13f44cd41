// orvane: the search panel.
#include <QApplication>

#include "app/lifecycle.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Orvane"));
  QApplication::setApplicationVersion(QStringLiteral(ORVANE_VERSION));
  const int status = OrvaneMain();
  DisposeAllWindows();
  return status;
}
