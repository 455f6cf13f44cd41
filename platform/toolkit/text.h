// Texts as the toolkit holds them, for everything a control shows or a user
// types: Qt's strings, reached only through this header so that the panel
// depends on the toolkit and not on the widget library under it.
#pragma once

#include <string>

#include <QString>
#include <QStringList>

// A path the file system gave (its bytes) as text to show, decoded as the
// system's locale says; and back, as the file system spells it.
QString TextFromFileSystemPath(const std::string& path);
std::string FileSystemPathFromText(const QString& text);
