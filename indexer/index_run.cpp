#include "indexer/index_run.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>
#include <set>

#include "importers/registry.h"
#include "importers/import_versions.h"
#include "platform/metadata/json_documents.h"
#include "platform/metadata/store.h"
#include "indexer/batch.h"
#include "indexer/crawl.h"
#include "indexer/known_documents.h"
#include "indexer/filesystem_id.h"
#include "indexer/protocol.h"
#include "indexer/workers.h"

namespace fs = std::filesystem;
using namespace metadata;

namespace indexer {

namespace {

// Whether a folder has no entry but "." and ".."; nothing when it cannot be
// listed to the end.
std::optional<bool> IsEmptyFolder(const std::string& path) {
  DIR* folder = opendir(path.c_str());
  if (!folder) return std::nullopt;
  bool empty = true;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(folder);
    if (!entry) break;
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) empty = false;
  }
  const int error = errno;
  closedir(folder);
  if (error != 0) return std::nullopt;
  return empty;
}

// Device and emptiness of a root that exists, and whether documents the
// index holds below it are still there.
RootCheck CheckRoot(const std::string& root, std::uint64_t recordedDevice, const std::vector<KnownDocument>& held) {
  RootCheck check;
  check.recordedDevice = recordedDevice;
  check.documentsHeld = held.size();
  struct stat info {};
  if (stat(root.c_str(), &info) != 0) return check;  // the walk reports it
  check.device = FileSystemId(root, info.st_dev);
  check.recordedDevice = OldDeviceNumberAt(root).Read(recordedDevice);
  if (S_ISDIR(info.st_mode)) check.empty = IsEmptyFolder(root).value_or(false);
  if (recordedDevice != 0 && check.device != recordedDevice) {
    // Only asked when the file system differs: a few documents are enough to tell.
    for (size_t i = 0; i < held.size() && i < 16 && !check.heldDocumentFound; ++i) {
      struct stat document {};
      check.heldDocumentFound = lstat(held[i].path.c_str(), &document) == 0;
    }
  }
  return check;
}

// `recognised`: the known documents the walk took as they are, in the order it took them.
CrawlOptions CrawlOptionsFor(const RunOptions& options, const std::vector<Mount>& mounts, KnownDocuments& known,
                             std::vector<KnownDocument*>& recognised, Progress& progress) {
  CrawlOptions crawlOptions;
  crawlOptions.excludes = options.excludes;
  crawlOptions.mounts = mounts;
  crawlOptions.progress = [&progress, seenBefore = progress.seen](const CrawlResult& sofar) {
    progress.seen = seenBefore + sofar.filesSeen;
    progress.Show();
  };
  crawlOptions.stopped = Stopping;
  crawlOptions.known = [&known, &recognised](const std::string& path, const FileIdentity& identity) -> importers::Family {
    KnownDocument* found = known.Find(path);
    if (!found || !(found->identity == identity)) return nullptr;
    recognised.push_back(found);
    return found->family;
  };
  return crawlOptions;
}

bool Kept(const std::string& path, const std::vector<std::string>& unreadable) {
  for (const std::string& folder : unreadable)
    if (IsAtOrBelow(path, folder)) return true;
  return false;
}

// Removes the documents the walk did not find, except those at or below a
// path it could not read this time.
void RemoveVanished(const KnownDocuments& known, const CrawlResult& crawl, BatchWriter& batch) {
  for (const KnownDocument& document : known.documents())
    if (!document.found && !Kept(document.path, crawl.unreadable)) batch.Remove(document.path);
}

// The nearest folder above `path` that is there now, if it is below `root`.
std::optional<std::string> NearestFolderBelowRoot(const std::string& path, const std::string& root) {
  std::string folder = path;
  for (;;) {
    const size_t slash = folder.rfind('/');
    if (slash == std::string::npos || slash <= root.size()) return std::nullopt;
    folder.resize(slash);
    struct stat info {};
    if (stat(folder.c_str(), &info) == 0) return S_ISDIR(info.st_mode) ? std::optional(folder) : std::nullopt;
  }
}

