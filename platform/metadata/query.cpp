#include "platform/metadata/query.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <unordered_set>

#include "platform/metadata/document_match.h"
#include "platform/metadata/encoding.h"
#include "platform/metadata/evaluator.h"
#include "platform/metadata/filesystem_id.h"
#include "platform/metadata/parser.h"
#include "platform/metadata/structure_search.h"

namespace metadata {

namespace {

// One consistent view of the index for a whole search, and one lock instead of one per row read.
class ReadSnapshot {
 public:
  explicit ReadSnapshot(Index& index) : index_(index) { index_.BeginRead(); }
  ~ReadSnapshot() { index_.EndRead(); }
  ReadSnapshot(const ReadSnapshot&) = delete;
  ReadSnapshot& operator=(const ReadSnapshot&) = delete;

 private:
  Index& index_;
};

std::string HomePath() {
  const char* home = std::getenv("HOME");
  return home && *home ? home : "/";
}

}  // namespace

const SearchScope kMDQueryScopeComputer{SearchScope::Kind::Computer, {}};
const SearchScope kMDQueryScopeHome{SearchScope::Kind::Home, {}};
const SearchScope kMDQueryScopeNetwork{SearchScope::Kind::Network, {}};

SearchScope FolderScope(std::string path) { return SearchScope{SearchScope::Kind::Folder, std::move(path)}; }

class MDItem {
 public:
  MDItem(std::shared_ptr<Index> index, std::int64_t doc, std::string path)
      : index_(std::move(index)), doc_(doc), path_(std::move(path)) {}

  const std::string& path() const { return path_; }

  // A document removed since the search has no attributes and no error. A
  // session with the index's server that ended since (a restart, an idle
  // timeout) is taken up again once, as a search does.
  const std::string* Record() const {
    if (loaded_) return record_ ? &*record_ : nullptr;
    loaded_ = true;
    for (int run = 1; run <= 2; ++run) {
      try {
        std::string path, record;
        bool found;
        if (run == 1) {
          found = index_->ReadDocument(doc_, path, record);
        } else {
          ReadSnapshot connected(*index_);  // connects again where the session ended
          found = index_->ReadDocument(doc_, path, record);
        }
        if (found) record_ = std::move(record);
        readError_.clear();
        break;
      } catch (const StorageError& failure) {
        readError_ = "cannot read the attributes of " + path_ + " from the index " + index_->name() + ": " + failure.what();
        if (!dynamic_cast<const SessionEndedError*>(&failure)) break;
      }
    }
    return record_ ? &*record_ : nullptr;
  }

  const std::string& readError() const { return readError_; }

  const Index& index() const { return *index_; }

 private:
  std::shared_ptr<Index> index_;
  std::int64_t doc_;
  std::string path_;
  mutable bool loaded_ = false;
  mutable std::optional<std::string> record_;
  mutable std::string readError_;
};

class MDQuery {
 public:
  std::shared_ptr<Index> index;  // null until executed, for a query over the default index
  std::unique_ptr<Node> root;
  std::shared_ptr<const DocSet> parentResults;  // a subset query draws from these
  bool isSubset = false;
  std::vector<SearchScope> scopes;
  size_t firstCount = 0;
  std::function<void(const DocSet&)> deliverFirst;

  bool executed = false;
  DocSet results;                                // by id
  std::vector<std::int64_t> ordered;             // results in path order, as far as known
  std::vector<std::string> orderedPaths;
  bool orderComplete = false;
  std::string readError;                         // why the last result asked for could not be read
  std::vector<std::unique_ptr<MDItem>> items;    // by position, made when asked for
  std::shared_ptr<const DocSet> shared;          // `results`, handed to subsets
  std::vector<bool> member;                      // by id: is it a result
  // A result set sparser than one document in this many of the index is put
  // in order by the index's path ranks (or, without them, by reading each
  // result's path); a denser one by walking the path index.
  size_t walkFactor = 16;
  // Putting a sparse set in order by the index's path ranks: the ranked
  // results as rank << 32 | position in `results`, in order as far as
  // `rankSorted`, merged with the unranked ones, sorted by their paths.
  std::optional<bool> ranked;
  std::vector<std::uint64_t> rankKeys;
  size_t rankSorted = 0, rankNext = 0;
  std::vector<std::pair<std::string, std::int64_t>> unranked;
  size_t unrankedNext = 0;
  std::optional<std::pair<std::string, std::int64_t>> rankedHead;  // the next ranked result, its path read
  size_t stretchStart = 0;
  std::vector<std::optional<std::string>> stretchPaths;  // of rankKeys[stretchStart, rankSorted)

