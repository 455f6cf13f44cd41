// Which version of each family's importer made a document's values. A family's
// number goes up when its importer starts storing something new (or stores it
// differently); `orvane-index --update` then imports again every document of
// that family made by an older version, even when its file has not changed.
#pragma once

#include "importers/format_family.h"

namespace importers {

// The current version of the family's importer; 1 for a family not in the table.
unsigned ImportVersion(const FormatFamily* family);

// The version a document made before versions were kept counts as.
constexpr unsigned kFirstImportVersion = 1;

}  // namespace importers
