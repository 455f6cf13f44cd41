// "Add Folder to Index…" in the Orvane menu: asks for a folder, then runs
// orvane-index on it in the background, with a dialog that shows its
// progress, can cancel it, and says why when it fails. So a user who never
// opens a terminal can fill the index.
#pragma once

#include <QString>

#include "platform/toolkit/toolkit.h"

constexpr UInt32 kAddFolderCommand = FourCC("AddF");

// The application's handling of commands beyond the panel window's own.
OSStatus ApplicationCommand(UInt32 commandID);

// Starts indexing `folder`; the dialog (returned, owned by Qt) stays until closed.
QWidget* StartIndexing(const QString& folder, QWidget* parent);
