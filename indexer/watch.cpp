#include "indexer/watch.h"

#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <map>

#include "importers/registry.h"
#include "indexer/batch.h"
#include "indexer/control.h"
#include "indexer/debounce.h"
#include "indexer/refresh.h"

using namespace metadata;

namespace indexer {

namespace {

constexpr size_t kWatcherBatchDocuments = 2000;  // an unpacked archive goes in a few transactions

struct WatchedRoot {
  std::string path;
  bool network = false;                  // no events come for changes made on other machines
  std::vector<std::string> unwatched;    // folders below it past the watch limit
  Clock::time_point lastRescan;
};

bool Exists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

class Watcher {
 public:
  Watcher(const RunOptions& options, const WatchOptions& watch, IndexWriter& writer, Progress& progress)
      : options_(options), watch_(watch), writer_(writer), progress_(progress), batch_(writer, progress, kWatcherBatchDocuments),
        watches_(watch.limits), debouncer_(watch.quiet), server_(options.index), mounts_(CurrentMounts()) {}

  int Run(const std::vector<std::string>& folders) {
    if (!watches_.ok()) {
      progress_.Say(std::string("cannot watch for changes (inotify: ") + std::strerror(errno) + ")");
      return 2;
    }
    if (!server_.problem().empty()) progress_.Say(server_.problem() + "; other orvane-index runs will wait for this one instead");
    for (const RootRecord& root : writer_.Roots()) pendingRoots_.push_back(root.path);
    for (const std::string& folder : folders) pendingRoots_.push_back(AbsolutePath(folder));
    if (pendingRoots_.empty()) progress_.Say("no folders are recorded yet; add one with: orvane-index FOLDER");
    SettleLater();  // an index without packs gets them
    while (!Stopping()) {
      AddPendingRoots();
      if (Stopping()) break;
      Wait();
      if (Stopping()) break;
      TakeChanges();
      Serve();
      RefreshQuiet();
      RescanDue();
      SettleWhenIdle();
    }
    batch_.Flush();
    progress_.Say("stopped; " + std::to_string(progress_.imported + progress_.failed) + " documents imported while watching are kept");
    return 0;
  }

 private:
  void AddPendingRoots() {
    if (paused_ || pendingRoots_.empty()) return;
    std::vector<std::string> roots;
    roots.swap(pendingRoots_);
    std::sort(roots.begin(), roots.end());
    roots.erase(std::unique(roots.begin(), roots.end()), roots.end());  // remembered and given again: walked once
    for (const std::string& root : roots) {
      if (Stopping()) return;
      WatchedRoot* watched = Find(root);
      const bool added = !watched;
      if (added) {
        roots_.push_back({root, IsOnNetworkFileSystem(ResolvedPath(root), mounts_), {}, Clock::now()});
        watched = &roots_.back();
      }
      const auto start = Clock::now();
      watched->unwatched = watches_.AddTree(root, options_.excludes);
      if (added && !options_.quiet)
        progress_.Say("watching " + root + " (" + std::to_string(watches_.Count()) + " watches set up in " + Elapsed(Clock::now() - start) +
                      (watched->network ? "; a network folder, also walked every " + std::to_string(watch_.rescanInterval.count()) + " s)"
                                        : ")"));
      ReportLimit(*watched);
      // Watched before it is walked: nothing that changes during the walk is missed.
      const auto walk = Clock::now();
      IndexRoot(options_, writer_, batch_, root, mounts_, progress_);
      batch_.Flush();
      watched->lastRescan = Clock::now();
      if (!options_.quiet) progress_.Say("caught up with " + root + " in " + Elapsed(Clock::now() - walk));
    }
    Summary();
    SettleLater();
  }

  WatchedRoot* Find(const std::string& root) {
    for (WatchedRoot& watched : roots_)
      if (watched.path == root) return &watched;
    return nullptr;
  }

  const WatchedRoot* RootOf(const std::string& path) const {
    const WatchedRoot* best = nullptr;
    for (const WatchedRoot& watched : roots_)
      if (IsAtOrBelow(path, watched.path) && (!best || watched.path.size() > best->path.size())) best = &watched;
    return best;
  }

  void ReportLimit(const WatchedRoot& root) {
    if (root.unwatched.empty()) return;
    progress_.Say("cannot watch every folder: the limit of inotify watches is reached (" + std::to_string(watches_.Count()) +
                  " watches; raise it with: sudo sysctl fs.inotify.max_user_watches=524288). " + std::to_string(root.unwatched.size()) +
                  " folders below " + root.path + " are walked every " + std::to_string(watch_.rescanInterval.count()) + " s instead");
  }

