// Keeping the index current over whole folders: what is new or changed is
// imported, what vanished is removed, and the folders are remembered.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace indexer {

struct RunOptions {
  std::filesystem::path index;
  std::vector<std::string> excludes;
  size_t jobs = 1;
  bool quiet = false;
  bool progressLines = false;          // progress as lines for a program to read, even without a terminal
  std::chrono::seconds timeLimit{60};  // for one file
  std::string program;                 // this program, started again as a worker
};

// Exit statuses: 0 when the run completed (per-file failures included),
// 1 when a folder to index (or one below it) does not exist or looks
// unmounted, 2 when the index cannot be written, 3 when files were not
// imported because no worker process could be started (the folder is then
// not recorded as updated), 128 + the signal when stopped by SIGINT (130),
// SIGTERM or SIGHUP: what was imported is kept, files in progress are left
// for the next run.
int IndexFolders(const RunOptions& options, const std::vector<std::string>& paths);
int UpdateRecordedFolders(const RunOptions& options);
int ForgetFolders(const RunOptions& options, const std::vector<std::string>& paths);

// What is known of a remembered folder before it is walked again.
struct RootCheck {
  std::uint64_t recordedDevice = 0;  // the file system it was on, 0 when not recorded
  std::uint64_t device = 0;          // the file system it is on now
  bool empty = false;                // a folder without a single entry
  size_t documentsHeld = 0;          // the index's documents at or below it
  bool heldDocumentFound = false;    // one of those is still where it was
};

// Why the folder looks like the mount point of a disk that is not mounted
// (then walking it would drop every document it held), or nothing when it
// may be walked. A folder that held documents and is now empty looks so; so
// does one on another file system than before, unless its documents are
// still there (a disk mounted again under another device number).
std::optional<std::string> LooksUnmounted(const RootCheck& check);

// An absolute path without "." and ".." parts or a trailing slash; links are
// not resolved, so documents keep the paths the user knows.
std::string AbsolutePath(const std::string& path);

}  // namespace indexer
