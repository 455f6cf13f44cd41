#include "platform/metadata/planner.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>

#include <roaring/roaring.hh>

#include "platform/metadata/document_match.h"

namespace metadata {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

PlannerLimits& Limits() {
  static PlannerLimits limits;
  return limits;
}

// The pattern's literal runs in the form of one substring table.
std::vector<std::string> RunsIn(const StringPattern& pattern, bool stripped) {
  std::vector<std::string> runs;
  for (const std::string& run : pattern.LiteralRuns()) runs.push_back(stripped ? IndexForm(run) : FoldedForm(run));
  return runs;
}

bool IsPath(const Node& leaf) { return leaf.attribute == kPathAttribute; }

// Whether a distinct value, as the index keeps it (composed), may match the
// pattern otherwise than the document's own value does.
bool Unjudged(const StringPattern& pattern, std::string_view kept) {
  return pattern.options().ignoreCase && FoldingMayDependOnForm(kept);
}

bool OnlyStarsAfter(const std::u32string& pattern, size_t literalLength) {
  return literalLength < pattern.size() &&
         std::all_of(pattern.begin() + std::ptrdiff_t(literalLength), pattern.end(), [](char32_t c) { return c == kAnyRun; });
}

}  // namespace

void SetPlannerLimits(const PlannerLimits& limits) { Limits() = limits; }
PlannerLimits CurrentPlannerLimits() { return Limits(); }

// Large look-ups give many numbers, often of a dense range: marked in a
// bitmap and read back in order they are sorted in linear time.
void SortUnique(DocSet& docs) {
  // One look-up of a packed value gives its documents in order already.
  if (std::adjacent_find(docs.begin(), docs.end(), std::greater_equal<>()) == docs.end()) return;
  constexpr size_t kSortBelow = 4096;
  if (docs.size() >= kSortBelow) {
    const auto [lowest, highest] = std::minmax_element(docs.begin(), docs.end());
    const std::int64_t low = *lowest;
    const auto span = std::uint64_t(*highest - low) + 1;
    if (span / 64 <= docs.size() * 4) {
      std::vector<std::uint64_t> bits(size_t(span / 64 + 1));
      for (std::int64_t doc : docs) {
        const auto offset = std::uint64_t(doc - low);
        bits[size_t(offset / 64)] |= std::uint64_t(1) << (offset % 64);
      }
      docs.clear();
      for (size_t word = 0; word < bits.size(); ++word)
        for (std::uint64_t rest = bits[word]; rest; rest &= rest - 1)
          docs.push_back(low + std::int64_t(word * 64 + size_t(std::countr_zero(rest))));
      return;
    }
  }
  std::sort(docs.begin(), docs.end());
  docs.erase(std::unique(docs.begin(), docs.end()), docs.end());
}

Planner::Planner(Index& index, const PlannerLimits& limits) : index_(index), limits_(limits) {}

const StringPattern& Planner::PatternOf(const Node& leaf) {
  auto [it, inserted] = patterns_.try_emplace(&leaf.value, leaf.value.pattern, leaf.value.options);
  return it->second;
}

std::vector<int> Planner::AttributesOf(const Node& leaf) const {
  std::vector<int> ids;
  if (leaf.attribute == "*") {
    for (const auto& [name, id] : index_.attributeIds())
      if (!IsStoredOnly(name)) ids.push_back(id);
  } else if (int id = index_.AttributeId(leaf.attribute); id >= 0 && !IsStoredOnly(leaf.attribute)) {
    ids.push_back(id);
  }
  return ids;
}

