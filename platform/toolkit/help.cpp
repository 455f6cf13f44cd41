#include "platform/toolkit/help.h"

#include <filesystem>

#include <QFile>

#include "platform/toolkit/nib.h"
#include "platform/toolkit/process.h"

namespace fs = std::filesystem;

OSStatus AHGotoPage(const QString& bookName, const QString& pagePath, const QString& anchor) {
  if (bookName.isEmpty() || pagePath.contains(QStringLiteral(".."))) return kAHHelpBookNotFound;
  for (const fs::path& folder : ResourceFolders()) {
    const fs::path page = folder / "help" / QFile::encodeName(bookName).toStdString() / QFile::encodeName(pagePath).toStdString();
    std::error_code error;
    if (!fs::is_regular_file(page, error)) continue;
    std::string target = "file://" + page.string();
    if (!anchor.isEmpty()) target += "#" + anchor.toStdString();
    return RunProgramAndWait("xdg-open", {target}) == noErr ? noErr : kAHInternalErr;
  }
  return kAHHelpBookNotFound;
}
