#include "platform/metadata/postgres/pg_writer.h"

#include <algorithm>
#include <functional>
#include <set>

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/metadata/encoding.h"
#include "platform/metadata/attributes.h"
#include "platform/metadata/postgres/pg_schema.h"
#include "platform/metadata/stored_values.h"
#include "platform/metadata/sqlite/schema.h"
#include "platform/metadata/structure_search.h"
#include "platform/metadata/text_match.h"

namespace metadata::postgres {

namespace {

// The texts of a value's strings, one a line (no pattern run holds a line
// break, so none is found across two values): case-folded; without
// diacritics, and composed with case, each where that differs from the folded text.
struct ValueTexts {
  std::string folded;
  std::optional<std::string> stripped, cased;
};

ValueTexts Texts(const Value& value) {
  std::string folded, bare, cased;
  bool bareDiffers = false, casedDiffers = false;
  ForEachString(value, [&](const std::string& s) {
    if (!folded.empty() || !bare.empty()) folded += '\n', bare += '\n', cased += '\n';
    const std::string f = FoldedForm(s), b = IndexForm(s), c = ComposedForm(s);
    bareDiffers = bareDiffers || f != b;
    casedDiffers = casedDiffers || f != c;
    folded += f;
    bare += b;
    cased += c;
  });
  ValueTexts texts{ValidText(folded), std::nullopt, std::nullopt};
  if (bareDiffers) texts.stripped = ValidText(bare);
  if (casedDiffers) texts.cased = ValidText(cased);
  return texts;
}

// Deletes a document's search rows; $1 is its number. An index of format 3 has no screens.
constexpr const char* kSearchTables[] = {"number_values", "string_values", "string_texts",     "number_spans",
                                         "empty_values",  "string_words",  "molecules",        "molecule_screens"};

std::string DeleteRowsOf(const std::string& documents, bool screens) {
  std::string sql;
  for (const std::string table : kSearchTables) {
    if (table == "molecule_screens" && !screens) continue;
    sql += std::string(sql.empty() ? "WITH " : ", ") + "gone_" + table + " AS (DELETE FROM orvane." + table + " WHERE doc IN (SELECT id FROM " +
           documents + "))";
  }
  return sql;
}

// The screens of molecules as a two-dimensional array literal, a row of
// kScreenWords bigints (the words' bits as they are) a molecule.
std::string ScreenArray(const std::vector<MoleculeEntry>& entries) {
  std::string array = "{";
  for (const MoleculeEntry& entry : entries) {
    array += array.size() > 1 ? ",{" : "{";
    const std::vector<std::uint64_t> words = PackedWords(entry.screen, kScreenWords);
    for (size_t word = 0; word < kScreenWords; ++word) array += (word ? "," : "") + std::to_string(std::int64_t(words[word]));
    array += "}";
  }
  return array + "}";
}

// Whether every entry brings its screen: one made by a worker that was told
// the index keeps none does not.
bool ScreensMade(const std::vector<MoleculeEntry>& entries) {
  return std::all_of(entries.begin(), entries.end(), [](const MoleculeEntry& entry) { return entry.screen.size() == kScreenWords * 8; });
}

}  // namespace

bool InitializeIndex(const std::string& uri, std::string& error) {
  std::unique_ptr<Connection> db = Connection::Open(uri, error);
  if (!db) return false;
  try {
    CreateIndex(*db);
    error = CheckIndex(*db);
  } catch (const StorageError& failure) {
    error = "cannot create the index in " + db->name() + ": " + failure.what();
  }
  return error.empty();
}

// Whether the index has the table of mount folders; made here in an index
// created before the table was added, where this writer may create tables.
static bool HasMountFolders(Connection& db, WriterUse use) {
  try {
    if (use == WriterUse::Changes)
      db.Run("CREATE TABLE IF NOT EXISTS orvane.mount_folders(path bytea PRIMARY KEY, device bigint NOT NULL DEFAULT 0)");
  } catch (const PostgresError&) {  // no right to create tables: the folders are not recorded
  }
  return db.Run("SELECT to_regclass('orvane.mount_folders') IS NOT NULL").Int(0, 0) != 0;
}

std::unique_ptr<IndexWriter> PostgresWriter::Open(const std::string& uri, std::string& error, WriterUse use) {
  std::unique_ptr<PostgresWriter> writer(new PostgresWriter);
  writer->db_ = Connection::Open(uri, error);
  if (!writer->db_) return nullptr;
  writer->names_ = Connection::Open(uri, error);
  if (!writer->names_) return nullptr;
  Connection& db = *writer->db_;
  writer->owner_ = IndexerName();
  try {
    if (error = CheckIndex(db); !error.empty()) return nullptr;
    Rows allowed = db.Run(
        "SELECT has_table_privilege('orvane.documents', 'INSERT') AND has_table_privilege('orvane.documents', 'DELETE')");
    if (use == WriterUse::Changes && !allowed.Int(0, 0)) {
      error = "the index " + db.name() + " is read-only for you: only an indexer with a writer role can change it";
      return nullptr;
    }
    writer->mountFolders_ = HasMountFolders(db, use);
    Rows names = db.Run("SELECT id, name FROM orvane.attribute_names");
    for (int row = 0; row < names.size(); ++row) writer->ids_[names.Text(row, 1)] = int(names.Int(row, 0));
    writer->cartridge_ = CartridgeSchema(db);
    Rows format = db.Run("SELECT value FROM orvane.about WHERE key = 'format'");
    const int readable = ReadableFormat(format.Text(0, 0)).value_or(0);
    writer->screens_ = readable >= kFirstFormatWithScreens;
    writer->casedTexts_ = readable >= kFirstFormatWithCasedTexts;
  } catch (const StorageError& failure) {
    error = failure.what();
    return nullptr;
  }
  return writer;
}

PostgresWriter::~PostgresWriter() {
  if (inTransaction_) {
    try {
      Rollback();
    } catch (...) {
    }
  }
}

void PostgresWriter::Begin() {
  db_->Execute("BEGIN");
  inTransaction_ = true;
}

void PostgresWriter::Commit() {
  inTransaction_ = false;
  db_->Execute("COMMIT");
}

void PostgresWriter::Rollback() {
  inTransaction_ = false;
  db_->Execute("ROLLBACK");
}

int PostgresWriter::AttributeIdFor(const std::string& name) {
  if (auto found = ids_.find(name); found != ids_.end()) return found->second;
  // Committed at once: another writer adding the same name waits for no batch.
  const std::string text = ValidText(name);
  Rows rows = names_->Run(
      "WITH added AS (INSERT INTO orvane.attribute_names(name) VALUES($1) ON CONFLICT (name) DO NOTHING RETURNING id) "
      "SELECT id FROM added UNION ALL SELECT id FROM orvane.attribute_names WHERE name = $1",
      Params().Text(text));
  // Another writer committed the name after this statement's snapshot was
  // taken: the insert gives way to it, and only a statement of its own sees it.
  if (!rows.size()) rows = names_->Run("SELECT id FROM orvane.attribute_names WHERE name = $1", Params().Text(text));
  if (!rows.size()) throw PostgresError("the index " + names_->name() + ": the attribute " + text + " could not be named", "");
  const int id = int(rows.Int(0, 0));
  ids_[name] = id;
  return id;
}

void PostgresWriter::AddIndexEntries(std::int64_t doc, const Attributes& attributes) {
  std::set<std::pair<int, double>> numbers;
  std::set<std::pair<int, std::string>> strings;
  std::vector<int> textAttrs, spanAttrs, emptyAttrs;
  std::vector<std::optional<std::string>> foldedTexts, strippedTexts, casedTexts;
  std::vector<double> lows, highs;
  std::vector<int> wordAttrs;
  std::vector<std::string> words;
  for (const auto& [name, value] : attributes) {
    if (IsStoredOnly(name)) continue;  // shown in the summary, never looked up
    const int id = AttributeIdFor(name);
    ForEachNumber(value, [&](double number) { numbers.emplace(id, number); });
    if (const auto* array = std::get_if<NumberArray>(&value); array && array->size() >= 2) {
      const auto [low, high] = std::minmax_element(array->begin(), array->end());
      spanAttrs.push_back(id);
      lows.push_back(*low);
      highs.push_back(*high);
    }
    if (IsEmptyArray(value)) emptyAttrs.push_back(id);
    if (!IsStringValue(value)) continue;
    ForEachString(value, [&](const std::string& text) { strings.emplace(id, IndexedString(text)); });
    for (std::string& word : sqlite::IndexedWords(value)) wordAttrs.push_back(id), words.push_back(std::move(word));
    ValueTexts texts = Texts(value);
    textAttrs.push_back(id);
    foldedTexts.emplace_back(std::move(texts.folded));
    strippedTexts.push_back(std::move(texts.stripped));
    casedTexts.push_back(casedTexts_ ? std::move(texts.cased) : std::nullopt);
  }
  std::vector<int> numberAttrs, stringAttrs;
  std::vector<double> numberValues;
  std::vector<std::string> stringValues;
  for (const auto& [id, number] : numbers) numberAttrs.push_back(id), numberValues.push_back(number);
  for (const auto& [id, text] : strings) stringAttrs.push_back(id), stringValues.push_back(text);
  AddWords(doc, wordAttrs, words);
  if (numbers.empty() && strings.empty() && spanAttrs.empty() && emptyAttrs.empty()) return;
  db_->Run(
      "WITH n AS (INSERT INTO orvane.number_values(attr, value, doc) SELECT a, v, $1 FROM unnest($2::integer[], $3::float8[]) AS t(a, v)),"
      " s AS (INSERT INTO orvane.string_values(attr, value, doc) SELECT a, decode(v, 'hex'), $1 FROM unnest($4::integer[], $5::text[]) AS t(a, v)),"
      " x AS (INSERT INTO orvane.string_texts(attr, doc, folded, stripped" + std::string(casedTexts_ ? ", cased" : "") +
          ") SELECT a, $1, f, b" + (casedTexts_ ? ", c" : "") + " FROM unnest($6::integer[], $7::text[], $8::text[], $13::text[]) AS t(a, f, b, c)),"
      " p AS (INSERT INTO orvane.number_spans(attr, low, high, doc) SELECT a, l, h, $1 "
      "FROM unnest($9::integer[], $10::float8[], $11::float8[]) AS t(a, l, h))"
      " INSERT INTO orvane.empty_values(attr, doc) SELECT a, $1 FROM unnest($12::integer[]) AS t(a)",
      Params()
          .Int(doc)
          .Text(IntArray(numberAttrs))
          .Text(RealArray(numberValues))
          .Text(IntArray(stringAttrs))
          .Text(HexArray(stringValues))
          .Text(IntArray(textAttrs))
          .Text(TextArray(foldedTexts))
          .Text(TextArray(strippedTexts))
          .Text(IntArray(spanAttrs))
          .Text(RealArray(lows))
          .Text(RealArray(highs))
          .Text(IntArray(emptyAttrs))
          .Text(TextArray(casedTexts)));
}

// The words of string values, for word searches.
void PostgresWriter::AddWords(std::int64_t doc, const std::vector<int>& wordAttrs, const std::vector<std::string>& words) {
  if (!words.empty())
    db_->Run("INSERT INTO orvane.string_words(attr, word, doc) SELECT a, decode(w, 'hex'), $1 FROM unnest($2::integer[], $3::text[]) AS t(a, w)",
             Params().Int(doc).Text(IntArray(wordAttrs)).Text(HexArray(words)));
}

// Each molecule, for structure searches: the cartridge's molecule made from
// RDKit's binary form, our Morgan bits as its fingerprint and, where the
// index keeps them, our screen under the same number; as the document brings
// them, else made here. One statement: a molecule is never without its screen.
void PostgresWriter::AddMolecules(std::int64_t doc, const DocumentRecord& document, const Attributes& attributes) {
  const bool brought = document.molecules && (!screens_ || ScreensMade(*document.molecules));
  const std::vector<MoleculeEntry> made =
      brought ? std::vector<MoleculeEntry>{} : MoleculeEntries(attributes, screens_ ? ScreenPart::Made : ScreenPart::Left);
  const std::vector<MoleculeEntry>& entries = brought ? *document.molecules : made;
  if (entries.empty()) return;
  std::vector<std::string> molecules, similarities;
  for (const MoleculeEntry& entry : entries) {
    molecules.push_back(entry.molecule);
    similarities.push_back(entry.similarity);
  }
  // An index of format 3 keeps no binary molecule beside the cartridge's.
  const std::string insertMolecules = "INSERT INTO orvane.molecules(id, doc, molecule, similarity" + std::string(screens_ ? ", data" : "") +
                                      ") SELECT id, $1, " + cartridge_ + ".mol_from_pkl(decode(m, 'hex')), " + cartridge_ +
                                      ".bfp_from_binary_text(decode(s, 'hex'))" + (screens_ ? ", decode(m, 'hex')" : "") + " FROM made";
  const std::string numbered = "WITH made AS (SELECT nextval(pg_get_serial_sequence('orvane.molecules', 'id')) AS id, m, s, n "
                               "FROM unnest($2::text[], $3::text[]) WITH ORDINALITY AS t(m, s, n))";
  if (!screens_) {
    db_->Run(numbered + " " + insertMolecules, Params().Int(doc).Text(HexArray(molecules)).Text(HexArray(similarities)));
    return;
  }
  std::string columns, words;
  for (size_t word = 0; word < kScreenWords; ++word) {
    columns += ", " + ScreenColumn(word);
    words += ", screens[n::integer][" + std::to_string(word + 1) + "]";
  }
  db_->Run(numbered + ", screens AS (SELECT $4::bigint[] AS screens), added AS (" + insertMolecules +
               ") INSERT INTO orvane.molecule_screens(id, doc" + columns + ") SELECT id, $1" + words + " FROM made, screens",
           Params().Int(doc).Text(HexArray(molecules)).Text(HexArray(similarities)).Text(ScreenArray(entries)));
}

// The given columns of every document at or below `folder` ("" or "/": all).
Rows PostgresWriter::DocumentsAtOrBelow(const std::string& columns, const std::string& folder) {
  const std::string select = "SELECT " + columns + " FROM orvane.documents";
  if (folder.empty() || folder == "/") return db_->Run(select);
  const std::string normalized = NormalizeFolder(folder);
  return db_->Run(select + " WHERE path = $1 OR (path >= $3 AND path < $2)",
                  Params().Bytes(normalized).Bytes(FolderRangeEnd(normalized)).Bytes(normalized + "/"));
}

void PostgresWriter::ForEachDocumentWithNumber(
    const std::string& folder, const std::string& attribute,
    const std::function<void(const std::string&, const FileIdentity&, const std::string&, std::optional<double>)>& visit) {
  const auto found = ids_.find(attribute);
  Rows rows = DocumentsAtOrBelow("path, device, inode, size, modified_ns, family, attributes", folder);
  for (int row = 0; row < rows.size(); ++row) {
    std::optional<double> number;
    if (found != ids_.end())
      if (const std::optional<Value> value = DecodeAttribute(rows.Bytes(row, 6), found->second))
        if (const double* held = std::get_if<double>(&*value)) number = *held;
    visit(rows.Text(row, 0), FileIdentity{std::uint64_t(rows.Int(row, 1)), std::uint64_t(rows.Int(row, 2)), rows.Int(row, 3), rows.Int(row, 4)},
          rows.Text(row, 5), number);
  }
}

void PostgresWriter::Put(const DocumentRecord& document) {
  Attributes attributes = document.attributes;
  attributes.erase(kPathAttribute);
  const std::string record = EncodeAttributes(attributes, [this](const std::string& name) { return AttributeIdFor(name); });
  Params params;
  params.Bytes(document.path)
      .Int(document.network ? 1 : 0)
      .Text(ValidText(document.family))
      .Int(std::int64_t(document.identity.device))
      .Int(std::int64_t(document.identity.inode))
      .Int(document.identity.size)
      .Int(document.identity.modifiedNs);
  if (document.failure) params.Text(ValidText(*document.failure)); else params.Null();
  if (!document.notes.empty()) params.Text(ValidText(JoinedNotes(document.notes))); else params.Null();
  params.Bytes(record);
  // The old rows go and the document is written in one statement.
  const std::string put =
      DeleteRowsOf("(SELECT id FROM orvane.documents WHERE path = $1) AS old", screens_) +
      " INSERT INTO orvane.documents(path, network, family, device, inode, size, modified_ns, failure, notes, attributes)"
      " VALUES($1, $2::integer <> 0, $3, $4, $5, $6, $7, $8, $9, $10)"
      " ON CONFLICT (path) DO UPDATE SET network = excluded.network, family = excluded.family, device = excluded.device,"
      " inode = excluded.inode, size = excluded.size, modified_ns = excluded.modified_ns, failure = excluded.failure,"
      " notes = excluded.notes, attributes = excluded.attributes RETURNING id";
  Rows written = db_->Run(put, params);
  AddIndexEntries(written.Int(0, 0), attributes);
  AddMolecules(written.Int(0, 0), document, attributes);
}

bool PostgresWriter::Remove(const std::string& path) {
  const std::string remove = "WITH removed AS (DELETE FROM orvane.documents WHERE path = $1 RETURNING id), " +
                             DeleteRowsOf("removed", screens_).substr(5) + " SELECT count(*) FROM removed";
  return db_->Run(remove, Params().Bytes(path)).Int(0, 0) > 0;
}

void PostgresWriter::ForEachDocument(const std::string& folder,
                                     const std::function<void(const std::string&, const FileIdentity&, const std::string&)>& visit) {
  Rows rows = DocumentsAtOrBelow("path, device, inode, size, modified_ns, family", folder);
  for (int row = 0; row < rows.size(); ++row)
    visit(rows.Text(row, 0),
          FileIdentity{std::uint64_t(rows.Int(row, 1)), std::uint64_t(rows.Int(row, 2)), rows.Int(row, 3), rows.Int(row, 4)},
          rows.Text(row, 5));
}

std::optional<FileIdentity> PostgresWriter::Identity(const std::string& path) {
  Rows rows = db_->Run("SELECT device, inode, size, modified_ns FROM orvane.documents WHERE path = $1", Params().Bytes(path));
  if (!rows.size()) return std::nullopt;
  return FileIdentity{std::uint64_t(rows.Int(0, 0)), std::uint64_t(rows.Int(0, 1)), rows.Int(0, 2), rows.Int(0, 3)};
}

std::size_t PostgresWriter::DocumentCount() { return std::size_t(db_->Run("SELECT count(*) FROM orvane.documents").Int(0, 0)); }

void PostgresWriter::AddRoot(const std::string& path, std::int64_t lastUpdate, std::uint64_t device) {
  // One statement, so that two writers recording the same folder at once cannot both own it.
  Rows added = db_->Run("INSERT INTO orvane.roots(path, owner, last_update, device) VALUES($1, $2, $3, $4) "
                        "ON CONFLICT (path) DO UPDATE SET last_update = excluded.last_update, device = excluded.device "
                        "WHERE roots.owner = excluded.owner",
                        Params().Bytes(path).Text(owner_).Int(lastUpdate).Int(std::int64_t(device)));
  if (added.AffectedRows() == 0) throw StorageError(path + " is kept by another indexer; only it updates or forgets that folder");
}

bool PostgresWriter::RemoveRoot(const std::string& path) {
  return db_->Run("DELETE FROM orvane.roots WHERE path = $1 AND owner = $2", Params().Bytes(path).Text(owner_)).AffectedRows() > 0;
}

void PostgresWriter::SetMountFolders(const std::string& root, const std::vector<MountFolder>& folders) {
  if (!mountFolders_) return;
  const std::string normalized = NormalizeFolder(root);
  db_->Run("DELETE FROM orvane.mount_folders WHERE path = $1 OR (path >= $3 AND path < $2)",
           Params().Bytes(normalized).Bytes(FolderRangeEnd(normalized)).Bytes(normalized + "/"));
  for (const MountFolder& folder : folders)
    db_->Run("INSERT INTO orvane.mount_folders(path, device) VALUES($1, $2) ON CONFLICT (path) DO UPDATE SET device = excluded.device",
             Params().Bytes(folder.path).Int(std::int64_t(folder.device)));
}

std::vector<MountFolder> PostgresWriter::MountFoldersBelow(const std::string& root) {
  std::vector<MountFolder> folders;
  if (!mountFolders_) return folders;
  const std::string normalized = NormalizeFolder(root);
  Rows rows = db_->Run("SELECT path, device FROM orvane.mount_folders WHERE path = $1 OR (path >= $3 AND path < $2)",
                       Params().Bytes(normalized).Bytes(FolderRangeEnd(normalized)).Bytes(normalized + "/"));
  for (int row = 0; row < rows.size(); ++row) folders.push_back({rows.Text(row, 0), std::uint64_t(rows.Int(row, 1))});
  return folders;
}

namespace {

std::vector<RootRecord> RootsIn(Rows rows) {
  std::vector<RootRecord> roots;
  for (int row = 0; row < rows.size(); ++row)
    roots.push_back({rows.Text(row, 0), rows.Int(row, 1), std::uint64_t(rows.Int(row, 2)), rows.Text(row, 3)});
  return roots;
}

}  // namespace

std::vector<RootRecord> PostgresWriter::Roots() {
  return RootsIn(db_->Run("SELECT path, last_update, device, owner FROM orvane.roots WHERE owner = $1 ORDER BY path", Params().Text(owner_)));
}

std::vector<RootRecord> PostgresWriter::AllRoots() {
  return RootsIn(db_->Run("SELECT path, last_update, device, owner FROM orvane.roots ORDER BY path"));
}

std::string IndexerName() {
  if (const char* given = std::getenv("ORVANE_INDEXER_NAME"); given && *given) return ValidText(given);
  std::string user = "uid" + std::to_string(geteuid());
  if (const passwd* account = getpwuid(geteuid()); account && account->pw_name) user = account->pw_name;
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = 0;
  return ValidText(user + "@" + (host[0] ? host : "localhost"));
}

std::vector<std::pair<std::string, std::size_t>> PostgresWriter::FamilyCounts() {
  std::vector<std::pair<std::string, std::size_t>> counts;
  Rows rows = db_->Run("SELECT family, count(*) FROM orvane.documents GROUP BY family ORDER BY convert_to(family, 'UTF8')");
  for (int row = 0; row < rows.size(); ++row) counts.emplace_back(rows.Text(row, 0), std::size_t(rows.Int(row, 1)));
  return counts;
}

std::vector<ImportFailure> PostgresWriter::Failures() {
  std::vector<ImportFailure> failures;
  Rows rows = db_->Run("SELECT path, failure FROM orvane.documents WHERE failure IS NOT NULL ORDER BY path");
  for (int row = 0; row < rows.size(); ++row) failures.push_back({rows.Text(row, 0), rows.Text(row, 1)});
  return failures;
}

std::vector<ImportNotes> PostgresWriter::Notes() {
  std::vector<ImportNotes> all;
  Rows rows = db_->Run("SELECT path, notes FROM orvane.documents WHERE notes IS NOT NULL ORDER BY path");
  for (int row = 0; row < rows.size(); ++row) all.push_back({rows.Text(row, 0), SplitNotes(rows.Text(row, 1))});
  return all;
}

}  // namespace metadata::postgres
