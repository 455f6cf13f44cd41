#include "platform/toolkit/help.h"

#include <filesystem>

#include <QFile>
#include <QUrl>

#include "platform/toolkit/nib.h"
#include "platform/toolkit/process.h"

namespace fs = std::filesystem;

OSStatus AHGotoPage(const QString& bookName, const QString& pagePath, const QString& anchor) {
  if (bookName.isEmpty() || pagePath.contains(QStringLiteral(".."))) return kAHHelpBookNotFound;
  for (const fs::path& folder : ResourceFolders()) {
    const fs::path page = folder / "help" / QFile::encodeName(bookName).toStdString() / QFile::encodeName(pagePath).toStdString();
    std::error_code error;
    if (!fs::is_regular_file(page, error)) continue;
    // Percent-encoded, so that a blank, '%' or '#' in the path reaches the
    // browser as part of the path.
    QUrl target = QUrl::fromLocalFile(QFile::decodeName(page.c_str()));
    if (!anchor.isEmpty()) target.setFragment(anchor);
    return RunProgramAndWait("xdg-open", {target.toEncoded().toStdString()}) == noErr ? noErr : kAHInternalErr;
  }
  return kAHHelpBookNotFound;
}