// A disk mounted below the root and unmounted since leaves its mount point:
// documents vanished below a folder that lay on another file system than
// the folder is on now, and the folder is empty or none of them is there.
// Such a folder is named and kept as one that could not be read. True when
// there is one.
bool KeepUnmountedBelow(const std::string& root, const KnownDocuments& known, CrawlResult& crawl, Progress& progress) {
  std::map<std::string, std::vector<const KnownDocument*>> vanishedBelow;  // the nearest folder there: the documents vanished below it
  for (const KnownDocument& document : known.documents())
    if (!document.found && !Kept(document.path, crawl.unreadable))
      if (const auto folder = NearestFolderBelowRoot(document.path, root)) vanishedBelow[*folder].push_back(&document);
  bool found = false;
  for (const auto& [folder, vanished] : vanishedBelow) {
    struct stat info {};
    if (stat(folder.c_str(), &info) != 0) continue;
    RootCheck check;
    check.device = FileSystemId(folder, info.st_dev);
    for (const KnownDocument* document : vanished)
      if (const std::uint64_t device = document->identity.device; device != 0 && device != check.device) check.recordedDevice = device;
    if (check.recordedDevice == 0) continue;  // all on the folder's own file system: they are gone
    check.empty = IsEmptyFolder(folder).value_or(false);
    check.documentsHeld = vanished.size();
    check.heldDocumentFound = std::any_of(crawl.documents.begin(), crawl.documents.end(),
                                          [&](const Candidate& present) { return IsAtOrBelow(present.path, folder); });
    const std::optional<std::string> why = LooksUnmounted(check);
    if (!why) continue;
    progress.Report(folder, "looks unmounted (" + *why + "); its " + std::to_string(vanished.size()) + " documents are kept");
    crawl.unreadable.push_back(folder);
    found = true;
  }
  return found;
}

// The disks the walk found mounted below the root, with those recorded
// before that it did not reach: away now (their documents are kept, and no
// search lists them until they are back), or below a folder it could not read.
void RecordMountFolders(IndexWriter& writer, BatchWriter& batch, const std::string& root, const CrawlResult& crawl) {
  std::vector<MountFolder> folders = crawl.mountFolders;
  const std::vector<MountFolder> recorded = writer.MountFoldersBelow(root);
  for (const MountFolder& before : recorded) {
    const bool found = std::any_of(folders.begin(), folders.end(), [&](const MountFolder& now) { return now.path == before.path; });
    if (!found && (Kept(before.path, crawl.unreadable) || DiskNotMountedAt(before.path, before.device))) folders.push_back(before);
  }
  if (folders.empty() && recorded.empty()) return;
  batch.Flush();
  writer.Begin();
  writer.SetMountFolders(root, folders);
  writer.Commit();
}

void RecordRoot(IndexWriter& writer, BatchWriter& batch, const std::string& root, std::int64_t lastUpdate, std::uint64_t device) {
  batch.Flush();
  writer.Begin();
  writer.AddRoot(root, lastUpdate, device);
  writer.Commit();
}

