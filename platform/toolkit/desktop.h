// What the panel asks of the desktop around it: the clipboard, and the file
// manager showing a file.
#pragma once

#include <string>

#include <QString>

#include "platform/toolkit/types.h"

// Puts `text` on the clipboard, as plain text; and reads it back.
OSStatus SetClipboardText(const QString& text);
QString CopyClipboardText();

// The file: URI of a path, its bytes percent-encoded as they are, so that a
// name in no particular encoding still names the same file.
QString FileUriOfPath(const std::string& path);

// Shows the file selected in its folder: through the session bus's file
// manager (org.freedesktop.FileManager1 ShowItems with the file's URI), or,
// when no file manager answers there, by opening the folder with xdg-open.
// ORVANE_FILE_MANAGER_SERVICE names another bus service to ask, for tests.
OSStatus RevealFileInFileManager(const std::string& path);
