#include "platform/metadata/evaluator.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <map>
#include <set>

#include "platform/metadata/document_match.h"
#include "platform/metadata/encoding.h"

namespace metadata {

namespace {

PlannerLimits& Limits() {
  static PlannerLimits limits;
  return limits;
}
constexpr double kInfinity = std::numeric_limits<double>::infinity();

void SortUnique(DocSet& docs) {
  std::sort(docs.begin(), docs.end());
  docs.erase(std::unique(docs.begin(), docs.end()), docs.end());
}

bool IsStringValue(const Value& value) {
  return std::holds_alternative<std::string>(value) || std::holds_alternative<StringArray>(value);
}

// An FTS5 query asking for every literal run of 3 or more characters as a
// phrase, that is as a substring; empty when no run is long enough.
std::string PhraseQuery(const std::vector<std::string>& runs) {
  std::string query;
  for (const std::string& run : runs) {
    if (NormalizeText(run, false, false).size() < 3) continue;
    if (!query.empty()) query += " AND ";
    query += '"';
    for (char c : run) {
      if (c == '"') query += '"';
      query += c;
    }
    query += '"';
  }
  return query;
}

// The pattern's literal runs in the form of one trigram table.
std::vector<std::string> RunsIn(const StringPattern& pattern, bool stripped) {
  std::vector<std::string> runs;
  for (const std::string& run : pattern.LiteralRuns()) runs.push_back(stripped ? IndexForm(run) : FoldedForm(run));
  return runs;
}

// The least byte string greater than every string that starts with `prefix`;
// empty when there is none.
std::string PrefixEnd(std::string prefix) {
  while (!prefix.empty()) {
    unsigned char last = static_cast<unsigned char>(prefix.back());
    if (last < 0xFF) {
      prefix.back() = char(last + 1);
      return prefix;
    }
    prefix.pop_back();
  }
  return prefix;
}

struct Candidates {
  DocSet docs;
  bool exact = true;     // every candidate satisfies the comparison
  bool complete = true;  // false when a probe stopped at its limit
};

}  // namespace

void SetPlannerLimits(const PlannerLimits& limits) { Limits() = limits; }
PlannerLimits CurrentPlannerLimits() { return Limits(); }

DocSet Intersect(const DocSet& a, const DocSet& b) {
  DocSet out;
  out.reserve(std::min(a.size(), b.size()));
  std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}

DocSet Unite(const DocSet& a, const DocSet& b) {
  DocSet out;
  out.reserve(a.size() + b.size());
  std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}

DocSet Subtract(const DocSet& a, const DocSet& b) {
  DocSet out;
  out.reserve(a.size());
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}

struct Evaluator::Impl {
  explicit Impl(const Index& index)
      : limits(Limits()),
        index(index),
        db(index.db()),
        record(db, "SELECT path, attributes FROM documents WHERE id = ?1"),
        numberRange(db, "SELECT doc FROM number_values WHERE attr = ?1 AND value BETWEEN ?2 AND ?3 LIMIT ?4"),
        stringRange(db, "SELECT doc, length(value) FROM string_values WHERE attr = ?1 AND value >= ?2 AND value < ?3 LIMIT ?4"),
        stringFrom(db, "SELECT doc, length(value) FROM string_values WHERE attr = ?1 AND value >= ?2 LIMIT ?4"),
        stringAbove(db, "SELECT doc FROM string_values WHERE attr = ?1 AND value >= ?2 LIMIT ?4"),
        stringBelow(db, "SELECT doc FROM string_values WHERE attr = ?1 AND value <= ?2 LIMIT ?4"),
        stringEqual(db, "SELECT doc FROM string_values WHERE attr = ?1 AND value = ?2"),
        distinctValues(db, "SELECT value FROM distinct_strings WHERE attr = ?1 LIMIT ?2"),
        trigrams(db, "SELECT rowid FROM string_trigrams WHERE string_trigrams MATCH ?1 LIMIT ?2"),
        strippedTrigrams(db, "SELECT rowid FROM stripped_trigrams WHERE stripped_trigrams MATCH ?1 LIMIT ?2"),
        spans(db, "SELECT doc FROM number_spans WHERE attr = ?1 AND low <= ?2 AND high >= ?3"),
        allDocs(db, "SELECT id FROM documents ORDER BY id"),
        allPaths(db, "SELECT id, path FROM documents"),
        numbersOf(db, "SELECT doc FROM number_values WHERE attr = ?1"),
        stringsOf(db, "SELECT doc FROM string_values WHERE attr = ?1"),
        emptiesOf(db, "SELECT doc FROM empty_values WHERE attr = ?1"),
        anyString(db, "SELECT 1 FROM distinct_strings WHERE attr = ?1 LIMIT 1"),
        folder(db, "SELECT id FROM documents WHERE path = ?1 OR (path >= ?3 AND path < ?2)"),
        network(db, "SELECT id FROM documents WHERE network = 1") {}

