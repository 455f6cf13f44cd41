// inotify watches over whole folder trees: one watch a folder, each knowing
// its path, and the events read back as changed paths.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace indexer {

struct Change {
  enum Kind { kWritten, kCreated, kDeleted, kMovedFrom, kMovedTo };
  Kind kind = kWritten;
  std::string path;
  bool folder = false;
  std::uint32_t cookie = 0;  // pairs the two halves of a move
};

struct WatchLimits {
  size_t maxWatches = 0;   // 0: as many as the kernel allows; else behave as if it allowed no more
  size_t queueLimit = 0;   // 0: the kernel's queue; else more events waiting than this count as an overflow
};

class FolderWatches {
 public:
  explicit FolderWatches(WatchLimits limits);
  ~FolderWatches();
  FolderWatches(const FolderWatches&) = delete;
  FolderWatches& operator=(const FolderWatches&) = delete;

  int fd() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  // Watches `folder` and the folders below it, except hidden ones, those the
  // importers skip and excluded ones. Folders inside an experiment folder are
  // watched too: processing writes there. Returns
  // the folders that could not be watched because the limit was reached,
  // each with everything below it.
  std::vector<std::string> AddTree(const std::string& folder, const std::vector<std::string>& excludes);
  void RemoveTree(const std::string& folder);  // the folder moved away or is gone
  // The events waiting now; `overflow` is set when some were lost.
  std::vector<Change> Read(bool& overflow);
  // The events read are handled: they no longer count towards the queue limit.
  void Handled() { queued_ = 0; }
  size_t Count() const { return paths_.size(); }
  bool LimitReached() const { return limitReached_; }

 private:
  bool AddOne(const std::string& folder);
  int fd_ = -1;
  WatchLimits limits_;
  std::unordered_map<int, std::string> paths_;
  std::unordered_map<std::string, int> watches_;
  bool limitReached_ = false;
  size_t queued_ = 0;
};

}  // namespace indexer
