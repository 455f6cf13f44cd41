#include "platform/metadata/sqlite/lookup_packs.h"

#include <roaring/roaring.hh>

#include <algorithm>
#include <bit>
#include <cstring>
#include <cmath>
#include <limits>

#include "platform/metadata/attributes.h"
#include "platform/metadata/encoding.h"
#include "platform/metadata/sqlite/schema.h"
#include "platform/metadata/sqlite/value_scan.h"
#include "platform/metadata/stored_values.h"
#include "platform/metadata/text_match.h"

namespace metadata::sqlite {

namespace {

constexpr const char* kPackTables = R"sql(
CREATE TABLE IF NOT EXISTS lookup_packs(id INTEGER PRIMARY KEY);
CREATE TABLE IF NOT EXISTS number_buckets(id INTEGER PRIMARY KEY, attr INTEGER NOT NULL, low REAL NOT NULL, high REAL NOT NULL,
  docs BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS number_buckets_by_value ON number_buckets(attr, low, high);
CREATE TABLE IF NOT EXISTS value_bitmaps(id INTEGER PRIMARY KEY, kind INTEGER NOT NULL, attr INTEGER NOT NULL, value BLOB NOT NULL,
  docs BLOB NOT NULL);
CREATE UNIQUE INDEX IF NOT EXISTS value_bitmaps_by_value ON value_bitmaps(kind, attr, value);
CREATE TABLE IF NOT EXISTS packed_changes(doc INTEGER PRIMARY KEY);
CREATE TABLE IF NOT EXISTS path_ranks(chunk INTEGER PRIMARY KEY, ranks BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS value_texts(attr INTEGER NOT NULL, part INTEGER NOT NULL, texts BLOB NOT NULL, docs BLOB NOT NULL,
  PRIMARY KEY(attr, part)) WITHOUT ROWID;
)sql";

constexpr const char* kDropPacks =
    "DELETE FROM lookup_packs; DELETE FROM number_buckets; DELETE FROM value_bitmaps; DELETE FROM packed_changes; "
    "DELETE FROM value_texts";

std::string Serialized(Roaring& docs) {
  docs.runOptimize();
  std::string bytes(docs.getSizeInBytes(true), '\0');
  docs.write(bytes.data(), true);
  return bytes;
}

// One bucket after another in value order: a bucket closes once it holds
// `bucketRows` rows and the value changes, so that equal values share one.
void PackNumbers(sqlite3* db, size_t bucketRows) {
  Statement insert(db, "INSERT INTO number_buckets(attr, low, high, docs) VALUES(?1, ?2, ?3, ?4)");
  Statement rows(db, "SELECT attr, value, doc FROM number_values ORDER BY attr, value, doc");
  Roaring docs;
  std::int64_t attr = 0;
  double low = 0, high = 0;
  size_t count = 0;
  auto close = [&] {
    if (count == 0) return;
    insert.Reset().Bind(1, attr).Bind(2, low).Bind(3, high).BindBlob(4, Serialized(docs)).Run();
    docs = Roaring();
    count = 0;
  };
  while (rows.Step()) {
    const std::int64_t rowAttr = rows.Int(0);
    const double value = rows.Real(1);
    if (count > 0 && (rowAttr != attr || (count >= bucketRows && value != high))) close();
    if (count == 0) {
      attr = rowAttr;
      low = value;
    }
    high = value;
    docs.add(std::uint32_t(rows.Int(2)));
    ++count;
  }
  close();
}

// The values of one table (attr, value, doc in key order) with at least `frequentRows` rows.
void PackValues(sqlite3* db, const char* sql, PackedKind kind, size_t frequentRows) {
  Statement insert(db, "INSERT INTO value_bitmaps(kind, attr, value, docs) VALUES(?1, ?2, ?3, ?4)");
  Statement rows(db, sql);
  std::vector<std::uint32_t> docs;
  std::int64_t attr = 0;
  std::string value;
  auto close = [&] {
    if (!docs.empty() && docs.size() >= frequentRows) {
      Roaring bits(docs.size(), docs.data());
      insert.Reset().Bind(1, std::int64_t(kind)).Bind(2, attr).BindBlob(3, value).BindBlob(4, Serialized(bits)).Run();
    }
    docs.clear();
  };
  while (rows.Step()) {
    const std::int64_t rowAttr = rows.Int(0);
    const std::string_view rowValue = rows.Bytes(1);
    if (!docs.empty() && (rowAttr != attr || rowValue != value)) close();
    if (docs.empty()) {
      attr = rowAttr;
      value.assign(rowValue);
    }
    docs.push_back(std::uint32_t(rows.Int(2)));
  }
  close();
}

void AppendNumber(std::string& bytes, std::uint32_t number) {
  for (int byte = 0; byte < 4; ++byte) bytes += char((number >> (8 * byte)) & 0xFF);
}

std::uint32_t NumberAt(const char* bytes) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes);
  return std::uint32_t(data[0]) | std::uint32_t(data[1]) << 8 | std::uint32_t(data[2]) << 16 | std::uint32_t(data[3]) << 24;
}

// The values of `attr` as the cased trigrams keep them: a value kept cut short
// in string_values is taken whole from its document's record (all of the
// document's values that were cut to the same).
class WholeValues {
 public:
  WholeValues(sqlite3* db, std::int64_t attr) : attr_(int(attr)), record_(db, "SELECT attributes FROM documents WHERE id = ?1") {}

