// The SQLite index's schema: its tables, how a new index file is made, how an
// existing one is recognised, and how values are laid out in the search tables.
//
//   documents        one row per document: path (bytes as the file system spells
//                    it), file identity, network flag, import failure, and every
//                    attribute encoded in one record; ids are never reused
//   number_values    (attribute, value, document) for numbers and dates
//   string_values    (attribute, value, document) for strings, by exact bytes
//                    (composed to NFC and cut to kIndexedStringBytes); an
//                    attribute's distinct values are read from it by skipping
//   empty_values     (attribute, document) for empty arrays: the document has the
//                    attribute though no value stands in the tables above
//   number_spans     (attribute, lowest, highest, document) for arrays of numbers:
//                    "some element above a and some below b" in one look
//   string_trigrams  trigrams of each document's strings, case-folded, one row
//                    per document and attribute (rowid attribute << 40 | document, so
//                    one attribute's rows are one rowid range and neighbouring
//                    documents' rowids differ little), with positions, so a phrase
//                    query is an exact substring test
//                    The trigram tables keep no row sizes (columnsize=0): nothing
//                    here reads them. An index made before keeps its tables of
//                    sizes and is read and written the same way.
//                    Values searched by fragments (SMILES, formulae) are in the
//                    cased table only, since version 5, and so are titles,
//                    notes and display names since version 6.
//   stripped_trigrams the same without diacritics, only for strings that have any
//   cased_trigrams   the same trigrams with case and diacritics kept (composed,
//                    NFC), so a case-sensitive substring is answered exactly
//   string_words     (attribute, word, document): each word of a string value,
//                    split as the query language splits words and case-folded
//                    (cut to kIndexedStringBytes), so a "w" match is a range look-up;
//                    since version 5, none of values searched by fragments,
//                    since version 6, none of display names
//   roots            the folders the indexer keeps current, and the file system each was on
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/metadata/encoding.h"
#include "platform/metadata/sqlite/sqlite_util.h"
#include "platform/metadata/stored_values.h"
#include "platform/metadata/value.h"

namespace metadata::sqlite {

constexpr int kSchemaVersion = 6;
// Version 6: the values searched as text without case (IsSearchedByTextFragment:
// titles, notes, display names) have no rows in string_trigrams or
// stripped_trigrams, and display names none in string_words. A search of them
// without case scans their packed values (value_texts), which a common word
// is cheaper to find in than its trigrams' positions, and which the panel's
// searches of titles and notes read already; where they are not packed, it
// matches their distinct values one by one. Titles and notes keep their words.
// A version-5 index is still read, and written as it is laid out.
constexpr int kFoldedTextsSchemaVersion = 5;
// Version 5: records keep short decimals scaled (NumberLayout::Scaled), and
// the attributes searched by fragments (IsSearchedByFragment) have no rows in
// string_words, string_trigrams or stripped_trigrams: a search of them without
// case, or by words, matches their distinct values one by one. A version-4
// index is still read, and written as it is laid out: an older program
// reading it finds what it wrote.
constexpr int kUnscaledSchemaVersion = 4;
// Version 4: cased_trigrams marks where each value ends (kValueEnd), so that
// a search for values ending with a text is answered from it exactly.
// Structure search: version 3 added the molecule tables (molecule_tables.h),
// which a writer adds to a version-2 index in place; a reader takes a version-2
// index as one without molecules.
constexpr int kOldestSchemaVersion = 2;
constexpr std::int64_t kApplicationId = 0x4F52564E;  // "ORVN"
constexpr int kTrigramDocumentBits = 40;
constexpr std::int64_t kMostDocuments = (std::int64_t(1) << kTrigramDocumentBits) - 1;  // the highest document number
constexpr int kTrigramAttributes = 1 << 22;  // attributes numbered from here have no trigram rows

// How to make a new index in place of `file`, for messages.
std::string RebuildAdvice(const std::filesystem::path& file);
// Checks the database is an index this program reads; an empty string when it is.
std::string CheckIndex(sqlite3* db, const std::filesystem::path& file);
// Makes a new, empty index at `file`, whole or not at all; false with the error.
bool CreateIndexFile(const std::filesystem::path& file, std::string& error);
void LoadAttributeNames(sqlite3* db, std::unordered_map<std::string, int>& ids);
// Opens an index file (SQLITE_OPEN_READONLY or _READWRITE) and checks it is
// one this program reads; none, with the error, when it cannot or is not.
Database OpenIndexFile(const std::filesystem::path& file, int mode, int busyMilliseconds, std::string& error);

// What an index's format version keeps, told by LayoutOf.
struct IndexLayout {
  NumberLayout numbers = NumberLayout::Scaled;
  // string_words and the case-folded trigram tables hold SMILES and formulae (before version 5)
  bool foldedFragments = false;
  // the case-folded trigram tables hold titles, notes and display names, and
  // string_words display names (before version 6)
  bool foldedTexts = false;
  // Whether string_words holds the words of `attribute`'s values.
  bool KeepsWordsOf(std::string_view attribute) const;
  // Whether string_trigrams and stripped_trigrams hold its values.
  bool KeepsFoldedTrigramsOf(std::string_view attribute) const;
};
IndexLayout LayoutOf(sqlite3* db);

bool HasTrigramRow(int attributeId);
std::int64_t TrigramRowId(std::int64_t doc, int attributeId);
inline int TrigramAttribute(std::int64_t rowid) { return int(rowid >> kTrigramDocumentBits); }
inline std::int64_t TrigramDocument(std::int64_t rowid) { return rowid & kMostDocuments; }
std::string TrigramText(const Value& value);          // what string_trigrams keeps of a value
std::string StrippedTrigramText(const Value& value);  // what stripped_trigrams keeps; empty: nothing
std::string CasedTrigramText(const Value& value);     // what cased_trigrams keeps
// What follows each value in cased_trigrams. The byte stands for itself
// nowhere there: inside a value it is kept as U+FFFD.
constexpr char kValueEnd = '\x03';
std::vector<std::string> IndexedWords(const Value& value);  // what string_words keeps, each word once
std::optional<std::pair<double, double>> SpanOf(const Value& value);  // lowest and highest of 2+ numbers

}  // namespace metadata::sqlite
