// The SQLite engine's tables for structure search (schema version 3): the
// molecules of each document with their fingerprints and binary form.
//
//   molecules            (id, doc, screen): one row per molecule, the screen's
//                        pattern fingerprint, small so that a scan reads little
//   molecule_similarity  (id, bits): the Morgan fingerprint
//   molecule_data        (id, molecule): RDKit's binary molecule for the exact check
//   fingerprint_packs    (kind, molecules, docs, words): each kind's fingerprints
//                        as the reader holds them, so that a new process loads
//                        them in a few reads instead of a row each. Written
//                        when a writer settles or closes, deleted by every change
//                        to the molecules in the same transaction, so a pack that
//                        is there matches the rows; without one, readers scan them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/metadata/sqlite/sqlite_util.h"
#include "platform/metadata/store.h"

namespace metadata::sqlite {

void AddMoleculeTables(sqlite3* db);  // in the caller's transaction, where missing

// The writer's side: a document's molecules follow its attributes.
class MoleculeRows {
 public:
  explicit MoleculeRows(sqlite3* db);
  void Replace(std::int64_t doc, const std::vector<MoleculeEntry>& molecules);
  void Remove(std::int64_t doc);
  // Packs the fingerprints again when this writer changed molecules, or when
  // there are molecules but no packs; outside a transaction.
  void WritePacks();

 private:
  void Changed();

  sqlite3* db_;
  Statement deleteSimilarity_, deleteData_, deleteMolecules_, insertMolecule_, insertSimilarity_, insertData_, deletePacks_;
  bool changed_ = false;
};

// The reader's side: the packed fingerprints, kept while the index is unchanged.
class MoleculeReader {
 public:
  explicit MoleculeReader(sqlite3* db) : db_(db) {}
  std::shared_ptr<const PackedFingerprints> Fingerprints(FingerprintKind kind);
  // A search's scan: the kept fingerprints when there are, else the pack read
  // a piece at a time (a process that searches once, like orvane-find, never
  // holds it all); a reader that scans a kind again keeps it from then on.
  void Scan(FingerprintKind kind, const std::function<void(const FingerprintRun&)>& visit);
  std::optional<std::string> Data(std::int64_t molecule);

 private:
  bool HasTables();
  bool HasPacks();
  std::int64_t DataVersion();

  sqlite3* db_;
  bool hasTables_ = false;
  std::unique_ptr<Statement> data_;
  std::shared_ptr<const PackedFingerprints> cached_[2];
  std::int64_t cachedVersion_[2] = {-1, -1};
  int scans_[2] = {0, 0};
};

}  // namespace metadata::sqlite