int IndexOne(const RunOptions& options, IndexWriter& writer, BatchWriter& batch, const std::string& root, const std::vector<Mount>& mounts,
             Progress& progress) {
  // Indexers sharing an index share no folders: one's walk would replace or drop another's documents.
  RootRecord recorded{root, 0, 0, writer.Owner()};
  for (const RootRecord& record : writer.AllRoots()) {
    if (record.path == root) recorded = record;
    if (record.owner == writer.Owner() || (!IsAtOrBelow(root, record.path) && !IsAtOrBelow(record.path, root))) continue;
    const std::string which = record.path == root ? "is" : "overlaps " + record.path + ", which is";
    progress.Report(root, which + " kept by the indexer " + record.owner + " (this one is " + writer.Owner() +
                              "); only that indexer updates or forgets it");
    return 1;
  }
  std::error_code error;
  if (!fs::exists(root, error)) {
    progress.Report(root, "no such file or folder; its documents stay in the index until it is forgotten");
    return 1;
  }
  ForgetFileSystemIds();  // disks may have come and gone since the last walk
  KnownDocuments known = KnownDocuments::Below(writer, root);
  const RootCheck check = CheckRoot(root, recorded.device, known.documents());
  if (const auto why = LooksUnmounted(check)) {
    progress.Report(root, "looks unmounted (" + *why + "); its " + std::to_string(known.documents().size()) +
                              " documents are kept. If it moved for good: orvane-index --forget '" + root + "'");
    return 1;
  }
  // Remembered at once, so --update finds it after an interruption.
  RecordRoot(writer, batch, root, recorded.lastUpdate, recorded.device != 0 ? recorded.device : check.device);

  const size_t seenBefore = progress.seen;
  CrawlResult crawl;
  std::vector<KnownDocument*> recognised;
  Crawl(root, CrawlOptionsFor(options, mounts, known, recognised, progress), crawl);
  progress.seen = seenBefore + crawl.filesSeen;
  for (const auto& [path, problem] : crawl.problems) progress.Report(path, problem);

  std::vector<Candidate> changed;
  size_t knownFound = 0;  // every known document found: nothing vanished, nothing to look for
  size_t nextRecognised = 0;
  for (const Candidate& candidate : crawl.documents) {
    // Each document the walk knew was looked up once, as the walk took it.
    KnownDocument* found =
        candidate.known && nextRecognised < recognised.size() ? recognised[nextRecognised++] : known.Find(candidate.path);
    if (found && !found->found) {
      found->found = true;
      ++knownFound;
    }
    if (found && found->identity == candidate.identity && MadeByCurrentImporter(*found, candidate.family)) {
      ++progress.unchanged;
      continue;
    }
    changed.push_back(candidate);
  }
  const size_t notStarted = ImportAll(options, changed, known.failedOnce(), batch, progress);
  if (Stopping()) return 0;  // the walk may be incomplete: nothing is taken for vanished
  const bool vanished = knownFound < known.documents().size();
  const bool unmountedBelow = vanished && KeepUnmountedBelow(root, known, crawl, progress);
  if (vanished) RemoveVanished(known, crawl, batch);
  RecordMountFolders(writer, batch, root, crawl);
  progress.notStarted += notStarted;
  if (notStarted > 0) return kNotStarted;  // not up to date: the root keeps its last update
  RecordRoot(writer, batch, root, Now(), check.device);
  return unmountedBelow ? 1 : 0;
}

// The last lines of a run whose writes failed: what the index holds of it,
// and what was done but is not there.
void ReportFailedWrite(const RunOptions& options, const StorageError& failure, size_t lost, Progress& progress) {
  progress.Show(true);
  progress.Say("cannot write the index " + metadata::IndexDisplayName(options.index) + ": " + failure.what());
  progress.Summary();
  progress.Say("the run stopped: " + std::to_string(progress.imported + progress.failed) + " of its documents are in the index, and " +
               std::to_string(lost) + " more were imported but lost with the failed write; run again once the index can be written");
}

int Run(const RunOptions& options, const std::vector<std::string>& roots) {
  std::unique_ptr<IndexWriter> writer = OpenWriter(options);
  if (!writer) return 2;
  CatchStopSignals();
  Progress progress(options.quiet, options.progressLines);
  BatchWriter batch(*writer, progress);
  const std::vector<Mount> mounts = CurrentMounts();
  int status = 0;
  try {
    for (const std::string& root : roots) {
      status = std::max(status, IndexOne(options, *writer, batch, root, mounts, progress));
      if (Stopping()) break;
    }
    batch.Flush();
  } catch (const StorageError& failure) {
    ReportFailedWrite(options, failure, batch.Lost(), progress);
    return 2;
  }
  progress.Show(true);
  progress.Summary();
  if (progress.notStarted > 0)
    progress.Say(std::to_string(progress.notStarted) +
                 " files were not imported because no worker process could be started; their folders are not marked as updated");
  if (Stopping()) {
    progress.Say("stopped: " + std::to_string(progress.imported + progress.failed) +
                 " documents imported and kept; run again (orvane-index --update) to finish");
    return 128 + StopSignal();
  }
  return status;
}

}  // namespace

