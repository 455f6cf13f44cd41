// Help books: folders of pages under <share>/help/<book name>/.
#pragma once

#include <QString>

#include "platform/toolkit/types.h"

// Opens the page of the book in the desktop's browser (xdg-open);
// kAHHelpBookNotFound when the book or the page is not there. The anchor, when
// not empty, is appended as a fragment.
OSStatus AHGotoPage(const QString& bookName, const QString& pagePath, const QString& anchor);
