// Keeping the index current over whole folders: what is new or changed is
// imported, what vanished is removed, and the folders are remembered.
#pragma once

#include <chrono>
#include <filesystem>
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
// 1 when a folder to index does not exist, 2 when the index cannot be
// written, 130 when interrupted.
int IndexFolders(const RunOptions& options, const std::vector<std::string>& paths);
int UpdateRecordedFolders(const RunOptions& options);
int ForgetFolders(const RunOptions& options, const std::vector<std::string>& paths);
int PrintStatus(const RunOptions& options);

// An absolute path without "." and ".." parts or a trailing slash; links are
// not resolved, so documents keep the paths the user knows.
std::string AbsolutePath(const std::string& path);

}  // namespace indexer
