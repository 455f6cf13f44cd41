#include "platform/metadata/sqlite/schema.h"

#include <fcntl.h>
#include <stdio.h>  // renameat2
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include "platform/metadata/sqlite/mapped_vfs.h"
#include "platform/metadata/sqlite/molecule_tables.h"
#include "platform/metadata/store.h"
#include "platform/metadata/stored_values.h"
#include "platform/metadata/text_match.h"

namespace fs = std::filesystem;

namespace metadata::sqlite {

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
  notes TEXT,
  attributes BLOB NOT NULL);
CREATE INDEX documents_on_network ON documents(id) WHERE network = 1;
CREATE TABLE number_values(attr INTEGER NOT NULL, value REAL NOT NULL, doc INTEGER NOT NULL,
  PRIMARY KEY(attr, value, doc)) WITHOUT ROWID;
CREATE TABLE string_values(attr INTEGER NOT NULL, value BLOB NOT NULL, doc INTEGER NOT NULL,
  PRIMARY KEY(attr, value, doc)) WITHOUT ROWID;
CREATE TABLE empty_values(attr INTEGER NOT NULL, doc INTEGER NOT NULL, PRIMARY KEY(attr, doc)) WITHOUT ROWID;
CREATE TABLE number_spans(attr INTEGER NOT NULL, low REAL NOT NULL, doc INTEGER NOT NULL, high REAL NOT NULL,
  PRIMARY KEY(attr, low, doc)) WITHOUT ROWID;
CREATE VIRTUAL TABLE string_trigrams USING fts5(text, tokenize='trigram case_sensitive 1', content='', detail='full', columnsize=0);
CREATE VIRTUAL TABLE stripped_trigrams USING fts5(text, tokenize='trigram case_sensitive 1', content='', detail='full', columnsize=0);
CREATE TABLE roots(path BLOB PRIMARY KEY, last_update INTEGER NOT NULL DEFAULT 0, device INTEGER NOT NULL DEFAULT 0);
)sql";

// Since version 3: the tables that answer case-sensitive substrings and words exactly
// (version 4: with the end of each value marked in cased_trigrams).
constexpr const char* kExactTextTables = R"sql(
CREATE VIRTUAL TABLE cased_trigrams USING fts5(text, tokenize='trigram case_sensitive 1', content='', detail='full', columnsize=0);
CREATE TABLE string_words(attr INTEGER NOT NULL, word BLOB NOT NULL, doc INTEGER NOT NULL,
  PRIMARY KEY(attr, word, doc)) WITHOUT ROWID;
)sql";

}  // namespace

std::string RebuildAdvice(const fs::path& file) {
  return "move it away and build a new index with: orvane-index --db '" + file.string() + "' FOLDER...";
}

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
  if (version != kSchemaVersion && version != kFoldedTextsSchemaVersion && version != kUnscaledSchemaVersion)
    return "the index " + file.string() + " has format version " + std::to_string(version) + ", and this Orvane reads version " +
           std::to_string(kSchemaVersion) + "; " + RebuildAdvice(file);
  return {};
}

Database OpenIndexFile(const fs::path& file, int mode, int busyMilliseconds, std::string& error) {
  sqlite3* raw = nullptr;
  const int code = sqlite3_open_v2(file.c_str(), &raw, mode | SQLITE_OPEN_NOMUTEX, MappedVfsName());
  Database db(raw);
  if (code != SQLITE_OK) {
    error = "cannot open the index " + file.string() + ": " + (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(code));
    return nullptr;
  }
  sqlite3_busy_timeout(raw, busyMilliseconds);
  if (error = CheckIndex(raw, file); !error.empty()) return nullptr;
  return db;
}

IndexLayout LayoutOf(sqlite3* db) {
  Statement user(db, "PRAGMA user_version");
  const std::int64_t version = user.Step() ? user.Int(0) : kSchemaVersion;
  if (version == kUnscaledSchemaVersion) return {NumberLayout::Plain, true, true};
  if (version == kFoldedTextsSchemaVersion) return {NumberLayout::Scaled, false, true};
  return {};
}

bool IndexLayout::KeepsWordsOf(std::string_view attribute) const {
  if (IsSearchedByFragment(attribute)) return foldedFragments;
  if (attribute == kDisplayNameAttribute) return foldedTexts;
  return true;
}

bool IndexLayout::KeepsFoldedTrigramsOf(std::string_view attribute) const {
  if (IsSearchedByFragment(attribute)) return foldedFragments;
  if (IsSearchedByTextFragment(attribute)) return foldedTexts;
  return true;
}

void LoadAttributeNames(sqlite3* db, std::unordered_map<std::string, int>& ids) {
  Statement all(db, "SELECT id, name FROM attribute_names");
  while (all.Step()) ids[all.Text(1)] = int(all.Int(0));
}

namespace {

void WriteSchema(sqlite3* db) {
  Execute(db, "PRAGMA journal_mode=WAL");
  Execute(db, "BEGIN");
  Execute(db, kSchema);
  AddMoleculeTables(db);
  Execute(db, kExactTextTables);
  Execute(db, ("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str());
  Execute(db, ("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
  Execute(db, "COMMIT");
}

// Puts `draft` at `file` unless a file is there already (then another process
// made the index first, and that one is used); 0, or the error number.
int PlaceWithoutReplacing(const std::string& draft, const fs::path& file) {
  if (::link(draft.c_str(), file.c_str()) == 0 || errno == EEXIST) return 0;
  // File systems without hard links (vfat, some FUSE ones) rename instead.
  if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) return errno;
  if (::renameat2(AT_FDCWD, draft.c_str(), AT_FDCWD, file.c_str(), RENAME_NOREPLACE) == 0 || errno == EEXIST) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  return ::access(file.c_str(), F_OK) == 0 || ::rename(draft.c_str(), file.c_str()) == 0 ? 0 : errno;
}

}  // namespace

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
  const int placed = PlaceWithoutReplacing(draft, file);
  discard();
  if (placed != 0) error = "cannot create the index " + file.string() + ": " + std::strerror(placed);
  return placed == 0;
}

bool HasTrigramRow(int attributeId) { return attributeId >= 0 && attributeId < kTrigramAttributes; }

std::int64_t TrigramRowId(std::int64_t doc, int attributeId) { return std::int64_t(attributeId) << kTrigramDocumentBits | doc; }

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

std::string CasedTrigramText(const Value& value) {
  std::string text;
  ForEachString(value, [&](const std::string& s) {
    if (!text.empty()) text += '\n';
    for (char c : ComposedForm(s)) {
      if (c == kValueEnd)
        text += "\xEF\xBF\xBD";  // U+FFFD
      else
        text += c;
    }
    text += kValueEnd;
  });
  return text;
}

std::vector<std::string> IndexedWords(const Value& value) {
  std::vector<std::string> words;
  ForEachString(value, [&](const std::string& s) {
    for (const std::u32string& word : SplitWords(NormalizeText(s, false, false))) {
      std::string folded = FoldedForm(ToUtf8(word));
      if (folded.size() > kIndexedWordBytes) folded.resize(kIndexedWordBytes);
      words.push_back(std::move(folded));
    }
  });
  std::sort(words.begin(), words.end());
  words.erase(std::unique(words.begin(), words.end()), words.end());
  return words;
}

std::optional<std::pair<double, double>> SpanOf(const Value& value) {
  const auto* numbers = std::get_if<NumberArray>(&value);
  if (!numbers || numbers->size() < 2) return std::nullopt;
  const auto [low, high] = std::minmax_element(numbers->begin(), numbers->end());
  return std::make_pair(*low, *high);
}

}  // namespace metadata::sqlite
