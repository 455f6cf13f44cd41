#include "platform/metadata/sqlite/sqlite_writer.h"

#include <functional>

#include "platform/metadata/encoding.h"
#include "platform/metadata/sqlite/schema.h"
#include "platform/metadata/structure_search.h"

namespace fs = std::filesystem;

namespace metadata::sqlite {

struct SqliteWriter::Statements {
  Statement findDocument, insertDocument, updateDocument, deleteDocument;
  Statement insertNumber, deleteNumber, insertString, deleteString;
  Statement insertTrigrams, deleteTrigrams, insertStripped, deleteStripped, insertSpan, deleteSpan, insertName;
  Statement identity, allDocuments, documentsBelow;
  Statement insertRoot, deleteRoot, allRoots;
  Statement insertEmpty, deleteEmpty;
  Statement insertCased, deleteCased, insertWord, deleteWord;
};

std::unique_ptr<IndexWriter> SqliteWriter::Open(const fs::path& file, std::string& error) {
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
  Database db = OpenIndexFile(file, SQLITE_OPEN_READWRITE, 10000, error);
  if (!db) return nullptr;
  sqlite3* raw = db.get();
  std::unique_ptr<SqliteWriter> writer(new SqliteWriter);
  try {
    Execute(raw, "PRAGMA journal_mode=WAL");
    Execute(raw, "PRAGMA synchronous=NORMAL");
    // A run reads every known document's identity: through a memory map,
    // not a system call a page.
    Execute(raw, "PRAGMA mmap_size=1073741824");
    Execute(raw, "PRAGMA cache_size=-65536");
    // Added to format 3 without a new version: an older program has no use for it.
    Execute(raw, "CREATE TABLE IF NOT EXISTS mount_folders(path BLOB PRIMARY KEY, device INTEGER NOT NULL DEFAULT 0)");
    AddLookupPackTables(raw);
    LoadAttributeNames(raw, writer->ids_);
    writer->layout_ = LayoutOf(raw);
    writer->db_ = std::move(db);
    writer->Prepare();
    writer->molecules_ = std::make_unique<MoleculeRows>(raw);
    writer->packs_ = std::make_unique<LookupPackWriter>(raw, CurrentPackLimits());
  } catch (const SqliteError& failure) {
    error = "cannot use the index " + file.string() + ": " + failure.what();
    return nullptr;
  }
  return writer;
}

SqliteWriter::~SqliteWriter() {
  if (inTransaction_) {
    try {
      Rollback();
    } catch (...) {
    }
  }
  try {
    if (!inTransaction_ && molecules_) molecules_->WritePacks();
  } catch (...) {  // without packs, readers scan the rows
  }
  try {
    if (!inTransaction_ && packs_) packs_->WritePacks();
  } catch (...) {  // without look-up packs, readers read the rows
  }
  try {
    if (!inTransaction_ && db_) CompactIfMostlyWritten();
  } catch (...) {  // counting the documents failed: the index stays as it was
  }
}

// Rows reach the look-up tables in no key order, so a writer that wrote most
// of the index (a first build, a rebuild) leaves their pages part full, and
// the pages that full-text merges and packing freed unused: written again in
// key order, a new index is smaller and read from fewer pages (the bench's
// common-term data, 100,000 documents: 1354 bytes a document before, 1294
// after). Done last, after the packs, and skipped by a writer that changed a
// small part: the rewrite reads the whole file and writes it twice (a copy,
// then back).
void SqliteWriter::CompactIfMostlyWritten() {
  if (written_ == 0 || written_ * 2 < DocumentCount()) return;
  written_ = 0;  // tried once: a rewrite that failed (a full disk) is not tried at every settle
  sqlite3* db = db_.get();
  // Should it fail, the index stays as it was, only larger.
  sqlite3_exec(db, "VACUUM", nullptr, nullptr, nullptr);
  // The rewrite went through the log, done or not, and the log would keep
  // that size on disk until a checkpoint that finds no reader.
  sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
}

void SqliteWriter::Settle() {
  if (inTransaction_) return;
  // Derived data only: should packing fail (another writer holding the index
  // too long, a full disk), readers read the rows and the next settle tries again.
  try {
    molecules_->WritePacks();
  } catch (const SqliteError&) {
  }
  try {
    packs_->Settle();
  } catch (const SqliteError&) {
  }
  try {
    CompactIfMostlyWritten();  // a watcher's first walk, once it is idle
  } catch (const SqliteError&) {
  }
}

void SqliteWriter::Prepare() {
  sqlite3* db = db_.get();
  statements_ = std::make_unique<Statements>(Statements{
      Statement(db, "SELECT id, attributes FROM documents WHERE path = ?1"),
      Statement(db, "INSERT INTO documents(path, network, family, device, inode, size, modified_ns, failure, attributes, notes) "
                    "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)"),
      Statement(db, "UPDATE documents SET network=?2, family=?3, device=?4, inode=?5, size=?6, modified_ns=?7, "
                    "failure=?8, attributes=?9, notes=?10 WHERE id=?1"),
      Statement(db, "DELETE FROM documents WHERE id = ?1"),
      Statement(db, "INSERT OR IGNORE INTO number_values(attr, value, doc) VALUES(?1, ?2, ?3)"),
      Statement(db, "DELETE FROM number_values WHERE attr=?1 AND value=?2 AND doc=?3"),
      Statement(db, "INSERT OR IGNORE INTO string_values(attr, value, doc) VALUES(?1, ?2, ?3)"),
      Statement(db, "DELETE FROM string_values WHERE attr=?1 AND value=?2 AND doc=?3"),
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
      Statement(db, "INSERT INTO cased_trigrams(rowid, text) VALUES(?1, ?2)"),
      Statement(db, "INSERT INTO cased_trigrams(cased_trigrams, rowid, text) VALUES('delete', ?1, ?2)"),
      Statement(db, "INSERT OR IGNORE INTO string_words(attr, word, doc) VALUES(?1, ?2, ?3)"),
      Statement(db, "DELETE FROM string_words WHERE attr=?1 AND word=?2 AND doc=?3"),
  });
}

void SqliteWriter::Begin() {
  Execute(db_.get(), "BEGIN IMMEDIATE");
  inTransaction_ = true;
  packs_->Began();
}

void SqliteWriter::Commit() {
  Execute(db_.get(), "COMMIT");
  inTransaction_ = false;
}

void SqliteWriter::Rollback() {
  inTransaction_ = false;
  Execute(db_.get(), "ROLLBACK");
  ids_.clear();
  LoadAttributeNames(db_.get(), ids_);  // names added in the transaction are gone
}

int SqliteWriter::AttributeIdFor(const std::string& name) {
  if (auto found = ids_.find(name); found != ids_.end()) return found->second;
  statements_->insertName.Reset().BindText(1, name).Run();
  const int id = int(sqlite3_last_insert_rowid(db_.get()));
  ids_[name] = id;
  return id;
}

void SqliteWriter::AddIndexEntries(std::int64_t doc, const Attributes& attributes) {
  Statements& s = *statements_;
  for (const auto& [name, value] : attributes) {
    const int id = AttributeIdFor(name);
    if (IsStoredOnly(name)) continue;
    ForEachNumber(value, [&](double number) { s.insertNumber.Reset().Bind(1, std::int64_t(id)).Bind(2, number).Bind(3, doc).Run(); });
    if (auto span = SpanOf(value)) s.insertSpan.Reset().Bind(1, std::int64_t(id)).Bind(2, span->first).Bind(3, span->second).Bind(4, doc).Run();
    if (IsEmptyArray(value)) s.insertEmpty.Reset().Bind(1, std::int64_t(id)).Bind(2, doc).Run();
    if (!IsStringValue(value)) continue;
    ForEachString(value, [&](const std::string& text) {
      const std::string indexed = IndexedString(text);
      s.insertString.Reset().Bind(1, std::int64_t(id)).BindBlob(2, indexed).Bind(3, doc).Run();
    });
    // Values searched by fragments are found case-sensitively by their cased
    // trigrams, and so are titles, notes and display names; without case by a
    // scan of their packed values, or by matching their distinct values.
    if (layout_.KeepsWordsOf(name))
      for (const std::string& word : IndexedWords(value)) s.insertWord.Reset().Bind(1, std::int64_t(id)).BindBlob(2, word).Bind(3, doc).Run();
    if (!HasTrigramRow(id)) continue;  // found through the distinct values of string_values instead
    s.insertCased.Reset().Bind(1, TrigramRowId(doc, id)).BindText(2, CasedTrigramText(value)).Run();
    if (!layout_.KeepsFoldedTrigramsOf(name)) continue;
    s.insertTrigrams.Reset().Bind(1, TrigramRowId(doc, id)).BindText(2, TrigramText(value)).Run();
    if (const std::string stripped = StrippedTrigramText(value); !stripped.empty())
      s.insertStripped.Reset().Bind(1, TrigramRowId(doc, id)).BindText(2, stripped).Run();
  }
}

bool SqliteWriter::IsStoredOnlyId(int id) const {
  for (const char* name : {attributes::kPreview, attributes::kImportVersion})
    if (auto found = ids_.find(name); found != ids_.end() && found->second == id) return true;
  return false;
}

const std::string* SqliteWriter::NameOfId(int id) const {
  for (const auto& [name, known] : ids_)
    if (known == id) return &name;
  return nullptr;
}

void SqliteWriter::RemoveIndexEntries(std::int64_t doc, std::string_view record) {
  Statements& s = *statements_;
  DecodeAttributes(record, [&](int id, Value&& value) {
    if (IsStoredOnlyId(id)) return;
    ForEachNumber(value, [&](double number) { s.deleteNumber.Reset().Bind(1, std::int64_t(id)).Bind(2, number).Bind(3, doc).Run(); });
    if (auto span = SpanOf(value)) s.deleteSpan.Reset().Bind(1, std::int64_t(id)).Bind(2, span->first).Bind(3, doc).Run();
    if (IsEmptyArray(value)) s.deleteEmpty.Reset().Bind(1, std::int64_t(id)).Bind(2, doc).Run();
    if (!IsStringValue(value)) return;
    ForEachString(value, [&](const std::string& text) {
      const std::string indexed = IndexedString(text);
      s.deleteString.Reset().Bind(1, std::int64_t(id)).BindBlob(2, indexed).Bind(3, doc).Run();
    });
    // A row of the full-text tables is taken out only where one was put in:
    // taking out one that is not there would damage the table.
    const std::string* known = NameOfId(id);
    const std::string_view name = known ? std::string_view(*known) : std::string_view();
    if (layout_.KeepsWordsOf(name))
      for (const std::string& word : IndexedWords(value)) s.deleteWord.Reset().Bind(1, std::int64_t(id)).BindBlob(2, word).Bind(3, doc).Run();
    if (!HasTrigramRow(id)) return;
    s.deleteCased.Reset().Bind(1, TrigramRowId(doc, id)).BindText(2, CasedTrigramText(value)).Run();
    if (!layout_.KeepsFoldedTrigramsOf(name)) return;
    s.deleteTrigrams.Reset().Bind(1, TrigramRowId(doc, id)).BindText(2, TrigramText(value)).Run();
    if (const std::string stripped = StrippedTrigramText(value); !stripped.empty())
      s.deleteStripped.Reset().Bind(1, TrigramRowId(doc, id)).BindText(2, stripped).Run();
  });
}

void SqliteWriter::Put(const DocumentRecord& document) {
  Statements& s = *statements_;
  Attributes attributes = document.attributes;
  attributes.erase(kPathAttribute);
  const std::string record = EncodeAttributes(attributes, [this](const std::string& name) { return AttributeIdFor(name); }, layout_.numbers);

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
  if (!document.notes.empty()) write.BindText(10, JoinedNotes(document.notes));
  write.BindBlob(9, record).Run();
  if (doc < 0) doc = sqlite3_last_insert_rowid(db_.get());
  if (doc > kMostDocuments) throw SqliteError("the index has used up its document numbers; build a new one", SQLITE_FULL);
  AddIndexEntries(doc, attributes);
  ++written_;
  packs_->Changed(doc);
  const std::vector<MoleculeEntry> made = document.molecules ? std::vector<MoleculeEntry>{} : MoleculeEntries(attributes);
  molecules_->Replace(doc, document.molecules ? *document.molecules : made);
}

bool SqliteWriter::Remove(const std::string& path) {
  Statements& s = *statements_;
  s.findDocument.Reset().BindBlob(1, path);
  if (!s.findDocument.Step()) return false;
  const std::int64_t doc = s.findDocument.Int(0);
  const std::string record(s.findDocument.Bytes(1));
  s.findDocument.Reset();
  RemoveIndexEntries(doc, record);
  ++written_;
  packs_->Changed(doc);
  molecules_->Remove(doc);
  s.deleteDocument.Reset().Bind(1, doc).Run();
  return true;
}

void SqliteWriter::ForEachDocument(const std::string& folder,
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

void SqliteWriter::ForEachDocumentWithNumber(
    const std::string& folder, const std::string& attribute,
    const std::function<void(const std::string&, const FileIdentity&, const std::string&, std::optional<double>)>& visit) {
  const auto found = ids_.find(attribute);
  const bool all = folder.empty() || folder == "/";
  const char* const columns = "SELECT path, device, inode, size, modified_ns, family, attributes FROM documents";
  Statement query(db_.get(), all ? std::string(columns) : std::string(columns) + " WHERE path = ?1 OR (path >= ?3 AND path < ?2)");
  if (!all) {
    const std::string normalized = NormalizeFolder(folder);
    query.BindBlob(1, normalized).BindBlob(2, FolderRangeEnd(normalized)).BindBlob(3, normalized + "/");
  }
  while (query.Step()) {
    std::optional<double> number;
    if (found != ids_.end())
      if (const std::optional<Value> value = DecodeAttribute(query.Bytes(6), found->second))
        if (const double* held = std::get_if<double>(&*value)) number = *held;
    visit(query.Text(0), FileIdentity{std::uint64_t(query.Int(1)), std::uint64_t(query.Int(2)), query.Int(3), query.Int(4)}, query.Text(5),
          number);
  }
}

std::optional<FileIdentity> SqliteWriter::Identity(const std::string& path) {
  Statement& query = statements_->identity;
  query.Reset().BindBlob(1, path);
  if (!query.Step()) return std::nullopt;
  FileIdentity identity{std::uint64_t(query.Int(0)), std::uint64_t(query.Int(1)), query.Int(2), query.Int(3)};
  query.Reset();
  return identity;
}

void SqliteWriter::AddRoot(const std::string& path, std::int64_t lastUpdate, std::uint64_t device) {
  statements_->insertRoot.Reset().BindBlob(1, path).Bind(2, lastUpdate).Bind(3, std::int64_t(device)).Run();
}

bool SqliteWriter::RemoveRoot(const std::string& path) {
  statements_->deleteRoot.Reset().BindBlob(1, path).Run();
  return sqlite3_changes(db_.get()) > 0;
}

void SqliteWriter::SetMountFolders(const std::string& root, const std::vector<MountFolder>& folders) {
  const std::string normalized = NormalizeFolder(root);
  Statement(db_.get(), "DELETE FROM mount_folders WHERE path = ?1 OR (path >= ?3 AND path < ?2)")
      .BindBlob(1, normalized)
      .BindBlob(2, FolderRangeEnd(normalized))
      .BindBlob(3, normalized + "/")
      .Run();
  Statement insert(db_.get(), "INSERT OR REPLACE INTO mount_folders(path, device) VALUES(?1, ?2)");
  for (const MountFolder& folder : folders) insert.Reset().BindBlob(1, folder.path).Bind(2, std::int64_t(folder.device)).Run();
}

std::vector<MountFolder> SqliteWriter::MountFoldersBelow(const std::string& root) {
  const std::string normalized = NormalizeFolder(root);
  Statement read(db_.get(), "SELECT path, device FROM mount_folders WHERE path = ?1 OR (path >= ?3 AND path < ?2)");
  read.BindBlob(1, normalized).BindBlob(2, FolderRangeEnd(normalized)).BindBlob(3, normalized + "/");
  std::vector<MountFolder> folders;
  while (read.Step()) folders.push_back({read.Text(0), std::uint64_t(read.Int(1))});
  return folders;
}

std::vector<RootRecord> SqliteWriter::Roots() {
  std::vector<RootRecord> roots;
  Statement& query = statements_->allRoots;
  query.Reset();
  while (query.Step()) roots.push_back({query.Text(0), query.Int(1), std::uint64_t(query.Int(2)), {}});
  return roots;
}

std::size_t SqliteWriter::DocumentCount() {
  Statement count(db_.get(), "SELECT count(*) FROM documents");
  return count.Step() ? std::size_t(count.Int(0)) : 0;
}

std::vector<std::pair<std::string, std::size_t>> SqliteWriter::FamilyCounts() {
  std::vector<std::pair<std::string, std::size_t>> counts;
  Statement families(db_.get(), "SELECT family, count(*) FROM documents GROUP BY family ORDER BY family");
  while (families.Step()) counts.emplace_back(families.Text(0), std::size_t(families.Int(1)));
  return counts;
}

std::vector<ImportNotes> SqliteWriter::Notes() {
  std::vector<ImportNotes> all;
  Statement read(db_.get(), "SELECT path, notes FROM documents WHERE notes IS NOT NULL ORDER BY path");
  while (read.Step()) all.push_back({read.Text(0), SplitNotes(read.Text(1))});
  return all;
}

std::vector<ImportFailure> SqliteWriter::Failures() {
  std::vector<ImportFailure> failures;
  Statement all(db_.get(), "SELECT path, failure FROM documents WHERE failure IS NOT NULL ORDER BY path");
  while (all.Step()) failures.push_back({all.Text(0), all.Text(1)});
  return failures;
}

}  // namespace metadata::sqlite