  struct CachedDocument {
    bool found = false;
    std::string path;
    std::string record;
  };

  const CachedDocument& Load(std::int64_t doc) {
    auto [it, inserted] = cache.try_emplace(doc);
    if (inserted) {
      record.Reset().Bind(1, doc);
      if (record.Step()) {
        it->second.found = true;
        it->second.path = record.Text(0);
        it->second.record = record.Text(1);
      }
      record.Reset();
    }
    return it->second;
  }

  // The == comparison a != comparison negates; kept for the evaluator's life so
  // that its pattern is made once.
  const Node& EqualTwin(const Node& leaf) {
    std::unique_ptr<Node>& twin = equalTwins[&leaf];
    if (!twin) {
      twin = std::make_unique<Node>();
      twin->kind = Node::Kind::Compare;
      twin->attribute = leaf.attribute;
      twin->op = CompareOp::Equal;
      twin->value = leaf.value;
    }
    return *twin;
  }

  const StringPattern& PatternOf(const Node& leaf) {
    auto [it, inserted] = patterns.try_emplace(&leaf.value, leaf.value.pattern, leaf.value.options);
    return it->second;
  }

  std::vector<int> AttributesOf(const Node& leaf) {
    std::vector<int> ids;
    if (leaf.attribute == "*") {
      for (const auto& [name, id] : index.attributeIds()) ids.push_back(id);
    } else if (int id = index.AttributeId(leaf.attribute); id >= 0) {
      ids.push_back(id);
    }
    return ids;
  }

  bool IsPath(const Node& leaf) const { return leaf.attribute == kPathAttribute; }

  // The exact check, on the document's own values.
  bool Matches(const Node& leaf, std::int64_t doc) {
    if (leaf.kind == Node::Kind::Compare && leaf.op == CompareOp::NotEqual) return !Matches(EqualTwin(leaf), doc);
    const CachedDocument& document = Load(doc);
    if (!document.found) return false;
    const StringPattern& pattern = PatternOf(leaf);
    if (IsPath(leaf)) return ValueSatisfies(Value(document.path), leaf, pattern);
    if (leaf.attribute == "*") {
      bool any = false;
      DecodeAttributes(document.record, [&](int, Value&& value) {
        any = any || (IsStringValue(value) && ValueSatisfies(value, leaf, pattern));
      });
      return any;
    }
    const int id = index.AttributeId(leaf.attribute);
    if (id < 0) return false;
    std::optional<Value> value = DecodeAttribute(document.record, id);
    return value && ValueSatisfies(*value, leaf, pattern);
  }

  void Collect(Statement& statement, Candidates& out, size_t limit, bool checkLength = false) {
    size_t rows = 0;
    while (statement.Step()) {
      out.docs.push_back(statement.Int(0));
      if (checkLength && size_t(statement.Int(1)) >= kIndexedStringBytes) out.exact = false;
      ++rows;
    }
    statement.Reset();
    if (limit && rows >= limit) out.complete = false;
  }

  void NumberCandidates(int attr, std::pair<double, double> interval, Candidates& out, size_t limit) {
    numberRange.Reset().Bind(1, std::int64_t(attr)).Bind(2, interval.first).Bind(3, interval.second).Bind(4, std::int64_t(limit ? limit : -1));
    Collect(numberRange, out, limit);
  }

  void HasAttribute(int attr, Candidates& out) {
    numbersOf.Reset().Bind(1, std::int64_t(attr));
    Collect(numbersOf, out, 0);
    stringsOf.Reset().Bind(1, std::int64_t(attr));
    Collect(stringsOf, out, 0);
    emptiesOf.Reset().Bind(1, std::int64_t(attr));
    Collect(emptiesOf, out, 0);
  }

