// What the index holds at or below a folder before the folder is walked
// again: read once, then asked for every file the walk finds, so that an
// unchanged file is neither opened nor imported again.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "importers/registry.h"
#include "platform/metadata/store.h"

namespace indexer {

struct KnownDocument {
  std::string path;
  metadata::FileIdentity identity;
  importers::Family family = nullptr;
  double importVersion = 0;  // the version of the importer that made its values
  bool found = false;        // the walk found it where it was
};

class KnownDocuments {
 public:
  // The documents at or below `root`; those indexed when file systems were
  // named by device number read as the file system's id now (see OldDeviceNumber).
  static KnownDocuments Below(metadata::IndexWriter& writer, const std::string& root);

  KnownDocument* Find(std::string_view path);
  const KnownDocument* Find(std::string_view path) const;
  // In the order the index gave them.
  const std::vector<KnownDocument>& documents() const { return documents_; }
  // To be tried again after a failure that may pass.
  const std::set<std::string>& failedOnce() const { return failedOnce_; }

 private:
  void IndexRuns();

  std::vector<KnownDocument> documents_;
  // Each path's hash with where its document is, sorted, and where each
  // run of hashes with the same top bits starts in it: a look-up reads one
  // or two places of one block of memory, where a hash table of 100,000
  // strings costs a node and a cache miss or two each.
  std::vector<std::pair<std::size_t, std::uint32_t>> byHash_;
  std::vector<std::uint32_t> runs_;
  int shift_ = 0;
  std::set<std::string> failedOnce_;
};

// Whether `document`'s values were made by `family`'s importer as it is now.
bool MadeByCurrentImporter(const KnownDocument& document, importers::Family family);

}  // namespace indexer