Candidates Planner::For(const Node& leaf, size_t limit, const DocSet* within) {
  Candidates out;
  const bool anyValue = leaf.kind == Node::Kind::Compare && leaf.op == CompareOp::Equal &&
                        leaf.value.kind == Literal::Kind::String && PatternOf(leaf).MatchesAnyValue();
  if (IsPath(leaf) || anyValue) {
    if (limit) {  // both read a whole table: never a small probe
      out.complete = false;
      return out;
    }
  }
  const std::vector<int> attrs = AttributesOf(leaf);
  if (IsPath(leaf)) {
    Paths(leaf, out);
  } else if (leaf.kind == Node::Kind::InRange) {
    const auto range = RangeBounds(leaf);
    if (range.first <= range.second)
      for (int attr : attrs) out.complete &= index_.NumbersBetween(attr, range.first, range.second, limit, out.docs);
  } else if (anyValue) {
    for (int attr : attrs) index_.DocumentsWith(attr, out.docs);
    out.exact = leaf.attribute != "*";  // "*" means string attributes only, and the tables hold every kind
  } else {
    if (leaf.attribute != "*")
      if (auto interval = NumericInterval(leaf.op, leaf.value))
        for (int attr : attrs) out.complete &= index_.NumbersBetween(attr, interval->first, interval->second, limit, out.docs);
    if (leaf.value.kind != Literal::Kind::Time) {
      if (leaf.op == CompareOp::Equal)
        StringEqual(attrs, leaf, out, limit, within);
      else
        StringOrder(attrs, leaf, out, limit);
    }
  }
  SortUnique(out.docs);
  return out;
}

// Follows For: the numbers' look-ups from their packed buckets; of the
// strings', those of an attribute with few values, by their packed values, and
// none for attributes that hold no strings. Anything else is left to For.
bool Planner::PackedExactly(const Node& leaf, Roaring& out) {
  if (IsPath(leaf) || leaf.attribute == "*") return false;
  const std::vector<int> attrs = AttributesOf(leaf);
  Roaring found;
  if (leaf.kind == Node::Kind::InRange) {
    const auto range = RangeBounds(leaf);
    if (range.first <= range.second && !PackedNumbers(attrs, range.first, range.second, found)) return false;
    out |= found;
    return true;
  }
  if (leaf.kind != Node::Kind::Compare || leaf.op == CompareOp::NotEqual) return false;
  const bool equal = leaf.op == CompareOp::Equal;
  if (equal && leaf.value.kind == Literal::Kind::String && PatternOf(leaf).MatchesAnyValue()) return false;
  if (auto interval = NumericInterval(leaf.op, leaf.value))
    if (!PackedNumbers(attrs, interval->first, interval->second, found)) return false;
  if (leaf.value.kind != Literal::Kind::Time && AnyStrings(attrs)) {
    if (!equal) return false;  // strings ordered as text are checked one by one
    const StringPattern& pattern = PatternOf(leaf);
    const MatchOptions& options = pattern.options();
    const bool plain = !options.ignoreCase && !options.ignoreDiacritics && !options.words;
    if (plain && !pattern.LiteralPrefix().empty()) return false;
    if (!PackedDistinct(attrs, pattern, found)) return false;
  }
  out |= found;
  return true;
}

bool Planner::PackedNumbers(const std::vector<int>& attrs, double low, double high, Roaring& out) {
  for (int attr : attrs)
    if (!index_.PackedNumbersBetween(attr, low, high, out)) return false;
  return true;
}

// An attribute's few values, read once a search; none when it has more.
bool Planner::FewValues(int attr, std::vector<std::string>& values) {
  auto [it, inserted] = fewValues_.try_emplace(attr);
  if (inserted) {
    std::vector<std::string> read;
    if (index_.DistinctStrings(attr, limits_.fewDistinctValues, read)) it->second = std::move(read);
  }
  if (!it->second) return false;
  values = *it->second;
  return true;
}

bool Planner::AnyStrings(const std::vector<int>& attrs) {
  return std::any_of(attrs.begin(), attrs.end(), [&](int attr) { return index_.HoldsStrings(attr); });
}