  // Sleeps until an event, a request, a quiet path or a rescan is due.
  void Wait() {
    const auto now = Clock::now();
    auto until = now + std::chrono::minutes(10);
    if (!paused_) {
      if (auto due = debouncer_.NextDue()) until = std::min(until, *due);
      for (const WatchedRoot& root : roots_)
        if (root.network || !root.unwatched.empty()) until = std::min(until, root.lastRescan + watch_.rescanInterval);
      if (settleDue_) until = std::min(until, *settleDue_);
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
    pollfd fds[2] = {{watches_.fd(), POLLIN, 0}, {server_.fd(), POLLIN, 0}};
    poll(fds, server_.fd() >= 0 ? 2 : 1, int(std::clamp<long long>(wait + 1, 0, 600000)));
  }

  void TakeChanges() {
    bool overflow = false;
    const std::vector<Change> changes = watches_.Read(overflow);
    const auto now = Clock::now();
    std::map<std::uint32_t, std::string> movedFrom;
    for (const Change& change : changes) {
      if (change.folder && (change.kind == Change::kCreated || change.kind == Change::kMovedTo) &&
          !importers::IsSkippedFolder(change.path) && !IsExcluded(change.path, options_.excludes)) {
        if (WatchedRoot* root = const_cast<WatchedRoot*>(RootOf(change.path))) {
          for (std::string& folder : watches_.AddTree(change.path, options_.excludes)) root->unwatched.push_back(std::move(folder));
          if (watches_.LimitReached() && !root->unwatched.empty()) ReportLimit(*root);
        }
      }
      if (change.folder && (change.kind == Change::kMovedFrom || change.kind == Change::kDeleted)) watches_.RemoveTree(change.path);
      if (change.kind == Change::kMovedFrom) movedFrom[change.cookie] = change.path;
      // Both ends of a move wait together, so the move is seen whole.
      if (change.kind == Change::kMovedTo)
        if (auto from = movedFrom.find(change.cookie); from != movedFrom.end()) debouncer_.Touch(from->second, now);
      debouncer_.Touch(change.path, now);
    }
    if (overflow) {
      progress_.Say("changes came faster than they could be read and some were lost (the kernel's queue, fs.inotify.max_queued_events, "
                    "overflowed); every folder is walked again");
      debouncer_.Clear();
      for (WatchedRoot& root : roots_) pendingRoots_.push_back(root.path);
    }
  }

  void Serve() {
    if (server_.fd() < 0) return;
    for (;;) {
      int connection = -1;
      const std::vector<std::string> request = server_.Accept(connection);
      if (connection < 0) return;
      ControlServer::Answer(connection, Answer(request));
    }
  }

  std::string Answer(const std::vector<std::string>& request) {
    const std::string command = request.empty() ? "" : request.front();
    if (command == "pause") {
      paused_ = true;
      progress_.Say("paused");
      return "paused";
    }
    if (command == "resume") {
      paused_ = false;
      progress_.Say("resumed");
      return "resumed";
    }
    if (command == "add") {
      for (size_t i = 1; i < request.size(); ++i) pendingRoots_.push_back(AbsolutePath(request[i]));
      return "watching " + std::to_string(request.size() - 1) + " more folders" + (paused_ ? " once resumed" : "");
    }
    if (command == "update") {
      for (const WatchedRoot& root : roots_) pendingRoots_.push_back(root.path);
      return std::string("walking every folder again") + (paused_ ? " once resumed" : "");
    }
    if (command == "status")
      return std::string(paused_ ? "paused" : "running") + " (process " + std::to_string(getpid()) + "), watching " +
             std::to_string(roots_.size()) + " folders with " + std::to_string(watches_.Count()) + " watches, " +
             std::to_string(debouncer_.Waiting()) + " changes waiting" + NetworkAge();
    return "unknown request";
  }

  void RefreshQuiet() {
    if (paused_) return;
    const std::vector<std::string> quiet = debouncer_.TakeQuiet(Clock::now());
    if (quiet.empty()) return;
    watches_.Handled();
    std::vector<std::string> documents;
    for (const std::string& path : quiet) {
      const WatchedRoot* root = RootOf(path);
      if (!root || !Exists(root->path)) continue;  // a folder gone as a whole keeps its documents until forgotten
      documents.push_back(DocumentPathFor(path, root->path));
    }
    if (documents.size() > 500) progress_.Say("looking at " + std::to_string(documents.size()) + " changed paths");
    Refresh(documents);
  }

  void Refresh(const std::vector<std::string>& paths) {
    if (paths.empty()) return;
    const RefreshCounts counts = RefreshPaths(options_, writer_, batch_, progress_, mounts_, paths);
    SettleLater();
    if ((counts.imported || counts.moved || counts.removed) && !options_.quiet)
      progress_.Say(std::to_string(counts.imported) + " imported, " + std::to_string(counts.moved) + " moved, " +
                    std::to_string(counts.removed) + " removed");
    if (counts.imported || counts.moved || counts.removed) progress_.Show(true);
  }

  void RescanDue() {
    if (paused_) return;
    const auto now = Clock::now();
    for (WatchedRoot& root : roots_) {
      if (Stopping() || now - root.lastRescan < watch_.rescanInterval) continue;
      if (root.network) {
        pendingRoots_.push_back(root.path);  // walked whole; its last update says how fresh it is
      } else if (!root.unwatched.empty()) {
        std::vector<std::string> folders;
        folders.swap(root.unwatched);
        for (const std::string& folder : folders)  // the limit may have been raised meanwhile
          for (std::string& still : watches_.AddTree(folder, options_.excludes)) root.unwatched.push_back(std::move(still));
        Refresh(folders);
        root.lastRescan = now;
      }
    }
  }

  void SettleLater() { settleDue_ = Clock::now() + watch_.idleBeforeSettling; }

  // Once idle, after the changes are committed and visible: a writer open
  // for the watcher's whole life would otherwise leave readers without the
  // packs that its changes dropped. Packing is a transaction of its own, so a
  // watcher stopped meanwhile loses nothing.
  void SettleWhenIdle() {
    if (paused_ || !settleDue_ || Clock::now() < *settleDue_ || Stopping()) return;
    if (debouncer_.Waiting() > 0 || !pendingRoots_.empty()) return SettleLater();
    settleDue_.reset();
    const auto start = Clock::now();
    writer_.Settle();
    if (!options_.quiet && Clock::now() - start > std::chrono::seconds(1))
      progress_.Say("search packs brought up to date in " + Elapsed(Clock::now() - start));
  }

  // How long ago the network folder walked longest ago was walked.
  std::string NetworkAge() const {
    std::optional<Clock::time_point> oldest;
    for (const WatchedRoot& root : roots_)
      if (root.network && (!oldest || root.lastRescan < *oldest)) oldest = root.lastRescan;
    if (!oldest) return "";
    const auto minutes = std::chrono::duration_cast<std::chrono::minutes>(Clock::now() - *oldest).count();
    return "; network folders walked " + (minutes < 1 ? std::string("less than a minute ago") : std::to_string(minutes) + " min ago");
  }

  void Summary() {
    if (options_.quiet) return;
    progress_.Say("watching " + std::to_string(roots_.size()) + " folders with " + std::to_string(watches_.Count()) + " watches; " +
                  std::to_string(writer_.DocumentCount()) + " documents in the index");
  }

  const RunOptions& options_;
  const WatchOptions& watch_;
  IndexWriter& writer_;
  Progress& progress_;
  BatchWriter batch_;
  FolderWatches watches_;
  Debouncer debouncer_;
  ControlServer server_;
  std::vector<Mount> mounts_;
  std::vector<WatchedRoot> roots_;
  std::vector<std::string> pendingRoots_;
  std::optional<Clock::time_point> settleDue_;
  bool paused_ = false;
};

}  // namespace

int Watch(const RunOptions& options, const WatchOptions& watch, const std::vector<std::string>& folders) {
  WriterLock lock(options.index);
  if (!lock.TryTake()) {
    if (HandToWatcher(options, "add", folders)) {
      std::cerr << "orvane-index: a watcher is running already (process " << lock.Holder() << ")"
                << (folders.empty() ? "" : "; it watches the folders given too") << "\n";
      return 0;
    }
    if (!TakeWriterLock(lock)) return 2;
  }
  LowerPriority();
  std::unique_ptr<IndexWriter> writer = OpenWriter(options);
  if (!writer) return 2;
  CatchStopSignals();
  Progress progress(options.quiet, options.progressLines);
  try {
    return Watcher(options, watch, *writer, progress).Run(folders);
  } catch (const StorageError& failure) {
    progress.Say("cannot write the index " + metadata::IndexDisplayName(options.index) + ": " + failure.what());
    return 2;
  }
}

std::optional<std::string> HandToWatcher(const RunOptions& options, const std::string& command, const std::vector<std::string>& folders) {
  std::vector<std::string> request{command};
  for (const std::string& folder : folders) request.push_back(AbsolutePath(folder));
  return AskWatcher(options.index, request);
}

int AsOnlyWriter(const RunOptions& options, const std::string& handOver, const std::vector<std::string>& folders,
                 const std::function<int()>& run) {
  WriterLock lock(options.index);
  if (!lock.usable() || lock.TryTake()) return run();  // a lock file that cannot be made: opening the index says why
  if (!handOver.empty())
    if (const auto reply = HandToWatcher(options, handOver, folders)) {
      if (!options.quiet)
        std::cerr << "orvane-index: handed to the running watcher (process " << lock.Holder() << "), which is " << *reply << "\n";
      return 0;
    }
  TakeWriterLock(lock);  // waits; should the lock fail now, the run goes on as before there was one
  return run();
}

}  // namespace indexer