  bool Rank() {
    std::vector<std::uint32_t> ranks;
    rankKeys.clear();
    unranked.clear();
    if (!index->PathRanks(results, ranks)) return false;
    DocSet others;
    for (size_t i = 0; i < results.size(); ++i) {
      if (ranks[i] == Index::kUnranked)
        others.push_back(results[i]);
      else
        rankKeys.push_back(std::uint64_t(ranks[i]) << 32 | i);
    }
    index->WillRead(others, false);
    for (std::int64_t doc : others)
      if (std::optional<std::string> path = index->PathOf(doc)) unranked.emplace_back(std::move(*path), doc);
    std::sort(unranked.begin(), unranked.end());
    return true;
  }

  // The next ranked result in rank order, with its path; none when there is no more.
  bool NextRanked() {
    while (!rankedHead && rankNext < rankKeys.size()) {
      if (rankNext == rankSorted) {  // sorts the next stretch only: the first rows cost no full sort
        const size_t end = std::min(rankKeys.size(), std::max(rankSorted * 2, rankSorted + 1024));
        const auto from = rankKeys.begin() + std::ptrdiff_t(rankSorted), to = rankKeys.begin() + std::ptrdiff_t(end);
        if (to != rankKeys.end()) std::nth_element(from, to, rankKeys.end());
        std::sort(from, to);
        ReadStretchPaths(rankSorted, end);
        rankSorted = end;
      }
      const std::int64_t doc = results[size_t(rankKeys[rankNext] & 0xFFFFFFFF)];
      if (std::optional<std::string>& path = stretchPaths[rankNext - stretchStart]) rankedHead.emplace(std::move(*path), doc);
      ++rankNext;  // removed from the index since the search, when no path came
    }
    return rankedHead.has_value();
  }

  // The paths of a stretch in document order, not path order: neighbouring
  // numbers' rows lie together in the index.
  void ReadStretchPaths(size_t from, size_t to) {
    std::vector<std::pair<size_t, size_t>> byDocument;  // position in `results` (in document order), in the stretch
    for (size_t i = from; i < to; ++i) byDocument.emplace_back(size_t(rankKeys[i] & 0xFFFFFFFF), i - from);
    std::sort(byDocument.begin(), byDocument.end());
    DocSet docs;
    for (const auto& [position, at] : byDocument) docs.push_back(results[position]);
    index->WillRead(docs, false);
    stretchStart = from;
    stretchPaths.assign(to - from, std::nullopt);
    for (const auto& [position, at] : byDocument) stretchPaths[at] = index->PathOf(results[position]);
  }

  void OrderByRanks(size_t count) {
    while (ordered.size() < count) {
      const bool anyRanked = NextRanked(), anyUnranked = unrankedNext < unranked.size();
      if (!anyRanked && !anyUnranked) {
        orderComplete = true;
        return;
      }
      if (anyRanked && (!anyUnranked || rankedHead->first < unranked[unrankedNext].first)) {
        ordered.push_back(rankedHead->second);
        orderedPaths.push_back(std::move(rankedHead->first));
        rankedHead.reset();
      } else {
        ordered.push_back(unranked[unrankedNext].second);
        orderedPaths.push_back(std::move(unranked[unrankedNext++].first));
      }
    }
  }

