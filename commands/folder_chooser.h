// Choosing the folder a search is limited to.
#pragma once

#include "platform/toolkit/toolkit.h"

// The command 'FOLD': while the scope popup shows its folder item, opens the
// folder chooser as a sheet on the panel and returns at once.
OSStatus OpenFolderChooser(WindowRef window);

// The folder a chooser's reply names, as the file system spells it (any
// length); false when the reply names none.
bool ChosenFolderPath(NavDialogRef dialog, std::string& path);

// The chooser's callback: a chosen folder's path goes into the folder field.
void NavigationCallback(NavEventCallbackMessage message, NavCBRecPtr parameters, void* userData);
