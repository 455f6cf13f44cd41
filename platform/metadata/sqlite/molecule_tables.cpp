#include "platform/metadata/sqlite/molecule_tables.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <numeric>

#include "platform/metadata/structure_search.h"

namespace metadata::sqlite {

namespace {

constexpr const char* kMoleculeTables = R"sql(
CREATE TABLE IF NOT EXISTS molecules(id INTEGER PRIMARY KEY, doc INTEGER NOT NULL, screen BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS molecules_of_documents ON molecules(doc);
CREATE TABLE IF NOT EXISTS molecule_similarity(id INTEGER PRIMARY KEY, bits BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS molecule_data(id INTEGER PRIMARY KEY, molecule BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS fingerprint_packs(kind INTEGER PRIMARY KEY, molecules BLOB NOT NULL, docs BLOB NOT NULL, words BLOB NOT NULL);
)sql";

// The molecules in document order, from the index on their documents alone
// (it holds each molecule's number too), so no fingerprint is read twice.
void ReadMoleculesInDocumentOrder(sqlite3* db, PackedFingerprints& packed) {
  Statement count(db, "SELECT count(*) FROM molecules");
  const size_t total = count.Step() ? size_t(std::max<std::int64_t>(0, count.Int(0))) : 0;
  packed.molecules.reserve(total);
  packed.docs.reserve(total);
  Statement rows(db, "SELECT id, doc FROM molecules INDEXED BY molecules_of_documents ORDER BY doc, id");
  while (rows.Step()) {
    packed.molecules.push_back(rows.Int(0));
    packed.docs.push_back(rows.Int(1));
  }
}

// Copies a stored fingerprint (bit i in byte i / 8) into its words.
void CopyBits(std::string_view bytes, std::uint64_t* words, size_t count) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(words, bytes.data(), std::min(bytes.size(), count * 8));
  } else {
    const std::vector<std::uint64_t> packed = PackedWords(bytes, count);
    std::copy(packed.begin(), packed.end(), words);
  }
}

// Where each molecule's number puts it among the rows. The numbers are
// nearly dense, so a table by number serves, unless many were removed.
class RowsByMolecule {
 public:
  static constexpr std::uint32_t kNone = UINT32_MAX;
  explicit RowsByMolecule(const std::vector<std::int64_t>& molecules) {
    const auto [lowest, highest] = std::minmax_element(molecules.begin(), molecules.end());
    first_ = *lowest;
    const std::uint64_t span = std::uint64_t(*highest - first_) + 1;
    if (span <= 4 * std::uint64_t(molecules.size()) + 4096) {
      dense_.assign(size_t(span), kNone);
      for (size_t row = 0; row < molecules.size(); ++row) dense_[size_t(molecules[row] - first_)] = std::uint32_t(row);
      return;
    }
    sparse_.reserve(molecules.size());
    for (size_t row = 0; row < molecules.size(); ++row) sparse_.emplace_back(molecules[row], std::uint32_t(row));
    std::sort(sparse_.begin(), sparse_.end());
  }
  std::uint32_t Row(std::int64_t molecule) const {
    if (sparse_.empty()) {
      if (molecule < first_ || std::uint64_t(molecule - first_) >= dense_.size()) return kNone;
      return dense_[size_t(molecule - first_)];
    }
    auto found = std::lower_bound(sparse_.begin(), sparse_.end(), std::make_pair(molecule, std::uint32_t(0)));
    return found != sparse_.end() && found->first == molecule ? found->second : kNone;
  }

