// Bringing a few changed paths up to date, as the watcher sees them change:
// what is new or changed below them is imported, what vanished is removed,
// and a document that only moved keeps its record under its new path.
#pragma once

#include <string>
#include <vector>

#include "indexer/batch.h"
#include "platform/metadata/mounts.h"

namespace indexer {

struct RefreshCounts {
  size_t imported = 0, moved = 0, removed = 0;
};

// The document a changed path belongs to: the experiment folder it lies in
// (up to `root`), else the path itself.
std::string DocumentPathFor(const std::string& path, const std::string& root);

// `paths` are files or folders at or below the roots, each as it is now
// (there or gone). The index is written through `batch`.
RefreshCounts RefreshPaths(const RunOptions& options, metadata::IndexWriter& writer, BatchWriter& batch, Progress& progress,
                           const std::vector<metadata::Mount>& mounts, std::vector<std::string> paths);

}  // namespace indexer
