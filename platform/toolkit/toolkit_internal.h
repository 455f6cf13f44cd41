// Wiring shared by the toolkit's own files; not for the panel.
#pragma once

#include "platform/toolkit/types.h"

class QMenuBar;
class QAbstractItemView;

namespace toolkit_internal {

// Makes activating a push button, popup or text field's Return send its command
// to the window's handlers.
void ConnectControlCommands(WindowRef window);
// Makes the menu bar's actions send their commands to `window`, or to the
// application's default handling when there is no window.
void RouteMenuCommandsTo(QMenuBar* menuBar, WindowRef window);
QMenuBar* CurrentMenuBar();

}  // namespace toolkit_internal
