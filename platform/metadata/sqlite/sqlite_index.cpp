#include "platform/metadata/sqlite/sqlite_index.h"

#include <algorithm>
#include <set>

#include "platform/metadata/sqlite/schema.h"
#include "platform/metadata/text_match.h"

namespace fs = std::filesystem;

namespace metadata::sqlite {

namespace {

// The cased trigram table keeps the end mark inside a value as U+FFFD, so a
// text holding either cannot be looked up there exactly.
bool HoldsValueEndOrItsStandIn(const std::string& text) {
  return text.find(kValueEnd) != std::string::npos || text.find("\xEF\xBF\xBD") != std::string::npos;
}

// An FTS5 query asking for every run of 3 or more characters as a phrase, that
// is as a substring; empty when no run is long enough.
std::string PhraseQuery(const std::vector<std::string>& runs) {
  std::string query;
  for (const std::string& run : runs) {
    if (NormalizeText(run, false, false).size() < 3) continue;
    if (!query.empty()) query += " AND ";
    query += '"';
    for (char c : run) {
      if (c == '"') query += '"';
      query += c;
    }
    query += '"';
  }
  return query;
}

// The least byte string greater than every string that starts with `prefix`;
// empty when there is none.
std::string PrefixEnd(std::string prefix) {
  while (!prefix.empty()) {
    unsigned char last = static_cast<unsigned char>(prefix.back());
    if (last < 0xFF) {
      prefix.back() = char(last + 1);
      return prefix;
    }
    prefix.pop_back();
  }
  return prefix;
}

// The first column of the first row, if there is one.
std::optional<std::string> FirstText(Statement& statement) {
  std::optional<std::string> text;
  if (statement.Step()) text = statement.Text(0);
  statement.Reset();
  return text;
}

std::int64_t LimitOf(size_t limit) { return limit ? std::int64_t(limit) : -1; }

// Reads the first column of every row; false when the rows reached `limit`.
bool Collect(Statement& statement, DocSet& out, size_t limit = 0) {
  size_t rows = 0;
  while (statement.Step()) {
    out.push_back(statement.Int(0));
    ++rows;
  }
  statement.Reset();
  return !limit || rows < limit;
}

}  // namespace

struct SqliteIndex::Statements {
  explicit Statements(sqlite3* db)
      : record(db, "SELECT path, attributes FROM documents WHERE id = ?1"),
        path(db, "SELECT path FROM documents WHERE id = ?1"),
        recordAt(db, "SELECT attributes FROM documents WHERE path = ?1"),
        notesAt(db, "SELECT notes FROM documents WHERE path = ?1 AND notes IS NOT NULL"),
        numberRange(db, "SELECT doc FROM number_values WHERE attr = ?1 AND value BETWEEN ?2 AND ?3 LIMIT ?4"),
        stringRange(db, "SELECT doc, length(value) FROM string_values WHERE attr = ?1 AND value >= ?2 AND value < ?3 LIMIT ?4"),
        stringFrom(db, "SELECT doc, length(value) FROM string_values WHERE attr = ?1 AND value >= ?2 LIMIT ?4"),
        stringAtLeast(db, "SELECT doc FROM string_values WHERE attr = ?1 AND value >= ?2 LIMIT ?3"),
        stringAtMost(db, "SELECT doc FROM string_values WHERE attr = ?1 AND value <= ?2 LIMIT ?3"),
        stringEqual(db, "SELECT doc FROM string_values WHERE attr = ?1 AND value = ?2"),
        firstValue(db, "SELECT value FROM string_values WHERE attr = ?1 ORDER BY value LIMIT 1"),
        nextValue(db, "SELECT value FROM string_values WHERE attr = ?1 AND value > ?2 ORDER BY value LIMIT 1"),
        valuesAfter(db, "SELECT DISTINCT value FROM string_values WHERE attr = ?1 AND value > ?2 ORDER BY value"),
        trigrams(db, "SELECT rowid FROM string_trigrams WHERE string_trigrams MATCH ?1 LIMIT ?2"),
        strippedTrigrams(db, "SELECT rowid FROM stripped_trigrams WHERE stripped_trigrams MATCH ?1 LIMIT ?2"),
        trigramsOf(db, "SELECT rowid FROM string_trigrams WHERE string_trigrams MATCH ?1 AND rowid BETWEEN ?3 AND ?4 LIMIT ?2"),
        strippedTrigramsOf(db, "SELECT rowid FROM stripped_trigrams WHERE stripped_trigrams MATCH ?1 AND rowid BETWEEN ?3 AND ?4 "
                               "LIMIT ?2"),
        spans(db, "SELECT doc FROM number_spans WHERE attr = ?1 AND low <= ?2 AND high >= ?3"),
        allDocs(db, "SELECT id FROM documents ORDER BY id"),
        allPaths(db, "SELECT id, path FROM documents"),
        walkFromStart(db, "SELECT id, path FROM documents ORDER BY path"),
        walkAfter(db, "SELECT id, path FROM documents WHERE path > ?1 ORDER BY path"),
        numbersOf(db, "SELECT doc FROM number_values WHERE attr = ?1"),
        stringsOf(db, "SELECT doc FROM string_values WHERE attr = ?1"),
        emptiesOf(db, "SELECT doc FROM empty_values WHERE attr = ?1"),
        anyString(db, "SELECT 1 FROM string_values WHERE attr = ?1 LIMIT 1"),
        // The bounds are bound as blobs: a blob sorts after every text, so
        // "?1 || '/'" (a text) would be no lower bound at all.
        folder(db, "SELECT id FROM documents WHERE path = ?1 OR (path >= ?3 AND path < ?2)"),
        network(db, "SELECT id FROM documents WHERE network = 1"),
        roots(db, "SELECT path, last_update, device FROM roots"),
        casedTrigrams(db, "SELECT rowid FROM cased_trigrams WHERE cased_trigrams MATCH ?1 LIMIT ?2"),
        casedTrigramsOf(db, "SELECT rowid FROM cased_trigrams WHERE cased_trigrams MATCH ?1 AND rowid BETWEEN ?3 AND ?4 LIMIT ?2"),
        wordsFrom(db, "SELECT word, doc FROM string_words WHERE attr = ?1 AND word >= ?2 LIMIT ?4"),
        wordRange(db, "SELECT word, doc FROM string_words WHERE attr = ?1 AND word >= ?2 AND word < ?3 LIMIT ?4"),
        firstWordFrom(db, "SELECT word FROM string_words WHERE attr = ?1 AND word >= ?2 ORDER BY word LIMIT 1"),
        nextWordAfter(db, "SELECT word FROM string_words WHERE attr = ?1 AND word > ?2 ORDER BY word LIMIT 1"),
        docsOfWord(db, "SELECT doc FROM string_words WHERE attr = ?1 AND word = ?2 LIMIT ?3") {}

