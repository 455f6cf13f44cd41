#include "platform/metadata/store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <cstring>

#include "platform/metadata/encoding.h"
#include "platform/metadata/text_match.h"

namespace fs = std::filesystem;

namespace metadata {

namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE attribute_names(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);
CREATE TABLE documents(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  path BLOB NOT NULL UNIQUE,
  network INTEGER NOT NULL DEFAULT 0,
  family TEXT NOT NULL DEFAULT '',
  device INTEGER NOT NULL DEFAULT 0,
  inode INTEGER NOT NULL DEFAULT 0,
  size INTEGER NOT NULL DEFAULT 0,
  modified_ns INTEGER NOT NULL DEFAULT 0,
  failure TEXT,
  attributes BLOB NOT NULL);
CREATE INDEX documents_on_network ON documents(id) WHERE network = 1;
CREATE TABLE number_values(attr INTEGER NOT NULL, value REAL NOT NULL, doc INTEGER NOT NULL,
  PRIMARY KEY(attr, value, doc)) WITHOUT ROWID;
CREATE TABLE string_values(attr INTEGER NOT NULL, value BLOB NOT NULL, doc INTEGER NOT NULL,
  PRIMARY KEY(attr, value, doc)) WITHOUT ROWID;
CREATE TABLE distinct_strings(attr INTEGER NOT NULL, value BLOB NOT NULL,
  PRIMARY KEY(attr, value)) WITHOUT ROWID;
CREATE TABLE empty_values(attr INTEGER NOT NULL, doc INTEGER NOT NULL, PRIMARY KEY(attr, doc)) WITHOUT ROWID;
CREATE TABLE number_spans(attr INTEGER NOT NULL, low REAL NOT NULL, doc INTEGER NOT NULL, high REAL NOT NULL,
  PRIMARY KEY(attr, low, doc)) WITHOUT ROWID;
CREATE VIRTUAL TABLE string_trigrams USING fts5(text, tokenize='trigram case_sensitive 1', content='', detail='full');
CREATE VIRTUAL TABLE stripped_trigrams USING fts5(text, tokenize='trigram case_sensitive 1', content='', detail='full');
CREATE TABLE roots(path BLOB PRIMARY KEY, last_update INTEGER NOT NULL DEFAULT 0, device INTEGER NOT NULL DEFAULT 0);
)sql";

fs::path HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return "/";
}

std::string RebuildAdvice(const fs::path& file) {
  return "move it away and build a new index with: orvane-index --db '" + file.string() + "' FOLDER...";
}

// Checks the file is an index this program reads; an empty string when it is.
std::string CheckIndex(sqlite3* db, const fs::path& file) {
  std::int64_t application = 0, version = 0;
  try {
    Statement id(db, "PRAGMA application_id");
    if (id.Step()) application = id.Int(0);
    Statement user(db, "PRAGMA user_version");
    if (user.Step()) version = user.Int(0);
  } catch (const SqliteError& error) {
    return file.string() + " is not an Orvane index or is damaged (" + error.what() + "); " + RebuildAdvice(file);
  }
  if (application != kApplicationId)
    return file.string() + " is not an Orvane index; " + RebuildAdvice(file);
  if (version != kSchemaVersion)
    return "the index " + file.string() + " has format version " + std::to_string(version) + ", and this Orvane reads version " +
           std::to_string(kSchemaVersion) + "; " + RebuildAdvice(file);
  return {};
}

void LoadAttributeNames(sqlite3* db, std::unordered_map<std::string, int>& ids, std::unordered_map<int, std::string>& names) {
  Statement all(db, "SELECT id, name FROM attribute_names");
  while (all.Step()) {
    ids[all.Text(1)] = int(all.Int(0));
    names[int(all.Int(0))] = all.Text(1);
  }
}

bool IsStringValue(const Value& value) {
  return std::holds_alternative<std::string>(value) || std::holds_alternative<StringArray>(value);
}

