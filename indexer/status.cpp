#include "indexer/status.h"

#include <algorithm>
#include <ctime>
#include <iostream>
#include <map>

#include "indexer/batch.h"
#include "indexer/filesystem_id.h"
#include "indexer/watch.h"
#include "platform/metadata/store.h"

namespace fs = std::filesystem;
using namespace metadata;

namespace indexer {

namespace {

// Long lists stop here, with a count of the rest: the status fits a terminal.
constexpr size_t kListed = 20;

std::string When(std::int64_t unixSeconds) {
  char when[64] = "never";
  const std::time_t t = std::time_t(unixSeconds);
  if (unixSeconds > 0) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", std::localtime(&t));
  return when;
}

// Each entry as "  path: text", at most kListed of them.
void PrintListed(const std::string& heading, const std::vector<std::pair<std::string, std::string>>& entries) {
  std::cout << heading << ": " << entries.size() << "\n";
  for (size_t i = 0; i < entries.size() && i < kListed; ++i) std::cout << "  " << entries[i].first << ": " << entries[i].second << "\n";
  if (entries.size() > kListed) std::cout << "  ... and " << entries.size() - kListed << " more\n";
}

// The folders, each with its last update; returns the latest of them.
std::int64_t PrintFolders(IndexWriter& writer) {
  std::int64_t latest = 0;
  std::cout << "folders:\n";
  for (const RootRecord& root : writer.AllRoots()) {
    std::cout << "  " << root.path << " (updated " << When(root.lastUpdate) << (root.owner.empty() ? "" : ", kept by " + root.owner) << ")\n";
    latest = std::max(latest, root.lastUpdate);
  }
  return latest;
}

void PrintDocuments(IndexWriter& writer) {
  std::size_t total = 0;
  std::string byFamily;
  for (const auto& [family, count] : writer.FamilyCounts()) {
    total += count;
    byFamily += (byFamily.empty() ? "" : ", ") + (family.empty() ? std::string("other") : family) + " " + std::to_string(count);
  }
  std::cout << "documents: " << total << (byFamily.empty() ? "" : " (" + byFamily + ")") << "\n";
}

void PrintFailuresAndNotes(IndexWriter& writer) {
  std::vector<std::pair<std::string, std::string>> failed;
  for (ImportFailure& failure : writer.Failures()) failed.emplace_back(std::move(failure.path), std::move(failure.reason));
  PrintListed("failures", failed);
  std::vector<std::pair<std::string, std::string>> noted;
  for (const ImportNotes& document : writer.Notes()) {
    std::string joined;
    for (const std::string& note : document.notes) joined += (joined.empty() ? "" : "; ") + note;
    noted.emplace_back(document.path, joined);
  }
  PrintListed("documents with notes", noted);
}

// Whether a document's disk is not mounted, asked once a folder and file system.
class FolderFileSystems {
 public:
  bool Holds(const std::string& document, std::uint64_t device) {
    std::string folder = document.substr(0, std::max<size_t>(document.rfind('/'), 1));
    auto [found, added] = away_.try_emplace({std::move(folder), device});
    if (added) found->second = DiskNotMountedAt(found->first.first, device);
    return !found->second;
  }

 private:
  std::map<std::pair<std::string, std::uint64_t>, bool> away_;
};

// Documents whose file system is not mounted where they lie.
void PrintNotMounted(IndexWriter& writer) {
  FolderFileSystems folders;
  size_t notMounted = 0;
  writer.ForEachDocument("", [&](const std::string& path, const FileIdentity& identity, const std::string&) {
    if (!folders.Holds(path, identity.device)) ++notMounted;
  });
  if (notMounted > 0) std::cout << notMounted << " documents on disks not mounted (kept until their disk is back)\n";
}

void PrintWatcher(const RunOptions& options) {
  const std::optional<std::string> reply = HandToWatcher(options, "status", {});
  if (!reply) {
    std::cout << "watcher: not running (start it with: orvane-index --watch, or as a service: orvane-index --enable)\n";
    return;
  }
  std::cout << "watcher: " << *reply << "\n";
}

}  // namespace

int PrintStatus(const RunOptions& options) {
  // Asked about, never made: opening a path that holds no index would create one.
  std::error_code missing;
  if (!IsDatabaseUri(options.index.native()) && !fs::exists(options.index, missing)) {
    std::cerr << "orvane-index: there is no index at " << options.index.string() << "; build one with: orvane-index FOLDER...\n";
    return 1;
  }
  std::string problem;
  std::unique_ptr<IndexWriter> writer = IndexWriter::OpenForListing(options.index, problem);
  if (!writer) {
    std::cerr << "orvane-index: " << problem << "\n";
    return 2;
  }
  try {
    std::error_code error;
    const auto bytes = fs::file_size(options.index, error);
    if (IsDatabaseUri(options.index.native()))
      std::cout << "index: " << IndexDisplayName(options.index) << "\n";
    else
      std::cout << "index: " << options.index.string() << " (" << (error ? 0 : bytes) / 1024 << " KiB)\n";
    const std::int64_t latest = PrintFolders(*writer);
    PrintDocuments(*writer);
    PrintNotMounted(*writer);
    PrintFailuresAndNotes(*writer);
    std::cout << "last update: " << When(latest) << "\n";
    PrintWatcher(options);
  } catch (const StorageError& failure) {
    std::cerr << "orvane-index: cannot read the index: " << failure.what() << "\n";
    return 2;
  }
  return 0;
}

}  // namespace indexer