int IndexRoot(const RunOptions& options, IndexWriter& writer, BatchWriter& batch, const std::string& root, const std::vector<Mount>& mounts,
              Progress& progress) {
  return IndexOne(options, writer, batch, root, mounts, progress);
}

std::optional<std::string> LooksUnmounted(const RootCheck& check) {
  if (check.documentsHeld == 0) return std::nullopt;  // nothing to lose
  if (check.empty) return "the folder is empty";
  if (check.recordedDevice != 0 && check.device != check.recordedDevice && !check.heldDocumentFound)
    return "it is on another file system than when it was indexed, and none of its documents is there";
  return std::nullopt;
}

std::string AbsolutePath(const std::string& path) {
  std::error_code error;
  std::string absolute = fs::absolute(fs::path(path), error).lexically_normal().string();
  while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
  return absolute;
}

int IndexFolders(const RunOptions& options, const std::vector<std::string>& paths) {
  std::vector<std::string> roots;
  for (const std::string& path : paths) roots.push_back(AbsolutePath(path));
  return Run(options, roots);
}

int UpdateRecordedFolders(const RunOptions& options) {
  std::vector<std::string> roots;
  {
    std::unique_ptr<IndexWriter> writer = OpenWriter(options);
    if (!writer) return 2;
    for (const RootRecord& root : writer->Roots()) roots.push_back(root.path);
  }
  if (roots.empty()) {
    std::cerr << "orvane-index: no folders are recorded yet; index one with: orvane-index FOLDER\n";
    return 0;
  }
  return Run(options, roots);
}

int ForgetFolders(const RunOptions& options, const std::vector<std::string>& paths) {
  std::unique_ptr<IndexWriter> writer = OpenWriter(options);
  if (!writer) return 2;
  int status = 0;
  try {
    for (const std::string& given : paths) {
      const std::string root = AbsolutePath(given);
      writer->Begin();
      const bool recorded = writer->RemoveRoot(root);
      std::vector<std::string> others;  // every indexer's, so that another's documents stay
      std::string keeper;
      for (const RootRecord& other : writer->AllRoots()) {
        others.push_back(other.path);
        if (other.path == root) keeper = other.owner;
      }
      // The disks below it are no longer watched for, unless a folder around it keeps them.
      if (recorded && std::none_of(others.begin(), others.end(), [&](const std::string& other) { return IsAtOrBelow(root, other); }))
        writer->SetMountFolders(root, {});
      size_t removed = 0;
      writer->ForEachDocument(root, [&](const std::string& path, const FileIdentity&, const std::string&) {
        for (const std::string& other : others)
          if (IsAtOrBelow(path, other)) return;  // still wanted by another folder
        removed += writer->Remove(path) ? 1 : 0;
      });
      writer->Commit();
      if (!recorded && !keeper.empty()) {
        std::cerr << "orvane-index: " << root << " is kept by the indexer " << keeper << "; only that indexer forgets it\n";
        status = 1;
      } else if (!recorded) {
        std::cerr << "orvane-index: " << root << " is not a recorded folder\n";
        status = 1;
      }
      if (!options.quiet && keeper.empty()) std::cerr << "orvane-index: forgot " << root << " and " << removed << " documents\n";
    }
  } catch (const StorageError& failure) {
    std::cerr << "orvane-index: cannot write the index: " << failure.what() << "\n";
    return 2;
  }
  return status;
}

}  // namespace indexer