void ForEachString(const Value& value, const std::function<void(const std::string&)>& visit) {
  if (const auto* text = std::get_if<std::string>(&value)) visit(*text);
  if (const auto* texts = std::get_if<StringArray>(&value))
    for (const auto& text : *texts) visit(text);
}

void ForEachNumber(const Value& value, const std::function<void(double)>& visit) {
  if (const auto* number = std::get_if<double>(&value)) visit(*number);
  if (const auto* date = std::get_if<Date>(&value)) visit(date->seconds);
  if (const auto* numbers = std::get_if<NumberArray>(&value))
    for (double number : *numbers) visit(number);
}

void WriteSchema(sqlite3* db) {
  Execute(db, "PRAGMA journal_mode=WAL");
  Execute(db, "BEGIN");
  Execute(db, kSchema);
  Execute(db, ("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str());
  Execute(db, ("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
  Execute(db, "COMMIT");
}

// Makes a new, empty index at `file`: complete beside it under another name,
// then linked into place, so that an interrupted creation leaves no file that
// later runs would refuse. Another process creating it at the same time wins
// without harm.
bool CreateIndexFile(const fs::path& file, std::string& error) {
  std::string draft = file.string() + ".new-XXXXXX";
  const int fd = ::mkstemp(draft.data());
  if (fd < 0) {
    error = "cannot create the index " + file.string() + ": " + std::strerror(errno);
    return false;
  }
  ::fchmod(fd, 0600);  // an index lists the user's files
  ::close(fd);
  auto discard = [&draft] {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) ::unlink((draft + suffix).c_str());
  };
  sqlite3* raw = nullptr;
  const int code = sqlite3_open_v2(draft.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  Database db(raw);
  try {
    if (code != SQLITE_OK) throw SqliteError(raw ? sqlite3_errmsg(raw) : sqlite3_errstr(code), code);
    WriteSchema(raw);
    Execute(raw, "PRAGMA journal_mode=DELETE");  // all in the one file before it is linked
  } catch (const SqliteError& failure) {
    error = "cannot create the index " + file.string() + ": " + failure.what();
    db.reset();
    discard();
    return false;
  }
  db.reset();
  const bool linked = ::link(draft.c_str(), file.c_str()) == 0 || errno == EEXIST;
  const int linkError = errno;
  discard();
  if (!linked) error = "cannot create the index " + file.string() + ": " + std::strerror(linkError);
  return linked;
}

}  // namespace

fs::path DefaultIndexPath() {
  if (const char* index = std::getenv("ORVANE_INDEX"); index && *index) return index;
  fs::path data;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/')
    data = xdg;
  else
    data = HomeFolder() / ".local" / "share";
  return data / "orvane" / "index.sqlite";
}

std::string NormalizeFolder(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

std::string FolderRangeEnd(const std::string& folder) {
  // Every path below "folder" starts with "folder/", and '/' + 1 is '0'. The
  // root folder holds everything and needs no range; callers test for it.
  return folder + "0";
}

bool HasTrigramRow(int attributeId) { return attributeId >= 0 && attributeId < kTrigramSlots; }

std::int64_t TrigramRowId(std::int64_t doc, int attributeId) { return doc * kTrigramSlots + attributeId; }

std::string IndexedString(const std::string& value) {
  std::string composed = ComposedForm(value);
  if (composed.size() > kIndexedStringBytes) composed.resize(kIndexedStringBytes);
  return composed;
}

bool IsEmptyArray(const Value& value) {
  if (const auto* texts = std::get_if<StringArray>(&value)) return texts->empty();
  if (const auto* numbers = std::get_if<NumberArray>(&value)) return numbers->empty();
  return false;
}

std::string TrigramText(const Value& value) {
  std::string text;
  ForEachString(value, [&](const std::string& s) {
    if (!text.empty()) text += '\n';  // no pattern run holds a line break, so none spans two values
    text += FoldedForm(s);
  });
  return text;
}

std::string StrippedTrigramText(const Value& value) {
  std::string text;
  bool differs = false;
  ForEachString(value, [&](const std::string& s) {
    if (!text.empty()) text += '\n';
    const std::string stripped = IndexForm(s);
    differs = differs || stripped != FoldedForm(s);
    text += stripped;
  });
  return differs ? text : std::string();
}

std::optional<std::pair<double, double>> SpanOf(const Value& value) {
  const auto* numbers = std::get_if<NumberArray>(&value);
  if (!numbers || numbers->size() < 2) return std::nullopt;
  const auto [low, high] = std::minmax_element(numbers->begin(), numbers->end());
  return std::make_pair(*low, *high);
}

std::shared_ptr<Index> Index::Open(const fs::path& file, std::string& error) {
  std::error_code ignored;
  if (!fs::exists(file, ignored)) {
    error = "there is no index at " + file.string() + "; build one with: orvane-index FOLDER...";
    return nullptr;
  }
  sqlite3* raw = nullptr;
  const int code = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
  Database db(raw);
  if (code != SQLITE_OK) {
    error = "cannot open the index " + file.string() + ": " + (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(code));
    return nullptr;
  }
  sqlite3_busy_timeout(raw, 5000);
  if (error = CheckIndex(raw, file); !error.empty()) return nullptr;
  // Reads through a memory map and a generous cache: searches read many small rows.
  sqlite3_exec(raw, "PRAGMA mmap_size=1073741824; PRAGMA cache_size=-65536", nullptr, nullptr, nullptr);
  auto index = std::shared_ptr<Index>(new Index);
  try {
    LoadAttributeNames(raw, index->ids_, index->names_);
  } catch (const SqliteError& failure) {
    error = file.string() + " is damaged (" + failure.what() + "); " + RebuildAdvice(file);
    return nullptr;
  }
  index->db_ = std::move(db);
  index->file_ = file;
  return index;
}

int Index::AttributeId(const std::string& name) const {
  auto found = ids_.find(name);
  return found == ids_.end() ? -1 : found->second;
}

const std::string* Index::AttributeName(int id) const {
  auto found = names_.find(id);
  return found == names_.end() ? nullptr : &found->second;
}

struct IndexWriter::Statements {
  Statement findDocument, insertDocument, updateDocument, deleteDocument;
  Statement insertNumber, deleteNumber, insertString, deleteString, insertDistinct;
  Statement insertTrigrams, deleteTrigrams, insertStripped, deleteStripped, insertSpan, deleteSpan, insertName;
  Statement identity, allDocuments, documentsBelow;
  Statement insertRoot, deleteRoot, allRoots;
  Statement insertEmpty, deleteEmpty;
};

std::unique_ptr<IndexWriter> IndexWriter::Open(const fs::path& file, std::string& error) {
  std::error_code fsError;
  const fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
  if (!fs::exists(folder, fsError)) {
    fs::create_directories(folder, fsError);
    if (!fsError) fs::permissions(folder, fs::perms::owner_all, fsError);  // an index lists the user's files
    if (fsError) {
      error = "cannot create the folder " + folder.string() + ": " + fsError.message();
      return nullptr;
    }
  }
  // An empty file holds nothing to lose: one left by an earlier program that
  // was stopped while creating the index is made anew.
  if (fs::exists(file, fsError) && fs::is_regular_file(file, fsError) && fs::file_size(file, fsError) == 0) fs::remove(file, fsError);
  if (!fs::exists(file, fsError) && !CreateIndexFile(file, error)) return nullptr;
  sqlite3* raw = nullptr;
  const int code = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  Database db(raw);
  if (code != SQLITE_OK) {
    error = "cannot open the index " + file.string() + ": " + (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(code));
    return nullptr;
  }
  sqlite3_busy_timeout(raw, 10000);
  std::unique_ptr<IndexWriter> writer(new IndexWriter);
  try {
    if (error = CheckIndex(raw, file); !error.empty()) return nullptr;
    Execute(raw, "PRAGMA journal_mode=WAL");
    Execute(raw, "PRAGMA synchronous=NORMAL");
    // A run reads every known document's identity: through a memory map,
    // not a system call a page.
    Execute(raw, "PRAGMA mmap_size=1073741824");
    Execute(raw, "PRAGMA cache_size=-65536");
    LoadAttributeNames(raw, writer->ids_, writer->names_);
    writer->db_ = std::move(db);
    writer->Prepare();
  } catch (const SqliteError& failure) {
    error = "cannot use the index " + file.string() + ": " + failure.what();
    return nullptr;
  }
  return writer;
}

IndexWriter::~IndexWriter() {
  if (inTransaction_) {
    try {
      Rollback();
    } catch (...) {
    }
  }
}

void IndexWriter::Prepare() {
  sqlite3* db = db_.get();
  statements_ = std::make_unique<Statements>(Statements{
      Statement(db, "SELECT id, attributes FROM documents WHERE path = ?1"),
      Statement(db, "INSERT INTO documents(path, network, family, device, inode, size, modified_ns, failure, attributes) "
                    "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)"),
      Statement(db, "UPDATE documents SET network=?2, family=?3, device=?4, inode=?5, size=?6, modified_ns=?7, "
                    "failure=?8, attributes=?9 WHERE id=?1"),
      Statement(db, "DELETE FROM documents WHERE id = ?1"),
      Statement(db, "INSERT OR IGNORE INTO number_values(attr, value, doc) VALUES(?1, ?2, ?3)"),
      Statement(db, "DELETE FROM number_values WHERE attr=?1 AND value=?2 AND doc=?3"),
      Statement(db, "INSERT OR IGNORE INTO string_values(attr, value, doc) VALUES(?1, ?2, ?3)"),
      Statement(db, "DELETE FROM string_values WHERE attr=?1 AND value=?2 AND doc=?3"),
      Statement(db, "INSERT OR IGNORE INTO distinct_strings(attr, value) VALUES(?1, ?2)"),
      Statement(db, "INSERT INTO string_trigrams(rowid, text) VALUES(?1, ?2)"),
      Statement(db, "INSERT INTO string_trigrams(string_trigrams, rowid, text) VALUES('delete', ?1, ?2)"),
      Statement(db, "INSERT INTO stripped_trigrams(rowid, text) VALUES(?1, ?2)"),
      Statement(db, "INSERT INTO stripped_trigrams(stripped_trigrams, rowid, text) VALUES('delete', ?1, ?2)"),
      Statement(db, "INSERT OR IGNORE INTO number_spans(attr, low, high, doc) VALUES(?1, ?2, ?3, ?4)"),
      Statement(db, "DELETE FROM number_spans WHERE attr=?1 AND low=?2 AND doc=?3"),
      Statement(db, "INSERT INTO attribute_names(name) VALUES(?1)"),
      Statement(db, "SELECT device, inode, size, modified_ns FROM documents WHERE path = ?1"),
      Statement(db, "SELECT path, device, inode, size, modified_ns, family FROM documents"),
      // The bounds are bound as blobs: a blob sorts after every text, so
      // "?1 || '/'" (a text) would be no lower bound at all.
      Statement(db, "SELECT path, device, inode, size, modified_ns, family FROM documents "
                    "WHERE path = ?1 OR (path >= ?3 AND path < ?2)"),
      Statement(db, "INSERT INTO roots(path, last_update, device) VALUES(?1, ?2, ?3) "
                    "ON CONFLICT(path) DO UPDATE SET last_update = excluded.last_update, device = excluded.device"),
      Statement(db, "DELETE FROM roots WHERE path = ?1"),
      Statement(db, "SELECT path, last_update, device FROM roots ORDER BY path"),
      Statement(db, "INSERT OR IGNORE INTO empty_values(attr, doc) VALUES(?1, ?2)"),
      Statement(db, "DELETE FROM empty_values WHERE attr=?1 AND doc=?2"),
  });
}

void IndexWriter::Begin() {
  Execute(db_.get(), "BEGIN IMMEDIATE");
  inTransaction_ = true;
}

void IndexWriter::Commit() {
  Execute(db_.get(), "COMMIT");
  inTransaction_ = false;
}

void IndexWriter::Rollback() {
  inTransaction_ = false;
  Execute(db_.get(), "ROLLBACK");
  ids_.clear();
  names_.clear();
  LoadAttributeNames(db_.get(), ids_, names_);  // names added in the transaction are gone
}

int IndexWriter::AttributeIdFor(const std::string& name) {
  if (auto found = ids_.find(name); found != ids_.end()) return found->second;
  statements_->insertName.Reset().BindText(1, name).Run();
  const int id = int(sqlite3_last_insert_rowid(db_.get()));
  ids_[name] = id;
  names_[id] = name;
  return id;
}

void IndexWriter::AddIndexEntries(std::int64_t doc, const Attributes& attributes) {
  Statements& s = *statements_;
  for (const auto& [name, value] : attributes) {
    const int id = AttributeIdFor(name);
    ForEachNumber(value, [&](double number) { s.insertNumber.Reset().Bind(1, std::int64_t(id)).Bind(2, number).Bind(3, doc).Run(); });
    if (auto span = SpanOf(value)) s.insertSpan.Reset().Bind(1, std::int64_t(id)).Bind(2, span->first).Bind(3, span->second).Bind(4, doc).Run();
    if (IsEmptyArray(value)) s.insertEmpty.Reset().Bind(1, std::int64_t(id)).Bind(2, doc).Run();
    if (!IsStringValue(value)) continue;
    ForEachString(value, [&](const std::string& text) {
      const std::string indexed = IndexedString(text);
      s.insertString.Reset().Bind(1, std::int64_t(id)).BindBlob(2, indexed).Bind(3, doc).Run();
      s.insertDistinct.Reset().Bind(1, std::int64_t(id)).BindBlob(2, indexed).Run();
    });
    if (!HasTrigramRow(id)) continue;  // found through distinct_strings instead
    s.insertTrigrams.Reset().Bind(1, TrigramRowId(doc, id)).BindText(2, TrigramText(value)).Run();
    if (const std::string stripped = StrippedTrigramText(value); !stripped.empty())
      s.insertStripped.Reset().Bind(1, TrigramRowId(doc, id)).BindText(2, stripped).Run();
  }
}

void IndexWriter::RemoveIndexEntries(std::int64_t doc, std::string_view record) {
  Statements& s = *statements_;
  DecodeAttributes(record, [&](int id, Value&& value) {
    ForEachNumber(value, [&](double number) { s.deleteNumber.Reset().Bind(1, std::int64_t(id)).Bind(2, number).Bind(3, doc).Run(); });
    if (auto span = SpanOf(value)) s.deleteSpan.Reset().Bind(1, std::int64_t(id)).Bind(2, span->first).Bind(3, doc).Run();
    if (IsEmptyArray(value)) s.deleteEmpty.Reset().Bind(1, std::int64_t(id)).Bind(2, doc).Run();
    if (!IsStringValue(value)) return;
    ForEachString(value, [&](const std::string& text) {
      s.deleteString.Reset().Bind(1, std::int64_t(id)).BindBlob(2, IndexedString(text)).Bind(3, doc).Run();
    });
    if (!HasTrigramRow(id)) return;
    s.deleteTrigrams.Reset().Bind(1, TrigramRowId(doc, id)).BindText(2, TrigramText(value)).Run();
    if (const std::string stripped = StrippedTrigramText(value); !stripped.empty())
      s.deleteStripped.Reset().Bind(1, TrigramRowId(doc, id)).BindText(2, stripped).Run();
  });
}

void IndexWriter::Put(const DocumentRecord& document) {
  Statements& s = *statements_;
  Attributes attributes = document.attributes;
  attributes.erase(kPathAttribute);
  const std::string record = EncodeAttributes(attributes, [this](const std::string& name) { return AttributeIdFor(name); });

  std::int64_t doc = -1;
  s.findDocument.Reset().BindBlob(1, document.path);
  if (s.findDocument.Step()) {
    doc = s.findDocument.Int(0);
    const std::string old(s.findDocument.Bytes(1));
    s.findDocument.Reset();
    RemoveIndexEntries(doc, old);
  }
  Statement& write = doc < 0 ? s.insertDocument : s.updateDocument;
  write.Reset();
  if (doc >= 0) write.Bind(1, doc); else write.BindBlob(1, document.path);
  write.Bind(2, std::int64_t(document.network))
      .BindText(3, document.family)
      .Bind(4, std::int64_t(document.identity.device))
      .Bind(5, std::int64_t(document.identity.inode))
      .Bind(6, document.identity.size)
      .Bind(7, document.identity.modifiedNs);
  if (document.failure) write.BindText(8, *document.failure);
  write.BindBlob(9, record).Run();
  if (doc < 0) doc = sqlite3_last_insert_rowid(db_.get());
  AddIndexEntries(doc, attributes);
}

bool IndexWriter::Remove(const std::string& path) {
  Statements& s = *statements_;
  s.findDocument.Reset().BindBlob(1, path);
  if (!s.findDocument.Step()) return false;
  const std::int64_t doc = s.findDocument.Int(0);
  const std::string record(s.findDocument.Bytes(1));
  s.findDocument.Reset();
  RemoveIndexEntries(doc, record);
  s.deleteDocument.Reset().Bind(1, doc).Run();
  return true;
}

void IndexWriter::ForEachDocument(const std::string& folder,
                                  const std::function<void(const std::string&, const FileIdentity&, const std::string&)>& visit) {
  Statement& query = folder.empty() || folder == "/" ? statements_->allDocuments : statements_->documentsBelow;
  query.Reset();
  if (&query == &statements_->documentsBelow) {
    const std::string normalized = NormalizeFolder(folder);
    query.BindBlob(1, normalized).BindBlob(2, FolderRangeEnd(normalized)).BindBlob(3, normalized + "/");
  }
  struct Found {
    std::string path;
    FileIdentity identity;
    std::string family;
  };
  std::vector<Found> found;  // visit may change the table
  while (query.Step())
    found.push_back({query.Text(0), FileIdentity{std::uint64_t(query.Int(1)), std::uint64_t(query.Int(2)), query.Int(3), query.Int(4)},
                     query.Text(5)});
  query.Reset();
  for (const Found& document : found) visit(document.path, document.identity, document.family);
}

std::optional<FileIdentity> IndexWriter::Identity(const std::string& path) {
  Statement& query = statements_->identity;
  query.Reset().BindBlob(1, path);
  if (!query.Step()) return std::nullopt;
  FileIdentity identity{std::uint64_t(query.Int(0)), std::uint64_t(query.Int(1)), query.Int(2), query.Int(3)};
  query.Reset();
  return identity;
}

void IndexWriter::AddRoot(const std::string& path, std::int64_t lastUpdate, std::uint64_t device) {
  statements_->insertRoot.Reset().BindBlob(1, path).Bind(2, lastUpdate).Bind(3, std::int64_t(device)).Run();
}

bool IndexWriter::RemoveRoot(const std::string& path) {
  statements_->deleteRoot.Reset().BindBlob(1, path).Run();
  return sqlite3_changes(db_.get()) > 0;
}

std::vector<RootRecord> IndexWriter::Roots() {
  std::vector<RootRecord> roots;
  Statement& query = statements_->allRoots;
  query.Reset();
  while (query.Step()) roots.push_back({query.Text(0), query.Int(1), std::uint64_t(query.Int(2))});
  return roots;
}

}  // namespace metadata
