#include "indexer/folder_watches.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "importers/registry.h"
#include "indexer/crawl.h"
#include "platform/metadata/store.h"

namespace indexer {

namespace {

constexpr std::uint32_t kEvents = IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF |
                                  IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;

std::string Join(const std::string& folder, const char* name) { return folder == "/" ? "/" + std::string(name) : folder + "/" + name; }

// The folders directly in `folder`, links not followed.
std::vector<std::string> SubFolders(const std::string& folder) {
  std::vector<std::string> folders;
  DIR* handle = opendir(folder.c_str());
  if (!handle) return folders;
  while (const dirent* entry = readdir(handle)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    if (entry->d_type == DT_DIR) {
      folders.push_back(Join(folder, entry->d_name));
    } else if (entry->d_type == DT_UNKNOWN) {
      struct stat info {};
      if (fstatat(dirfd(handle), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode))
        folders.push_back(Join(folder, entry->d_name));
    }
  }
  closedir(handle);
  return folders;
}

}  // namespace

FolderWatches::FolderWatches(WatchLimits limits) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), limits_(limits) {}

FolderWatches::~FolderWatches() {
  if (fd_ >= 0) close(fd_);
}

bool FolderWatches::AddOne(const std::string& folder) {
  if (watches_.count(folder)) return true;
  if (limits_.maxWatches != 0 && paths_.size() >= limits_.maxWatches) {
    errno = ENOSPC;
    return false;
  }
  const int wd = inotify_add_watch(fd_, folder.c_str(), kEvents);
  if (wd < 0) return false;
  if (auto old = paths_.find(wd); old != paths_.end()) watches_.erase(old->second);  // the same folder under a new path
  paths_[wd] = folder;
  watches_[folder] = wd;
  return true;
}

std::vector<std::string> FolderWatches::AddTree(const std::string& top, const std::vector<std::string>& excludes) {
  std::vector<std::string> unwatched;
  std::vector<std::string> pending{top};
  while (!pending.empty()) {
    const std::string folder = pending.back();
    pending.pop_back();
    if (folder != top && (importers::IsSkippedFolder(folder) || IsExcluded(folder, excludes))) continue;
    if (!AddOne(folder)) {
      if (errno == ENOSPC) {
        limitReached_ = true;
        unwatched.push_back(folder);
      }
      continue;  // gone or unreadable: the walk says so
    }
    for (std::string& below : SubFolders(folder)) pending.push_back(std::move(below));
  }
  return unwatched;
}

void FolderWatches::RemoveTree(const std::string& top) {
  for (auto it = watches_.begin(); it != watches_.end();) {
    if (metadata::IsAtOrBelow(it->first, top)) {
      inotify_rm_watch(fd_, it->second);
      paths_.erase(it->second);
      it = watches_.erase(it);
    } else {
      ++it;
    }
  }
}

std::vector<Change> FolderWatches::Read(bool& overflow) {
  std::vector<Change> changes;
  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    const ssize_t got = read(fd_, buffer, sizeof buffer);
    if (got <= 0) break;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += ssize_t(sizeof(inotify_event) + event->len);
      ++queued_;
      if (event->mask & IN_Q_OVERFLOW) overflow = true;
      if (event->mask & IN_IGNORED) {  // the folder is gone, or its watch was removed
        if (auto found = paths_.find(event->wd); found != paths_.end()) {
          watches_.erase(found->second);
          paths_.erase(found);
        }
        continue;
      }
      const auto folder = paths_.find(event->wd);
      if (folder == paths_.end()) continue;
      Change change;
      change.folder = (event->mask & IN_ISDIR) != 0;
      change.cookie = event->cookie;
      if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
        change.kind = Change::kDeleted;
        change.path = folder->second;
        change.folder = true;
        changes.push_back(change);
        continue;
      }
      if (event->len == 0) continue;
      change.path = Join(folder->second, event->name);
      if (event->mask & IN_CREATE) change.kind = Change::kCreated;
      else if (event->mask & IN_DELETE) change.kind = Change::kDeleted;
      else if (event->mask & IN_MOVED_FROM) change.kind = Change::kMovedFrom;
      else if (event->mask & IN_MOVED_TO) change.kind = Change::kMovedTo;
      else change.kind = Change::kWritten;
      changes.push_back(change);
    }
  }
  if (limits_.queueLimit != 0 && queued_ > limits_.queueLimit) overflow = true;
  if (overflow) queued_ = 0;
  return changes;
}

}  // namespace indexer
