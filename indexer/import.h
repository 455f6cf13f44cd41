// One file's import as the index takes it: what the indexer's workers store
// and what `orvane-index --explain` prints come from here, so they agree.
#pragma once

#include <filesystem>

#include "importers/registry.h"

namespace indexer {

// The importer's outcome with every value the index cannot hold left out
// (infinities and NaNs, which no query matches and JSON cannot carry), each
// omission named in a note.
importers::ImportOutcome ImportForIndex(const std::filesystem::path& path, importers::Family family);

// Leaves out the non-finite numbers and dates of `imported`, with a note for
// each attribute that lost any.
void DropNonFiniteNumbers(importers::Imported& imported);

}  // namespace indexer