  bool HoldsStrings(int attr) {
    anyString.Reset().Bind(1, std::int64_t(attr));
    const bool any = anyString.Step();
    anyString.Reset();
    return any;
  }

  // Candidates for `attr == pattern` on string values.
  void StringEqualCandidates(const std::vector<int>& attrs, const Node& leaf, Candidates& out, size_t limit) {
    const StringPattern& pattern = PatternOf(leaf);
    const MatchOptions& options = pattern.options();
    const std::string prefix = pattern.LiteralPrefix();
    const bool plain = !options.ignoreCase && !options.ignoreDiacritics && !options.words;
    if (plain && !prefix.empty()) {
      // Case- and accent-exact: the exact value, or a range of values by prefix.
      // The table keeps the first kIndexedStringBytes of each value.
      const bool wholeValue = !pattern.HasWildcard();
      const std::string key = IndexedString(prefix);
      const bool cut = prefix.size() >= kIndexedStringBytes;  // a stored value this long may be cut short
      const std::string end = PrefixEnd(key);
      for (int attr : attrs) {
        if (wholeValue && !cut) {
          stringEqual.Reset().Bind(1, std::int64_t(attr)).BindBlob(2, key);
          Collect(stringEqual, out, 0);
          continue;
        }
        Statement& range = end.empty() ? stringFrom : stringRange;
        range.Reset().Bind(1, std::int64_t(attr)).BindBlob(2, key).Bind(4, std::int64_t(limit ? limit : -1));
        if (!end.empty()) range.BindBlob(3, end);
        Collect(range, out, limit, true);
      }
      const std::u32string& raw = leaf.value.pattern;
      const size_t literalLength = NormalizeText(prefix, false, false).size();
      const bool onlyTrailingStars =
          literalLength < raw.size() && std::all_of(raw.begin() + std::ptrdiff_t(literalLength), raw.end(), [](char32_t c) { return c == kAnyRun; });
      out.exact = out.exact && !cut && (wholeValue || onlyTrailingStars);
      return;
    }
    if (DistinctCandidates(attrs, pattern, out)) return;
    std::vector<int> withTrigrams, without;
    for (int attr : attrs) (HasTrigramRow(attr) ? withTrigrams : without).push_back(attr);
    if (!withTrigrams.empty() && !TrigramCandidates(withTrigrams, pattern, out, limit)) without = attrs;
    // Too short to narrow by trigrams, or no trigram rows: match each distinct value once.
    if (!without.empty()) DistinctCandidates(without, pattern, out, /*anyCount=*/true);
  }

  // Candidates from the trigram tables; false when the pattern has no literal
  // run long enough to ask them. A pattern "*text*" matched without case (and
  // diacritics, with d) is answered exactly: a phrase is a substring test.
  bool TrigramCandidates(const std::vector<int>& attrs, const StringPattern& pattern, Candidates& out, size_t limit) {
    const MatchOptions& options = pattern.options();
    const std::string folded = PhraseQuery(RunsIn(pattern, options.ignoreDiacritics));
    if (folded.empty()) return false;
    const std::set<int> slots(attrs.begin(), attrs.end());
    size_t rows = 0;
    auto collect = [&](Statement& table) {
      table.Reset().BindText(1, folded).Bind(2, std::int64_t(limit ? limit : -1));
      while (table.Step()) {
        ++rows;
        const std::int64_t rowid = table.Int(0);
        if (slots.count(int(rowid % kTrigramSlots))) out.docs.push_back(rowid / kTrigramSlots);
      }
      table.Reset();
    };
    collect(trigrams);
    if (options.ignoreDiacritics) collect(strippedTrigrams);
    if (limit && rows >= limit) out.complete = false;
    out.exact = out.exact && options.ignoreCase && !options.words && pattern.IsSubstringPattern() &&
                NormalizeText(pattern.LiteralRuns().front(), false, false).size() >= 3;
    return true;
  }

