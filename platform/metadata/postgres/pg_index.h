// The PostgreSQL engine's reader: every candidate look-up as one prepared
// statement, over a connection that never writes.
#pragma once

#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "platform/metadata/postgres/pg_util.h"
#include "platform/metadata/store.h"

namespace metadata::postgres {

// Of the cartridge's function that tells its RDKit release: whether it has
// one, and whether the server loads the cartridge as it starts (so that a
// call costs a session nothing) or as a session first calls it.
enum class ReleaseCall { None, Loads, Preloaded };

class PostgresIndex final : public Index {
 public:
  static std::shared_ptr<Index> Open(const std::string& uri, std::string& error);

  void BeginRead() override;
  void EndRead() override;
  bool ReadDocument(std::int64_t doc, std::string& path, std::string& record) override;
  std::optional<std::string> PathOf(std::int64_t doc) override;
  std::optional<std::string> RecordAt(const std::string& path) override;
  std::vector<std::string> NotesAt(const std::string& path) override;
  DocSet AllDocuments() override;
  void WillRead(const DocSet& docs, bool records) override;
  void WalkInPathOrder(const std::string* after, const std::function<bool(std::int64_t, std::string_view)>& visit) override;
  void ForEachPath(const std::function<void(std::int64_t, std::string_view)>& visit) override;
  void AtOrBelow(const std::string& folder, DocSet& out) override;
  void OnNetwork(DocSet& out) override;
  bool NumbersBetween(int attr, double low, double high, size_t limit, DocSet& out) override;
  void SpansAcross(int attr, double low, double high, DocSet& out) override;
  void StringsEqual(int attr, std::string_view indexed, DocSet& out) override;
  bool StringsWithPrefix(int attr, std::string_view prefix, size_t limit, DocSet& out, bool& cut) override;
  bool StringsBeyond(int attr, std::string_view key, bool atLeast, size_t limit, DocSet& out) override;
  bool DistinctStrings(int attr, size_t limit, std::vector<std::string>& out) override;
  bool HoldsStrings(int attr) override;
  void DocumentsWith(int attr, DocSet& out) override;
  bool Substrings(const std::vector<int>& attrs, const std::vector<std::string>& runs, bool stripped, size_t limit, DocSet& out,
                  bool& complete) override;
  size_t ApproximateDocuments() override;
  bool SubstringsWithin(const std::vector<int>& attrs, const std::vector<std::string>& runs, bool stripped, size_t limit,
                        const DocSet& within, DocSet& out, bool& complete) override;
  bool CasedSubstrings(const std::vector<int>& attrs, const std::vector<std::string>& runs, size_t limit, DocSet& out,
                       bool& complete) override;
  bool CasedSubstringsWithin(const std::vector<int>& attrs, const std::vector<std::string>& runs, size_t limit, const DocSet& within,
                             DocSet& out, bool& complete) override;
  bool WordsWithPrefix(int attr, std::string_view prefix, size_t limit,
                       const std::function<void(std::string_view word, std::int64_t doc)>& visit) override;
  std::shared_ptr<const PackedFingerprints> Fingerprints(FingerprintKind kind) override;
  std::optional<std::string> MoleculeData(std::int64_t molecule) override;
  bool SubstructureCandidates(const std::string& pattern, bool chiral, const std::vector<std::uint64_t>& screen, const DocSet* within,
                              size_t firstPiece, const CandidatePieces& take) override;
  std::optional<std::vector<MoleculeCandidate>> SimilarCandidates(const std::string& bits, double threshold,
                                                                  const DocSet* within) override;

 private:
  PostgresIndex() = default;
  struct Fetched {
    std::string path;
    std::optional<std::string> record;
  };
  std::optional<Fetched> TakeFetched(std::int64_t doc, bool record);

  std::unique_ptr<Connection> db_;
  bool reading_ = false;
  std::string cartridge_;  // the schema of the RDKit cartridge, quoted
  bool screens_ = false;   // the index keeps our substructure screens (format 4 on)
  bool casedTexts_ = false;  // the index keeps texts with case (format 5 on)
  // The documents whose texts of `attrs` hold every run of `folded` (case-folded)
  // and of `cased` (composed, with case): Substrings and CasedSubstrings.
  bool TextLookUp(const std::vector<int>& attrs, const std::vector<std::string>& folded, const std::vector<std::string>& cased,
                  bool stripped, size_t limit, DocSet& out, bool& complete);
  // Among the documents of `within`: those whose texts of `attrs` hold every
  // run in one of `columns` (expressions of the text row t).
  void TextsWithin(const std::vector<int>& attrs, const std::vector<std::string>& runs, const std::vector<std::string>& columns,
                   const DocSet& within, DocSet& out);
  void ScreenedCandidates(const std::vector<std::uint64_t>& screen, const DocSet* within, size_t firstPiece, const CandidatePieces& take);
  std::string PieceStatement(const std::string& columns, const std::string& screened, const std::string& from, const std::string& limit) const;
  std::vector<MoleculeCandidate> CartridgeCandidates(const std::string& pattern, bool chiral, const DocSet* within);
  // Whether the cartridge's RDKit is of our release, so that what it finds
  // holds every match our own check makes; asked at a connection's first
  // structure search (it loads the cartridge into the server's session,
  // which a search of names and numbers need not wait for), or as its first
  // search begins where the server has loaded the cartridge at its start.
  bool CartridgeNarrows();
  std::optional<bool> cartridgeAgrees_;
  // Whether it has the function that tells its release, and whether the
  // server has it loaded, as the session began.
  std::optional<ReleaseCall> releaseCall_;
  // Read ahead by WillRead, each taken once: never older than the read
  // transaction it was fetched in, or the next read of it.
  std::unordered_map<std::int64_t, Fetched> fetched_;
  // Asked as the read transaction begins, and true for all of it: the
  // attributes that hold strings, and the documents as the statistics count them.
  std::unordered_set<int> heldStrings_;
  std::optional<size_t> documents_;
  // Substring probes that stopped at their limit, by what they look up: the
  // cursor of the read transaction that holds the rest, and what it gave.
  struct OpenProbe {
    std::string cursor;
    DocSet docs;
  };
  std::unordered_map<std::string, OpenProbe> openProbes_;
  int probeCursors_ = 0;
  bool Probe(const std::string& key, const std::string& select, size_t limit, DocSet& out, bool& complete);
  bool ContinueProbe(const std::string& key, DocSet& out);
};

}  // namespace metadata::postgres
