// The SQLite engine's reader: every candidate look-up as a prepared statement
// over the search tables, read-only.
#pragma once

#include <memory>

#include "platform/metadata/sqlite/lookup_packs.h"
#include "platform/metadata/sqlite/molecule_tables.h"
#include "platform/metadata/sqlite/schema.h"
#include "platform/metadata/sqlite/sqlite_util.h"
#include "platform/metadata/store.h"

namespace metadata::sqlite {

class SqliteIndex final : public Index {
 public:
  static std::shared_ptr<Index> Open(const std::filesystem::path& file, std::string& error);
  ~SqliteIndex() override;

  void BeginRead() override;
  void EndRead() override;
  bool ReadDocument(std::int64_t doc, std::string& path, std::string& record) override;
  std::optional<std::string> PathOf(std::int64_t doc) override;
  std::optional<std::string> RecordAt(const std::string& path) override;
  std::vector<std::string> NotesAt(const std::string& path) override;
  DocSet AllDocuments() override;
  void WalkInPathOrder(const std::string* after, const std::function<bool(std::int64_t, std::string_view)>& visit) override;
  bool PathRanks(const DocSet& docs, std::vector<std::uint32_t>& ranks) override { return packs_->PathRanks(docs, ranks); }
  void ForEachPath(const std::function<void(std::int64_t, std::string_view)>& visit) override;
  void AtOrBelow(const std::string& folder, DocSet& out) override;
  void OnNetwork(DocSet& out) override;
  std::vector<RootRecord> Roots() override;
  std::vector<MountFolder> MountFolders() override;
  bool NumbersBetween(int attr, double low, double high, size_t limit, DocSet& out) override;
  void SpansAcross(int attr, double low, double high, DocSet& out) override;
  void StringsEqual(int attr, std::string_view indexed, DocSet& out) override;
  bool StringsWithPrefix(int attr, std::string_view prefix, size_t limit, DocSet& out, bool& cut) override;
  bool StringsBeyond(int attr, std::string_view key, bool atLeast, size_t limit, DocSet& out) override;
  bool DistinctStrings(int attr, size_t limit, std::vector<std::string>& out) override;
  bool HoldsStrings(int attr) override;
  bool PackedNumbersBetween(int attr, double low, double high, Roaring& out) override { return packs_->NumbersBetween(attr, low, high, out); }
  bool PackedStringsEqual(int attr, std::string_view indexed, Roaring& out) override {
    return packs_->ValueDocuments(PackedKind::StringValue, attr, indexed, out);
  }
  void DocumentsWith(int attr, DocSet& out) override;
  bool Substrings(const std::vector<int>& attrs, const std::vector<std::string>& runs, bool stripped, size_t limit, DocSet& out,
                  bool& complete) override;
  std::shared_ptr<const PackedFingerprints> Fingerprints(FingerprintKind kind) override { return molecules_->Fingerprints(kind); }
  std::optional<std::string> MoleculeData(std::int64_t molecule) override { return molecules_->Data(molecule); }
  void ScanFingerprints(FingerprintKind kind, const std::function<void(const FingerprintRun&)>& visit) override {
    molecules_->Scan(kind, visit);
  }
  bool CasedSubstrings(const std::vector<int>& attrs, const std::vector<std::string>& runs, size_t limit, DocSet& out,
                       bool& complete) override;
  bool ScanCasedSubstrings(const std::vector<int>& attrs, const std::vector<std::string>& runs, const ValueJudge* judge, DocSet& out) override;
  bool ScanFoldedSubstrings(const std::vector<int>& attrs, const std::vector<std::string>& runs, bool stripped, const ValueJudge* judge,
                            DocSet& out) override;
  std::optional<ScanSize> ScannedSize(const std::vector<int>& attrs) override;
  bool WordsWithPrefix(int attr, std::string_view prefix, size_t limit,
                       const std::function<void(std::string_view word, std::int64_t doc)>& visit) override;
  bool CasedSuffixes(const std::vector<int>& attrs, const std::string& suffix, size_t limit, DocSet& out, bool& complete) override;
  bool DocumentsOfWords(int attr, std::string_view prefix, size_t limit, const std::function<bool(std::string_view word)>& wanted,
                        DocSet& out) override;
  bool KeepsWordsOf(int attr) override;
  // A record read to check it is a B-tree descent to a page of its own: about
  // 11 us at a million documents in a new process, where every page is cold.
  // A look-up row is a few bytes of a doclist read in order: about 0.3 us.
  // A long-lived process reads both warm, records about ten times faster.
  size_t LookUpRowsPerRecord() const override { return 16; }

 private:
  SqliteIndex() = default;
  struct TrigramTable;
  bool PhraseLookUp(const std::vector<int>& attrs, const std::vector<std::string>& runs, const std::vector<TrigramTable>& tables,
                    size_t limit, DocSet& out, bool& complete);
  bool ScanSubstrings(const std::vector<int>& attrs, const std::vector<std::string>& runs, ScanForm form, const ValueJudge* judge, DocSet& out);
  struct Statements;
  Database db_;
  IndexLayout layout_;
  bool KeepsFoldedTrigramsOf(int attr) const;  // as IndexLayout::KeepsFoldedTrigramsOf
  std::unique_ptr<Statements> statements_;
  std::unique_ptr<MoleculeReader> molecules_;
  std::unique_ptr<LookupPackReader> packs_;
};

}  // namespace metadata::sqlite