  // How many values it appended.
  size_t Append(std::int64_t doc, std::string_view kept, std::string& out) {
    if (kept.size() < kIndexedStringBytes) {
      AppendText(kept, out);
      return 1;
    }
    record_.Reset().Bind(1, doc);
    std::optional<Value> value;
    if (record_.Step()) value = DecodeAttribute(record_.Bytes(0), attr_);
    record_.Reset();
    size_t appended = 0;
    if (value)
      ForEachString(*value, [&](const std::string& text) {
        if (IndexedString(text) != kept) return;
        AppendText(ComposedForm(text), out);
        ++appended;
      });
    if (appended == 0) AppendText(kept, out);
    return std::max<size_t>(appended, 1);
  }

 private:
  // A value's zero bytes become line breaks, which no run looked up holds, so
  // that a zero byte ends each value.
  static void AppendText(std::string_view text, std::string& out) {
    const size_t at = out.size();
    out.append(text);
    std::replace(out.begin() + std::ptrdiff_t(at), out.end(), '\0', '\n');
    out += '\0';
  }

  int attr_;
  Statement record_;
};

// The attributes the panel searches by fragments, with case or without, that
// the index has seen; with `unpacked`, only those without packed values yet.
std::vector<std::int64_t> FragmentAttributes(sqlite3* db, bool unpacked = false) {
  Statement names(db, unpacked ? "SELECT id, name FROM attribute_names WHERE NOT EXISTS "
                                 "(SELECT 1 FROM value_texts WHERE attr = attribute_names.id AND part = 0)"
                               : "SELECT id, name FROM attribute_names");
  std::vector<std::int64_t> attrs;
  while (names.Step())
    if (IsSearchedByFragment(names.Bytes(1)) || IsSearchedByTextFragment(names.Bytes(1))) attrs.push_back(names.Int(0));
  return attrs;
}

// The values of `attrs`, in document order, in
// parts of about `partBytes`: each part's values one after another, each
// ended by a zero byte, and each value's document. A part row 0 with no
// values marks an attribute packed without any.
void PackTexts(sqlite3* db, size_t partBytes, const std::vector<std::int64_t>& attrs) {
  Statement insert(db, "INSERT INTO value_texts(attr, part, texts, docs) VALUES(?1, ?2, ?3, ?4)");
  Statement rows(db, "SELECT doc, value FROM string_values WHERE attr = ?1 ORDER BY doc, value");
  for (std::int64_t attr : attrs) {
    WholeValues values(db, attr);
    std::string texts, docs;
    std::int64_t part = 0;
    auto close = [&] {
      insert.Reset().Bind(1, attr).Bind(2, part++).BindBlob(3, texts).BindBlob(4, docs).Run();
      texts.clear();
      docs.clear();
    };
    rows.Reset().Bind(1, attr);
    while (rows.Step()) {
      const std::int64_t doc = rows.Int(0);
      if (doc < 0 || doc > std::int64_t(std::numeric_limits<std::uint32_t>::max())) continue;  // not packed: see Pack
      for (size_t n = values.Append(doc, rows.Bytes(1), texts); n > 0; --n) AppendNumber(docs, std::uint32_t(doc));
      if (texts.size() >= partBytes) close();
    }
    rows.Reset();
    if (!texts.empty() || part == 0) close();
  }
}

// Numbers each document by its place in path order, a chunk of document numbers a row.
void RankPaths(sqlite3* db) {
  Execute(db, "DELETE FROM path_ranks");
  std::unordered_map<std::int64_t, std::string> chunks;
  Statement walk(db, "SELECT id FROM documents ORDER BY path");
  std::uint32_t rank = 0;
  while (walk.Step()) {
    const std::int64_t doc = walk.Int(0);
    std::string& chunk = chunks[doc / kRankChunk];
    if (chunk.empty()) chunk.assign(size_t(kRankChunk) * 4, '\xFF');
    const size_t at = size_t(doc % kRankChunk) * 4;
    for (int byte = 0; byte < 4; ++byte) chunk[at + size_t(byte)] = char((rank >> (8 * byte)) & 0xFF);
    ++rank;
  }
  Statement insert(db, "INSERT INTO path_ranks(chunk, ranks) VALUES(?1, ?2)");
  for (const auto& [number, ranks] : chunks) insert.Reset().Bind(1, number).BindBlob(2, ranks).Run();
}

// A stored bitmap; none when it is not there or damaged.
std::optional<Roaring> ReadBitmap(Statement& statement) {
  std::optional<Roaring> bits;
  if (statement.Step()) {
    const std::string_view bytes = statement.Bytes(0);
    // Measured first: that says quietly whether the bytes hold a whole bitmap.
    if (roaring_bitmap_portable_deserialize_size(bytes.data(), bytes.size()) != bytes.size()) {
      statement.Reset();
      return std::nullopt;  // a damaged pack: the rows answer
    }
    try {
      bits = Roaring::readSafe(bytes.data(), bytes.size());
    } catch (const std::exception&) {
      bits.reset();  // a damaged pack: the rows answer
    }
  }
  statement.Reset();
  return bits;
}

bool FitsBitmap(std::int64_t doc) { return doc >= 0 && doc <= std::int64_t(std::numeric_limits<std::uint32_t>::max()); }

// A few thousand at a time through a small buffer: a common value's
// documents are not copied twice through a large one.
void Append(const Roaring& bits, DocSet& out) {
  out.reserve(out.size() + size_t(bits.cardinality()));
  roaring_uint32_iterator_t* docs = roaring_create_iterator(&bits.roaring);
  std::uint32_t buffer[4096];
  for (std::uint32_t got; (got = roaring_read_uint32_iterator(docs, buffer, 4096)) > 0;) out.insert(out.end(), buffer, buffer + got);
  roaring_free_uint32_iterator(docs);
}

}  // namespace

