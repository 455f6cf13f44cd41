#include "platform/metadata/store.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/metadata/postgres/pg_index.h"
#include "platform/metadata/postgres/pg_writer.h"
#include "platform/metadata/sqlite/sqlite_index.h"
#include "platform/metadata/sqlite/sqlite_writer.h"
#include "platform/metadata/text_match.h"

namespace fs = std::filesystem;

namespace metadata {

namespace {

fs::path HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return "/";
}

PackLimits& Packing() {
  static PackLimits limits;
  return limits;
}

}  // namespace

void SetPackLimits(const PackLimits& limits) { Packing() = limits; }
PackLimits CurrentPackLimits() { return Packing(); }

fs::path DefaultIndexPath() {
  if (const char* index = std::getenv("ORVANE_INDEX"); index && *index) return index;
  fs::path data;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/')
    data = xdg;
  else
    data = HomeFolder() / ".local" / "share";
  return data / "orvane" / "index.sqlite";
}

bool Index::DocumentsOfWords(int attr, std::string_view prefix, size_t limit, const std::function<bool(std::string_view word)>& wanted,
                             DocSet& out) {
  std::string last;
  bool lastWanted = false, first = true;
  return WordsWithPrefix(attr, prefix, limit, [&](std::string_view word, std::int64_t doc) {
    if (first || word != last) {  // rows come word by word
      first = false;
      last = word;
      lastWanted = wanted(word);
    }
    if (lastWanted) out.push_back(doc);
  });
}

std::string NormalizeFolder(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

bool IsAtOrBelow(std::string_view path, std::string_view folder) {
  if (folder == "/") return !path.empty() && path.front() == '/';
  return path.substr(0, folder.size()) == folder && (path.size() == folder.size() || path[folder.size()] == '/');
}

std::string IndexedString(const std::string& value) {
  std::string composed = ComposedForm(value);
  if (composed.size() > kIndexedStringBytes) composed.resize(kIndexedStringBytes);
  return composed;
}

bool IsDatabaseUri(std::string_view location) { return postgres::IsConnectionUri(location); }

std::string IndexDisplayName(const fs::path& location) {
  return IsDatabaseUri(location.native()) ? postgres::DisplayName(location.native()) : location.string();
}

bool DatabaseUriHoldsPassword(std::string_view location) {
  return IsDatabaseUri(location) && postgres::HoldsPassword(std::string(location));
}

std::shared_ptr<Index> Index::Open(const fs::path& file, std::string& error) {
  if (IsDatabaseUri(file.native())) return postgres::PostgresIndex::Open(file.native(), error);
  return sqlite::SqliteIndex::Open(file, error);
}

std::unique_ptr<IndexWriter> IndexWriter::Open(const fs::path& file, std::string& error) {
  if (IsDatabaseUri(file.native())) return postgres::PostgresWriter::Open(file.native(), error);
  return sqlite::SqliteWriter::Open(file, error);
}

std::unique_ptr<IndexWriter> IndexWriter::OpenForListing(const fs::path& file, std::string& error) {
  if (IsDatabaseUri(file.native())) return postgres::PostgresWriter::Open(file.native(), error, postgres::WriterUse::Listing);
  return sqlite::SqliteWriter::Open(file, error);
}

bool InitializeIndex(const fs::path& location, std::string& error) {
  if (IsDatabaseUri(location.native())) return postgres::InitializeIndex(location.native(), error);
  return IndexWriter::Open(location, error) != nullptr;
}

void Index::SetAttributeNames(std::unordered_map<std::string, int> ids, std::string name) {
  ids_ = std::move(ids);
  names_.clear();
  for (const auto& [attribute, id] : ids_) names_[id] = attribute;
  name_ = std::move(name);
}

int Index::AttributeId(const std::string& name) const {
  auto found = ids_.find(name);
  return found == ids_.end() ? -1 : found->second;
}

const std::string* Index::AttributeName(int id) const {
  auto found = names_.find(id);
  return found == names_.end() ? nullptr : &found->second;
}

}  // namespace metadata