  Statement record, path, recordAt, notesAt, numberRange, stringRange, stringFrom, stringAtLeast, stringAtMost, stringEqual;
  Statement firstValue, nextValue, valuesAfter, trigrams, strippedTrigrams, trigramsOf, strippedTrigramsOf, spans, allDocs, allPaths, walkFromStart, walkAfter;
  Statement numbersOf, stringsOf, emptiesOf, anyString, folder, network, roots;
  Statement casedTrigrams, casedTrigramsOf, wordsFrom, wordRange;
  Statement firstWordFrom, nextWordAfter, docsOfWord;
};

// One trigram table: its statement over all rows, and over one attribute's rowid range.
struct SqliteIndex::TrigramTable {
  Statement* all;
  Statement* ofAttribute;
};

std::shared_ptr<Index> SqliteIndex::Open(const fs::path& file, std::string& error) {
  std::error_code ignored;
  if (!fs::exists(file, ignored)) {
    error = "there is no index at " + file.string() + "; build one with: orvane-index FOLDER...";
    return nullptr;
  }
  Database db = OpenIndexFile(file, SQLITE_OPEN_READONLY, 5000, error);
  if (!db) return nullptr;
  sqlite3* raw = db.get();
  // Reads through a memory map and a generous cache: searches read many small
  // rows. The map covers the whole file (mapped_vfs.h): the packed values and
  // fingerprints lie at its end, and a search that reads them through the
  // cache instead pays for a read and a copy a page.
  sqlite3_exec(raw, "PRAGMA mmap_size=1099511627776; PRAGMA cache_size=-65536", nullptr, nullptr, nullptr);
  std::shared_ptr<SqliteIndex> index(new SqliteIndex);
  try {
    std::unordered_map<std::string, int> ids;
    LoadAttributeNames(raw, ids);
    index->SetAttributeNames(std::move(ids), file.string());
    index->statements_ = std::make_unique<Statements>(raw);
    index->layout_ = LayoutOf(raw);
  } catch (const SqliteError& failure) {
    error = file.string() + " is damaged (" + failure.what() + "); " + RebuildAdvice(file);
    return nullptr;
  }
  index->molecules_ = std::make_unique<MoleculeReader>(raw);
  SqliteIndex* self = index.get();
  index->packs_ = std::make_unique<LookupPackReader>(raw, [self](int attr) {
    const std::string* name = self->AttributeName(attr);
    return name && IsStoredOnly(*name);
  });
  index->db_ = std::move(db);
  return index;
}

SqliteIndex::~SqliteIndex() { statements_.reset(); }  // before the connection

void SqliteIndex::BeginRead() { Execute(db_.get(), "BEGIN"); }
void SqliteIndex::EndRead() { sqlite3_exec(db_.get(), "COMMIT", nullptr, nullptr, nullptr); }

bool SqliteIndex::ReadDocument(std::int64_t doc, std::string& path, std::string& record) {
  Statement& read = statements_->record;
  read.Reset().Bind(1, doc);
  const bool found = read.Step();
  if (found) {
    path = read.Text(0);
    record = read.Text(1);
  }
  read.Reset();
  return found;
}

std::optional<std::string> SqliteIndex::PathOf(std::int64_t doc) {
  statements_->path.Reset().Bind(1, doc);
  return FirstText(statements_->path);
}

std::optional<std::string> SqliteIndex::RecordAt(const std::string& path) {
  statements_->recordAt.Reset().BindBlob(1, path);
  return FirstText(statements_->recordAt);
}

std::vector<std::string> SqliteIndex::NotesAt(const std::string& path) {
  statements_->notesAt.Reset().BindBlob(1, path);
  std::optional<std::string> notes = FirstText(statements_->notesAt);
  return notes ? SplitNotes(*notes) : std::vector<std::string>();
}

DocSet SqliteIndex::AllDocuments() {
  DocSet out;
  statements_->allDocs.Reset();
  Collect(statements_->allDocs, out);
  return out;  // the rowid order is sorted
}

void SqliteIndex::WalkInPathOrder(const std::string* after, const std::function<bool(std::int64_t, std::string_view)>& visit) {
  Statement& walk = after ? statements_->walkAfter : statements_->walkFromStart;
  walk.Reset();
  if (after) walk.BindBlob(1, *after);
  while (walk.Step())
    if (!visit(walk.Int(0), walk.Bytes(1))) break;
  walk.Reset();
}

void SqliteIndex::ForEachPath(const std::function<void(std::int64_t, std::string_view)>& visit) {
  Statement& all = statements_->allPaths;
  all.Reset();
  while (all.Step()) visit(all.Int(0), all.Bytes(1));
  all.Reset();
}

void SqliteIndex::AtOrBelow(const std::string& folder, DocSet& out) {
  statements_->folder.Reset().BindBlob(1, folder).BindBlob(2, FolderRangeEnd(folder)).BindBlob(3, folder + "/");
  Collect(statements_->folder, out);
}

void SqliteIndex::OnNetwork(DocSet& out) {
  statements_->network.Reset();
  Collect(statements_->network, out);
}

std::vector<RootRecord> SqliteIndex::Roots() {
  std::vector<RootRecord> roots;
  Statement& read = statements_->roots;
  read.Reset();
  while (read.Step()) roots.push_back(RootRecord{std::string(read.Bytes(0)), read.Int(1), std::uint64_t(read.Int(2)), {}});
  read.Reset();
  return roots;
}

std::vector<MountFolder> SqliteIndex::MountFolders() {
  std::vector<MountFolder> folders;
  Statement exists(db_.get(), "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'mount_folders'");
  if (!exists.Step()) return folders;  // an index whose writer has not opened it since the table was added
  Statement read(db_.get(), "SELECT path, device FROM mount_folders");
  while (read.Step()) folders.push_back({std::string(read.Bytes(0)), std::uint64_t(read.Int(1))});
  return folders;
}

// A range the packs answer is read whole: a few bitmaps cost less than the
// probe's rows would.
bool SqliteIndex::NumbersBetween(int attr, double low, double high, size_t limit, DocSet& out) {
  if (packs_->NumbersBetween(attr, low, high, out)) return true;
  statements_->numberRange.Reset().Bind(1, std::int64_t(attr)).Bind(2, low).Bind(3, high).Bind(4, LimitOf(limit));
  return Collect(statements_->numberRange, out, limit);
}

void SqliteIndex::SpansAcross(int attr, double low, double high, DocSet& out) {
  statements_->spans.Reset().Bind(1, std::int64_t(attr)).Bind(2, high).Bind(3, low);
  Collect(statements_->spans, out);
}

void SqliteIndex::StringsEqual(int attr, std::string_view indexed, DocSet& out) {
  size_t added = 0;
  if (packs_->ValueDocuments(PackedKind::StringValue, attr, indexed, out, added)) return;
  statements_->stringEqual.Reset().Bind(1, std::int64_t(attr)).BindBlob(2, indexed);
  Collect(statements_->stringEqual, out);
}

bool SqliteIndex::StringsWithPrefix(int attr, std::string_view prefix, size_t limit, DocSet& out, bool& cut) {
  const std::string end = PrefixEnd(std::string(prefix));
  Statement& range = end.empty() ? statements_->stringFrom : statements_->stringRange;
  range.Reset().Bind(1, std::int64_t(attr)).BindBlob(2, prefix).Bind(4, LimitOf(limit));
  if (!end.empty()) range.BindBlob(3, end);
  size_t rows = 0;
  while (range.Step()) {
    out.push_back(range.Int(0));
    if (size_t(range.Int(1)) >= kIndexedStringBytes) cut = true;
    ++rows;
  }
  range.Reset();
  return !limit || rows < limit;
}

bool SqliteIndex::StringsBeyond(int attr, std::string_view key, bool atLeast, size_t limit, DocSet& out) {
  Statement& scan = atLeast ? statements_->stringAtLeast : statements_->stringAtMost;
  scan.Reset().Bind(1, std::int64_t(attr)).BindBlob(2, key).Bind(3, LimitOf(limit));
  return Collect(scan, out, limit);
}

// An attribute with few values is read by skipping from one value to the
// next; one with many, once that is clear, by reading its rows in order.
bool SqliteIndex::DistinctStrings(int attr, size_t limit, std::vector<std::string>& out) {
  constexpr size_t kSkipsBeforeScan = 256;
  Statement* step = &statements_->firstValue;
  step->Reset().Bind(1, std::int64_t(attr));
  size_t seen = 0;
  for (;;) {
    std::optional<std::string> value = FirstText(*step);
    if (!value) return true;
    if (++seen > limit && limit) return false;
    out.push_back(std::move(*value));
    if (!limit && seen >= kSkipsBeforeScan) break;
    step = &statements_->nextValue;
    step->Reset().Bind(1, std::int64_t(attr)).BindBlob(2, out.back());
  }
  Statement& rest = statements_->valuesAfter;
  rest.Reset().Bind(1, std::int64_t(attr)).BindBlob(2, out.back());
  while (rest.Step()) out.push_back(rest.Text(0));
  rest.Reset();
  return true;
}

bool SqliteIndex::HoldsStrings(int attr) {
  Statement& any = statements_->anyString;
  any.Reset().Bind(1, std::int64_t(attr));
  const bool holds = any.Step();
  any.Reset();
  return holds;
}

void SqliteIndex::DocumentsWith(int attr, DocSet& out) {
  for (Statement* table : {&statements_->numbersOf, &statements_->stringsOf, &statements_->emptiesOf}) {
    table->Reset().Bind(1, std::int64_t(attr));
    Collect(*table, out);
  }
}

bool SqliteIndex::Substrings(const std::vector<int>& attrs, const std::vector<std::string>& runs, bool stripped, size_t limit,
                             DocSet& out, bool& complete) {
  // An index of the present layout keeps no folded trigrams of values
  // searched by fragments, nor of titles, notes and display names: the
  // planner scans their packed values, or matches their distinct values.
  if (!std::all_of(attrs.begin(), attrs.end(), [this](int attr) { return KeepsFoldedTrigramsOf(attr); })) return false;
  // Every string is in string_trigrams; stripped_trigrams holds only those
  // that change when their diacritics go, so both are read for a stripped match.
  std::vector<TrigramTable> tables{{&statements_->trigrams, &statements_->trigramsOf}};
  if (stripped) tables.push_back({&statements_->strippedTrigrams, &statements_->strippedTrigramsOf});
  return PhraseLookUp(attrs, runs, tables, limit, out, complete);
}

bool SqliteIndex::CasedSubstrings(const std::vector<int>& attrs, const std::vector<std::string>& runs, size_t limit, DocSet& out,
                                  bool& complete) {
  if (std::any_of(runs.begin(), runs.end(), HoldsValueEndOrItsStandIn)) return false;
  return PhraseLookUp(attrs, runs, {{&statements_->casedTrigrams, &statements_->casedTrigramsOf}}, limit, out, complete);
}

// Answers what the trigram look-up of the same runs answers: it asks for each
// run of three characters or more, so the scan serves where there is one.
bool SqliteIndex::ScanCasedSubstrings(const std::vector<int>& attrs, const std::vector<std::string>& runs, const ValueJudge* judge,
                                      DocSet& out) {
  if (std::any_of(runs.begin(), runs.end(), HoldsValueEndOrItsStandIn)) return false;
  return ScanSubstrings(attrs, runs, ScanForm::Cased, judge, out);
}

bool SqliteIndex::ScanFoldedSubstrings(const std::vector<int>& attrs, const std::vector<std::string>& runs, bool stripped,
                                       const ValueJudge* judge, DocSet& out) {
  return ScanSubstrings(attrs, runs, stripped ? ScanForm::Stripped : ScanForm::Folded, judge, out);
}

bool SqliteIndex::ScanSubstrings(const std::vector<int>& attrs, const std::vector<std::string>& runs, ScanForm form, const ValueJudge* judge,
                                 DocSet& out) {
  if (std::any_of(runs.begin(), runs.end(), [](const std::string& run) { return run.find('\n') != std::string::npos; })) return false;
  if (attrs.empty() || !std::all_of(attrs.begin(), attrs.end(), HasTrigramRow)) return false;
  std::vector<const std::string*> looked;
  for (const std::string& run : runs)
    if (NormalizeText(run, false, false).size() >= 3) looked.push_back(&run);
  // One run is looked for: a judge asks for the others with the rest of the pattern.
  if (looked.empty() || (looked.size() > 1 && !judge)) return false;
  const std::string& run = **std::max_element(looked.begin(), looked.end(), [](const std::string* a, const std::string* b) { return a->size() < b->size(); });
  const size_t before = out.size();
  for (int attr : attrs)
    if (!packs_->ScanTexts(attr, run, form, judge, out)) {
      out.resize(before);
      return false;
    }
  return true;
}

std::optional<Index::ScanSize> SqliteIndex::ScannedSize(const std::vector<int>& attrs) {
  ScanSize size;
  for (int attr : attrs) {
    const std::optional<ScanSize> packed = packs_->TextSize(attr);
    if (!packed) return std::nullopt;
    size.bytes += packed->bytes;
    size.values += packed->values;
    size.lastDocument = std::max(size.lastDocument, packed->lastDocument);
  }
  return size;
}

// A value ending with `suffix` holds the suffix followed by the end mark.
bool SqliteIndex::CasedSuffixes(const std::vector<int>& attrs, const std::string& suffix, size_t limit, DocSet& out, bool& complete) {
  if (HoldsValueEndOrItsStandIn(suffix)) return false;
  if (NormalizeText(suffix, false, false).size() < 2) return false;  // with the mark, fewer than three characters
  return PhraseLookUp(attrs, {suffix + kValueEnd}, {{&statements_->casedTrigrams, &statements_->casedTrigramsOf}}, limit, out, complete);
}

bool SqliteIndex::PhraseLookUp(const std::vector<int>& attrs, const std::vector<std::string>& runs, const std::vector<TrigramTable>& tables,
                               size_t limit, DocSet& out, bool& complete) {
  // The values of an array are kept one a line: a run holding a line break
  // could be found across two values, so such a pattern is matched value by value.
  const bool spansLines = std::any_of(runs.begin(), runs.end(), [](const std::string& run) { return run.find('\n') != std::string::npos; });
  const std::string query = PhraseQuery(runs);
  if (query.empty() || spansLines || !std::all_of(attrs.begin(), attrs.end(), HasTrigramRow)) return false;
  // A few attributes are read each as its own rowid range; many ("*") in one pass.
  const bool byAttribute = attrs.size() <= 4;
  const std::set<int> wanted(attrs.begin(), attrs.end());
  for (const TrigramTable& source : tables)
    for (size_t i = 0; i < (byAttribute ? attrs.size() : 1); ++i) {
      Statement* table = byAttribute ? source.ofAttribute : source.all;
      table->Reset().BindText(1, query).Bind(2, LimitOf(limit));
      if (byAttribute) table->Bind(3, TrigramRowId(0, attrs[i])).Bind(4, TrigramRowId(kMostDocuments, attrs[i]));
      size_t rows = 0;
      while (table->Step()) {
        ++rows;
        const std::int64_t rowid = table->Int(0);
        // A range of one attribute holds only its rows.
        if (byAttribute || wanted.count(TrigramAttribute(rowid))) out.push_back(TrigramDocument(rowid));
      }
      table->Reset();
      if (limit && rows >= limit) complete = false;
    }
  return true;
}

bool SqliteIndex::WordsWithPrefix(int attr, std::string_view prefix, size_t limit,
                                  const std::function<void(std::string_view word, std::int64_t doc)>& visit) {
  const std::string end = PrefixEnd(std::string(prefix));
  Statement& range = end.empty() ? statements_->wordsFrom : statements_->wordRange;
  range.Reset().Bind(1, std::int64_t(attr)).BindBlob(2, prefix).Bind(4, LimitOf(limit));
  if (!end.empty()) range.BindBlob(3, end);
  size_t rows = 0;
  while (range.Step()) {
    visit(range.Bytes(0), range.Int(1));
    ++rows;
  }
  range.Reset();
  return !limit || rows < limit;
}

bool SqliteIndex::KeepsFoldedTrigramsOf(int attr) const {
  const std::string* name = AttributeName(attr);
  return !name || layout_.KeepsFoldedTrigramsOf(*name);
}

bool SqliteIndex::KeepsWordsOf(int attr) {
  const std::string* name = AttributeName(attr);
  return !name || layout_.KeepsWordsOf(*name);
}

// Steps from one distinct word to the next (one seek each) and reads the
// documents of the wanted words only: a common word's neighbours in the table
// ("crudeness" after "crude") are passed over, not read row by row.
bool SqliteIndex::DocumentsOfWords(int attr, std::string_view prefix, size_t limit,
                                   const std::function<bool(std::string_view word)>& wanted, DocSet& out) {
  Statement* step = &statements_->firstWordFrom;
  step->Reset().Bind(1, std::int64_t(attr)).BindBlob(2, prefix);
  size_t rows = 0;
  for (;;) {
    std::optional<std::string> word = FirstText(*step);
    if (!word || word->compare(0, prefix.size(), prefix) != 0) return true;
    ++rows;
    if (wanted(*word)) {
      size_t added = 0;
      if (packs_->ValueDocuments(PackedKind::Word, attr, *word, out, added)) {
        rows += added;
      } else {
        Statement& docs = statements_->docsOfWord;
        const std::int64_t room = limit ? std::int64_t(limit > rows ? limit - rows : 0) : -1;
        docs.Reset().Bind(1, std::int64_t(attr)).BindBlob(2, *word).Bind(3, room);
        while (docs.Step()) {
          out.push_back(docs.Int(0));
          ++rows;
        }
        docs.Reset();
      }
    }
    if (limit && rows >= limit) return false;
    step = &statements_->nextWordAfter;
    step->Reset().Bind(1, std::int64_t(attr)).BindBlob(2, *word);
  }
}

}  // namespace metadata::sqlite