 private:
  std::int64_t first_ = 0;
  std::vector<std::uint32_t> dense_;
  std::vector<std::pair<std::int64_t, std::uint32_t>> sparse_;
};

// Fills each molecule's words from one scan of the table of `sql` (number,
// fingerprint). A molecule that the scan does not reach (written meanwhile)
// is left out.
void ReadBits(sqlite3* db, const char* sql, size_t words, PackedFingerprints& packed) {
  if (packed.molecules.empty()) return;
  const RowsByMolecule rowOf(packed.molecules);
  packed.words.assign(packed.molecules.size() * words, 0);
  std::vector<bool> filled(packed.molecules.size(), false);
  size_t filledCount = 0;
  Statement rows(db, sql);
  while (rows.Step()) {
    const std::uint32_t row = rowOf.Row(rows.Int(0));
    if (row == RowsByMolecule::kNone) continue;
    CopyBits(rows.Bytes(1), packed.words.data() + row * words, words);
    filled[row] = true;
    ++filledCount;
  }
  if (filledCount == packed.molecules.size()) return;
  size_t kept = 0;
  for (size_t row = 0; row < filled.size(); ++row) {
    if (!filled[row]) continue;
    packed.molecules[kept] = packed.molecules[row];
    packed.docs[kept] = packed.docs[row];
    std::copy_n(packed.words.begin() + std::ptrdiff_t(row * words), words, packed.words.begin() + std::ptrdiff_t(kept * words));
    ++kept;
  }
  packed.molecules.resize(kept);
  packed.docs.resize(kept);
  packed.words.resize(kept * words);
}

// The screens sit beside their documents' numbers, so one scan of that table
// reads them all; rows come in the order written, which is the documents'
// order unless a document was replaced.
void ReadScreens(sqlite3* db, PackedFingerprints& packed) {
  Statement count(db, "SELECT count(*) FROM molecules");
  const size_t total = count.Step() ? size_t(std::max<std::int64_t>(0, count.Int(0))) : 0;
  packed.molecules.reserve(total);
  packed.docs.reserve(total);
  packed.words.reserve(total * kScreenWords);
  Statement rows(db, "SELECT id, doc, screen FROM molecules");
  while (rows.Step()) {
    packed.molecules.push_back(rows.Int(0));
    packed.docs.push_back(rows.Int(1));
    packed.words.resize(packed.words.size() + kScreenWords, 0);
    CopyBits(rows.Bytes(2), packed.words.data() + packed.words.size() - kScreenWords, kScreenWords);
  }
  if (std::is_sorted(packed.docs.begin(), packed.docs.end())) return;
  std::vector<size_t> order(packed.docs.size());
  std::iota(order.begin(), order.end(), size_t(0));
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return packed.docs[a] < packed.docs[b]; });
  PackedFingerprints sorted;
  sorted.molecules.resize(order.size());
  sorted.docs.resize(order.size());
  sorted.words.resize(packed.words.size());
  for (size_t at = 0; at < order.size(); ++at) {
    sorted.molecules[at] = packed.molecules[order[at]];
    sorted.docs[at] = packed.docs[order[at]];
    std::copy_n(packed.words.begin() + std::ptrdiff_t(order[at] * kScreenWords), kScreenWords,
                sorted.words.begin() + std::ptrdiff_t(at * kScreenWords));
  }
  packed = std::move(sorted);
}

// The fingerprints of one kind from their rows: what a pack holds.
PackedFingerprints ReadRows(sqlite3* db, int kind) {
  PackedFingerprints packed;
  if (kind == 0) {
    ReadScreens(db, packed);
  } else {
    ReadMoleculesInDocumentOrder(db, packed);
    ReadBits(db, "SELECT id, bits FROM molecule_similarity", kSimilarityWords, packed);
  }
  return packed;
}

template <typename T>
std::string_view AsBytes(const std::vector<T>& values) {
  return {reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T)};
}

// Reads a pack's column straight into `values`; false when its size is not a
// whole number of values.
template <typename T>
bool ReadPackColumn(sqlite3* db, const char* column, std::int64_t kind, std::vector<T>& values, size_t perRow, size_t rows) {
  sqlite3_blob* blob = nullptr;
  if (sqlite3_blob_open(db, "main", "fingerprint_packs", column, kind, 0, &blob) != SQLITE_OK) {
    sqlite3_blob_close(blob);
    return false;
  }
  const size_t bytes = size_t(sqlite3_blob_bytes(blob));
  const bool fits = bytes == rows * perRow * sizeof(T) && bytes <= size_t(INT32_MAX);
  if (fits) values.resize(rows * perRow);
  const bool read = fits && (bytes == 0 || sqlite3_blob_read(blob, values.data(), int(bytes), 0) == SQLITE_OK);
  sqlite3_blob_close(blob);
  return read;
}

// The pack of one kind, when the index holds one (the writer keeps it only
// while it matches the rows). Stored in this machine's byte order, which
// only x86-64 and other little-endian machines read back.
std::shared_ptr<PackedFingerprints> ReadPack(sqlite3* db, int kind) {
  if constexpr (std::endian::native != std::endian::little) return nullptr;
  Statement size(db, "SELECT length(molecules) FROM fingerprint_packs WHERE kind = ?1");
  size.Bind(1, std::int64_t(kind));
  if (!size.Step()) return nullptr;
  const size_t rows = size_t(std::max<std::int64_t>(0, size.Int(0))) / sizeof(std::int64_t);
  size.Reset();
  auto packed = std::make_shared<PackedFingerprints>();
  const size_t words = kind == 0 ? kScreenWords : kSimilarityWords;
  if (!ReadPackColumn(db, "molecules", kind, packed->molecules, 1, rows) || !ReadPackColumn(db, "docs", kind, packed->docs, 1, rows) ||
      !ReadPackColumn(db, "words", kind, packed->words, words, rows) || !std::is_sorted(packed->docs.begin(), packed->docs.end()))
    return nullptr;
  return packed;
}

