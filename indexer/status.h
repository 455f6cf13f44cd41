// `orvane-index --status`: what the index holds, for a person to read.
#pragma once

#include "indexer/index_run.h"

namespace indexer {

// Prints the index's file and size, the remembered folders, the documents by
// family, the failed imports and the documents whose importer left notes
// (the first 20 of each, and how many more), and the last update. 0, or 2
// when the index cannot be read.
int PrintStatus(const RunOptions& options);

}  // namespace indexer