  // Matches each distinct value of the attributes once and collects the
  // documents of those that match: exact, and cheap where an attribute takes
  // few values (nuclei, solvents). Unless `anyCount`, gives up (false) when an
  // attribute has too many values for that.
  bool DistinctCandidates(const std::vector<int>& attrs, const StringPattern& pattern, Candidates& out, bool anyCount = false) {
    std::vector<std::pair<int, std::string>> matching;
    bool cut = false;
    for (int attr : attrs) {
      distinctValues.Reset().Bind(1, std::int64_t(attr)).Bind(2, std::int64_t(anyCount ? -1 : limits.fewDistinctValues + 1));
      size_t seen = 0;
      while (distinctValues.Step()) {
        const std::string_view value = distinctValues.Bytes(0);
        // A value cut short cannot be judged here: its documents are checked whole.
        const bool cutShort = value.size() >= kIndexedStringBytes;
        if (cutShort || pattern.Matches(value)) matching.emplace_back(attr, value);
        cut = cut || cutShort;
        ++seen;
      }
      distinctValues.Reset();
      if (!anyCount && seen > limits.fewDistinctValues) return false;
    }
    for (const auto& [attr, value] : matching) {
      stringEqual.Reset().Bind(1, std::int64_t(attr)).BindBlob(2, value);
      Collect(stringEqual, out, 0);
    }
    if (cut) out.exact = false;
    return true;
  }

  void StringOrderCandidates(const std::vector<int>& attrs, const Node& leaf, Candidates& out, size_t limit) {
    // The table keeps values cut short, and cutting keeps order only loosely
    // (a <= b gives cut(a) <= cut(b)): compare with the literal cut the same
    // way, bounds included, and check what is found.
    const std::string text = IndexedString(LiteralText(leaf.value));
    const bool above = leaf.op == CompareOp::Greater || leaf.op == CompareOp::GreaterEqual;
    for (int attr : attrs) {
      Statement& scan = above ? stringAbove : stringBelow;
      scan.Reset().Bind(1, std::int64_t(attr)).BindBlob(2, text).Bind(4, std::int64_t(limit ? limit : -1));
      Collect(scan, out, limit);
    }
    out.exact = false;
  }

  void PathCandidates(const Node& leaf, Candidates& out) {
    allPaths.Reset();
    const StringPattern& pattern = PatternOf(leaf);
    while (allPaths.Step())
      if (ValueSatisfies(Value(std::string(allPaths.Bytes(1))), leaf, pattern)) out.docs.push_back(allPaths.Int(0));
    allPaths.Reset();
  }

  // Candidates for a comparison (never !=) or a range from the tables; `limit`
  // bounds each table read (0: no bound).
  Candidates IndexCandidates(const Node& leaf, size_t limit) {
    Candidates out;
    if (IsPath(leaf)) {
      if (limit) {
        out.complete = false;
        return out;
      }
      PathCandidates(leaf, out);
      SortUnique(out.docs);
      return out;
    }
    const std::vector<int> attrs = AttributesOf(leaf);
    if (leaf.kind == Node::Kind::InRange) {
      const auto range = RangeBounds(leaf);
      if (range.first <= range.second)
        for (int attr : attrs) NumberCandidates(attr, range, out, limit);
    } else if (leaf.op == CompareOp::Equal && leaf.value.kind == Literal::Kind::String && PatternOf(leaf).MatchesAnyValue()) {
      if (limit) {
        out.complete = false;
        return out;
      }
      for (int attr : attrs) HasAttribute(attr, out);
      // "*" means string attributes only, and the tables hold every kind.
      if (leaf.attribute == "*") out.exact = false;
    } else {
      if (leaf.attribute != "*")
        if (auto interval = NumericInterval(leaf.op, leaf.value))
          for (int attr : attrs) NumberCandidates(attr, *interval, out, limit);
      if (leaf.value.kind != Literal::Kind::Time) {
        if (leaf.op == CompareOp::Equal)
          StringEqualCandidates(attrs, leaf, out, limit);
        else
          StringOrderCandidates(attrs, leaf, out, limit);
      }
    }
    SortUnique(out.docs);
    return out;
  }

  DocSet CheckEach(const Node& leaf, const DocSet& docs) {
    DocSet out;
    for (std::int64_t doc : docs)
      if (Matches(leaf, doc)) out.push_back(doc);
    return out;
  }

  // Candidates of a comparison among `within`, exact; none when the tables
  // cannot answer within the probe's limit.
  std::optional<DocSet> ProbeWithin(const Node& leaf, const DocSet& within) {
    Candidates probe = IndexCandidates(leaf, limits.probeLimit);
    if (!probe.complete) return std::nullopt;
    DocSet docs = Intersect(probe.docs, within);
    return probe.exact ? docs : CheckEach(leaf, docs);
  }

