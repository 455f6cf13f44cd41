// How fresh the index is, for the panel's status line: when it last
// changed, how many documents it holds, and whether a watcher keeps it current.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace indexer {

struct IndexFreshness {
  bool exists = false;
  std::int64_t lastChange = 0;  // Unix seconds of the last write, 0 when not known
  std::optional<std::size_t> documents;  // nothing when the index cannot be read
  std::optional<std::string> watcher;    // the watcher's own account ("running …", "paused …"); nothing when none runs
  bool watcherPaused() const { return watcher && watcher->rfind("paused", 0) == 0; }
};

// `previous` spares counting the documents again when nothing changed since.
IndexFreshness ReadIndexFreshness(const std::filesystem::path& index, const IndexFreshness* previous = nullptr,
                                  std::chrono::milliseconds watcherWait = std::chrono::milliseconds(300));

// "12,345" style: digits grouped by threes.
std::string GroupedCount(std::size_t count);

}  // namespace indexer
