#include "indexer/freshness.h"

#include <sys/stat.h>

#include <algorithm>

#include "indexer/control.h"
#include "platform/metadata/store.h"

namespace indexer {

namespace {

// The last write: SQLite in WAL mode writes the -wal file first.
std::int64_t LastWrite(const std::filesystem::path& index, bool& exists) {
  std::int64_t latest = 0;
  exists = false;
  for (const std::string suffix : {"", "-wal"}) {
    struct stat info {};
    if (stat((index.string() + suffix).c_str(), &info) != 0) continue;
    exists = exists || suffix.empty();
    latest = std::max<std::int64_t>(latest, info.st_mtim.tv_sec);
  }
  return latest;
}

}  // namespace

IndexFreshness ReadIndexFreshness(const std::filesystem::path& index, const IndexFreshness* previous, std::chrono::milliseconds watcherWait) {
  IndexFreshness fresh;
  fresh.lastChange = LastWrite(index, fresh.exists);
  fresh.watcher = AskWatcher(index, {"status"}, watcherWait);
  if (!fresh.exists) return fresh;
  if (previous && previous->exists && previous->lastChange == fresh.lastChange && previous->documents) {
    fresh.documents = previous->documents;
    return fresh;
  }
  std::string error;
  if (std::shared_ptr<metadata::Index> opened = metadata::Index::Open(index, error)) {
    try {
      opened->BeginRead();
      fresh.documents = opened->AllDocuments().size();
      opened->EndRead();
    } catch (const metadata::StorageError&) {
      fresh.documents.reset();
    }
  }
  return fresh;
}

std::string GroupedCount(std::size_t count) {
  const std::string digits = std::to_string(count);
  std::string grouped;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

}  // namespace indexer
