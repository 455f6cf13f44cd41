// The pictures above the summary text: the preview of a spectrum kept in the
// index and the structure drawing of a molecule, for the selected result.
#pragma once

#include <cstddef>
#include <optional>

#include "platform/metadata/query.h"

// Shows the pictures `item` (borrowed) has and hides the others.
void DisplayPictures(metadata::MDItemRef item);
// Hides both, for a summary that speaks of no result.
void HidePictures();

// Which of the records of a file with many made it a result of `query`: the
// first whose own values satisfy the query's expression; else the first. From
// 0; none for a document with no molecule.
std::optional<std::size_t> MatchingRecord(metadata::MDItemRef item, const metadata::MDQueryRef& query);