  DocSet Leaf(const Node& leaf, const DocSet* within) {
    if (leaf.kind == Node::Kind::Compare && leaf.op == CompareOp::NotEqual) {
      // A != v is exactly !(A == v), missing attributes included.
      const DocSet base = within ? *within : AllDocuments();
      return Subtract(base, Leaf(EqualTwin(leaf), &base));
    }
    if (within && within->size() < limits.checkEachBelow) {
      // Few documents: the tables, when they answer within the probe, are
      // cheaper than reading each document.
      if (std::optional<DocSet> docs = ProbeWithin(leaf, *within)) return std::move(*docs);
      return CheckEach(leaf, *within);
    }
    Candidates candidates = IndexCandidates(leaf, 0);
    DocSet docs = within ? Intersect(candidates.docs, *within) : std::move(candidates.docs);
    return candidates.exact ? docs : CheckEach(leaf, docs);
  }

  static bool IsLeaf(const Node& node) { return node.kind == Node::Kind::Compare || node.kind == Node::Kind::InRange; }

  // Ordered comparisons of one number attribute joined by &&, as the panel's
  // mass bounds are. "Some element above a" and "some element below b" hold
  // together for a document with an element in [a, b], or with several numbers
  // whose highest is above a and lowest below b: two small look-ups instead of
  // two halves of the index.
  struct NumberBounds {
    std::vector<const Node*> leaves;
    double low = -kInfinity, high = kInfinity;
    bool hasLow = false, hasHigh = false;
  };

  std::map<int, NumberBounds> GroupBounds(const Node& node) {
    std::map<int, NumberBounds> groups;
    for (const auto& child : node.children) {
      const Node& leaf = *child;
      if (leaf.kind != Node::Kind::Compare || leaf.op == CompareOp::Equal || leaf.op == CompareOp::NotEqual) continue;
      if (leaf.value.kind == Literal::Kind::String || leaf.attribute == "*" || IsPath(leaf)) continue;
      const int attr = index.AttributeId(leaf.attribute);
      const auto interval = NumericInterval(leaf.op, leaf.value);
      // Strings are ordered as text, which the number tables cannot answer.
      if (attr < 0 || !interval || HoldsStrings(attr)) continue;
      NumberBounds& group = groups[attr];
      group.leaves.push_back(&leaf);
      if (interval->first > -kInfinity) {
        group.low = std::max(group.low, interval->first);
        group.hasLow = true;
      }
      if (interval->second < kInfinity) {
        group.high = std::min(group.high, interval->second);
        group.hasHigh = true;
      }
    }
    for (auto it = groups.begin(); it != groups.end();) it = it->second.hasLow && it->second.hasHigh ? std::next(it) : groups.erase(it);
    return groups;
  }

  DocSet Bounded(int attr, const NumberBounds& bounds) {
    Candidates out;
    if (bounds.low <= bounds.high) NumberCandidates(attr, {bounds.low, bounds.high}, out, 0);
    spans.Reset().Bind(1, std::int64_t(attr)).Bind(2, bounds.high).Bind(3, bounds.low);
    Collect(spans, out, 0);
    SortUnique(out.docs);
    return std::move(out.docs);
  }

