#include "platform/metadata/postgres/pg_index.h"

#include <RDGeneral/versions.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdio>
#include <unordered_set>

#include "platform/metadata/postgres/pg_schema.h"
#include "platform/metadata/stored_values.h"
#include "platform/metadata/structure_search.h"
#include "platform/metadata/text_match.h"

namespace metadata::postgres {

namespace {

constexpr int kPage = 5000;  // rows a walk over every document reads at a time
constexpr int kFirstPage = 64;  // a walk in path order often stops after a few rows
constexpr size_t kSmallestTrigramProbe = 4000;  // rows; see Substrings
// Documents given as $1, joined rather than tested with `= ANY($1)`: the
// planner judges each element of an array it is given, which takes longer than
// the look-up itself for thousands of documents, and it knows an unnested
// array's length.
constexpr const char* kGivenDocuments = "unnest($1::bigint[]) AS given(doc)";

// Reads the first column of every row; false when the rows reached `limit`.
bool Collect(const Rows& rows, DocSet& out, size_t limit = 0) {
  for (int row = 0; row < rows.size(); ++row) out.push_back(rows.Int(row, 0));
  return !limit || size_t(rows.size()) < limit;
}

std::string LikeSubstring(const std::string& run) {
  std::string pattern = "%";
  for (char c : run) {
    if (c == '%' || c == '_' || c == '\\') pattern += '\\';
    pattern += c;
  }
  return pattern + "%";
}

// True when a run can be looked up in the text columns as it is: it is kept
// there byte for byte, and holds no character that stands for another.
bool Searchable(const std::string& run) {
  return run.find('\n') == std::string::npos && ValidText(run) == run && run.find(kReplacement) == std::string::npos;
}

// The runs a substring look-up asks for: only runs of three characters or
// more make trigrams. False when none does, or one cannot be searched.
bool LookedUpRuns(const std::vector<std::string>& runs, std::vector<std::string>& looked) {
  for (const std::string& run : runs) {
    if (!Searchable(run)) return false;
    if (NormalizeText(run, false, false).size() >= 3) looked.push_back(run);
  }
  return !looked.empty();
}

// Document numbers as an array literal, for $N::bigint[].
std::string DocArray(DocSet::const_iterator begin, DocSet::const_iterator end) {
  std::string ids = "{";
  for (auto at = begin; at != end; ++at) ids += (at == begin ? "" : ",") + std::to_string(*at);
  return ids + "}";
}

// The settings of a reader's session.
void Configure(Connection& db) {
  // A search never changes the index, whatever the role may do; and each
  // look-up is planned for its own values: a plan made once for any value
  // would scan where a prefix or a narrow range needs a few index pages.
  // Both in one round trip.
  db.Execute("SET default_transaction_read_only = on; SET plan_cache_mode = force_custom_plan");
}

// The read transaction, begun in the same round trip as what nearly every
// search asks first: which attributes hold strings (one probe of the B-tree
// an attribute) and about how many documents there are; and, given the call
// (`releaseCall`), the cartridge's RDKit release. The snapshot is the one the
// SELECT takes, so the answers hold for the whole transaction.
std::string BeginReadScript(const std::string& releaseCall) {
  return "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY; "
         "WITH RECURSIVE held(attr) AS ("
         " (SELECT attr FROM orvane.string_values ORDER BY attr LIMIT 1)"
         " UNION ALL"
         " SELECT (SELECT s.attr FROM orvane.string_values s WHERE s.attr > h.attr ORDER BY s.attr LIMIT 1) FROM held h WHERE h.attr IS NOT NULL)"
         " SELECT (SELECT string_agg(attr::text, ',') FROM held),"
         " (SELECT greatest(reltuples, 0)::bigint FROM pg_class WHERE oid = 'orvane.documents'::regclass)" +
         (releaseCall.empty() ? std::string() : ", " + releaseCall);
}

// A whole number written in text; none when the text is not one.
std::optional<std::int64_t> NumberIn(std::string_view text) {
  std::int64_t number = 0;
  const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (failure != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return number;
}

// Attribute numbers written in text, separated by commas.
std::unordered_set<int> AttributesIn(std::string_view text) {
  std::unordered_set<int> attrs;
  for (size_t at = 0; at <= text.size();) {
    const size_t comma = std::min(text.find(',', at), text.size());
    if (std::optional<std::int64_t> attr = NumberIn(text.substr(at, comma - at))) attrs.insert(int(*attr));
    at = comma + 1;
  }
  return attrs;
}

// What a reader needs of a new session, in one round trip: its settings, the
// index's format, the attributes' numbers, the cartridge's schema and whether
// the cartridge can tell its RDKit release. False, with nothing set, when the
// statement fails or the format is not ours: the checks made one by one then
// tell what is wrong.
bool OpenAtOnce(Connection& db, std::unordered_map<std::string, int>& ids, std::string& cartridge, std::optional<ReleaseCall>& release,
                int& format) {
  std::optional<Rows> rows;
  try {
    rows = db.Run(
        "WITH cartridge(schema) AS (SELECT '\"' || replace(n.nspname, '\"', '\"\"') || '\"' FROM pg_extension e"
        " JOIN pg_namespace n ON n.oid = e.extnamespace WHERE e.extname = 'rdkit')"
        " SELECT 0, set_config('default_transaction_read_only', 'on', false) || set_config('plan_cache_mode', 'force_custom_plan', false)"
        " || set_config('jit', 'off', false)"
        " UNION ALL SELECT 1, value FROM orvane.about WHERE key = 'format'"
        " UNION ALL SELECT 2, schema FROM cartridge"
        " UNION ALL SELECT 3, CASE WHEN to_regprocedure(schema || '.rdkit_toolkit_version()') IS NULL THEN 'none'"
        " WHEN current_setting('shared_preload_libraries') ~ 'rdkit' THEN 'preloaded' ELSE 'loads' END FROM cartridge"
        " UNION ALL SELECT 4 + id, name FROM orvane.attribute_names");
  } catch (const PostgresError&) {
    return false;
  }
  std::optional<int> readable;
  for (int row = 0; row < rows->size(); ++row) {
    const std::int64_t kind = rows->Int(row, 0);
    if (kind == 1) readable = ReadableFormat(rows->Text(row, 1));
    else if (kind == 2) cartridge = rows->Text(row, 1);
    else if (kind == 3) release = rows->Text(row, 1) == "none" ? ReleaseCall::None : rows->Text(row, 1) == "preloaded" ? ReleaseCall::Preloaded : ReleaseCall::Loads;
    else if (kind >= 4) ids[rows->Text(row, 1)] = int(kind - 4);
  }
  if (readable && !cartridge.empty()) {
    format = *readable;
    return true;
  }
  ids.clear();
  cartridge.clear();
  release.reset();
  return false;
}

// The release of an RDKit version ("2022.09.3", "2022.09.01"): year and month.
std::optional<std::pair<int, int>> Release(const std::string& version) {
  int year = 0, month = 0;
  if (std::sscanf(version.c_str(), "%d.%d", &year, &month) != 2) return std::nullopt;
  return std::pair{year, month};
}

// Whether the cartridge's RDKit is of the release ours is. Matching and
// aromaticity change from release to release, and a cartridge of another one
// could leave out a molecule our check takes. The cartridge tells the
// toolkit version it was built from (rdkit_version() is its own, 0.x);
// Debian's 2022.09.3 one says 2022.09.01, so the release is compared, not
// the patch level. A cartridge too old to tell is taken for another release.
bool OfOurRelease(const std::string& version) {
  const std::optional<std::pair<int, int>> theirs = Release(version);
  return theirs && theirs == Release(RDKit::rdkitVersion);
}

// `tellsRelease`, when known, says whether the cartridge has the function that tells it.
bool CartridgeAgrees(Connection& db, const std::string& cartridge, std::optional<bool> tellsRelease) {
  const std::string function = cartridge + ".rdkit_toolkit_version()";
  if (!tellsRelease) tellsRelease = db.Run("SELECT to_regprocedure($1) IS NOT NULL", Params().Text(function)).Int(0, 0) != 0;
  if (!*tellsRelease) return false;
  Rows version = db.Run("SELECT " + function);
  return version.size() && OfOurRelease(version.Text(0, 0));
}

// Ends a transaction that a failed statement may have left open, if it can.
void EndTransaction(Connection& db) {
  try {
    db.Execute("ROLLBACK");
  } catch (const StorageError&) {
  }
}

}  // namespace

std::shared_ptr<Index> PostgresIndex::Open(const std::string& uri, std::string& error) {
  std::unique_ptr<Connection> db = Connection::Open(uri, error);
  if (!db) return nullptr;
  std::shared_ptr<PostgresIndex> index(new PostgresIndex);
  try {
    std::unordered_map<std::string, int> ids;
    int format = 0;
    if (!OpenAtOnce(*db, ids, index->cartridge_, index->releaseCall_, format)) {
      Configure(*db);
      if (error = CheckIndex(*db); !error.empty()) return nullptr;
      format = ReadableFormat(db->Run("SELECT value FROM orvane.about WHERE key = 'format'").Text(0, 0)).value_or(0);
      Rows names = db->Run("SELECT id, name FROM orvane.attribute_names");
      for (int row = 0; row < names.size(); ++row) ids[names.Text(row, 1)] = int(names.Int(row, 0));
      index->cartridge_ = CartridgeSchema(*db);
    }
    index->screens_ = format >= kFirstFormatWithScreens;
    index->casedTexts_ = format >= kFirstFormatWithCasedTexts;
    index->SetAttributeNames(std::move(ids), db->name());
  } catch (const StorageError& failure) {
    error = failure.what();
    return nullptr;
  }
  index->db_ = std::move(db);
  return index;
}

void PostgresIndex::BeginRead() {
  if (reading_) return;
  fetched_.clear();
  openProbes_.clear();
  std::optional<Rows> begun;
  // Asked with the first search of a session where the server has the
  // cartridge loaded anyway: a round trip less for a program that searches once.
  const bool askRelease = !cartridgeAgrees_ && releaseCall_ == ReleaseCall::Preloaded;
  try {
    begun = db_->Script(BeginReadScript(askRelease ? cartridge_ + ".rdkit_toolkit_version()" : ""));
  } catch (const StorageError&) {
    // A long-lived reader outlives its session now and then (the server
    // restarted, an administrator ended it): nothing was read yet, so it
    // connects again and starts the search afresh. The server may have
    // been upgraded meanwhile.
    if (!db_->Lost()) {
      EndTransaction(*db_);
      throw;
    }
    if (!db_->Reconnect()) throw;
    Configure(*db_);
    cartridgeAgrees_.reset();
    releaseCall_.reset();
    try {
      begun = db_->Script(BeginReadScript(""));
    } catch (const StorageError&) {
      EndTransaction(*db_);
      throw;
    }
  }
  heldStrings_ = begun->size() && !begun->IsNull(0, 0) ? AttributesIn(begun->Bytes(0, 0)) : std::unordered_set<int>();
  documents_.reset();
  if (std::optional<std::int64_t> documents = begun->size() ? NumberIn(begun->Bytes(0, 1)) : std::nullopt)
    documents_ = size_t(std::max<std::int64_t>(*documents, 0));
  if (askRelease && releaseCall_ && begun->size()) cartridgeAgrees_ = OfOurRelease(begun->Text(0, 2));
  reading_ = true;
}

void PostgresIndex::EndRead() {
  if (!reading_) return;
  reading_ = false;
  fetched_.clear();
  openProbes_.clear();  // the transaction's end closes their cursors
  // Called from destructors: a connection lost by now has ended the
  // transaction anyway. Nothing waits for the end of one that only read.
  try {
    db_->Send("COMMIT");
  } catch (const StorageError&) {
  }
}

void PostgresIndex::WillRead(const DocSet& docs, bool records) {
  constexpr size_t kChunk = 2000;
  for (size_t start = 0; start < docs.size(); start += kChunk) {
    const std::string ids = DocArray(docs.begin() + std::ptrdiff_t(start), docs.begin() + std::ptrdiff_t(std::min(docs.size(), start + kChunk)));
    Rows rows = db_->Run(std::string("SELECT d.id, d.path") + (records ? ", d.attributes" : "") + " FROM " + kGivenDocuments +
                             " JOIN orvane.documents d ON d.id = given.doc",
                         Params().Text(ids));
    for (int row = 0; row < rows.size(); ++row) {
      Fetched& entry = fetched_[rows.Int(row, 0)];
      entry.path = rows.Text(row, 1);
      if (records) entry.record = rows.Text(row, 2);
    }
  }
}

std::optional<PostgresIndex::Fetched> PostgresIndex::TakeFetched(std::int64_t doc, bool record) {
  auto found = fetched_.find(doc);
  if (found == fetched_.end() || (record && !found->second.record)) return std::nullopt;
  Fetched entry = std::move(found->second);
  fetched_.erase(found);
  return entry;
}

bool PostgresIndex::ReadDocument(std::int64_t doc, std::string& path, std::string& record) {
  if (std::optional<Fetched> entry = TakeFetched(doc, true)) {
    path = std::move(entry->path);
    record = std::move(*entry->record);
    return true;
  }
  Rows rows = db_->Run("SELECT path, attributes FROM orvane.documents WHERE id = $1", Params().Int(doc));
  if (!rows.size()) return false;
  path = rows.Text(0, 0);
  record = rows.Text(0, 1);
  return true;
}

std::optional<std::string> PostgresIndex::PathOf(std::int64_t doc) {
  if (std::optional<Fetched> entry = TakeFetched(doc, false)) return std::move(entry->path);
  Rows rows = db_->Run("SELECT path FROM orvane.documents WHERE id = $1", Params().Int(doc));
  if (!rows.size()) return std::nullopt;
  return rows.Text(0, 0);
}

std::optional<std::string> PostgresIndex::RecordAt(const std::string& path) {
  Rows rows = db_->Run("SELECT attributes FROM orvane.documents WHERE path = $1", Params().Bytes(path));
  if (!rows.size()) return std::nullopt;
  return rows.Text(0, 0);
}

std::vector<std::string> PostgresIndex::NotesAt(const std::string& path) {
  Rows rows = db_->Run("SELECT notes FROM orvane.documents WHERE path = $1 AND notes IS NOT NULL", Params().Bytes(path));
  return rows.size() ? SplitNotes(rows.Text(0, 0)) : std::vector<std::string>();
}

DocSet PostgresIndex::AllDocuments() {
  DocSet out;
  Collect(db_->Run("SELECT id FROM orvane.documents ORDER BY id"), out);
  return out;
}

void PostgresIndex::WalkInPathOrder(const std::string* after, const std::function<bool(std::int64_t, std::string_view)>& visit) {
  std::optional<std::string> last;
  if (after) last = *after;
  for (int page = kFirstPage;; page = std::min(page * 4, kPage)) {
    Rows rows = last ? db_->Run("SELECT id, path FROM orvane.documents WHERE path > $1 ORDER BY path LIMIT $2",
                                Params().Bytes(*last).Int(page))
                     : db_->Run("SELECT id, path FROM orvane.documents ORDER BY path LIMIT $1", Params().Int(page));
    for (int row = 0; row < rows.size(); ++row)
      if (!visit(rows.Int(row, 0), rows.Bytes(row, 1))) return;
    if (rows.size() < page) return;
    last = rows.Text(rows.size() - 1, 1);
  }
}

void PostgresIndex::ForEachPath(const std::function<void(std::int64_t, std::string_view)>& visit) {
  std::int64_t last = -1;
  for (;;) {
    Rows rows = db_->Run("SELECT id, path FROM orvane.documents WHERE id > $1 ORDER BY id LIMIT $2", Params().Int(last).Int(kPage));
    for (int row = 0; row < rows.size(); ++row) visit(rows.Int(row, 0), rows.Bytes(row, 1));
    if (rows.size() < kPage) return;
    last = rows.Int(rows.size() - 1, 0);
  }
}

void PostgresIndex::AtOrBelow(const std::string& folder, DocSet& out) {
  Collect(db_->Run("SELECT id FROM orvane.documents WHERE path = $1 OR (path >= $3 AND path < $2)",
                   Params().Bytes(folder).Bytes(FolderRangeEnd(folder)).Bytes(folder + "/")),
          out);
}

void PostgresIndex::OnNetwork(DocSet& out) { Collect(db_->Run("SELECT id FROM orvane.documents WHERE network"), out); }

bool PostgresIndex::NumbersBetween(int attr, double low, double high, size_t limit, DocSet& out) {
  return Collect(db_->Run("SELECT doc FROM orvane.number_values WHERE attr = $1 AND value BETWEEN $2 AND $3 LIMIT $4",
                          Params().Int(attr).Real(low).Real(high).Limit(limit)),
                 out, limit);
}

void PostgresIndex::SpansAcross(int attr, double low, double high, DocSet& out) {
  Collect(db_->Run("SELECT doc FROM orvane.number_spans WHERE attr = $1 AND low <= $2 AND high >= $3",
                   Params().Int(attr).Real(high).Real(low)),
          out);
}

void PostgresIndex::StringsEqual(int attr, std::string_view indexed, DocSet& out) {
  Collect(db_->Run("SELECT doc FROM orvane.string_values WHERE attr = $1 AND value = $2", Params().Int(attr).Bytes(indexed)), out);
}

bool PostgresIndex::StringsWithPrefix(int attr, std::string_view prefix, size_t limit, DocSet& out, bool& cut) {
  // The least byte string above every one that starts with the prefix, if any.
  std::string end(prefix);
  while (!end.empty() && static_cast<unsigned char>(end.back()) == 0xFF) end.pop_back();
  if (!end.empty()) end.back() = char(static_cast<unsigned char>(end.back()) + 1);
  Rows rows = end.empty() ? db_->Run("SELECT doc, octet_length(value) FROM orvane.string_values WHERE attr = $1 AND value >= $2 LIMIT $3",
                                     Params().Int(attr).Bytes(prefix).Limit(limit))
                          : db_->Run("SELECT doc, octet_length(value) FROM orvane.string_values "
                                     "WHERE attr = $1 AND value >= $2 AND value < $3 LIMIT $4",
                                     Params().Int(attr).Bytes(prefix).Bytes(end).Limit(limit));
  for (int row = 0; row < rows.size(); ++row) {
    out.push_back(rows.Int(row, 0));
    if (size_t(rows.Int(row, 1)) >= kIndexedStringBytes) cut = true;
  }
  return !limit || size_t(rows.size()) < limit;
}

bool PostgresIndex::StringsBeyond(int attr, std::string_view key, bool atLeast, size_t limit, DocSet& out) {
  const Params params = Params().Int(attr).Bytes(key).Limit(limit);
  return Collect(atLeast ? db_->Run("SELECT doc FROM orvane.string_values WHERE attr = $1 AND value >= $2 LIMIT $3", params)
                         : db_->Run("SELECT doc FROM orvane.string_values WHERE attr = $1 AND value <= $2 LIMIT $3", params),
                 out, limit);
}

bool PostgresIndex::DistinctStrings(int attr, size_t limit, std::vector<std::string>& out) {
  // One probe of the B-tree per distinct value, however many documents share it.
  Rows rows = db_->Run(
      "WITH RECURSIVE distinct_values(value) AS ("
      " (SELECT value FROM orvane.string_values WHERE attr = $1 ORDER BY value LIMIT 1)"
      " UNION ALL"
      " SELECT (SELECT s.value FROM orvane.string_values s WHERE s.attr = $1 AND s.value > d.value ORDER BY s.value LIMIT 1)"
      " FROM distinct_values d WHERE d.value IS NOT NULL)"
      " SELECT value FROM distinct_values WHERE value IS NOT NULL LIMIT $2",
      Params().Int(attr).Limit(limit ? limit + 1 : 0));
  if (limit && size_t(rows.size()) > limit) return false;
  for (int row = 0; row < rows.size(); ++row) out.push_back(rows.Text(row, 0));
  return true;
}

bool PostgresIndex::HoldsStrings(int attr) {
  if (reading_) return heldStrings_.count(attr) > 0;
  return db_->Run("SELECT 1 FROM orvane.string_values WHERE attr = $1 LIMIT 1", Params().Int(attr)).size() > 0;
}

void PostgresIndex::DocumentsWith(int attr, DocSet& out) {
  Collect(db_->Run("SELECT doc FROM orvane.number_values WHERE attr = $1 UNION ALL "
                   "SELECT doc FROM orvane.string_values WHERE attr = $1 UNION ALL "
                   "SELECT doc FROM orvane.empty_values WHERE attr = $1",
                   Params().Int(attr)),
          out);
}

bool PostgresIndex::Substrings(const std::vector<int>& attrs, const std::vector<std::string>& runs, bool stripped, size_t limit,
                               DocSet& out, bool& complete) {
  // A trigram (GIN) index yields rows only after it has gathered every row
  // its trigrams point at, whatever the LIMIT: a probe among a few documents
  // (the evaluator asks four rows a document) would cost as much as the whole
  // look-up, which grows with the index (50 ms at four million documents for
  // "*.back"), while reading those few documents does not. It is declined as
  // too large; the caller then checks them one by one.
  if (limit > 0 && limit < kSmallestTrigramProbe) {
    complete = false;
    return true;
  }
  std::vector<std::string> looked;
  if (!LookedUpRuns(runs, looked) || attrs.empty()) return false;
  return TextLookUp(attrs, looked, {}, stripped, limit, out, complete);
}

// The folded trigrams narrow it, and the texts with case in the same rows
// decide it. An index without them (format 3 or 4) declines: the caller
// narrows through the folded texts and checks each document's own values.
// A probe is declined too, whatever its limit, as it was before there were
// texts with case: the trigram index gathers every row of its trigrams before
// it yields one, so a probe among a few candidates (the panel's
// `!= "*.back"`) would cost the whole look-up before their own values are
// checked anyway.
bool PostgresIndex::CasedSubstrings(const std::vector<int>& attrs, const std::vector<std::string>& runs, size_t limit, DocSet& out,
                                    bool& complete) {
  if (!casedTexts_) return false;
  if (limit > 0) {
    complete = false;
    return true;
  }
  std::vector<std::string> cased;
  if (!LookedUpRuns(runs, cased) || attrs.empty()) return false;
  std::vector<std::string> folded;
  for (const std::string& run : cased) folded.push_back(FoldedForm(run));
  return TextLookUp(attrs, folded, cased, /*stripped=*/false, limit, out, complete);
}

namespace {

// A text row holds every run of `folded` in its folded text (or, when
// `stripped`, every one in its text without diacritics), and every run of
// `cased` in its text with case. `pattern(i)` writes the LIKE pattern of the
// i-th run of `folded` followed by `cased`, as a parameter or a literal.
std::string TextCondition(size_t folded, size_t cased, bool stripped, const std::function<std::string(size_t)>& pattern) {
  auto each = [&](const std::string& column, size_t from, size_t count) {
    std::string all;
    for (size_t i = from; i < from + count; ++i) all += (i > from ? " AND " : "") + column + " LIKE " + pattern(i);
    return "(" + all + ")";
  };
  std::string condition = each("folded", 0, folded);
  // Texts without diacritics, and with case, are kept only where they differ from the folded ones.
  if (stripped) condition = "(" + condition + " OR " + each("stripped", 0, folded) + ")";
  if (cased) condition += " AND " + each("coalesce(cased, folded)", folded, cased);
  return condition;
}

}  // namespace

bool PostgresIndex::TextLookUp(const std::vector<int>& attrs, const std::vector<std::string>& folded, const std::vector<std::string>& cased,
                               bool stripped, size_t limit, DocSet& out, bool& complete) {
  std::vector<std::string> patterns;
  for (const std::string& run : folded) patterns.push_back(LikeSubstring(run));
  for (const std::string& run : cased) patterns.push_back(LikeSubstring(run));
  std::string key = IntArray(attrs) + (stripped ? " stripped" : " folded");
  for (const std::string& run : folded) key += '\n' + run;
  key += "\ncased";
  for (const std::string& run : cased) key += '\n' + run;
  if (reading_ && limit) {
    const std::string select = "SELECT doc FROM orvane.string_texts WHERE attr = ANY('" + IntArray(attrs) + "'::integer[]) AND " +
                               TextCondition(folded.size(), cased.size(), stripped, [&](size_t i) { return db_->Literal(patterns[i]); });
    return Probe(key, select, limit, out, complete);
  }
  if (reading_ && ContinueProbe(key, out)) return true;
  Params params;
  params.Text(IntArray(attrs)).Limit(limit);
  for (const std::string& pattern : patterns) params.Text(pattern);
  Rows rows = db_->Run("SELECT doc FROM orvane.string_texts WHERE attr = ANY($1::integer[]) AND " +
                           TextCondition(folded.size(), cased.size(), stripped, [](size_t i) { return "$" + std::to_string(i + 3); }) +
                           " LIMIT $2",
                       params);
  if (!Collect(rows, out, limit)) complete = false;
  return true;
}

// A probe's look-up through a cursor of the read transaction: the trigram
// index gathers the rows of every trigram however few are fetched, and a
// probe that stops at its limit is most often followed by the whole look-up,
// which then fetches the rest instead of gathering them all again. Declared
// and first fetched in one round trip.
bool PostgresIndex::Probe(const std::string& key, const std::string& select, size_t limit, DocSet& out, bool& complete) {
  const std::string cursor = "probe" + std::to_string(++probeCursors_);
  Rows rows = db_->Script("DECLARE " + cursor + " BINARY NO SCROLL CURSOR FOR " + select + "; FETCH " + std::to_string(limit) + " FROM " + cursor);
  DocSet fetched;
  if (Collect(rows, fetched, limit)) {
    openProbes_.erase(key);
  } else {
    complete = false;
    openProbes_[key] = {cursor, fetched};
  }
  out.insert(out.end(), fetched.begin(), fetched.end());
  return true;
}

// The whole look-up of a probe that stopped at its limit, from where it stopped.
bool PostgresIndex::ContinueProbe(const std::string& key, DocSet& out) {
  auto open = openProbes_.find(key);
  if (open == openProbes_.end()) return false;
  out.insert(out.end(), open->second.docs.begin(), open->second.docs.end());
  Collect(db_->Script("FETCH ALL FROM " + open->second.cursor), out);
  openProbes_.erase(open);
  return true;
}

// The server's statistics, as the last ANALYZE (or VACUUM) left them: no count of every row.
size_t PostgresIndex::ApproximateDocuments() {
  if (reading_ && documents_) return *documents_;
  Rows rows = db_->Run("SELECT greatest(reltuples, 0)::bigint FROM pg_class WHERE oid = 'orvane.documents'::regclass", Params());
  return rows.size() ? size_t(std::max<std::int64_t>(rows.Int(0, 0), 0)) : 0;
}

// Among some documents the texts are read by their key, (doc, attr), and
// searched there: strpos, which no trigram index serves, keeps the server
// from gathering the rows of every document that holds the runs. A probe
// among very few is still declined as Substrings declines it: reading those
// documents whole costs less than even this.
bool PostgresIndex::SubstringsWithin(const std::vector<int>& attrs, const std::vector<std::string>& runs, bool stripped, size_t limit,
                                     const DocSet& within, DocSet& out, bool& complete) {
  if (limit > 0 && limit < kSmallestTrigramProbe) {
    complete = false;
    return true;
  }
  std::vector<std::string> looked;
  if (!LookedUpRuns(runs, looked) || attrs.empty()) return false;
  // Texts without diacritics are kept only where they differ from the folded ones.
  TextsWithin(attrs, looked, stripped ? std::vector<std::string>{"t.folded", "t.stripped"} : std::vector<std::string>{"t.folded"}, within, out);
  return true;
}

// The same in the texts with case, which decide it.
bool PostgresIndex::CasedSubstringsWithin(const std::vector<int>& attrs, const std::vector<std::string>& runs, size_t limit,
                                          const DocSet& within, DocSet& out, bool& complete) {
  if (!casedTexts_) return false;
  if (limit > 0 && limit < kSmallestTrigramProbe) {
    complete = false;
    return true;
  }
  std::vector<std::string> looked;
  if (!LookedUpRuns(runs, looked) || attrs.empty()) return false;
  TextsWithin(attrs, looked, {"coalesce(t.cased, t.folded)"}, within, out);
  return true;
}

void PostgresIndex::TextsWithin(const std::vector<int>& attrs, const std::vector<std::string>& runs, const std::vector<std::string>& columns,
                                const DocSet& within, DocSet& out) {
  if (within.empty()) return;
  Params params;
  params.Text(DocArray(within.begin(), within.end()));
  // Of one attribute, each document has one row (the key): nothing to make distinct.
  const bool one = attrs.size() == 1;
  if (one) params.Int(attrs.front());
  else params.Text(IntArray(attrs));
  for (const std::string& run : runs) params.Text(run);
  std::string condition;
  for (const std::string& column : columns) {
    std::string all;
    for (size_t i = 0; i < runs.size(); ++i)
      all += (i ? " AND strpos(" : "strpos(") + column + ", $" + std::to_string(i + 3) + ") > 0";
    condition += (condition.empty() ? "(" : " OR (") + all + ")";
  }
  const std::string from = std::string(" FROM ") + kGivenDocuments + " JOIN orvane.string_texts t ON t.doc = given.doc AND ";
  const std::string select = one ? "SELECT t.doc" + from + "t.attr = $2 WHERE " : "SELECT DISTINCT t.doc" + from + "t.attr = ANY($2::integer[]) WHERE ";
  Collect(db_->Run(select + "(" + condition + ")", params), out);
}

namespace {

// The least byte string above every string that starts with `prefix`; empty
// when there is none (the prefix is all 0xFF bytes).
std::string PrefixEnd(std::string prefix) {
  while (!prefix.empty() && static_cast<unsigned char>(prefix.back()) == 0xFF) prefix.pop_back();
  if (!prefix.empty()) prefix.back() = char(static_cast<unsigned char>(prefix.back()) + 1);
  return prefix;
}

}  // namespace

bool PostgresIndex::WordsWithPrefix(int attr, std::string_view prefix, size_t limit,
                                    const std::function<void(std::string_view word, std::int64_t doc)>& visit) {
  const std::string end = PrefixEnd(std::string(prefix));
  Params params;
  params.Int(attr).Bytes(prefix).Limit(limit);
  std::string sql = "SELECT word, doc FROM orvane.string_words WHERE attr = $1 AND word >= $2";
  if (!end.empty()) {
    sql += " AND word < $4";
    params.Bytes(end);
  }
  Rows rows = db_->Run(sql + " ORDER BY word, doc LIMIT $3", params);
  for (int row = 0; row < rows.size(); ++row) visit(rows.Bytes(row, 0), rows.Int(row, 1));
  return !limit || size_t(rows.size()) < limit;
}

// Structure searches are narrowed on the server (our screens, the cartridge's
// GiST indexes); no fingerprints are loaded.
std::shared_ptr<const PackedFingerprints> PostgresIndex::Fingerprints(FingerprintKind) {
  return std::make_shared<PackedFingerprints>();
}

std::optional<std::string> PostgresIndex::MoleculeData(std::int64_t molecule) {
  Rows rows = db_->Run("SELECT " + cartridge_ + ".mol_to_pkl(molecule) FROM orvane.molecules WHERE id = $1", Params().Int(molecule));
  if (!rows.size()) return std::nullopt;
  return rows.Text(0, 0);
}

namespace {

// A set of documents this small is handed to the database to narrow a
// structure search; a larger one is applied to the answer.
constexpr size_t kNarrowingDocuments = 5000;
// The cartridge's threshold lies this far below the query's, so that no
// rounding of its own drops a molecule our exact check would take.
constexpr double kThresholdSlack = 1e-9;

std::vector<MoleculeCandidate> Candidates(const Rows& rows) {
  std::vector<MoleculeCandidate> out;
  out.reserve(size_t(rows.size()));
  for (int row = 0; row < rows.size(); ++row) out.push_back({rows.Int(row, 0), rows.Text(row, 1)});
  return out;
}

// The conditions, joined, as a WHERE clause; with `within` small enough, one
// more, as a semi-join for the reason kGivenDocuments gives.
std::string Where(std::vector<std::string> conditions, const DocSet* within, Params& params) {
  if (within && within->size() <= kNarrowingDocuments) {
    params.Text(DocArray(within->begin(), within->end()));
    conditions.push_back("doc IN (SELECT unnest($" + std::to_string(params.count()) + "::bigint[]))");
  }
  std::string where;
  for (const std::string& condition : conditions) where += (where.empty() ? " WHERE " : " AND ") + condition;
  return where;
}

}  // namespace

bool PostgresIndex::CartridgeNarrows() {
  std::optional<bool> tellsRelease;
  if (releaseCall_) tellsRelease = *releaseCall_ != ReleaseCall::None;
  if (!cartridgeAgrees_) cartridgeAgrees_ = CartridgeAgrees(*db_, cartridge_, tellsRelease);
  return *cartridgeAgrees_;
}

bool PostgresIndex::SubstructureCandidates(const std::string& pattern, bool chiral, const std::vector<std::uint64_t>& screen,
                                           const DocSet* within, size_t firstPiece, const CandidatePieces& take) {
  if (screens_ && screen.size() == kScreenWords) ScreenedCandidates(screen, within, firstPiece, take);
  else take(CartridgeCandidates(pattern, chiral, within));
  return true;
}

namespace {

// The words a screen asks for, the likely rarest first: the server stops at
// the first word a molecule lacks. The facts and distances are rarer than
// the fingerprint's bits, and a word that asks more is passed by fewer.
std::vector<size_t> AskedWords(const std::vector<std::uint64_t>& screen) {
  std::vector<size_t> asked;
  for (size_t word = 0; word < screen.size(); ++word)
    if (screen[word]) asked.push_back(word);
  constexpr size_t kFirstFactWord = kPatternBits / 64;
  std::stable_sort(asked.begin(), asked.end(), [&](size_t a, size_t b) {
    if ((a >= kFirstFactWord) != (b >= kFirstFactWord)) return a >= kFirstFactWord;
    return std::popcount(screen[a]) > std::popcount(screen[b]);
  });
  return asked;
}

// After a first piece where at least this share of the molecules passed the
// screen (a common group), the rest comes in pieces of kRestPieces first
// pieces, each read by the server while we check the one before (where the
// server has cores of its own, as a lab's has; reading and checking take
// about as long each), and a piece or two held at a time.
constexpr size_t kCommonShare = 8;  // one in
constexpr size_t kRestPieces = 4;

// A piece of the screened molecules, as the statement of PieceStatement
// gives it: the candidates, and the document it ends before (none when it
// reached the last one).
struct Piece {
  std::vector<MoleculeCandidate> candidates;
  std::optional<std::int64_t> end;
};

Piece PieceOf(const Rows& rows) {
  Piece piece;
  for (int row = 0; row < rows.size(); ++row) {
    if (!rows.IsNull(row, 0)) piece.candidates.push_back({rows.Int(row, 0), rows.Text(row, 1)});
    else if (!rows.IsNull(row, 2)) piece.end = rows.Int(row, 2);
  }
  return piece;
}

}  // namespace

// The molecules of the first `$limit` screens in document order (from
// document `$from` on, when given) that pass the screen, read by the screens'
// document index; of whole documents only: the last document among them
// may have more molecules after them, and is where the next piece begins. A
// row without a document tells that one, or none when no molecules follow.
std::string PostgresIndex::PieceStatement(const std::string& columns, const std::string& screened, const std::string& from,
                                          const std::string& limit) const {
  const std::string after = from.empty() ? "" : " WHERE doc >= " + from;
  const std::string end = "(SELECT doc FROM orvane.molecule_screens" + after + " ORDER BY doc OFFSET " + limit + " - 1 LIMIT 1)";
  return "SELECT NULL::bigint, NULL::bytea, " + end + " UNION ALL SELECT m.doc, coalesce(m.data, " + cartridge_ +
         ".mol_to_pkl(m.molecule)), NULL::bigint FROM (SELECT " + columns + " FROM orvane.molecule_screens" + after + " ORDER BY doc LIMIT " +
         limit + ") AS head JOIN orvane.molecules m ON m.id = head.id WHERE head.doc < coalesce(" + end + ", 9223372036854775807)" + screened;
}

// Our own screen, scanned on the server (in parallel where it may): only the
// molecules that pass are read from the wide table, for the exact check, as
// the binary form the writer stored (the cartridge's own where none is).
//
// Asked for a first piece, it screens the first `firstPiece` molecules in
// document order before the rest: the first documents are known long before
// the last of a common group's many candidates is read. A search that finds
// few pays a look-up of a few milliseconds more, and then scans the rest at
// once; one that finds many reads the rest in pieces too, each while the one
// before is checked.
void PostgresIndex::ScreenedCandidates(const std::vector<std::uint64_t>& screen, const DocSet* within, size_t firstPiece,
                                       const CandidatePieces& take) {
  Params params;
  std::vector<std::string> conditions;
  std::string columns = "id, doc", screened;
  for (size_t word : AskedWords(screen)) {
    params.Int(std::int64_t(screen[word]));
    const std::string asked = "$" + std::to_string(params.count());
    conditions.push_back("(" + ScreenColumn(word) + " & " + asked + ") = " + asked);
    columns += ", " + ScreenColumn(word);
    screened += " AND " + conditions.back();
  }
  const auto scan = [&](std::vector<std::string> where, Params& given, const DocSet* narrowing) {
    return "SELECT m.doc, coalesce(m.data, " + cartridge_ + ".mol_to_pkl(m.molecule)) FROM (SELECT id FROM orvane.molecule_screens" +
           Where(std::move(where), narrowing, given) + ") AS passed JOIN orvane.molecules m ON m.id = passed.id";
  };
  // A few documents given are narrowed on the server, and one piece holds them.
  if (firstPiece == 0 || (within && within->size() <= kNarrowingDocuments)) {
    take(Candidates(db_->Run(scan(std::move(conditions), params, within), params)));
    return;
  }
  const auto pieceParams = [&](std::optional<std::int64_t> from, size_t limit) {
    Params given = params;
    if (from) given.Int(*from);
    given.Int(std::int64_t(limit));
    return given;
  };
  const std::string next = "$" + std::to_string(params.count() + 1), nextLimit = "$" + std::to_string(params.count() + 2);
  Piece piece = PieceOf(db_->Run(PieceStatement(columns, screened, "", next), pieceParams(std::nullopt, firstPiece)));
  const bool common = piece.candidates.size() * kCommonShare >= firstPiece;
  std::optional<std::int64_t> from = piece.end;
  // Checked before anything more is read: whoever takes the first documents
  // may read them from this connection at once.
  take(std::move(piece.candidates));
  if (common && from) db_->Start(PieceStatement(columns, screened, next, nextLimit), pieceParams(from, firstPiece * kRestPieces));
  while (common && from) {
    piece = PieceOf(db_->Finish());
    // A document of more molecules than a piece holds ends it where it began: the rest at once.
    if (piece.end == from) break;
    from = piece.end;
    if (from) db_->Start(PieceStatement(columns, screened, next, nextLimit), pieceParams(from, firstPiece * kRestPieces));
    take(std::move(piece.candidates));
  }
  if (!from) return;
  params.Int(*from);
  conditions.push_back("doc >= $" + std::to_string(params.count()));
  take(Candidates(db_->Run(scan(std::move(conditions), params, nullptr), params)));
}

std::vector<MoleculeCandidate> PostgresIndex::CartridgeCandidates(const std::string& pattern, bool chiral, const DocSet* within) {
  // A cartridge of another RDKit release narrows nothing: every molecule is
  // a candidate, and our own check over their binary forms decides.
  const std::string narrowing = CartridgeNarrows() ? pattern : std::string();
  // The cartridge matches as our own check does: stereo only where the pattern gives it.
  db_->Run("SELECT set_config('rdkit.do_chiral_sss', $1, false), set_config('rdkit.do_enhanced_stereo_sss', 'off', false)",
           Params().Text(chiral ? "on" : "off"));
  Params params;
  std::vector<std::string> conditions;
  if (!narrowing.empty()) {
    params.Bytes(narrowing);
    conditions.push_back("molecule OPERATOR(" + cartridge_ + ".@>) " + cartridge_ + ".mol_from_pkl($1)");
  }
  const std::string where = Where(std::move(conditions), within, params);
  return Candidates(db_->Run("SELECT doc, " + cartridge_ + ".mol_to_pkl(molecule) FROM orvane.molecules" + where, params));
}

std::optional<std::vector<MoleculeCandidate>> PostgresIndex::SimilarCandidates(const std::string& bits, double threshold,
                                                                               const DocSet* within) {
  const std::string select = "SELECT doc, " + cartridge_ + ".bfp_to_binary_text(similarity) FROM orvane.molecules";
  // Else every molecule reaches the threshold, or the cartridge is of
  // another RDKit release: our own check of every fingerprint decides.
  if (!(threshold > kThresholdSlack && CartridgeNarrows())) {
    Params params;
    const std::string where = Where({}, within, params);
    return Candidates(db_->Run(select + where, params));
  }
  // The cartridge's operator reads its threshold from a setting of the
  // session, set in the same round trip as the look-up: a script, whose
  // rows come in binary form through a cursor of the read transaction.
  std::string where = " WHERE similarity OPERATOR(" + cartridge_ + ".%) " + cartridge_ + ".bfp_from_binary_text(decode('" + HexText(bits) + "', 'hex'))";
  if (within && within->size() <= kNarrowingDocuments)
    where += " AND doc IN (SELECT unnest(" + db_->Literal(DocArray(within->begin(), within->end())) + "::bigint[]))";
  const std::string setting = "SELECT set_config('rdkit.tanimoto_threshold', " + db_->Literal(RealText(threshold - kThresholdSlack)) + ", false); ";
  if (!reading_) {
    db_->Script(setting);
    return Candidates(db_->Run(select + where));
  }
  const std::string cursor = "similar" + std::to_string(++probeCursors_);
  return Candidates(
      db_->Script(setting + "DECLARE " + cursor + " BINARY NO SCROLL CURSOR FOR " + select + where + "; FETCH ALL FROM " + cursor));
}

}  // namespace metadata::postgres
