#include "platform/metadata/sqlite/molecule_tables.h"

#include <algorithm>
#include <numeric>

#include "platform/metadata/structure_search.h"

namespace metadata::sqlite {

namespace {

constexpr const char* kMoleculeTables = R"sql(
CREATE TABLE IF NOT EXISTS molecules(id INTEGER PRIMARY KEY, doc INTEGER NOT NULL, screen BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS molecules_of_documents ON molecules(doc);
CREATE TABLE IF NOT EXISTS molecule_similarity(id INTEGER PRIMARY KEY, bits BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS molecule_data(id INTEGER PRIMARY KEY, molecule BLOB NOT NULL);
)sql";

// Rows in document order; the table is read in id order, which is nearly that.
void SortByDocument(PackedFingerprints& packed, size_t words) {
  if (std::is_sorted(packed.docs.begin(), packed.docs.end())) return;
  std::vector<size_t> order(packed.docs.size());
  std::iota(order.begin(), order.end(), size_t(0));
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return packed.docs[a] < packed.docs[b]; });
  PackedFingerprints sorted;
  sorted.words.reserve(packed.words.size());
  for (size_t row : order) {
    sorted.molecules.push_back(packed.molecules[row]);
    sorted.docs.push_back(packed.docs[row]);
    sorted.words.insert(sorted.words.end(), packed.words.begin() + std::ptrdiff_t(row * words),
                        packed.words.begin() + std::ptrdiff_t((row + 1) * words));
  }
  packed = std::move(sorted);
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
      insertData_(db, "INSERT INTO molecule_data(id, molecule) VALUES(?1, ?2)") {}

void MoleculeRows::Remove(std::int64_t doc) {
  deleteSimilarity_.Reset().Bind(1, doc).Run();
  deleteData_.Reset().Bind(1, doc).Run();
  deleteMolecules_.Reset().Bind(1, doc).Run();
}

void MoleculeRows::Replace(std::int64_t doc, const Attributes& attributes) {
  Remove(doc);
  for (const MoleculeEntry& entry : MoleculeEntries(attributes)) {
    insertMolecule_.Reset().Bind(1, doc).BindBlob(2, entry.screen).Run();
    const std::int64_t id = sqlite3_last_insert_rowid(db_);
    insertSimilarity_.Reset().Bind(1, id).BindBlob(2, entry.similarity).Run();
    insertData_.Reset().Bind(1, id).BindBlob(2, entry.molecule).Run();
  }
}

bool MoleculeReader::HasTables() {
  if (!hasTables_) {
    Statement table(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'molecule_data'");
    hasTables_ = table.Step();
  }
  return hasTables_;
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
  const size_t words = which == 0 ? kScreenWords : kSimilarityWords;
  auto packed = std::make_shared<PackedFingerprints>();
  Statement rows(db_, which == 0 ? "SELECT id, doc, screen FROM molecules"
                                 : "SELECT m.id, m.doc, s.bits FROM molecules m JOIN molecule_similarity s ON s.id = m.id");
  while (rows.Step()) {
    packed->molecules.push_back(rows.Int(0));
    packed->docs.push_back(rows.Int(1));
    const std::vector<std::uint64_t> bits = PackedWords(rows.Bytes(2), words);
    packed->words.insert(packed->words.end(), bits.begin(), bits.end());
  }
  SortByDocument(*packed, words);
  cached_[which] = packed;
  cachedVersion_[which] = version;
  return packed;
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
