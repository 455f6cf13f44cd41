#include "indexer/refresh.h"

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <tuple>
#include <unordered_map>

#include "importers/registry.h"
#include "indexer/filesystem_id.h"
#include "platform/metadata/encoding.h"

using namespace metadata;

namespace indexer {

namespace {

struct Held {
  FileIdentity identity;
  importers::Family family = nullptr;
};

using IdentityKey = std::tuple<std::uint64_t, std::uint64_t, std::int64_t, std::int64_t>;
IdentityKey KeyOf(const FileIdentity& identity) { return {identity.device, identity.inode, identity.size, identity.modifiedNs}; }

// Sorted, and without the paths that lie below another one of them.
std::vector<std::string> Outermost(std::vector<std::string> paths) {
  std::sort(paths.begin(), paths.end());
  std::vector<std::string> outer;
  for (const std::string& path : paths)
    if (outer.empty() || !IsAtOrBelow(path, outer.back())) outer.push_back(path);
  return outer;
}

bool Kept(const std::string& path, const std::vector<std::string>& unreadable) {
  for (const std::string& folder : unreadable)
    if (IsAtOrBelow(path, folder)) return true;
  return false;
}

// The record the index holds at `from`, for the same document at `to`; nothing
// when it has none to give (then the document is imported again).
std::optional<DocumentRecord> MovedRecord(Index& reader, const std::string& from, const Candidate& to) {
  reader.BeginRead();
  const std::optional<std::string> record = reader.RecordAt(from);
  const std::vector<std::string> notes = record ? reader.NotesAt(from) : std::vector<std::string>{};
  reader.EndRead();
  if (!record) return std::nullopt;
  DocumentRecord moved;
  moved.path = to.path;
  moved.network = to.network;
  moved.family = std::string(importers::FamilyName(to.family));
  moved.identity = to.identity;
  moved.notes = notes;
  bool complete = true;
  const bool decoded = DecodeAttributes(*record, [&](int id, Value&& value) {
    if (const std::string* name = reader.AttributeName(id)) moved.attributes[*name] = std::move(value);
    else complete = false;
  });
  if (!decoded || !complete) return std::nullopt;
  for (auto& [name, value] : importers::FileAttributes(to.path)) moved.attributes[name] = std::move(value);
  moved.attributes[kDisplayNameAttribute] = DisplayNameOf(to.path);
  return moved;
}

}  // namespace

std::string DocumentPathFor(const std::string& path, const std::string& root) {
  std::string folder = path;
  std::string document = path;
  while (folder.size() > root.size()) {
    const size_t slash = folder.rfind('/');
    if (slash == std::string::npos || slash < root.size()) break;
    folder.resize(std::max<size_t>(slash, 1));
    if (!IsAtOrBelow(folder, root)) break;
    if (const importers::Family family = importers::Recognise(folder); family && family->IsFolderDocument()) document = folder;
  }
  return document;
}

RefreshCounts RefreshPaths(const RunOptions& options, IndexWriter& writer, BatchWriter& batch, Progress& progress,
                           const std::vector<Mount>& mounts, std::vector<std::string> paths) {
  batch.Flush();
  const size_t before = progress.imported + progress.failed;
  std::unordered_map<std::string, Held> held;
  std::vector<std::string> heldPaths;
  std::set<std::string> failedOnce;
  CrawlResult crawl;
  CrawlOptions crawlOptions;
  crawlOptions.excludes = options.excludes;
  crawlOptions.mounts = mounts;
  crawlOptions.stopped = Stopping;
  crawlOptions.known = [&held](const std::string& path, const FileIdentity& identity) -> importers::Family {
    auto found = held.find(path);
    return found != held.end() && found->second.identity == identity ? found->second.family : nullptr;
  };
  ForgetFileSystemIds();  // disks may have come and gone since the last change
  for (const std::string& path : Outermost(std::move(paths))) {
    const OldDeviceNumber old = OldDeviceNumberAt(path);
    writer.ForEachDocument(path, [&](const std::string& document, FileIdentity identity, const std::string& family) {
      if (identity != kTryAgain) identity.device = old.Read(identity.device);
      held.emplace(document, Held{identity, importers::FamilyNamed(family)});
      heldPaths.push_back(document);
      if (identity == kTryAgain) failedOnce.insert(document);
    });
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0) Crawl(path, crawlOptions, crawl);
  }
  for (const auto& [path, problem] : crawl.problems) progress.Report(path, problem);
  progress.seen += crawl.filesSeen;

  std::set<std::string> present;
  std::vector<Candidate> changed;
  for (const Candidate& candidate : crawl.documents) {
    present.insert(candidate.path);
    auto found = held.find(candidate.path);
    if (found == held.end() || !(found->second.identity == candidate.identity)) changed.push_back(candidate);
  }
  std::map<IdentityKey, std::string> vanished;  // by identity, to find the documents that only moved
  for (const std::string& path : heldPaths)
    if (!present.count(path) && !Kept(path, crawl.unreadable) && !DocumentOnDiskNotMounted(path, held.at(path).identity.device))
      vanished.emplace(KeyOf(held.at(path).identity), path);

  RefreshCounts counts;
  std::vector<Candidate> toImport;
  std::shared_ptr<Index> reader;
  std::set<std::string> failed;
  for (const Candidate& candidate : changed) {
    auto from = held.count(candidate.path) ? vanished.end() : vanished.find(KeyOf(candidate.identity));
    if (from != vanished.end() && !reader) {
      batch.Flush();  // the reader sees what is committed
      std::string error;
      reader = Index::Open(options.index, error);
      for (const ImportFailure& failure : writer.Failures()) failed.insert(failure.path);
    }
    std::optional<DocumentRecord> moved;
    if (from != vanished.end() && reader && !failed.count(from->second)) moved = MovedRecord(*reader, from->second, candidate);
    if (!moved) {
      toImport.push_back(candidate);
      continue;
    }
    batch.Put(*moved);
    batch.Remove(from->second);
    vanished.erase(from);
    ++counts.moved;
  }
  ImportAll(options, toImport, failedOnce, batch, progress);
  if (Stopping()) return counts;  // what was not looked at is left for the next start
  for (const auto& [key, path] : vanished) {
    batch.Remove(path);
    ++counts.removed;
  }
  batch.Flush();
  counts.imported = progress.imported + progress.failed - before - counts.moved;
  return counts;
}

}  // namespace indexer