// Distinct with every matching value's documents packed, and none cut short.
bool Planner::PackedDistinct(const std::vector<int>& attrs, const StringPattern& pattern, Roaring& out) {
  for (int attr : attrs) {
    std::vector<std::string> values;
    if (!FewValues(attr, values)) return false;
    for (const std::string& value : values) {
      if (value.size() >= kIndexedStringBytes || Unjudged(pattern, value)) return false;
      if (pattern.Matches(value) && !index_.PackedStringsEqual(attr, value, out)) return false;
    }
  }
  return true;
}

void Planner::StringEqual(const std::vector<int>& attrs, const Node& leaf, Candidates& out, size_t limit, const DocSet* within) {
  const StringPattern& pattern = PatternOf(leaf);
  const MatchOptions& options = pattern.options();
  const bool plain = !options.ignoreCase && !options.ignoreDiacritics && !options.words;
  if (plain && !pattern.LiteralPrefix().empty()) return ExactOrPrefix(attrs, leaf, out, limit);
  if (Distinct(attrs, pattern, out, /*anyCount=*/false)) return;
  if (options.words && Words(attrs, pattern, out, limit)) return;
  if (plain && pattern.IsSuffixPattern() && index_.CasedSuffixes(attrs, ComposedForm(pattern.LiteralRuns().front()), limit, out.docs, out.complete))
    return;  // exact: the index marks where values end
  if (plain && CasedTrigrams(attrs, pattern, out, limit, within)) return;
  if (Trigrams(attrs, pattern, out, limit, within)) return;
  // Too short to narrow by substrings, or not kept for them: match each distinct value once.
  Distinct(attrs, pattern, out, /*anyCount=*/true);
}

// Case- and accent-exact: the exact value, or a range of values by prefix.
void Planner::ExactOrPrefix(const std::vector<int>& attrs, const Node& leaf, Candidates& out, size_t limit) {
  const StringPattern& pattern = PatternOf(leaf);
  const std::string prefix = pattern.LiteralPrefix();
  const bool wholeValue = !pattern.HasWildcard();
  const std::string key = IndexedString(prefix);
  const bool cut = key.size() >= kIndexedStringBytes;  // a stored value this long may be cut short
  bool sawCut = false;
  for (int attr : attrs) {
    if (wholeValue && !cut)
      index_.StringsEqual(attr, key, out.docs);
    else
      out.complete &= index_.StringsWithPrefix(attr, key, limit, out.docs, sawCut);
  }
  const size_t literalLength = NormalizeText(prefix, false, false).size();
  out.exact = out.exact && !cut && !sawCut && (wholeValue || OnlyStarsAfter(leaf.value.pattern, literalLength));
}

// Matches each distinct value of the attributes once and collects the
// documents of those that match: exact, and cheap where an attribute takes few
// values (nuclei, solvents). Unless `anyCount`, gives up (false) when an
// attribute has too many values for that.
bool Planner::Distinct(const std::vector<int>& attrs, const StringPattern& pattern, Candidates& out, bool anyCount) {
  std::vector<std::pair<int, std::string>> matching;
  bool cut = false;
  for (int attr : attrs) {
    std::vector<std::string> values;
    if (!anyCount && !FewValues(attr, values)) return false;
    if (anyCount) index_.DistinctStrings(attr, 0, values);
    const size_t before = matching.size();
    for (std::string& value : values) {
      // A value cut short cannot be judged here: its documents are checked whole.
      const bool unjudged = value.size() >= kIndexedStringBytes || Unjudged(pattern, value);
      cut = cut || unjudged;
      if (unjudged || pattern.Matches(value)) matching.emplace_back(attr, std::move(value));
    }
    if (!anyCount && attrs.size() == 1 && ScanBeforeValues(attrs, pattern, matching.size() - before, values.size())) return false;
  }
  for (const auto& [attr, value] : matching) index_.StringsEqual(attr, value, out.docs);
  if (cut) out.exact = false;
  return true;
}