  void OrderSmall() {
    std::vector<std::pair<std::string, std::int64_t>> byPath;
    byPath.reserve(results.size());
    index->WillRead(results, false);
    for (std::int64_t doc : results)
      if (std::optional<std::string> path = index->PathOf(doc)) byPath.emplace_back(std::move(*path), doc);
    std::sort(byPath.begin(), byPath.end());
    for (auto& [path, doc] : byPath) {
      ordered.push_back(doc);
      orderedPaths.push_back(std::move(path));
    }
    orderComplete = true;
  }

  // Puts the results in path order as far as `count`. A sparse set is sorted
  // by its paths; a dense one is found by walking the path index from where the
  // last walk stopped, which finds the first results after a few steps.
  void OrderUpTo(size_t count) {
    if (orderComplete || ordered.size() >= count) return;
    // Read ahead, so that reading every result takes a few readings of the index, not one a result.
    const size_t ahead = std::max(count, ordered.size() * 2 + 64);
    if (ranked.value_or(false)) return OrderByRanks(ahead);
    if (ordered.empty() && results.size() * walkFactor < size_t(std::max<std::int64_t>(results.back(), 1))) {
      ranked = Rank();
      if (*ranked) return OrderByRanks(ahead);
      OrderSmall();
      return;
    }
    if (member.empty()) {
      member.assign(size_t(results.back()) + 1, false);
      for (std::int64_t doc : results) member[size_t(doc)] = true;
    }
    count = std::min(results.size(), ahead);
    bool walkedToTheEnd = true;
    index->WalkInPathOrder(ordered.empty() ? nullptr : &orderedPaths.back(), [&](std::int64_t doc, std::string_view path) {
      if (ordered.size() >= count) {
        walkedToTheEnd = false;
        return false;
      }
      if (doc >= 0 && size_t(doc) < member.size() && member[size_t(doc)]) {
        ordered.push_back(doc);
        orderedPaths.emplace_back(path);
      }
      return true;
    });
    if (walkedToTheEnd) orderComplete = true;
    if (ordered.size() == results.size()) orderComplete = true;
  }
};

std::shared_ptr<Index> OpenDefaultIndex(std::string& error) { return Index::Open(DefaultIndexPath(), error); }

static MDQueryRef MakeQuery(std::shared_ptr<Index> index, std::string_view expression, QueryError* error) {
  ParseResult parsed = ParseQuery(expression);
  if (!parsed.root) {
    if (error) *error = QueryError{parsed.error.message, parsed.error.column};
    return nullptr;
  }
  auto query = std::make_shared<MDQuery>();
  query->index = std::move(index);
  query->root = std::move(parsed.root);
  return query;
}

MDQueryRef MDQueryCreate(std::string_view expression, QueryError* error) { return MakeQuery(nullptr, expression, error); }

MDQueryRef MDQueryCreate(std::shared_ptr<Index> index, std::string_view expression, QueryError* error) {
  return MakeQuery(std::move(index), expression, error);
}

MDQueryRef MDQueryCreateSubset(const MDQueryRef& parent, std::string_view expression, QueryError* error) {
  if (!parent) return nullptr;
  MDQueryRef query = MakeQuery(parent->index, expression, error);
  if (!query) return nullptr;
  query->isSubset = true;
  query->parentResults = parent->executed ? parent->shared : std::make_shared<const DocSet>();
  return query;
}

void MDQuerySetSearchScope(const MDQueryRef& query, const std::vector<SearchScope>& scopes, unsigned) {
  if (query) query->scopes = scopes;
}

void MDQuerySetFirstResultsHandler(const MDQueryRef& query, size_t count, std::function<void(const DocSet&)> deliver) {
  if (!query) return;
  query->firstCount = count;
  query->deliverFirst = std::move(deliver);
}

static DocSet ApplyScopes(Evaluator& evaluator, const std::vector<SearchScope>& scopes, const DocSet& results) {
  if (scopes.empty()) return results;
  DocSet inScope;
  for (const SearchScope& scope : scopes) {
    switch (scope.kind) {
      case SearchScope::Kind::Computer: return results;
      case SearchScope::Kind::Home: inScope = Unite(inScope, evaluator.InFolder(HomePath(), &results)); break;
      case SearchScope::Kind::Network: inScope = Unite(inScope, evaluator.OnNetwork(&results)); break;
      case SearchScope::Kind::Folder: inScope = Unite(inScope, evaluator.InFolder(scope.folder, &results)); break;
    }
  }
  return inScope;
}

// Documents on a disk that is not mounted stay in the index until the disk is
// back, but are not results: they cannot be opened. Asked of each folder
// indexed and each disk the indexer found mounted below one (a few), so a
// search with every disk there costs a stat or two.
static DocSet WithoutDisksNotMounted(Index& index, DocSet results) {
  std::vector<MountFolder> folders = index.MountFolders();
  for (const RootRecord& root : index.Roots()) folders.push_back({root.path, root.device});
  for (const MountFolder& folder : folders) {
    if (results.empty()) break;
    if (!DiskNotMountedAt(folder.path, folder.device)) continue;
    DocSet away;
    index.AtOrBelow(folder.path, away);
    std::sort(away.begin(), away.end());
    results = Subtract(results, away);
  }
  return results;
}

// The results: those of a structure search alone handed to the query's
// handler as soon as its first are checked, through the same scopes (a
// prefix of the found documents in document order stays a prefix of the
// results); those of any other query handed over at the end.
static DocSet Results(MDQuery& query, Evaluator& evaluator, bool& delivered) {
  Index& index = *query.index;
  const DocSet* within = query.isSubset ? query.parentResults.get() : nullptr;
  if (!query.deliverFirst) return WithoutDisksNotMounted(index, ApplyScopes(evaluator, query.scopes, evaluator.Evaluate(*query.root, within)));
  FirstDocuments first{query.firstCount, [&](const DocSet& found) {
                         query.deliverFirst(WithoutDisksNotMounted(index, ApplyScopes(evaluator, query.scopes, found)));
                         delivered = true;
                       }};
  const bool structure = query.root->kind == Node::Kind::Structure;
  DocSet results = WithoutDisksNotMounted(
      index, ApplyScopes(evaluator, query.scopes, structure ? StructureDocuments(index, *query.root, within, &first) : evaluator.Evaluate(*query.root, within)));
  if (!delivered) query.deliverFirst(DocSet(results.begin(), results.begin() + std::ptrdiff_t(std::min(results.size(), query.firstCount))));
  return results;
}

bool MDQueryExecute(const MDQueryRef& query, unsigned, QueryError* error) {
  if (!query) return false;
  std::string message;
  if (!query->index) query->index = OpenDefaultIndex(message);
  if (!query->index) {
    if (error) *error = QueryError{message, 0};
    return false;
  }
  // A session with the index's server that ends in the middle of a search
  // (a restart, an administrator ending it) leaves its answer unknown: the
  // search runs once more in a new session, unless some of its results have
  // been handed over already.
  bool delivered = false;
  for (int run = 1;; ++run) {
    try {
      // One read transaction: one snapshot of the index for the whole search,
      // and one lock instead of one per row read.
      ReadSnapshot snapshot(*query->index);
      Evaluator evaluator(*query->index);
      query->results = Results(*query, evaluator, delivered);
      break;
    } catch (const SessionEndedError& failure) {
      if (run == 1 && !delivered) continue;
      if (error)
        *error = QueryError{"cannot finish the search in the index " + query->index->name() + ": " +
                                (delivered ? "the session with its server ended after the first results were handed over, and they are only a part"
                                           : "the session with its server ended twice in one search") +
                                " (" + failure.what() + ")",
                            0};
      return false;
    } catch (const StorageError& failure) {
      if (error) *error = QueryError{"cannot read the index " + query->index->name() + ": " + failure.what(), 0};
      return false;
    }
  }
  query->executed = true;
  query->ordered.clear();
  query->orderedPaths.clear();
  query->items.clear();
  query->member.clear();
  query->walkFactor = CurrentPlannerLimits().walkFactor;
  query->ranked.reset();
  query->rankKeys.clear();
  query->rankSorted = query->rankNext = query->unrankedNext = 0;
  query->unranked.clear();
  query->rankedHead.reset();
  query->stretchStart = 0;
  query->stretchPaths.clear();
  query->orderComplete = false;
  query->readError.clear();
  query->shared = std::make_shared<const DocSet>(query->results);
  return true;
}

long MDQueryGetResultCount(const MDQueryRef& query) { return query && query->executed ? long(query->results.size()) : 0; }

MDItemRef MDQueryGetResultAtIndex(const MDQueryRef& query, long index) {
  if (!query || !query->executed || index < 0 || size_t(index) >= query->results.size()) return nullptr;
  // Ordering keeps what it has read, so a session ended in the middle of it
  // (see MDQueryExecute) is taken up again once in a new one.
  for (int run = 1; query->ordered.size() <= size_t(index) && !query->orderComplete; ++run) {
    try {
      ReadSnapshot snapshot(*query->index);
      query->OrderUpTo(size_t(index) + 1);
      break;
    } catch (const SessionEndedError& failure) {
      if (run == 2) {
        query->readError = "cannot read the results from the index " + query->index->name() +
                           ": the session with its server ended twice (" + failure.what() + ")";
        return nullptr;
      }
    } catch (const StorageError& failure) {
      query->readError = "cannot read the results from the index " + query->index->name() + ": " + failure.what();
      return nullptr;
    }
  }
  query->readError.clear();
  if (size_t(index) >= query->ordered.size()) return nullptr;  // removed from the index since
  if (query->items.size() <= size_t(index)) query->items.resize(size_t(index) + 1);
  std::unique_ptr<MDItem>& item = query->items[size_t(index)];
  if (!item) item = std::make_unique<MDItem>(query->index, query->ordered[size_t(index)], query->orderedPaths[size_t(index)]);
  return item.get();
}

std::string MDQueryGetReadError(const MDQueryRef& query) { return query ? query->readError : std::string(); }

bool MDQueryExpressionMatches(const MDQueryRef& query, const Attributes& attributes) {
  return query && query->root && DocumentSatisfies(*query->root, attributes);
}

namespace {

void CollectRanges(const Node& node, std::string_view attribute, std::vector<std::pair<double, double>>& out) {
  if (node.kind == Node::Kind::Not) return;
  if (node.kind == Node::Kind::InRange && node.attribute == attribute) {
    const auto bounds = RangeBounds(node);
    if (bounds.first <= bounds.second) out.push_back(bounds);
  }
  for (const auto& child : node.children) CollectRanges(*child, attribute, out);
}

}  // namespace

std::vector<std::pair<double, double>> MDQueryRangesOf(const MDQueryRef& query, std::string_view attribute) {
  std::vector<std::pair<double, double>> ranges;
  if (query && query->root) CollectRanges(*query->root, attribute, ranges);
  return ranges;
}

std::optional<Value> MDItemCopyAttribute(MDItemRef item, std::string_view name) {
  if (!item) return std::nullopt;
  if (name == kPathAttribute) return Value(item->path());
  const int id = item->index().AttributeId(std::string(name));
  const std::string* record = item->Record();
  if (id < 0 || !record) return std::nullopt;
  return DecodeAttribute(*record, id);
}

std::string MDItemGetReadError(MDItemRef item) { return item ? item->readError() : std::string(); }

Attributes MDItemCopyAttributes(MDItemRef item) {
  Attributes attributes;
  if (!item) return attributes;
  attributes[kPathAttribute] = item->path();
  if (const std::string* record = item->Record()) {
    DecodeAttributes(*record, [&](int id, Value&& value) {
      if (const std::string* name = item->index().AttributeName(id)) attributes[*name] = std::move(value);
    });
  }
  return attributes;
}

}  // namespace metadata

namespace metadata {

std::optional<Attributes> LookupDocument(Index& index, const std::string& path) {
  std::optional<std::string> record = index.RecordAt(path);
  if (!record) return std::nullopt;
  Attributes attributes;
  attributes[kPathAttribute] = path;
  DecodeAttributes(*record, [&](int id, Value&& value) {
    if (const std::string* name = index.AttributeName(id)) attributes[*name] = std::move(value);
  });
  return attributes;
}

}  // namespace metadata
