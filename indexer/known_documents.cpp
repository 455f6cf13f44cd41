#include "indexer/known_documents.h"

#include <algorithm>
#include <functional>

#include "importers/import_versions.h"
#include "indexer/batch.h"
#include "indexer/filesystem_id.h"
#include "platform/metadata/attributes.h"

namespace indexer {

namespace {

std::size_t HashOf(std::string_view path) { return std::hash<std::string_view>{}(path); }

// Each stored family name is one of a few: looked up once, not once a document.
class FamilyNames {
 public:
  importers::Family Named(const std::string& name) {
    if (name != lastName_) {
      lastName_ = name;
      last_ = importers::FamilyNamed(name);
    }
    return last_;
  }

 private:
  std::string lastName_;
  importers::Family last_ = importers::FamilyNamed("");
};

}  // namespace

KnownDocuments KnownDocuments::Below(metadata::IndexWriter& writer, const std::string& root) {
  KnownDocuments known;
  const OldDeviceNumber old = OldDeviceNumberAt(root);
  FamilyNames families;
  writer.ForEachDocumentWithNumber(root, metadata::attributes::kImportVersion,
                                   [&](const std::string& path, metadata::FileIdentity identity, const std::string& family,
                                       std::optional<double> importVersion) {
                                     if (identity == kTryAgain) known.failedOnce_.insert(path);
                                     else identity.device = old.Read(identity.device);
                                     known.documents_.push_back({path, identity, families.Named(family),
                                                                 importVersion.value_or(double(importers::kFirstImportVersion))});
                                   });
  known.byHash_.reserve(known.documents_.size());
  for (std::uint32_t i = 0; i < known.documents_.size(); ++i) known.byHash_.emplace_back(HashOf(known.documents_[i].path), i);
  std::sort(known.byHash_.begin(), known.byHash_.end());
  known.IndexRuns();
  return known;
}

void KnownDocuments::IndexRuns() {
  int bits = 1;  // about two documents a run
  while (bits < 30 && (size_t(1) << bits) < byHash_.size() / 2) ++bits;
  shift_ = int(sizeof(std::size_t) * 8) - bits;
  runs_.assign((size_t(1) << bits) + 1, 0);
  size_t at = 0;
  for (size_t run = 0; run < runs_.size(); ++run) {
    while (at < byHash_.size() && (byHash_[at].first >> shift_) < run) ++at;
    runs_[run] = std::uint32_t(at);
  }
}

const KnownDocument* KnownDocuments::Find(std::string_view path) const {
  const std::size_t hash = HashOf(path);
  const size_t run = hash >> shift_;
  auto at = std::lower_bound(byHash_.begin() + runs_[run], byHash_.begin() + runs_[run + 1], std::pair<std::size_t, std::uint32_t>(hash, 0));
  for (; at != byHash_.end() && at->first == hash; ++at)
    if (documents_[at->second].path == path) return &documents_[at->second];
  return nullptr;
}

KnownDocument* KnownDocuments::Find(std::string_view path) {
  return const_cast<KnownDocument*>(std::as_const(*this).Find(path));
}

bool MadeByCurrentImporter(const KnownDocument& document, importers::Family family) {
  return document.importVersion >= importers::ImportVersion(family);
}

}  // namespace indexer
