// How the evaluator finds candidates for one comparison: which of the index's
// look-ups to ask, and whether what they give is the exact answer or must be
// checked against each document's values (document_match.h).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <unordered_map>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/metadata/ast.h"
#include "platform/metadata/store.h"

namespace metadata {

// Where the evaluator switches between ways of finding candidates. Answers
// never depend on them, only speed does; tests vary them to reach every way.
struct PlannerLimits {
  size_t checkEachBelow = 3000;    // fewer documents than this: check each rather than ask a table
  size_t probeLimit = 4000;        // rows a probe reads before it calls a comparison large
  size_t fewDistinctValues = 200;  // an attribute with at most this many strings is matched value by value
  size_t walkFactor = 16;          // results sparser than one document in this many are ordered by path ranks, not a walk of the paths
  // A substring look-up is asked among the candidates only when they are fewer
  // than this and each stands for this many of the index's documents: the
  // whole look-up reads a row a match, the narrowed one a few pages a candidate.
  size_t substringsAmongBelow = 50000;
  size_t documentsPerSubstringCandidate = 300;
  // A whole substring look-up, with case or without, that finds more rows
  // than this may be asked again as a scan of the values, where the index
  // keeps them for one (0: never): a common run's trigrams cost a read of each
  // position. It is when the rows it would find, told from the documents those
  // rows reached, are more than the values' bytes over scannedBytesPerRow
  // (0: always): a scan reads every byte, the look-up a few trigrams a row.
  size_t casedScanAbove = 1000;
  size_t scannedBytesPerRow = 1000;
};
void SetPlannerLimits(const PlannerLimits& limits);  // for evaluators made from now on
PlannerLimits CurrentPlannerLimits();

struct Candidates {
  DocSet docs;           // sorted, unique
  bool exact = true;     // every candidate satisfies the comparison
  bool complete = true;  // false when a look-up stopped at its limit
};

// Ordered comparisons of one number attribute joined by &&, as the panel's
// mass bounds are, merged into one interval.
struct NumberBounds {
  std::vector<const Node*> leaves;
  double low = 0, high = 0;
};

class Planner {
 public:
  Planner(Index& index, const PlannerLimits& limits);

  // Candidates for a comparison (never !=) or a range; `limit` bounds each
  // look-up (0: no bound). Only those among `within` are wanted, when given:
  // others may come too.
  Candidates For(const Node& leaf, size_t limit, const DocSet* within = nullptr);
  // Exactly the documents For finds for a comparison (never !=) or a range,
  // added to `out`, where the index keeps every look-up that needs packed as
  // bitmaps; false, adding nothing, otherwise.
  bool PackedExactly(const Node& leaf, Roaring& out);
  // The comparisons among `node`'s children that merge into bounds, by attribute.
  std::map<int, NumberBounds> GroupBounds(const Node& node);
  // Exactly the documents that satisfy every comparison of the bounds.
  DocSet Bounded(int attr, const NumberBounds& bounds);
  const StringPattern& PatternOf(const Node& leaf);

 private:
  std::vector<int> AttributesOf(const Node& leaf) const;
  void StringEqual(const std::vector<int>& attrs, const Node& leaf, Candidates& out, size_t limit, const DocSet* within);
  void ExactOrPrefix(const std::vector<int>& attrs, const Node& leaf, Candidates& out, size_t limit);
  bool Distinct(const std::vector<int>& attrs, const StringPattern& pattern, Candidates& out, bool anyCount);
  bool Trigrams(const std::vector<int>& attrs, const StringPattern& pattern, Candidates& out, size_t limit, const DocSet* within);
  bool CasedTrigrams(const std::vector<int>& attrs, const StringPattern& pattern, Candidates& out, size_t limit, const DocSet* within);
  bool LookUpOrScan(const std::vector<int>& attrs, const std::vector<std::string>& runs, const StringPattern& pattern, bool folded,
                    size_t limit, const Index::ValueJudge* judge, Candidates& out, bool& judged);
  bool ScanInstead(size_t limit, Candidates& out, const std::function<bool()>& scan);
  bool ScanPays(const std::vector<int>& attrs, size_t rows);
  bool ScanBeforeValues(const std::vector<int>& attrs, const StringPattern& pattern, size_t matching, size_t distinct);
  bool Words(const std::vector<int>& attrs, const StringPattern& pattern, Candidates& out, size_t limit);
  void StringOrder(const std::vector<int>& attrs, const Node& leaf, Candidates& out, size_t limit);
  void Paths(const Node& leaf, Candidates& out);
  bool PackedNumbers(const std::vector<int>& attrs, double low, double high, Roaring& out);
  bool PackedDistinct(const std::vector<int>& attrs, const StringPattern& pattern, Roaring& out);
  bool AnyStrings(const std::vector<int>& attrs);
  bool FewValues(int attr, std::vector<std::string>& values);

  Index& index_;
  const PlannerLimits limits_;
  std::unordered_map<const Literal*, StringPattern> patterns_;
  std::unordered_map<int, std::optional<std::vector<std::string>>> fewValues_;  // none: more than fewDistinctValues
  std::unordered_map<const StringPattern*, size_t> largeLookUps_;  // substring look-ups a probe found large: the rows they would find, about
};

void SortUnique(DocSet& docs);

}  // namespace metadata
