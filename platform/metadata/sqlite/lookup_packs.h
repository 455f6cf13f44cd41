// The SQLite engine's look-up packs: the documents of each frequent value, and
// of each bucket of a number attribute's values, as compressed bitmaps
// (CRoaring), derived from the look-up rows, so that a common term costs a few
// bitmap reads instead of a row read per document.
//
//   lookup_packs     one row while the packs below match the look-up rows but
//                    for the documents listed in packed_changes; none: readers read rows
//   number_buckets   (attr, low, high, docs): the documents with a value of the
//                    attribute in [low, high], the lowest and highest value of the
//                    bucket; an attribute's buckets hold disjoint runs of its values
//   value_bitmaps    (kind, attr, value, docs): the documents of one value of
//                    string_values (kind 0) or one word of string_words (kind 1)
//                    that has at least PackLimits::frequentValueRows rows
//   value_texts      (attr, part, texts, docs): the values of an attribute the
//                    panel searches by fragments, with case or without
//                    (IsSearchedByFragment, IsSearchedByTextFragment), whole
//                    and composed as the cased trigrams keep them, in document
//                    order, a part holding about PackLimits::textPartBytes: the
//                    values one after another, each ended by a zero byte (one
//                    inside a value kept as a line break), and the document of
//                    each as a 32-bit little-endian number. A common fragment
//                    is in many values, and scanning them costs less than
//                    reading its trigrams' positions; part 0 alone, empty,
//                    for an attribute without values. Made alone, like the
//                    ranks, for an attribute of an index packed before it had texts
//   packed_changes   (doc): the documents put or removed since packing; readers
//                    take them out of every bitmap and judge them by their records
//   path_ranks       (chunk, ranks): each document's place in path order when it
//                    was ranked, as 32-bit little-endian numbers, one for each of
//                    kRankChunk document numbers from chunk * kRankChunk
//                    (kUnranked: no document). A document keeps its path and
//                    numbers are never used again, so the ranks of the documents
//                    still there stay in path order whatever changes: they are
//                    kept when the packs are dropped, made again with them, and
//                    made alone for an index packed before there were ranks
//
// A writer packs when it closes, where there are no packs (a new index, one from
// before packs, or packs dropped), and when it settles (a watcher, once idle),
// also where half of the changes it may list are listed. While packs are there, it lists each document
// it changes in the same transaction, and drops the packs when more than
// PackLimits::changesKept are listed. The tables are added where missing,
// without a new format version: an older program has no use for them. Bitmaps
// hold 32-bit numbers, so an index with higher document numbers is not packed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/metadata/sqlite/sqlite_util.h"
#include "platform/metadata/store.h"

namespace metadata::sqlite {

void AddLookupPackTables(sqlite3* db);  // where missing
constexpr std::int64_t kRankChunk = 1 << 16;

enum class PackedKind { StringValue = 0, Word = 1 };
// How a scan compares a run with the values: as they are (composed, NFC),
// case-folded (FoldedForm), or also without diacritics (IndexForm).
enum class ScanForm { Cased, Folded, Stripped };

// The writer's side.
class LookupPackWriter {
 public:
  LookupPackWriter(sqlite3* db, const PackLimits& limits);
  void Began();                     // in the writer's transaction, before any change
  void Changed(std::int64_t doc);   // a document put or removed, in the same transaction
  // Packs the look-up rows when there are no packs; outside a transaction.
  void WritePacks();
  // Packs them again also when more than half of PackLimits::changesKept
  // documents are listed, before readers lose the packs; outside a transaction.
  void Settle();

 private:
  void Drop();
  void Pack();

  sqlite3* db_;
  PackLimits limits_;
  bool packed_ = false;
  size_t changes_ = 0;
  Statement listChange_;
};

// The reader's side. Each look-up adds what the rows would add and returns
// true, or returns false when the packs cannot answer it (none, no read
// transaction, or a value not packed): then the caller reads the rows.
class LookupPackReader {
 public:
  LookupPackReader(sqlite3* db, std::function<bool(int attr)> storedOnly);
  ~LookupPackReader();
  bool NumbersBetween(int attr, double low, double high, DocSet& out);
  // `added`: how many documents it added.
  bool ValueDocuments(PackedKind kind, int attr, std::string_view value, DocSet& out, size_t& added);
  // The same into a bitmap (Index::PackedNumbersBetween, PackedStringsEqual):
  // false, adding nothing, also when a document's number does not fit one.
  bool NumbersBetween(int attr, double low, double high, Roaring& out);
  bool ValueDocuments(PackedKind kind, int attr, std::string_view value, Roaring& out);
  // Every document with a value of `attr` that holds `run` (composed, NFC; no
  // line break), from the attribute's packed values; false when they are not
  // packed. `run` is in `form`, and so is each value compared with it. With
  // a `judge`, only those of the values holding it that the judge accepts.
  bool ScanTexts(int attr, std::string_view run, ScanForm form, const Index::ValueJudge* judge, DocSet& out);
  // About the bytes of `attr`'s packed values, which a scan reads, and how
  // many they are, and the highest document among them; none when they are not packed.
  std::optional<Index::ScanSize> TextSize(int attr);
  // Index::PathRanks.
  bool PathRanks(const DocSet& docs, std::vector<std::uint32_t>& ranks);

 private:
  struct Bucket {
    double low, high;
    std::int64_t id;
  };
  struct Snapshot;
  Snapshot* View();
  bool Current();
  const std::vector<std::uint32_t>& RankChunk(std::int64_t chunk);
  bool TextsReadable();
  const std::vector<Bucket>& BucketsOf(int attr);
  std::optional<Value> ChangedValue(size_t changed, int attr);
  bool BucketDocuments(int attr, double low, double high, Roaring& docs, DocSet& beyond, bool rowsWithoutBucket);
  std::optional<Roaring> UnchangedValueDocuments(PackedKind kind, int attr, std::string_view value);
  void ChangedHolding(PackedKind kind, int attr, std::string_view value, DocSet& out);

  sqlite3* db_;
  std::function<bool(int)> storedOnly_;
  std::unique_ptr<Snapshot> snapshot_;
  Statement version_, marker_, changes_, record_, buckets_, bucketDocs_, valueDocs_, below_, above_, between_, anyRanks_, ranks_, texts_, firstText_, lastText_;
  bool hasTables_ = false, hasRanks_ = false, hasTexts_ = false;
};

}  // namespace metadata::sqlite