void AddLookupPackTables(sqlite3* db) { Execute(db, kPackTables); }

// ---- the writer's side ---------------------------------------------------------

LookupPackWriter::LookupPackWriter(sqlite3* db, const PackLimits& limits)
    : db_(db), limits_(limits), listChange_(db, "INSERT OR IGNORE INTO packed_changes(doc) VALUES(?1)") {}

void LookupPackWriter::Began() {
  Statement state(db_, "SELECT EXISTS(SELECT 1 FROM lookup_packs), (SELECT count(*) FROM packed_changes)");
  packed_ = state.Step() && state.Int(0) != 0;
  changes_ = packed_ ? size_t(state.Int(1)) : 0;
}

void LookupPackWriter::Changed(std::int64_t doc) {
  if (!packed_) return;
  listChange_.Reset().Bind(1, doc).Run();
  changes_ += size_t(sqlite3_changes(db_));
  if (changes_ > limits_.changesKept) Drop();
}

// Too many changes to judge one by one: readers go back to the rows until the
// writer packs again as it closes.
void LookupPackWriter::Drop() {
  Execute(db_, kDropPacks);
  packed_ = false;
  changes_ = 0;
}

void LookupPackWriter::WritePacks() {
  // From the tables' keys: a writer on a packed index closes at once.
  Statement state(db_, "SELECT EXISTS(SELECT 1 FROM lookup_packs), EXISTS(SELECT 1 FROM path_ranks), EXISTS(SELECT 1 FROM documents)");
  if (!state.Step()) return;
  const bool packed = state.Int(0) != 0, ranked = state.Int(1) != 0 || state.Int(2) == 0;
  const std::vector<std::int64_t> unpacked = state.Int(2) == 0 ? std::vector<std::int64_t>() : FragmentAttributes(db_, true);
  state.Reset();
  if (!packed) return Pack();
  if (ranked && unpacked.empty()) return;
  // Packed before there were ranks or texts of an attribute: they are made
  // alone. Texts made now hold the rows as they are now; the changes listed
  // before are judged by their records all the same.
  Execute(db_, "BEGIN IMMEDIATE");
  try {
    if (!ranked) RankPaths(db_);
    if (!unpacked.empty()) PackTexts(db_, std::max<size_t>(1, limits_.textPartBytes), unpacked);
    Execute(db_, "COMMIT");
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

void LookupPackWriter::Settle() {
  // The list of changes is short (the writer drops the packs beyond it), so counting it is cheap.
  Statement state(db_, "SELECT EXISTS(SELECT 1 FROM lookup_packs), (SELECT count(*) FROM packed_changes)");
  if (!state.Step()) return;
  const bool packed = state.Int(0) != 0;
  const size_t listed = size_t(std::max<std::int64_t>(0, state.Int(1)));
  state.Reset();
  if (packed && listed <= limits_.changesKept / 2) return;
  Pack();
}

// Every pack from the rows, in a transaction of its own: stopped midway, the
// index keeps what it held.
void LookupPackWriter::Pack() {
  Statement highest(db_, "SELECT max(id) FROM documents");
  if (!highest.Step() || highest.Int(0) > std::int64_t(std::numeric_limits<std::uint32_t>::max())) return;
  highest.Reset();
  Execute(db_, "BEGIN IMMEDIATE");
  try {
    Execute(db_, kDropPacks);
    PackNumbers(db_, std::max<size_t>(1, limits_.bucketRows));
    const size_t frequent = std::max<size_t>(1, limits_.frequentValueRows);
    PackValues(db_, "SELECT attr, value, doc FROM string_values ORDER BY attr, value, doc", PackedKind::StringValue, frequent);
    PackValues(db_, "SELECT attr, word, doc FROM string_words ORDER BY attr, word, doc", PackedKind::Word, frequent);
    PackTexts(db_, std::max<size_t>(1, limits_.textPartBytes), FragmentAttributes(db_));
    RankPaths(db_);
    Execute(db_, "INSERT INTO lookup_packs(id) VALUES(1)");
    Execute(db_, "COMMIT");
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

// ---- the reader's side -----------------------------------------------------------

namespace {

bool IsAscii(std::string_view text) {
  return std::none_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

std::string InForm(std::string_view text, ScanForm form) {
  switch (form) {
    case ScanForm::Cased: return ComposedForm(text);
    case ScanForm::Folded: return FoldedForm(text);
    case ScanForm::Stripped: return IndexForm(text);
  }
  return {};
}

// Calls `accepted` with each of `found` (numbers of values of `texts`, in
// order) whose value the judge accepts.
void JudgeValues(std::string_view texts, const std::vector<size_t>& found, const Index::ValueJudge& judge,
                 const std::function<void(size_t value)>& accepted) {
  size_t value = 0, at = 0;
  const auto endOf = [&](size_t start) {
    const void* zero = std::memchr(texts.data() + start, '\0', texts.size() - start);
    return zero ? size_t(static_cast<const char*>(zero) - texts.data()) : texts.size();
  };
  for (size_t wanted : found) {
    for (; value < wanted && at < texts.size(); ++value) at = endOf(at) + 1;
    if (value != wanted || at > texts.size()) return;
    if (judge(texts.substr(at, endOf(at) - at))) accepted(wanted);
  }
}

// The documents of one part's values that `scan` finds, but for those in
// `skipped`, and with a `judge` only those it accepts; false when the part is
// damaged (more values than documents).
// Without case, a value beyond ASCII is brought to `form` whole, and the
// documents of those FoldingMayDependOnForm go to `recheck`; a run of ASCII is
// compared with the values of ASCII alone byte by byte, folded, and one
// beyond ASCII is in none of them.
bool ScanPart(const ValueScan& scan, std::string_view run, ScanForm form, const Index::ValueJudge* judge, std::string_view texts,
              std::string_view docs, const Roaring& skipped, DocSet& out, DocSet& recheck) {
  if (docs.size() % 4 != 0) return false;
  const size_t rows = docs.size() / 4;
  const bool anySkipped = !skipped.isEmpty();  // most often none: a common fragment is found many times
  const auto add = [&](size_t value) {
    const std::uint32_t doc = NumberAt(docs.data() + 4 * value);
    if (!(anySkipped && skipped.contains(doc)) && (out.empty() || out.back() != doc)) out.push_back(doc);
  };
  std::vector<size_t> judged;  // with a judge, the values found, judged after the scan
  const auto found = [&](size_t value) {
    if (value >= rows) return false;
    if (judge)
      judged.push_back(value);
    else
      add(value);
    return true;
  };
  const auto holds = [&](size_t value, std::string_view text) {
    if (!FoldingMayDependOnForm(text)) return InForm(text, form).find(run) != std::string::npos;
    if (value < rows) {
      const std::uint32_t doc = NumberAt(docs.data() + 4 * value);
      if (!(anySkipped && skipped.contains(doc)) && (recheck.empty() || recheck.back() != doc)) recheck.push_back(doc);
    }
    return false;
  };
  std::optional<size_t> values;
  if (form == ScanForm::Cased)
    values = scan.Scan(texts, found);
  else if (IsAscii(run))
    values = scan.ScanFolded(texts, holds, found);
  else
    values = ValueScan::ScanBeyondAscii(texts, holds, found);
  if (!values || *values > rows) return false;
  if (judge) JudgeValues(texts, judged, *judge, add);
  return true;
}

}  // namespace

// What one snapshot of the index holds besides the packs themselves: whether
// they are there, and the documents changed since.
struct LookupPackReader::Snapshot {
  std::int64_t version = -1;
  bool packed = false;
  std::vector<std::int64_t> changed;                 // ascending
  std::vector<std::optional<std::string>> records;   // each changed document's record, read when first asked
  std::vector<bool> read;
  Roaring changedBits;                               // those that fit a bitmap
  std::unordered_map<int, std::vector<Bucket>> buckets;
  bool tables = false;                               // the pack tables are there
  std::optional<bool> ranked;                        // path_ranks is there and holds a row
  std::unordered_map<std::int64_t, std::vector<std::uint32_t>> rankChunks;  // empty: none, or damaged
  std::unordered_map<int, std::optional<Index::ScanSize>> textSizes;  // by attribute; none: not packed
};

LookupPackReader::LookupPackReader(sqlite3* db, std::function<bool(int)> storedOnly)
    : db_(db), storedOnly_(std::move(storedOnly)), version_(db, "PRAGMA data_version") {}

LookupPackReader::~LookupPackReader() = default;

// The view of the read transaction, made anew when the index changed; none
// outside a read transaction (then the rows, the packs and the list of
// changes may not be one snapshot) or where no writer has added the tables.
LookupPackReader::Snapshot* LookupPackReader::View() {
  if (sqlite3_get_autocommit(db_)) return nullptr;
  version_.Reset();
  const std::int64_t version = version_.Step() ? version_.Int(0) : -1;
  version_.Reset();
  if (snapshot_ && snapshot_->version == version) return snapshot_->tables ? snapshot_.get() : nullptr;
  snapshot_ = std::make_unique<Snapshot>();
  snapshot_->version = version;
  if (!hasTables_) {
    Statement table(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'packed_changes'");
    if (!table.Step()) return nullptr;  // an index no writer has opened since packs were added
    hasTables_ = true;
    marker_ = Statement(db_, "SELECT 1 FROM lookup_packs");
    changes_ = Statement(db_, "SELECT doc FROM packed_changes ORDER BY doc");
    record_ = Statement(db_, "SELECT attributes FROM documents WHERE id = ?1");
    buckets_ = Statement(db_, "SELECT low, high, id FROM number_buckets WHERE attr = ?1 ORDER BY low");
    bucketDocs_ = Statement(db_, "SELECT docs FROM number_buckets WHERE id = ?1");
    valueDocs_ = Statement(db_, "SELECT docs FROM value_bitmaps WHERE kind = ?1 AND attr = ?2 AND value = ?3");
    below_ = Statement(db_, "SELECT doc FROM number_values WHERE attr = ?1 AND value >= ?2 AND value < ?3");
    above_ = Statement(db_, "SELECT doc FROM number_values WHERE attr = ?1 AND value > ?2 AND value <= ?3");
    between_ = Statement(db_, "SELECT doc FROM number_values WHERE attr = ?1 AND value BETWEEN ?2 AND ?3");
  }
  snapshot_->tables = true;
  marker_.Reset();
  snapshot_->packed = marker_.Step();
  marker_.Reset();
  if (!snapshot_->packed) return snapshot_.get();
  changes_.Reset();
  while (changes_.Step()) {
    const std::int64_t doc = changes_.Int(0);
    snapshot_->changed.push_back(doc);
    if (doc >= 0 && doc <= std::int64_t(std::numeric_limits<std::uint32_t>::max())) snapshot_->changedBits.add(std::uint32_t(doc));
  }
  changes_.Reset();
  snapshot_->records.resize(snapshot_->changed.size());
  snapshot_->read.assign(snapshot_->changed.size(), false);
  return snapshot_.get();
}

bool LookupPackReader::Current() {
  const Snapshot* view = View();
  return view && view->packed;
}

const std::vector<LookupPackReader::Bucket>& LookupPackReader::BucketsOf(int attr) {
  auto [it, inserted] = snapshot_->buckets.try_emplace(attr);
  if (inserted) {
    buckets_.Reset().Bind(1, std::int64_t(attr));
    while (buckets_.Step()) it->second.push_back({buckets_.Real(0), buckets_.Real(1), buckets_.Int(2)});
    buckets_.Reset();
  }
  return it->second;
}

// The value of `attr` in the changed document's record as it is now; none when
// the document is gone or lacks it, or the attribute is kept without look-up rows.
std::optional<Value> LookupPackReader::ChangedValue(size_t changed, int attr) {
  if (storedOnly_(attr)) return std::nullopt;
  if (!snapshot_->read[changed]) {
    record_.Reset().Bind(1, snapshot_->changed[changed]);
    if (record_.Step()) snapshot_->records[changed] = record_.Text(0);
    record_.Reset();
    snapshot_->read[changed] = true;
  }
  const std::optional<std::string>& record = snapshot_->records[changed];
  return record ? DecodeAttribute(*record, attr) : std::nullopt;
}

// Whole buckets inside [low, high] from their bitmaps, the values beside them
// from the rows, and the changed documents from their records, into `docs`
// (empty), or into `beyond` where their numbers do not fit it. A range that
// holds no whole bucket is read from its rows, which are few, when
// `rowsWithoutBucket`; else it is left to the caller (false).
bool LookupPackReader::BucketDocuments(int attr, double low, double high, Roaring& docs, DocSet& beyond, bool rowsWithoutBucket) {
  if (!(low <= high) || !Current()) return false;
  auto add = [&](std::int64_t doc) {
    if (FitsBitmap(doc))
      docs.add(std::uint32_t(doc));
    else
      beyond.push_back(doc);
  };
  const std::vector<Bucket>& buckets = BucketsOf(attr);
  const auto first = std::lower_bound(buckets.begin(), buckets.end(), low, [](const Bucket& b, double v) { return b.low < v; });
  auto end = first;
  while (end != buckets.end() && end->high <= high) ++end;
  if (first == end) {
    if (!rowsWithoutBucket) return false;
    between_.Reset().Bind(1, std::int64_t(attr)).Bind(2, low).Bind(3, high);
    while (between_.Step()) add(between_.Int(0));
    between_.Reset();
    return true;
  }
  std::vector<Roaring> parts;
  parts.reserve(size_t(end - first));
  for (auto bucket = first; bucket != end; ++bucket) {
    bucketDocs_.Reset().Bind(1, bucket->id);
    std::optional<Roaring> bits = ReadBitmap(bucketDocs_);
    if (!bits) return false;
    parts.push_back(std::move(*bits));
  }
  std::vector<const Roaring*> inputs;
  for (const Roaring& part : parts) inputs.push_back(&part);
  docs = Roaring::fastunion(inputs.size(), inputs.data());
  docs -= snapshot_->changedBits;
  below_.Reset().Bind(1, std::int64_t(attr)).Bind(2, low).Bind(3, first->low);
  while (below_.Step()) add(below_.Int(0));
  below_.Reset();
  above_.Reset().Bind(1, std::int64_t(attr)).Bind(2, std::prev(end)->high).Bind(3, high);
  while (above_.Step()) add(above_.Int(0));
  above_.Reset();
  for (size_t i = 0; i < snapshot_->changed.size(); ++i) {
    const std::optional<Value> value = ChangedValue(i, attr);
    if (!value) continue;
    bool inside = false;
    ForEachNumber(*value, [&](double number) { inside = inside || (low <= number && number <= high); });
    if (inside) add(snapshot_->changed[i]);
  }
  return true;
}

// The rows beside the buckets and the changed documents join the bitmap
// where their numbers fit it, so that the answer comes out in order.
bool LookupPackReader::NumbersBetween(int attr, double low, double high, DocSet& out) {
  Roaring docs;
  if (!BucketDocuments(attr, low, high, docs, out, /*rowsWithoutBucket=*/false)) return false;
  Append(docs, out);
  return true;
}

bool LookupPackReader::NumbersBetween(int attr, double low, double high, Roaring& out) {
  Roaring docs;
  DocSet beyond;
  if (!BucketDocuments(attr, low, high, docs, beyond, /*rowsWithoutBucket=*/true) || !beyond.empty()) return false;
  out |= docs;
  return true;
}

bool LookupPackReader::TextsReadable() {
  if (!Current()) return false;
  if (!hasTexts_) {
    Statement table(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'value_texts'");
    if (!table.Step()) return false;  // an index no writer has opened since texts were added
    hasTexts_ = true;
    texts_ = Statement(db_, "SELECT texts, docs FROM value_texts WHERE attr = ?1 ORDER BY part");
    firstText_ = Statement(db_, "SELECT texts, docs FROM value_texts WHERE attr = ?1 ORDER BY part LIMIT 1");
    lastText_ = Statement(db_, "SELECT part, docs FROM value_texts WHERE attr = ?1 ORDER BY part DESC LIMIT 1");
  }
  return true;
}

bool LookupPackReader::ScanTexts(int attr, std::string_view run, ScanForm form, const Index::ValueJudge* judge, DocSet& out) {
  if (run.empty() || run.find('\0') != std::string_view::npos || run.find('\n') != std::string_view::npos) return false;
  if (!TextsReadable()) return false;
  const size_t before = out.size();
  std::optional<ValueScan> scan;  // told which bytes are rare by the first part
  bool whole = true;
  DocSet recheck;
  texts_.Reset().Bind(1, std::int64_t(attr));
  while (whole && texts_.Step()) {
    if (!scan) scan.emplace(run, texts_.Bytes(0), form != ScanForm::Cased);
    whole = ScanPart(*scan, run, form, judge, texts_.Bytes(0), texts_.Bytes(1), snapshot_->changedBits, out, recheck);
  }
  const bool packed = scan.has_value();
  texts_.Reset();
  if (!packed || !whole) {
    out.resize(before);
    return false;
  }
  const auto holds = [&](const Value& value) {
    bool holding = false;
    ForEachString(value, [&](const std::string& text) {
      holding = holding || (InForm(text, form).find(run) != std::string::npos && (!judge || (*judge)(text)));
    });
    return holding;
  };
  // The changed documents, and those the packed values cannot judge, as their
  // records hold them now, merged in order.
  const size_t packedEnd = out.size();
  for (size_t i = 0; i < snapshot_->changed.size(); ++i) {
    const std::optional<Value> value = ChangedValue(i, attr);
    if (value && holds(*value)) out.push_back(snapshot_->changed[i]);
  }
  std::inplace_merge(out.begin() + std::ptrdiff_t(before), out.begin() + std::ptrdiff_t(packedEnd), out.end());
  if (recheck.empty()) return true;
  const size_t judgedEnd = out.size();
  for (std::int64_t doc : recheck) {
    record_.Reset().Bind(1, doc);
    std::optional<Value> value;
    if (record_.Step()) value = DecodeAttribute(record_.Text(0), attr);
    record_.Reset();
    if (value && holds(*value)) out.push_back(doc);
  }
  std::inplace_merge(out.begin() + std::ptrdiff_t(before), out.begin() + std::ptrdiff_t(judgedEnd), out.end());
  out.erase(std::unique(out.begin() + std::ptrdiff_t(before), out.end()), out.end());
  return true;
}

// From the first part and the last alone: the parts are about as large as
// each other, and a sum over every part of a large column reads its pages
// in a process that has not read them yet.
std::optional<Index::ScanSize> LookupPackReader::TextSize(int attr) {
  if (!TextsReadable()) return std::nullopt;
  auto [it, inserted] = snapshot_->textSizes.try_emplace(attr);
  if (inserted) {
    firstText_.Reset().Bind(1, std::int64_t(attr));
    lastText_.Reset().Bind(1, std::int64_t(attr));
    if (firstText_.Step() && lastText_.Step()) {
      const auto parts = size_t(std::max<std::int64_t>(0, lastText_.Int(0))) + 1;
      const std::string_view docs = lastText_.Bytes(1);
      const std::int64_t last = docs.size() >= 4 ? std::int64_t(NumberAt(docs.data() + docs.size() - 4)) : 0;
      it->second = Index::ScanSize{firstText_.Bytes(0).size() * parts, firstText_.Bytes(1).size() / 4 * parts, last};
    }
    firstText_.Reset();
    lastText_.Reset();
  }
  return it->second;
}

// The documents changed since packing whose value of `attr` holds `value` now.
void LookupPackReader::ChangedHolding(PackedKind kind, int attr, std::string_view value, DocSet& out) {
  for (size_t i = 0; i < snapshot_->changed.size(); ++i) {
    const std::optional<Value> current = ChangedValue(i, attr);
    if (!current) continue;
    bool holds = false;
    if (kind == PackedKind::Word) {
      const std::vector<std::string> words = IndexedWords(*current);
      holds = std::binary_search(words.begin(), words.end(), value);
    } else {
      ForEachString(*current, [&](const std::string& text) { holds = holds || IndexedString(text) == value; });
    }
    if (holds) out.push_back(snapshot_->changed[i]);
  }
}

// A value's packed documents but those changed since packing; none when
// the packs are out of date or hold no bitmap of it.
std::optional<Roaring> LookupPackReader::UnchangedValueDocuments(PackedKind kind, int attr, std::string_view value) {
  if (!Current()) return std::nullopt;
  valueDocs_.Reset().Bind(1, std::int64_t(kind)).Bind(2, std::int64_t(attr)).BindBlob(3, value);
  std::optional<Roaring> docs = ReadBitmap(valueDocs_);
  if (docs) *docs -= snapshot_->changedBits;
  return docs;
}

bool LookupPackReader::ValueDocuments(PackedKind kind, int attr, std::string_view value, DocSet& out, size_t& added) {
  const std::optional<Roaring> docs = UnchangedValueDocuments(kind, attr, value);
  if (!docs) return false;
  const size_t before = out.size();
  Append(*docs, out);
  ChangedHolding(kind, attr, value, out);
  added = out.size() - before;
  return true;
}

bool LookupPackReader::ValueDocuments(PackedKind kind, int attr, std::string_view value, Roaring& out) {
  std::optional<Roaring> docs = UnchangedValueDocuments(kind, attr, value);
  if (!docs) return false;
  DocSet changed;
  ChangedHolding(kind, attr, value, changed);
  if (!std::all_of(changed.begin(), changed.end(), FitsBitmap)) return false;
  for (std::int64_t doc : changed) docs->add(std::uint32_t(doc));
  out |= *docs;
  return true;
}

// One chunk's ranks; empty when it holds none or is damaged (a length that
// is not one rank for each number of the chunk): its documents are unranked.
const std::vector<std::uint32_t>& LookupPackReader::RankChunk(std::int64_t chunk) {
  auto [it, inserted] = snapshot_->rankChunks.try_emplace(chunk);
  if (!inserted) return it->second;
  ranks_.Reset().Bind(1, chunk);
  if (ranks_.Step()) {
    const std::string_view bytes = ranks_.Bytes(0);
    if (bytes.size() == size_t(kRankChunk) * 4) {
      std::vector<std::uint32_t>& ranks = it->second;
      ranks.resize(size_t(kRankChunk));
      if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(ranks.data(), bytes.data(), bytes.size());  // a search ranks its results by a dozen of these
      } else {
        const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
        for (size_t i = 0; i < ranks.size(); ++i, data += 4)
          ranks[i] = std::uint32_t(data[0]) | std::uint32_t(data[1]) << 8 | std::uint32_t(data[2]) << 16 | std::uint32_t(data[3]) << 24;
      }
    }
  }
  ranks_.Reset();
  return it->second;
}

bool LookupPackReader::PathRanks(const DocSet& docs, std::vector<std::uint32_t>& ranks) {
  Snapshot* view = View();
  if (!view) return false;
  if (!view->ranked) {
    if (!hasRanks_) {
      Statement table(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'path_ranks'");
      if (!table.Step()) return false;  // an index no writer has opened since ranks were added
      hasRanks_ = true;
      anyRanks_ = Statement(db_, "SELECT EXISTS(SELECT 1 FROM path_ranks)");
      ranks_ = Statement(db_, "SELECT ranks FROM path_ranks WHERE chunk = ?1");
    }
    anyRanks_.Reset();
    view->ranked = anyRanks_.Step() && anyRanks_.Int(0) != 0;
    anyRanks_.Reset();
  }
  if (!*view->ranked) return false;
  ranks.resize(docs.size());
  std::int64_t number = -1;
  const std::vector<std::uint32_t>* chunk = nullptr;
  for (size_t i = 0; i < docs.size(); ++i) {
    const std::int64_t doc = docs[i];
    ranks[i] = Index::kUnranked;
    if (doc < 0) continue;
    if (doc / kRankChunk != number) {  // the documents come sorted: a chunk is looked up once
      number = doc / kRankChunk;
      chunk = &RankChunk(number);
    }
    if (!chunk->empty()) ranks[i] = (*chunk)[size_t(doc % kRankChunk)];
  }
  return true;
}

}  // namespace metadata::sqlite