// A pattern "*text*" matched without case (and diacritics, with d) is answered
// exactly: a substring look-up is a substring test. Without case alone, a
// whole look-up may be made as a scan of the values (LookUpOrScan), which
// judges each value holding the runs by the whole pattern where they alone
// would not decide: then it answers any pattern exactly.
bool Planner::Trigrams(const std::vector<int>& attrs, const StringPattern& pattern, Candidates& out, size_t limit,
                       const DocSet* within) {
  const MatchOptions& options = pattern.options();
  const std::vector<std::string> runs = RunsIn(pattern, options.ignoreDiacritics);
  const bool exact = options.ignoreCase && !options.words && pattern.IsSubstringPattern() &&
                     NormalizeText(pattern.LiteralRuns().front(), false, false).size() >= 3;
  const Index::ValueJudge judge = [&pattern](std::string_view value) { return pattern.Matches(value); };
  const Index::ValueJudge* judging = exact ? nullptr : &judge;
  bool looked = false, judged = false;
  if (!within && !options.ignoreDiacritics) {
    looked = LookUpOrScan(attrs, runs, pattern, /*folded=*/true, limit, judging, out, judged);
  } else {
    looked = within ? index_.SubstringsWithin(attrs, runs, options.ignoreDiacritics, limit, *within, out.docs, out.complete)
                    : index_.Substrings(attrs, runs, options.ignoreDiacritics, limit, out.docs, out.complete);
    if (!looked)
      looked = ScanInstead(limit, out, [&] {
        const bool scanned = index_.ScanFoldedSubstrings(attrs, runs, options.ignoreDiacritics, judging, out.docs);
        judged = scanned && judging;
        return scanned;
      });
  }
  if (!looked) return false;
  out.exact = out.exact && (exact || judged);
  return true;
}

// Case- and accent-exact "*text*" is a substring look-up in the trigrams kept
// with case (among the documents of `within`, where the engine looks there);
// other patterns are narrowed by their runs and checked, or judged whole by a scan.
bool Planner::CasedTrigrams(const std::vector<int>& attrs, const StringPattern& pattern, Candidates& out, size_t limit,
                            const DocSet* within) {
  std::vector<std::string> runs;
  for (const std::string& run : pattern.LiteralRuns()) runs.push_back(ComposedForm(run));
  const bool exact = pattern.IsSubstringPattern() && NormalizeText(pattern.LiteralRuns().front(), false, false).size() >= 3;
  if (within && index_.CasedSubstringsWithin(attrs, runs, limit, *within, out.docs, out.complete)) {
    out.exact = out.exact && exact;
    return true;
  }
  const Index::ValueJudge judge = [&pattern](std::string_view value) { return pattern.Matches(value); };
  bool judged = false;
  if (!LookUpOrScan(attrs, runs, pattern, /*folded=*/false, limit, exact ? nullptr : &judge, out, judged)) return false;
  out.exact = out.exact && (exact || judged);
  return true;
}

