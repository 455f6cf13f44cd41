// The metadata query service: queries made from expressions in the query
// language, limited to a search scope, executed synchronously over the index;
// their results, sorted by path, and each result's attributes.
//
// A query and its results live as long as the last MDQueryRef to it; a result
// item (MDItemRef) is borrowed from its query and valid while the query lives.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/metadata/store.h"
#include "platform/metadata/value.h"

namespace metadata {

class MDQuery;
class MDItem;
using MDQueryRef = std::shared_ptr<MDQuery>;
using MDItemRef = const MDItem*;

struct QueryError {
  std::string message;  // for the user: what is wrong and where
  size_t column = 0;    // for a malformed expression: where, from 1
};

struct SearchScope {
  enum class Kind { Computer, Home, Network, Folder } kind = Kind::Computer;
  std::string folder;  // Kind::Folder: the folder's path, bytes as the file system spells them
};
extern const SearchScope kMDQueryScopeComputer;
extern const SearchScope kMDQueryScopeHome;
extern const SearchScope kMDQueryScopeNetwork;
SearchScope FolderScope(std::string path);

constexpr unsigned kMDQuerySynchronous = 1;

// A query over the index at DefaultIndexPath() (opened when it executes), or
// over `index`. None, with the error, when the expression is malformed.
MDQueryRef MDQueryCreate(std::string_view expression, QueryError* error = nullptr);
MDQueryRef MDQueryCreate(std::shared_ptr<Index> index, std::string_view expression, QueryError* error = nullptr);
// A query that draws its results only from those of `parent` as it was executed.
MDQueryRef MDQueryCreateSubset(const MDQueryRef& parent, std::string_view expression, QueryError* error = nullptr);

// Limits the query to the union of the scopes; no scopes means the whole index.
void MDQuerySetSearchScope(const MDQueryRef& query, const std::vector<SearchScope>& scopes, unsigned options = 0);

// Asks for the first results before the rest: while MDQueryExecute runs,
// `deliver` is called once with the results of lowest document number, at
// most `count`, and every result numbered below the last of them. A query
// that is one structure search delivers them as soon as its checking in
// document order has found them, before it goes on for the exact count;
// any other query, when it has all its results.
void MDQuerySetFirstResultsHandler(const MDQueryRef& query, size_t count, std::function<void(const DocSet&)> deliver);

// Runs the query; all results are present on return. False, with the error,
// when the index cannot be opened or read.
bool MDQueryExecute(const MDQueryRef& query, unsigned options, QueryError* error = nullptr);

long MDQueryGetResultCount(const MDQueryRef& query);
// The result at `index` (from 0) in path order; null outside 0..count-1.
MDItemRef MDQueryGetResultAtIndex(const MDQueryRef& query, long index);
// Why the last MDQueryGetResultAtIndex gave null though the index was within
// the count: the index could not be read. Empty when that result was read, or
// had only been removed from the index since the search.
std::string MDQueryGetReadError(const MDQueryRef& query);

// One attribute of a result; none when the item lacks it. kMDItemPath is the
// path; for a path that is not valid UTF-8 it holds the file system's bytes.
std::optional<Value> MDItemCopyAttribute(MDItemRef item, std::string_view name);
// Every attribute the index holds for the item, kMDItemPath included.
Attributes MDItemCopyAttributes(MDItemRef item);
// Why the item's attributes could not be read, once a copy gave none: empty
// when they were read, or when the document has been removed from the index
// since the search.
std::string MDItemGetReadError(MDItemRef item);

// Whether a document with these attributes satisfies the query's own
// expression (that of a subset alone): for telling which record of a file
// with many made it a result.
bool MDQueryExpressionMatches(const MDQueryRef& query, const Attributes& attributes);
// The [low, high] intervals the query's expression asks of `attribute`
// through InRange, outside any negation.
std::vector<std::pair<double, double>> MDQueryRangesOf(const MDQueryRef& query, std::string_view attribute);

// The index a query reads (opening the default one if need be); null with the
// error when it cannot be opened.
std::shared_ptr<Index> OpenDefaultIndex(std::string& error);

}  // namespace metadata

namespace metadata {
// Every attribute the index holds for the document at `path`, kMDItemPath
// included; none when the index does not hold it.
std::optional<Attributes> LookupDocument(Index& index, const std::string& path);
}  // namespace metadata
