#include "platform/toolkit/text.h"

#include <QFile>

QString TextFromFileSystemPath(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

std::string FileSystemPathFromText(const QString& text) { return QFile::encodeName(text).toStdString(); }
