// Walking the folders to index: which paths are documents, and each one's
// file identity, so that unchanged documents are not read again.
#pragma once

#include <dirent.h>

#include <functional>
#include <string>
#include <vector>

#include "importers/registry.h"
#include "platform/metadata/mounts.h"
#include "platform/metadata/store.h"

namespace indexer {

struct Candidate {
  std::string path;  // bytes as the file system spells them
  importers::Family family = nullptr;
  metadata::FileIdentity identity;
  bool network = false;  // where the file really lies, links followed
  bool known = false;    // CrawlOptions::known named its family
};

struct CrawlResult {
  std::vector<Candidate> documents;
  std::vector<std::pair<std::string, std::string>> problems;  // path, what went wrong
  std::vector<std::string> unreadable;                        // paths not read: the documents at and below them stay
  std::vector<metadata::MountFolder> mountFolders;             // folders where the walk went onto another file system
  size_t filesSeen = 0;
};

struct CrawlOptions {
  std::vector<std::string> excludes;  // glob patterns, matched against the whole path and the name
  std::vector<metadata::Mount> mounts;
  std::function<void(const CrawlResult&)> progress;  // called now and then
  std::function<bool()> stopped;                     // true: end the walk early
  // The family of a document the index holds with this very identity (null
  // for none); such a file is not opened again to recognise it.
  std::function<importers::Family(const std::string& path, const metadata::FileIdentity&)> known;
  // Reads a folder's next entry as readdir does (null at the end, or null
  // with errno set when the listing failed); readdir when empty.
  std::function<dirent*(const std::string& folder, DIR* handle)> readEntry;
};

// Walks `root` (a folder, or one document). Symbolic links to folders are
// followed once: a folder already walked is not walked again, so a link
// into itself makes no loop. Hidden folders and __MACOSX are skipped; a
// folder that is one document (an experiment folder) is not descended further. A folder
// that can be listed but not entered, one whose listing broke off, or an entry
// that cannot be looked at, goes to `unreadable` with a problem naming it.
void Crawl(const std::string& root, const CrawlOptions& options, CrawlResult& result);

// The identity of a document, as its family sums it for a folder document.
std::optional<metadata::FileIdentity> IdentityOf(const std::string& path, importers::Family family);

bool IsExcluded(const std::string& path, const std::vector<std::string>& excludes);

}  // namespace indexer