// One column of a pack, read a piece at a time.
class PackColumn {
 public:
  PackColumn(sqlite3* db, const char* column, std::int64_t kind) {
    if (sqlite3_blob_open(db, "main", "fingerprint_packs", column, kind, 0, &blob_) != SQLITE_OK) {
      sqlite3_blob_close(blob_);
      blob_ = nullptr;
    }
  }
  ~PackColumn() { sqlite3_blob_close(blob_); }
  PackColumn(const PackColumn&) = delete;
  PackColumn& operator=(const PackColumn&) = delete;
  bool Holds(size_t bytes) const { return blob_ && bytes <= size_t(INT32_MAX) && size_t(sqlite3_blob_bytes(blob_)) == bytes; }
  void Read(void* into, size_t bytes, size_t offset) {
    if (bytes > 0 && sqlite3_blob_read(blob_, into, int(bytes), int(offset)) != SQLITE_OK)
      throw StorageError("cannot read the packed fingerprints of the index");
  }

 private:
  sqlite3_blob* blob_ = nullptr;
};

// Scans the pack of one kind in runs of a few megabytes, each read into the
// same buffers: a search that reads it once needs neither a copy of it all
// nor the memory's page faults. The molecules and documents come first,
// whole (they are small), so that a pack found unfit is found before any run.
// False, before any visit, when there is no fit pack.
bool ScanPack(sqlite3* db, int kind, const std::function<void(const FingerprintRun&)>& visit) {
  if constexpr (std::endian::native != std::endian::little) return false;
  Statement size(db, "SELECT length(molecules) FROM fingerprint_packs WHERE kind = ?1");
  size.Bind(1, std::int64_t(kind));
  if (!size.Step()) return false;
  const size_t rows = size_t(std::max<std::int64_t>(0, size.Int(0))) / sizeof(std::int64_t);
  size.Reset();
  const size_t words = kind == 0 ? kScreenWords : kSimilarityWords;
  std::vector<std::int64_t> molecules, docs;
  PackColumn wordColumn(db, "words", kind);
  if (!ReadPackColumn(db, "molecules", kind, molecules, 1, rows) || !ReadPackColumn(db, "docs", kind, docs, 1, rows) ||
      !std::is_sorted(docs.begin(), docs.end()) || !wordColumn.Holds(rows * words * sizeof(std::uint64_t)))
    return false;
  constexpr size_t kRunRows = 16384;
  std::vector<std::uint64_t> buffer(std::min(rows, kRunRows) * words);
  for (size_t first = 0; first < rows; first += kRunRows) {
    const size_t count = std::min(kRunRows, rows - first);
    wordColumn.Read(buffer.data(), count * words * sizeof(std::uint64_t), first * words * sizeof(std::uint64_t));
    visit(FingerprintRun{count, molecules.data() + first, docs.data() + first, buffer.data()});
  }
  return true;
}

// A pack's columns read in one snapshot, so that they come from the same pack.
std::shared_ptr<PackedFingerprints> ReadPackAtOnce(sqlite3* db, int kind) {
  if (!sqlite3_get_autocommit(db)) return ReadPack(db, kind);  // the caller's transaction holds one
  if (sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) return nullptr;
  std::shared_ptr<PackedFingerprints> packed;
  try {
    packed = ReadPack(db, kind);
  } catch (...) {
    packed = nullptr;
  }
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  return packed;
}

}  // namespace

void AddMoleculeTables(sqlite3* db) { Execute(db, kMoleculeTables); }

MoleculeRows::MoleculeRows(sqlite3* db)
    : db_(db),
      deleteSimilarity_(db, "DELETE FROM molecule_similarity WHERE id IN (SELECT id FROM molecules WHERE doc = ?1)"),
      deleteData_(db, "DELETE FROM molecule_data WHERE id IN (SELECT id FROM molecules WHERE doc = ?1)"),
      deleteMolecules_(db, "DELETE FROM molecules WHERE doc = ?1"),
      insertMolecule_(db, "INSERT INTO molecules(doc, screen) VALUES(?1, ?2)"),
      insertSimilarity_(db, "INSERT INTO molecule_similarity(id, bits) VALUES(?1, ?2)"),
      insertData_(db, "INSERT INTO molecule_data(id, molecule) VALUES(?1, ?2)"),
      deletePacks_(db, "DELETE FROM fingerprint_packs") {}

void MoleculeRows::Remove(std::int64_t doc) {
  deleteSimilarity_.Reset().Bind(1, doc).Run();
  deleteData_.Reset().Bind(1, doc).Run();
  deleteMolecules_.Reset().Bind(1, doc).Run();
  if (sqlite3_changes(db_) > 0) Changed();
}