// A substring look-up of `runs`, in case-folded form or with case (`folded`).
// A whole one that is large is made as a scan of the values where the index
// keeps them together: the same answer, without a read of every position of
// the common run's trigrams. A look-up is large when a probe of
// casedScanAbove rows stops short, and the documents it reached tell that the
// whole would find more rows than the values' bytes over scannedBytesPerRow.
// A scan asks `judge` (when given) of each value it finds, and then tells
// that it `judged` them.
bool Planner::LookUpOrScan(const std::vector<int>& attrs, const std::vector<std::string>& runs, const StringPattern& pattern,
                           bool folded, size_t limit, const Index::ValueJudge* judge, Candidates& out, bool& judged) {
  auto lookUp = [&](size_t rows, bool& complete) {
    return folded ? index_.Substrings(attrs, runs, /*stripped=*/false, rows, out.docs, complete)
                  : index_.CasedSubstrings(attrs, runs, rows, out.docs, complete);
  };
  const size_t before = out.docs.size();
  // The rows a look-up stopped at `rows` would find whole, about.
  auto estimate = [&](size_t rows) -> size_t {
    const std::optional<Index::ScanSize> size = attrs.size() == 1 ? index_.ScannedSize(attrs) : std::nullopt;
    // One attribute's rows come in document order; several, each in its own.
    if (!size || out.docs.size() <= before || out.docs.back() < 0 || out.docs.back() >= size->lastDocument) return SIZE_MAX;
    const double share = double(out.docs.back() + 1) / double(size->lastDocument + 1);
    return size_t(double(rows) / share);
  };
  auto scan = [&] {
    const bool scanned = folded ? index_.ScanFoldedSubstrings(attrs, runs, /*stripped=*/false, judge, out.docs)
                                : index_.ScanCasedSubstrings(attrs, runs, judge, out.docs);
    judged = scanned && judge;
    return scanned;
  };
  // No probe where the index keeps the values for no scan.
  if (!limit && limits_.casedScanAbove && index_.ScannedSize(attrs)) {
    auto known = largeLookUps_.find(&pattern);  // a probe that stopped at as many rows
    if (known == largeLookUps_.end()) {
      bool few = true;
      // Values the index keeps no such rows of (SMILES and formulae without
      // case) are scanned where they are packed, else matched one by one.
      if (!lookUp(limits_.casedScanAbove, few)) {
        out.docs.resize(before);
        return scan();
      }
      if (few) return true;
      known = largeLookUps_.emplace(&pattern, estimate(limits_.casedScanAbove)).first;
      out.docs.resize(before);
    }
    if (ScanPays(attrs, known->second) && scan()) return true;
  }
  bool complete = true;
  if (!lookUp(limit, complete)) return ScanInstead(limit, out, scan);
  if (!complete && limit >= limits_.casedScanAbove && limits_.casedScanAbove) largeLookUps_.emplace(&pattern, estimate(limit));
  out.complete = out.complete && complete;
  return true;
}

// For a substring look-up the index cannot make (values it keeps no such
// rows of, a run too short): a scan of the values where they are packed. A
// probe is not made a scan, which reads every value: it stops short, and the
// comparison is checked later on the documents the others leave.
bool Planner::ScanInstead(size_t limit, Candidates& out, const std::function<bool()>& scan) {
  if (!limit) return scan();
  out.complete = false;
  return true;
}

// Whether a substring pattern that a scan answers exactly is better left to
// it (StringEqual) than matched value by value: the `matching` values of
// `distinct` stand for about as many documents each as any other, and
// reading those costs about a look-up row each.
bool Planner::ScanBeforeValues(const std::vector<int>& attrs, const StringPattern& pattern, size_t matching, size_t distinct) {
  const MatchOptions& options = pattern.options();
  if (!limits_.casedScanAbove || matching == 0 || options.ignoreDiacritics || options.words || !pattern.IsSubstringPattern()) return false;
  if (NormalizeText(pattern.LiteralRuns().front(), false, false).size() < 3) return false;
  const std::optional<Index::ScanSize> size = index_.ScannedSize(attrs);
  if (!size || distinct == 0) return false;
  const size_t rows = size->values / distinct * matching;
  return rows > limits_.casedScanAbove && ScanPays(attrs, rows);
}

// Whether scanning the attributes' packed values costs less than a look-up
// finding about `rows` rows.
bool Planner::ScanPays(const std::vector<int>& attrs, size_t rows) {
  if (rows == SIZE_MAX || !limits_.scannedBytesPerRow) return true;
  const std::optional<Index::ScanSize> size = index_.ScannedSize(attrs);
  return !size || rows >= size->bytes / limits_.scannedBytesPerRow;
}

