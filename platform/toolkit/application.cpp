#include "platform/toolkit/application.h"

#include <QApplication>
#include <QFile>

#include "platform/toolkit/events.h"

int RunApplication(int& argc, char** argv, const char* name, const char* version, const std::function<int()>& body) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QString::fromUtf8(name));
  QApplication::setApplicationVersion(QString::fromUtf8(version));
  const int status = body();
  DisposeAllWindows();  // while the application that owns them still exists
  return status;
}

std::string ApplicationFolder() { return QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString(); }

WindowRef ActiveNonFloatingWindow() { return QApplication::activeWindow(); }
