#include "platform/metadata/evaluator.h"

#include <roaring/roaring.hh>

#include <algorithm>
#include <limits>
#include <optional>
#include <set>
#include <unordered_map>

#include "platform/metadata/document_match.h"
#include "platform/metadata/encoding.h"
#include "platform/metadata/stored_values.h"
#include "platform/metadata/structure_search.h"

namespace metadata {

namespace {

bool IsLeaf(const Node& node) { return node.kind == Node::Kind::Compare || node.kind == Node::Kind::InRange; }

bool IsNotEqual(const Node& node) { return node.kind == Node::Kind::Compare && node.op == CompareOp::NotEqual; }

// The documents of a bitmap, in order, a few thousand at a time.
DocSet ListOf(const Roaring& bits) {
  DocSet out;
  out.reserve(size_t(bits.cardinality()));
  roaring_uint32_iterator_t* docs = roaring_create_iterator(&bits.roaring);
  std::uint32_t buffer[4096];
  for (std::uint32_t got; (got = roaring_read_uint32_iterator(docs, buffer, 4096)) > 0;) out.insert(out.end(), buffer, buffer + got);
  roaring_free_uint32_iterator(docs);
  return out;
}

// A string just below `path` in byte order: no path anyone writes lies between.
std::string JustBelow(std::string path) {
  if (path.empty()) return path;
  path.back() = char(static_cast<unsigned char>(path.back()) - 1);
  return path + std::string(8, '\xFF');
}

// Where a folder's documents lie among the index's path ranks, which keep path
// order: every ranked document below the folder has a rank in [first, end),
// and every ranked document with a rank there is below it; `self` is the
// document of the folder itself, if there is one.
struct FolderRanks {
  std::uint64_t first = 0, end = 0;
  std::optional<std::int64_t> self;
};

// Steps this many paths at a folder's two ends to find a ranked document
// there; beyond, as after a large import since ranking, the paths are read.
constexpr size_t kFolderEndSteps = 64;

// The rank of the first ranked document among the first kFolderEndSteps paths
// at or after `from`; past the last path, one above every rank; none when
// those steps find none.
std::optional<std::uint64_t> FirstRankFrom(Index& index, const std::string& from) {
  std::vector<std::pair<std::int64_t, size_t>> steps;  // document, place in path order
  bool more = false;
  const std::string after = JustBelow(from);
  index.WalkInPathOrder(&after, [&](std::int64_t doc, std::string_view path) {
    if (path < from) return true;
    if (steps.size() == kFolderEndSteps) {
      more = true;
      return false;
    }
    steps.emplace_back(doc, steps.size());
    return true;
  });
  std::sort(steps.begin(), steps.end());
  DocSet docs;
  for (const auto& step : steps) docs.push_back(step.first);
  std::vector<std::uint32_t> ranks;
  if (!index.PathRanks(docs, ranks)) return std::nullopt;
  std::optional<std::pair<size_t, std::uint32_t>> first;  // place, rank
  for (size_t i = 0; i < steps.size(); ++i)
    if (ranks[i] != Index::kUnranked && (!first || steps[i].second < first->first)) first.emplace(steps[i].second, ranks[i]);
  if (first) return first->second;
  if (more) return std::nullopt;
  return std::uint64_t(Index::kUnranked) + 1;
}

std::optional<FolderRanks> RanksOfFolder(Index& index, const std::string& folder) {
  FolderRanks ranks;
  const std::string after = JustBelow(folder);
  index.WalkInPathOrder(&after, [&](std::int64_t doc, std::string_view path) {
    if (path == folder) ranks.self = doc;
    return path < folder;
  });
  const std::optional<std::uint64_t> first = FirstRankFrom(index, folder + "/");
  const std::optional<std::uint64_t> end = first ? FirstRankFrom(index, FolderRangeEnd(folder)) : std::nullopt;
  if (!first || !end) return std::nullopt;
  ranks.first = *first;
  ranks.end = *end;
  return ranks;
}

bool InBitmap(const Roaring& bits, std::int64_t doc) {
  return doc >= 0 && doc <= std::int64_t(std::numeric_limits<std::uint32_t>::max()) && bits.contains(std::uint32_t(doc));
}

// The documents of every bitmap, of `among` when given: the bitmaps are
// intersected as they are, smallest first, and only what is left is listed.
DocSet Conjunction(std::vector<Roaring>& sets, const DocSet* among) {
  std::sort(sets.begin(), sets.end(), [](const Roaring& a, const Roaring& b) { return a.cardinality() < b.cardinality(); });
  Roaring& all = sets.front();
  for (size_t i = 1; i < sets.size() && !all.isEmpty(); ++i) all &= sets[i];
  if (!among) return ListOf(all);
  DocSet out;
  if (among->size() <= all.cardinality()) {
    for (std::int64_t doc : *among)
      if (InBitmap(all, doc)) out.push_back(doc);
    return out;
  }
  return Intersect(*among, ListOf(all));
}

}  // namespace

// A set much smaller than the other looks each of its documents up in it
// instead of stepping through both.
DocSet Intersect(const DocSet& a, const DocSet& b) {
  constexpr size_t kLookUpFactor = 16;
  const DocSet& small = a.size() <= b.size() ? a : b;
  const DocSet& large = a.size() <= b.size() ? b : a;
  DocSet out;
  out.reserve(small.size());
  if (small.size() * kLookUpFactor < large.size()) {
    auto from = large.begin();
    for (std::int64_t doc : small) {
      from = std::lower_bound(from, large.end(), doc);
      if (from == large.end()) break;
      if (*from == doc) out.push_back(doc);
    }
    return out;
  }
  // Without branches on the data: two common sets' documents interleave unpredictably.
  out.resize(small.size());
  size_t i = 0, j = 0, found = 0;
  while (i < a.size() && j < b.size()) {
    const std::int64_t x = a[i], y = b[j];
    out[found] = x;
    found += size_t(x == y);
    i += size_t(x <= y);
    j += size_t(y <= x);
  }
  out.resize(found);
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
  explicit Impl(Index& searched) : limits(CurrentPlannerLimits()), index(searched), planner(searched, limits) {}

  struct CachedDocument {
    bool found = false;
    std::string path;
    std::string record;
  };

  const CachedDocument& Load(std::int64_t doc) {
    auto [it, inserted] = cache.try_emplace(doc);
    if (inserted) it->second.found = index.ReadDocument(doc, it->second.path, it->second.record);
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

  bool IsStoredOnlyId(int id) const {
    const std::string* name = index.AttributeName(id);
    return name && IsStoredOnly(*name);
  }

  // The exact check, on the document's own values.
  bool Matches(const Node& leaf, std::int64_t doc) {
    if (IsNotEqual(leaf)) return !Matches(EqualTwin(leaf), doc);
    const CachedDocument& document = Load(doc);
    if (!document.found) return false;
    const StringPattern& pattern = planner.PatternOf(leaf);
    if (leaf.attribute == kPathAttribute) return ValueSatisfies(Value(document.path), leaf, pattern);
    if (leaf.attribute == "*") {
      bool any = false;
      DecodeAttributes(document.record, [&](int id, Value&& value) {
        any = any || (IsStringValue(value) && !IsStoredOnlyId(id) && ValueSatisfies(value, leaf, pattern));
      });
      return any;
    }
    const int id = index.AttributeId(leaf.attribute);
    if (id < 0 || IsStoredOnly(leaf.attribute)) return false;
    std::optional<Value> value = DecodeAttribute(document.record, id);
    return value && ValueSatisfies(*value, leaf, pattern);
  }

  DocSet CheckEach(const Node& leaf, const DocSet& docs) {
    DocSet unread;
    for (std::int64_t doc : docs)
      if (!cache.count(doc)) unread.push_back(doc);
    index.WillRead(unread, true);
    DocSet out;
    for (std::int64_t doc : docs)
      if (Matches(leaf, doc)) out.push_back(doc);
    return out;
  }

  // Whether look-ups are better asked among `within` alone than in the whole
  // index; the index's size is asked once, and only when needed.
  bool AmongFew(const DocSet& within) {
    if (within.size() >= limits.substringsAmongBelow) return false;
    if (!limits.documentsPerSubstringCandidate) return true;
    if (!documents) documents = index.ApproximateDocuments();
    return within.size() * limits.documentsPerSubstringCandidate <= *documents;
  }

  // Candidates of a comparison among `within`, exact; none when the look-ups
  // cannot answer within the probe's limit.
  std::optional<DocSet> ProbeWithin(const Node& leaf, const DocSet& within) {
    // The probe's limit counts rows that cost a quarter of a record each; an
    // engine whose rows cost less reads as many more.
    const size_t perRecord = index.LookUpRowsPerRecord();
    const size_t limit = std::min(limits.probeLimit * perRecord / Index::kLookUpRowsPerRecord, std::max<size_t>(within.size() * perRecord, 1));
    Candidates probe = planner.For(leaf, limit, AmongFew(within) ? &within : nullptr);
    if (!probe.complete) return std::nullopt;
    DocSet docs = Intersect(probe.docs, within);
    return probe.exact ? docs : CheckEach(leaf, docs);
  }

  DocSet Leaf(const Node& leaf, const DocSet* within) {
    if (IsNotEqual(leaf)) {
      // A != v is exactly !(A == v), missing attributes included.
      const DocSet base = within ? *within : index.AllDocuments();
      return Subtract(base, Leaf(EqualTwin(leaf), &base));
    }
    // Documents read already, to check another term, are checked as they
    // are: no look-up costs less.
    if (within && std::all_of(within->begin(), within->end(), [&](std::int64_t doc) { return cache.count(doc) > 0; }))
      return CheckEach(leaf, *within);
    if (within && within->size() < limits.checkEachBelow) {
      // Few documents: the look-ups, when they answer within the probe, are
      // cheaper than reading each document.
      if (std::optional<DocSet> docs = ProbeWithin(leaf, *within)) return std::move(*docs);
      return CheckEach(leaf, *within);
    }
    // A common substring (the panel's "*.back") among fewer candidates is
    // looked up among them alone: the whole look-up grows with the index.
    Candidates candidates = planner.For(leaf, 0, within && AmongFew(*within) ? within : nullptr);
    DocSet docs = within ? Intersect(candidates.docs, *within) : std::move(candidates.docs);
    return candidates.exact ? docs : CheckEach(leaf, docs);
  }

  // Candidate sets, with the comparison that still needs checking on each.
  using Narrowing = std::vector<std::pair<DocSet, const Node*>>;

  // Sorts the children of an && into what narrows by candidates, what is
  // evaluated on what is left, and what is subtracted last.
  void Classify(const Node& node, const DocSet* within, Narrowing& small, std::vector<Roaring>& packed,
                std::vector<const Node*>& others, std::vector<const Node*>& negatives) {
    std::set<const Node*> merged;
    for (const auto& [attr, bounds] : planner.GroupBounds(node)) {
      small.emplace_back(planner.Bounded(attr, bounds), nullptr);
      merged.insert(bounds.leaves.begin(), bounds.leaves.end());
    }
    const bool fewWithin = within && within->size() < limits.checkEachBelow;
    for (const auto& child : node.children) {
      if (merged.count(child.get())) continue;
      if (child->kind == Node::Kind::Not) {
        negatives.push_back(child->children.front().get());
      } else if (IsNotEqual(*child)) {
        negatives.push_back(&EqualTwin(*child));
      } else if (IsLeaf(*child) && !fewWithin) {
        // Common terms the index keeps packed stay bitmaps until they are intersected.
        Roaring bits;
        if (planner.PackedExactly(*child, bits)) {
          packed.push_back(std::move(bits));
          continue;
        }
        // A probe answers small comparisons outright and tells which are large.
        Candidates probe = planner.For(*child, limits.probeLimit);
        if (probe.complete)
          small.emplace_back(std::move(probe.docs), probe.exact ? nullptr : child.get());
        else
          others.push_back(child.get());
      } else {
        others.push_back(child.get());
      }
    }
  }

  DocSet And(const Node& node, const DocSet* within) {
    Narrowing small;
    std::vector<Roaring> packed;
    std::vector<const Node*> others, negatives;
    Classify(node, within, small, packed, others, negatives);
    std::optional<DocSet> current;
    if (within) current = *within;
    std::sort(small.begin(), small.end(), [](const auto& a, const auto& b) { return a.first.size() < b.first.size(); });
    for (auto& [set, unchecked] : small) current = current ? Intersect(*current, set) : std::move(set);
    if (!packed.empty()) current = Conjunction(packed, current ? &*current : nullptr);
    // Checked only on what is left after every candidate set has narrowed it.
    for (const auto& [set, unchecked] : small)
      if (unchecked && current) current = CheckEach(*unchecked, *current);
    // Leaves before compound terms: they narrow the set for what follows.
    std::stable_sort(others.begin(), others.end(), [](const Node* a, const Node* b) { return IsLeaf(*a) && !IsLeaf(*b); });
    for (const Node* child : others) current = Evaluate(*child, current ? &*current : nullptr);
    if (!current) current = index.AllDocuments();
    for (const Node* negative : negatives) {
      if (current->empty()) break;
      *current = Subtract(*current, Evaluate(*negative, &*current));
    }
    return std::move(*current);
  }

  DocSet Evaluate(const Node& node, const DocSet* within) {
    switch (node.kind) {
      case Node::Kind::True: return within ? *within : index.AllDocuments();
      case Node::Kind::False: return {};
      case Node::Kind::Not: {
        const DocSet base = within ? *within : index.AllDocuments();
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
      case Node::Kind::Structure: return StructureDocuments(index, node, within);
    }
    return {};
  }

  const PlannerLimits limits;
  Index& index;
  Planner planner;
  std::unordered_map<std::int64_t, CachedDocument> cache;
  std::optional<size_t> documents;  // ApproximateDocuments, once asked
  std::unordered_map<const Node*, std::unique_ptr<Node>> equalTwins;
};

Evaluator::Evaluator(Index& index) : impl_(std::make_unique<Impl>(index)) {}
Evaluator::~Evaluator() = default;

DocSet Evaluator::Evaluate(const Node& node, const DocSet* within) { return impl_->Evaluate(node, within); }
DocSet Evaluator::AllDocuments() { return impl_->index.AllDocuments(); }
bool Evaluator::Matches(const Node& leaf, std::int64_t doc) { return impl_->Matches(leaf, doc); }

DocSet Evaluator::InFolder(const std::string& folderPath, const DocSet* among) {
  const std::string folder = NormalizeFolder(folderPath);
  if (folder == "/") return among ? *among : AllDocuments();
  if (among && among->size() < impl_->limits.checkEachBelow) {
    // Few: each is judged by its path rank where the index ranks it, else
    // by its path, read: a path costs a read of the document's row each.
    std::vector<std::uint32_t> ranks;
    std::optional<FolderRanks> range;
    if (impl_->index.PathRanks(*among, ranks)) range = RanksOfFolder(impl_->index, folder);
    DocSet out;
    for (size_t i = 0; i < among->size(); ++i) {
      const std::int64_t doc = (*among)[i];
      if (range && ranks[i] != Index::kUnranked) {
        if (doc == range->self || (ranks[i] >= range->first && ranks[i] < range->end)) out.push_back(doc);
        continue;
      }
      const auto& document = impl_->Load(doc);
      if (document.found && IsAtOrBelow(document.path, folder)) out.push_back(doc);
    }
    return out;
  }
  DocSet found;
  impl_->index.AtOrBelow(folder, found);
  SortUnique(found);
  return among ? Intersect(found, *among) : found;
}

DocSet Evaluator::OnNetwork(const DocSet* among) {
  DocSet found;
  impl_->index.OnNetwork(found);
  SortUnique(found);
  return among ? Intersect(found, *among) : found;
}

}  // namespace metadata