// A pattern matched by words without case (c, w, not d) that starts with
// text: the words that start with it, each tested against the pattern, answer
// it exactly. Words kept cut short leave their documents to be checked.
bool Planner::Words(const std::vector<int>& attrs, const StringPattern& pattern, Candidates& out, size_t limit) {
  const MatchOptions& options = pattern.options();
  if (!options.ignoreCase || options.ignoreDiacritics) return false;
  if (!std::all_of(attrs.begin(), attrs.end(), [&](int attr) { return index_.KeepsWordsOf(attr); })) return false;
  const std::string prefix = FoldedForm(pattern.LiteralPrefix());
  if (prefix.empty() || prefix.size() >= kIndexedWordBytes) return false;
  for (int attr : attrs) {
    out.complete &= index_.DocumentsOfWords(attr, prefix, limit, [&](std::string_view word) {
      const bool cut = word.size() >= kIndexedWordBytes;
      if (cut) out.exact = false;
      return cut || pattern.MatchesFoldedWord(word);
    }, out.docs);
  }
  return true;
}

// The tables keep values cut short, and cutting keeps order only loosely
// (a <= b gives cut(a) <= cut(b)): compare with the literal cut the same way,
// bounds included, and check what is found.
void Planner::StringOrder(const std::vector<int>& attrs, const Node& leaf, Candidates& out, size_t limit) {
  const std::string key = IndexedString(LiteralText(leaf.value));
  const bool atLeast = leaf.op == CompareOp::Greater || leaf.op == CompareOp::GreaterEqual;
  for (int attr : attrs) out.complete &= index_.StringsBeyond(attr, key, atLeast, limit, out.docs);
  out.exact = false;
}

void Planner::Paths(const Node& leaf, Candidates& out) {
  const StringPattern& pattern = PatternOf(leaf);
  index_.ForEachPath([&](std::int64_t doc, std::string_view path) {
    if (ValueSatisfies(Value(std::string(path)), leaf, pattern)) out.docs.push_back(doc);
  });
}

std::map<int, NumberBounds> Planner::GroupBounds(const Node& node) {
  struct Group {
    NumberBounds bounds{{}, -kInfinity, kInfinity};
    bool hasLow = false, hasHigh = false;
  };
  std::map<int, Group> groups;
  for (const auto& child : node.children) {
    const Node& leaf = *child;
    if (leaf.kind != Node::Kind::Compare || leaf.op == CompareOp::Equal || leaf.op == CompareOp::NotEqual) continue;
    if (leaf.value.kind == Literal::Kind::String || leaf.attribute == "*" || IsPath(leaf)) continue;
    const int attr = index_.AttributeId(leaf.attribute);
    const auto interval = NumericInterval(leaf.op, leaf.value);
    // Strings are ordered as text, which the number tables cannot answer.
    if (attr < 0 || !interval || index_.HoldsStrings(attr)) continue;
    Group& group = groups[attr];
    group.bounds.leaves.push_back(&leaf);
    if (interval->first > -kInfinity) {
      group.bounds.low = std::max(group.bounds.low, interval->first);
      group.hasLow = true;
    }
    if (interval->second < kInfinity) {
      group.bounds.high = std::min(group.bounds.high, interval->second);
      group.hasHigh = true;
    }
  }
  std::map<int, NumberBounds> both;
  for (auto& [attr, group] : groups)
    if (group.hasLow && group.hasHigh) both.emplace(attr, std::move(group.bounds));
  return both;
}

// "Some element above a" and "some element below b" hold together for a
// document with an element in [a, b], or with several numbers whose highest is
// above a and lowest below b: two small look-ups instead of two halves of the index.
DocSet Planner::Bounded(int attr, const NumberBounds& bounds) {
  DocSet docs;
  if (bounds.low <= bounds.high) index_.NumbersBetween(attr, bounds.low, bounds.high, 0, docs);
  index_.SpansAcross(attr, bounds.low, bounds.high, docs);
  SortUnique(docs);
  return docs;
}

}  // namespace metadata
