// "Add Folder to Index…" in the Orvane menu: asks for a folder, then runs
// orvane-index on it in the background, with a sheet that shows its
// progress, can cancel it, and says why when it fails. So a user who never
// opens a terminal can fill the index.
#pragma once

#include "platform/toolkit/toolkit.h"

// Opens the folder chooser over the active window; a chosen folder is indexed.
void ChooseFolderToIndex();

// Starts indexing `folder`; the progress sheet (returned) stays until closed.
WindowRef StartIndexing(const QString& folder, WindowRef parent);
