// The attribute summary of one result, in the panel's summary text.
#pragma once

#include "platform/metadata/query.h"
#include "platform/toolkit/text.h"

// Writes the summary of `item` (borrowed) into the summary text; an item with
// none of the summary's attributes leaves the text as it was.
void DisplayAttributes(metadata::MDItemRef item);

// The texts of the first nine numbers, each as "%1.6g" writes it.
QStringList TransformInStrings(const metadata::NumberArray& numbers);
// The strings joined by ", ".
QString Concatenate(const QStringList& strings);

// The date in the long date style and short time style of the user's locale
// (LC_ALL, LC_TIME, LANG), in the local time zone.
QString FormatDate(metadata::Date date);
