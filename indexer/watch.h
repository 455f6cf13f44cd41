// `orvane-index --watch`: keeps the index current as files change, in the
// foreground, for a service manager to run.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "indexer/folder_watches.h"
#include "indexer/index_run.h"

namespace indexer {

struct WatchOptions {
  std::chrono::milliseconds quiet{1000};   // a change is imported once its path is this quiet
  std::chrono::seconds rescanInterval{600};  // network folders and folders without a watch are walked again this often
  // The index's search packs are brought up to date once the watcher has
  // written nothing for this long: packing a large index takes seconds.
  std::chrono::seconds idleBeforeSettling{5};
  WatchLimits limits;
};

// Watches the remembered folders and `folders` (remembered from now on):
// first catches up with what changed while no watcher ran, then follows the
// changes. Ends on SIGTERM, SIGINT or SIGHUP with what was imported kept: 0;
// 2 when the index cannot be written or nothing can be watched.
int Watch(const RunOptions& options, const WatchOptions& watch, const std::vector<std::string>& folders);

// Hands `folders` to the watcher of the index, or asks it to pause or resume
// ("add", "pause", "resume", "update"). The watcher's answer, nothing when none runs.
std::optional<std::string> HandToWatcher(const RunOptions& options, const std::string& command, const std::vector<std::string>& folders);

// Runs `run` as the index's only writer. When another process writes it, a
// watcher is handed the work (`handOver`: "add" with the folders, or
// "update"; "" for none) and the answer is 0; else the run waits its turn,
// saying for which process.
int AsOnlyWriter(const RunOptions& options, const std::string& handOver, const std::vector<std::string>& folders,
                 const std::function<int()>& run);

// Runs at the lowest priority the user may set: nice 19 and the idle I/O class.
void LowerPriority();

}  // namespace indexer
