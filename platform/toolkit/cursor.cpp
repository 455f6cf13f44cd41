#include "platform/toolkit/cursor.h"

#include <QApplication>
#include <QCursor>

OSStatus SetThemeCursor(ThemeCursor cursor) {
  if (cursor == kThemeWatchCursor) {
    if (!QApplication::overrideCursor()) QApplication::setOverrideCursor(Qt::WaitCursor);
    return noErr;
  }
  // Any other cursor is the arrow: clear every override, so an interrupted
  // sequence can never leave the watch behind.
  while (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
  return noErr;
}

ThemeCursor GetThemeCursor() {
  const QCursor* cursor = QApplication::overrideCursor();
  return cursor && cursor->shape() == Qt::WaitCursor ? kThemeWatchCursor : kThemeArrowCursor;
}