// The packs go in the same transaction as the rows they no longer match. A
// document without molecules is in no pack, so its changes leave them.
void MoleculeRows::Changed() {
  deletePacks_.Reset().Run();  // each time: a transaction rolled back brings them back
  changed_ = true;
}

void MoleculeRows::Replace(std::int64_t doc, const std::vector<MoleculeEntry>& molecules) {
  Remove(doc);
  if (!molecules.empty()) Changed();
  for (const MoleculeEntry& entry : molecules) {
    insertMolecule_.Reset().Bind(1, doc).BindBlob(2, entry.screen).Run();
    const std::int64_t id = sqlite3_last_insert_rowid(db_);
    insertSimilarity_.Reset().Bind(1, id).BindBlob(2, entry.similarity).Run();
    insertData_.Reset().Bind(1, id).BindBlob(2, entry.molecule).Run();
  }
}

void MoleculeRows::WritePacks() {
  if (std::endian::native != std::endian::little) return;
  if (!changed_) {  // an index packed before, or one from before packs or with screens of another size
    Statement packs(db_,
                    "SELECT (SELECT count(*) FROM fingerprint_packs WHERE kind != 0 OR length(words) = length(molecules) * ?1), "
                    "EXISTS(SELECT 1 FROM molecules)");
    packs.Bind(1, std::int64_t(kScreenWords));
    if (!packs.Step() || packs.Int(0) > 1 || packs.Int(1) == 0) return;
  }
  Execute(db_, "BEGIN IMMEDIATE");
  try {
    Execute(db_, "DELETE FROM fingerprint_packs");
    Statement insert(db_, "INSERT INTO fingerprint_packs(kind, molecules, docs, words) VALUES(?1, ?2, ?3, ?4)");
    for (int kind : {0, 1}) {
      const PackedFingerprints packed = ReadRows(db_, kind);
      insert.Reset().Bind(1, std::int64_t(kind)).BindBlob(2, AsBytes(packed.molecules)).BindBlob(3, AsBytes(packed.docs));
      insert.BindBlob(4, AsBytes(packed.words)).Run();
    }
    Execute(db_, "COMMIT");
    changed_ = false;
  } catch (...) {
    Execute(db_, "ROLLBACK");
    throw;
  }
}

bool MoleculeReader::HasTables() {
  if (!hasTables_) {
    Statement table(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'molecule_data'");
    hasTables_ = table.Step();
  }
  return hasTables_;
}

bool MoleculeReader::HasPacks() {
  Statement table(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'fingerprint_packs'");
  return table.Step();
}

std::int64_t MoleculeReader::DataVersion() {
  Statement version(db_, "PRAGMA data_version");
  return version.Step() ? version.Int(0) : 0;
}

std::shared_ptr<const PackedFingerprints> MoleculeReader::Fingerprints(FingerprintKind kind) {
  const int which = kind == FingerprintKind::Screen ? 0 : 1;
  if (!HasTables()) return std::make_shared<PackedFingerprints>();
  const std::int64_t version = DataVersion();
  if (cached_[which] && cachedVersion_[which] == version) return cached_[which];
  std::shared_ptr<PackedFingerprints> packed = HasPacks() ? ReadPackAtOnce(db_, which) : nullptr;
  if (!packed) packed = std::make_shared<PackedFingerprints>(ReadRows(db_, which));
  cached_[which] = packed;
  cachedVersion_[which] = version;
  return packed;
}

void MoleculeReader::Scan(FingerprintKind kind, const std::function<void(const FingerprintRun&)>& visit) {
  const int which = kind == FingerprintKind::Screen ? 0 : 1;
  const bool kept = cached_[which] && cachedVersion_[which] == DataVersion();
  if (!kept && ++scans_[which] == 1 && HasTables() && HasPacks()) {
    const bool ownTransaction = sqlite3_get_autocommit(db_);  // else the caller's transaction holds one pack
    if (!ownTransaction || sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK) {
      bool scanned = false;
      try {
        scanned = ScanPack(db_, which, visit);
      } catch (...) {
        if (ownTransaction) sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        throw;
      }
      if (ownTransaction) sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
      if (scanned) return;
    }
  }
  std::shared_ptr<const PackedFingerprints> packed = Fingerprints(kind);
  visit(FingerprintRun{packed->docs.size(), packed->molecules.data(), packed->docs.data(), packed->words.data()});
}

std::optional<std::string> MoleculeReader::Data(std::int64_t molecule) {
  if (!HasTables()) return std::nullopt;
  if (!data_) data_ = std::make_unique<Statement>(db_, "SELECT molecule FROM molecule_data WHERE id = ?1");
  data_->Reset().Bind(1, molecule);
  if (!data_->Step()) return std::nullopt;
  std::string bytes(data_->Bytes(0));
  data_->Reset();
  return bytes;
}

}  // namespace metadata::sqlite