  DocSet And(const Node& node, const DocSet* within) {
    std::vector<const Node*> negatives, others;
    // Candidate sets, with the comparisons that still need checking on them.
    std::vector<std::pair<DocSet, const Node*>> small;
    std::set<const Node*> merged;
    for (const auto& [attr, bounds] : GroupBounds(node)) {
      small.emplace_back(Bounded(attr, bounds), nullptr);
      merged.insert(bounds.leaves.begin(), bounds.leaves.end());
    }
    const bool fewWithin = within && within->size() < limits.checkEachBelow;
    for (const auto& child : node.children) {
      if (merged.count(child.get())) continue;
      if (child->kind == Node::Kind::Not) {
        negatives.push_back(child->children.front().get());
        continue;
      }
      if (child->kind == Node::Kind::Compare && child->op == CompareOp::NotEqual) {
        negatives.push_back(&EqualTwin(*child));
        continue;
      }
      if (IsLeaf(*child) && !fewWithin) {
        // A probe answers small comparisons outright and tells which are large.
        Candidates probe = IndexCandidates(*child, limits.probeLimit);
        if (probe.complete) {
          small.emplace_back(std::move(probe.docs), probe.exact ? nullptr : child.get());
          continue;
        }
      }
      others.push_back(child.get());
    }
    std::optional<DocSet> current;
    if (within) current = *within;
    std::sort(small.begin(), small.end(), [](const auto& a, const auto& b) { return a.first.size() < b.first.size(); });
    for (auto& [set, unchecked] : small) current = current ? Intersect(*current, set) : std::move(set);
    // Checked only on what is left after every candidate set has narrowed it.
    for (const auto& [set, unchecked] : small)
      if (unchecked && current) current = CheckEach(*unchecked, *current);
    // Leaves before compound terms: they narrow the set for what follows.
    std::stable_sort(others.begin(), others.end(), [](const Node* a, const Node* b) { return IsLeaf(*a) && !IsLeaf(*b); });
    for (const Node* child : others) current = Evaluate(*child, current ? &*current : nullptr);
    if (!current) current = AllDocuments();
    for (const Node* negative : negatives) {
      if (current->empty()) break;
      *current = Subtract(*current, Evaluate(*negative, &*current));
    }
    return std::move(*current);
  }

  DocSet Evaluate(const Node& node, const DocSet* within) {
    switch (node.kind) {
      case Node::Kind::True: return within ? *within : AllDocuments();
      case Node::Kind::False: return {};
      case Node::Kind::Not: {
        const DocSet base = within ? *within : AllDocuments();
        return Subtract(base, Evaluate(*node.children.front(), &base));
      }
      case Node::Kind::Or: {
        DocSet result;
        for (const auto& child : node.children) result = Unite(result, Evaluate(*child, within));
        return result;
      }
      case Node::Kind::And: return And(node, within);
      case Node::Kind::Compare:
      case Node::Kind::InRange: return Leaf(node, within);
    }
    return {};
  }

  DocSet AllDocuments() {
    Candidates out;
    allDocs.Reset();
    Collect(allDocs, out, 0);
    return std::move(out.docs);  // the rowid order is sorted
  }

  const PlannerLimits limits;
  const Index& index;
  sqlite3* db;
  Statement record, numberRange, stringRange, stringFrom, stringAbove, stringBelow, stringEqual, distinctValues, trigrams;
  Statement strippedTrigrams, spans;
  Statement allDocs, allPaths, numbersOf, stringsOf, emptiesOf, anyString, folder, network;
  std::unordered_map<std::int64_t, CachedDocument> cache;
  std::unordered_map<const Literal*, StringPattern> patterns;
  std::unordered_map<const Node*, std::unique_ptr<Node>> equalTwins;
};

Evaluator::Evaluator(const Index& index) : impl_(std::make_unique<Impl>(index)) {}
Evaluator::~Evaluator() = default;

DocSet Evaluator::Evaluate(const Node& node, const DocSet* within) { return impl_->Evaluate(node, within); }
DocSet Evaluator::AllDocuments() { return impl_->AllDocuments(); }
bool Evaluator::Matches(const Node& leaf, std::int64_t doc) { return impl_->Matches(leaf, doc); }

DocSet Evaluator::InFolder(const std::string& folderPath, const DocSet* among) {
  const std::string folder = NormalizeFolder(folderPath);
  if (folder == "/") return among ? *among : AllDocuments();
  if (among && among->size() < impl_->limits.checkEachBelow) {
    DocSet out;
    for (std::int64_t doc : *among) {
      const auto& document = impl_->Load(doc);
      const std::string& path = document.path;
      if (document.found && path.compare(0, folder.size(), folder) == 0 &&
          (path.size() == folder.size() || path[folder.size()] == '/'))
        out.push_back(doc);
    }
    return out;
  }
  Candidates found;
  impl_->folder.Reset().BindBlob(1, folder).BindBlob(2, FolderRangeEnd(folder)).BindBlob(3, folder + "/");
  impl_->Collect(impl_->folder, found, 0);
  SortUnique(found.docs);
  return among ? Intersect(found.docs, *among) : found.docs;
}

DocSet Evaluator::OnNetwork(const DocSet* among) {
  Candidates found;
  impl_->network.Reset();
  impl_->Collect(impl_->network, found, 0);
  SortUnique(found.docs);
  return among ? Intersect(found.docs, *among) : found.docs;
}

}  // namespace metadata
