// The index: one SQLite database holding every document's attributes, with
// tables that let queries find documents without reading them all.
//
//   documents        one row per document: path (bytes as the file system spells
//                    it), file identity, network flag, import failure, and every
//                    attribute encoded in one record
//   number_values    (attribute, value, document) for numbers and dates
//   string_values    (attribute, value, document) for strings, by exact bytes
//                    (composed to NFC and cut to kIndexedStringBytes)
//   distinct_strings (attribute, value): each string value once, for short patterns
//   empty_values     (attribute, document) for empty arrays: the document has the
//                    attribute though no value stands in the tables above
//   number_spans     (attribute, lowest, highest, document) for arrays of numbers:
//                    "some element above a and some below b" in one look
//   string_trigrams  trigrams of each document's strings, case-folded, one row
//                    per document and attribute (rowid doc * kTrigramSlots + attribute),
//                    with positions, so a phrase query is an exact substring test
//   stripped_trigrams the same without diacritics, only for strings that have any
//   roots            the folders the indexer keeps current, and the file system each was on
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/metadata/sqlite_util.h"
#include "platform/metadata/value.h"

namespace metadata {

constexpr int kSchemaVersion = 2;
constexpr std::int64_t kApplicationId = 0x4F52564E;  // "ORVN"
constexpr int kTrigramSlots = 1 << 16;              // attribute ids with a trigram row: the rowid is doc * slots + id
constexpr size_t kIndexedStringBytes = 1024;         // longer strings are indexed by their start

// The attributes every document has from its file, not from the importer.
inline constexpr const char* kPathAttribute = "kMDItemPath";
inline constexpr const char* kDisplayNameAttribute = "kMDItemDisplayName";

struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modifiedNs = 0;
  bool operator==(const FileIdentity&) const = default;
};

struct DocumentRecord {
  std::string path;  // bytes as the file system spells them
  bool network = false;
  std::string family;                  // the importer's family, "" when unknown
  FileIdentity identity;
  std::optional<std::string> failure;  // why the import failed, if it did
  Attributes attributes;               // kMDItemPath is implied by `path`
};

struct RootRecord {
  std::string path;
  std::int64_t lastUpdate = 0;  // Unix seconds
  std::uint64_t device = 0;     // the file system it was on (st_dev), 0 when not known
};

// Where the index lives: $ORVANE_INDEX, else $XDG_DATA_HOME/orvane/index.sqlite.
std::filesystem::path DefaultIndexPath();

// Read access, for queries. Opening checks that the file is an index of this
// version; a missing, foreign or damaged file is refused with a message that
// says how to build or rebuild one.
class Index {
 public:
  static std::shared_ptr<Index> Open(const std::filesystem::path& file, std::string& error);

  sqlite3* db() const { return db_.get(); }
  const std::filesystem::path& file() const { return file_; }
  int AttributeId(const std::string& name) const;  // -1 when the index has never seen it
  const std::string* AttributeName(int id) const;
  const std::unordered_map<std::string, int>& attributeIds() const { return ids_; }

 private:
  Database db_;
  std::filesystem::path file_;
  std::unordered_map<std::string, int> ids_;
  std::unordered_map<int, std::string> names_;
};

// The one writer (the indexer). Every change happens inside Begin/Commit.
class IndexWriter {
 public:
  // Creates the index when there is none: mode 0600 in a folder of mode 0700.
  static std::unique_ptr<IndexWriter> Open(const std::filesystem::path& file, std::string& error);
  ~IndexWriter();

  void Begin();
  void Commit();
  void Rollback();

  // Adds the document, or replaces the one with the same path.
  void Put(const DocumentRecord& document);
  bool Remove(const std::string& path);
  // Calls `visit` with each document at or below `folder` (all when empty).
  void ForEachDocument(const std::string& folder,
                       const std::function<void(const std::string& path, const FileIdentity&, const std::string& family)>& visit);
  std::optional<FileIdentity> Identity(const std::string& path);

  void AddRoot(const std::string& path, std::int64_t lastUpdate, std::uint64_t device = 0);
  bool RemoveRoot(const std::string& path);
  std::vector<RootRecord> Roots();

  sqlite3* db() const { return db_.get(); }

 private:
  IndexWriter() = default;
  int AttributeIdFor(const std::string& name);
  void RemoveIndexEntries(std::int64_t doc, std::string_view record);
  void AddIndexEntries(std::int64_t doc, const Attributes& attributes);
  void Prepare();

  Database db_;
  bool inTransaction_ = false;
  std::unordered_map<std::string, int> ids_;
  std::unordered_map<int, std::string> names_;
  struct Statements;
  std::unique_ptr<Statements> statements_;
};

// Helpers shared by the reader and the writer.
std::string FolderRangeEnd(const std::string& folder);  // first byte string after every "folder/..."
std::string NormalizeFolder(std::string folder);        // without trailing slashes ("/" stays)
bool HasTrigramRow(int attributeId);                    // attributes beyond the slots have no trigram rows
std::int64_t TrigramRowId(std::int64_t doc, int attributeId);
std::string IndexedString(const std::string& value);    // what string_values keeps of a value: its NFC form, cut
bool IsEmptyArray(const Value& value);                  // kept in empty_values, so "A == *" finds it
std::string TrigramText(const Value& value);            // what string_trigrams keeps of a value
std::string StrippedTrigramText(const Value& value);    // what stripped_trigrams keeps; empty: nothing
std::optional<std::pair<double, double>> SpanOf(const Value& value);  // lowest and highest of 2+ numbers

}  // namespace metadata
