// Random documents and random queries from the whole language: what the index
// answers must equal what evaluating each document's own values answers, for
// every query, subset query and folder scope. The index narrows with its tables
// and re-checks only where it knows a table cannot decide, so any narrowing
// step that drops a true match, or keeps a false one, shows here.
//
// Runs for ORVANE_DIFFERENTIAL_SECONDS (5 by default) from a random seed, or from
// ORVANE_DIFFERENTIAL_SEED. A disagreement is shrunk to the fewest documents and
// the smallest expression that still disagree, and printed with the seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <iostream>
#include <optional>
#include <random>
#include <set>
#include <sstream>

#include "platform/metadata/document_match.h"
#include "platform/metadata/evaluator.h"
#include "platform/metadata/json_documents.h"
#include "platform/metadata/parser.h"
#include "platform/metadata/query.h"
#include "platform/metadata/sqlite/schema.h"
#include "tests/platform/metadata/random_queries.h"
#include "tests/support/postgres_database.h"
#include "tests/support/restored_limits.h"
#include "tests/support/temp_home.h"

using namespace metadata;
using namespace differential;
namespace fs = std::filesystem;

namespace {

// ---- the two answers ----------------------------------------------------------

// Bytes outside printable ASCII as \xNN, so that any path prints.
std::string Escaped(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F) {
      out += char(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

struct Case {
  std::string expression;
  std::string parent;  // non-empty: a subset query of this parent
  std::string folder;  // non-empty: limited to this folder
  bool network = false;  // limited to the network scope
};

std::string Describe(const Case& c) {
  std::string text = "expression: " + Escaped(c.expression);
  if (!c.parent.empty()) text += "\n  within the results of: " + Escaped(c.parent);
  if (!c.folder.empty()) text += "\n  in folder: " + c.folder;
  if (c.network) text += "\n  in the network scope";
  return text;
}

bool InFolder(const std::string& path, const std::string& folder) {
  return path.compare(0, folder.size(), folder) == 0 && (path.size() == folder.size() || path[folder.size()] == '/');
}

std::set<std::string> PlainAnswer(const std::vector<Document>& documents, const Case& c) {
  ParseResult parsed = ParseQuery(c.expression);
  ParseResult parent = ParseQuery(c.parent.empty() ? "true" : c.parent);
  std::set<std::string> paths;
  for (const Document& document : documents) {
    Attributes attributes = document.attributes;
    attributes[kPathAttribute] = document.path;
    if (!DocumentSatisfies(*parent.root, attributes) || !DocumentSatisfies(*parsed.root, attributes)) continue;
    if (!c.folder.empty() && !InFolder(document.path, c.folder)) continue;
    if (c.network && !document.network) continue;
    paths.insert(document.path);
  }
  return paths;
}

// The results' paths; one that comes out of path order (bytes compared) is
// marked, so that the answers differ and the mark shows where.
std::set<std::string> Paths(const MDQueryRef& query) {
  std::set<std::string> paths;
  std::string previous;
  for (long i = 0; i < MDQueryGetResultCount(query); ++i) {
    MDItemRef item = MDQueryGetResultAtIndex(query, i);
    if (!item) continue;
    std::string path = std::get<std::string>(*MDItemCopyAttribute(item, kPathAttribute));
    const bool inOrder = i == 0 || previous < path;
    previous = path;
    paths.insert(inOrder ? path : "(out of path order) " + path);
  }
  return paths;
}

MDQueryRef Executed(MDQueryRef query) {
  QueryError error;
  if (!query || !MDQueryExecute(query, kMDQuerySynchronous, &error)) throw std::runtime_error("search failed: " + error.message);
  return query;
}

std::set<std::string> IndexAnswer(const std::shared_ptr<Index>& index, const Case& c) {
  MDQueryRef query;
  if (c.parent.empty()) {
    query = MDQueryCreate(index, c.expression);
  } else {
    query = MDQueryCreateSubset(Executed(MDQueryCreate(index, c.parent)), c.expression);
  }
  if (!c.folder.empty()) MDQuerySetSearchScope(query, {FolderScope(c.folder)});
  if (c.network) MDQuerySetSearchScope(query, {kMDQueryScopeNetwork});
  return Paths(Executed(query));
}

std::string Listed(const std::set<std::string>& paths) {
  std::string text;
  for (const std::string& path : paths) text += "\n    " + Escaped(path);
  return text.empty() ? " (none)" : text;
}

class IndexBuilder {
 public:
  IndexBuilder() : file_(home_.root() / "index.sqlite") {}
  // Over the PostgreSQL database instead of a file.
  explicit IndexBuilder(TestDatabase& database) : file_(database.uri()), database_(&database) {}

  // How the next indexes are written: the share of the documents written
  // before a first writer closes (and packs its look-up rows), and whether the
  // writer that puts the rest stays open while the index is read, as the
  // watcher's does, and settles its packs first, as an idle watcher does.
  void WriteInTwo(double firstShare, bool keepOpen, bool settle = false) {
    firstShare_ = firstShare;
    keepOpen_ = keepOpen;
    settle_ = settle;
  }

  // The format version of the next SQLite indexes: the present one, or one of
  // those before (5: words and case-folded trigrams of display names kept; 4:
  // also of SMILES and formulae, and numbers unscaled), which are still read
  // and written as they are laid out.
  void Layout(int version) { version_ = version; }

  // Whether the server's statistics then count the documents, as once its
  // autovacuum has run, or know none, as right after writing: the reader
  // weighs a look-up among candidates against the whole one by them.
  void Analyzed(bool analyzed) { analyzed_ = analyzed; }

  // A fresh index holding `documents`; `replaced` are stored first and then
  // overwritten or removed, so that replacing and removing are part of the test.
  std::shared_ptr<Index> Build(const std::vector<Document>& documents, const std::vector<Document>& replaced = {},
                               const std::vector<std::string>& removed = {}) {
    openWriter_.reset();
    std::error_code ignored;
    if (database_) database_->Empty();
    else
      for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(file_.string() + suffix, ignored);
    const auto first = std::ptrdiff_t(double(documents.size()) * firstShare_);
    if (version_ != sqlite::kSchemaVersion && !database_) {
      OpenWriter().reset();
      sqlite3* db = nullptr;
      sqlite3_open(file_.c_str(), &db);
      sqlite3_exec(db, ("PRAGMA user_version=" + std::to_string(version_)).c_str(), nullptr, nullptr, nullptr);
      sqlite3_close(db);
    }
    auto writer = OpenWriter();
    writer->Begin();
    for (const Document& document : replaced) writer->Put(Record(document));
    writer->Commit();
    writer->Begin();
    for (auto document = documents.begin(); document != documents.begin() + first; ++document) writer->Put(Record(*document));
    writer->Commit();
    writer.reset();
    writer = OpenWriter();
    writer->Begin();
    for (auto document = documents.begin() + first; document != documents.end(); ++document) writer->Put(Record(*document));
    for (const std::string& path : removed) writer->Remove(path);
    writer->Commit();
    if (settle_) writer->Settle();
    if (keepOpen_ && !database_) openWriter_ = std::move(writer);
    writer.reset();
    if (database_ && analyzed_) database_->Execute("ANALYZE");
    std::string error;
    auto index = Index::Open(file_, error);
    if (!index) throw std::runtime_error(error);
    return index;
  }

 private:
  static DocumentRecord Record(const Document& document) {
    DocumentRecord record;
    record.path = document.path;
    record.network = document.network;
    record.attributes = document.attributes;
    return record;
  }

  std::unique_ptr<IndexWriter> OpenWriter() {
    std::string error;
    auto writer = IndexWriter::Open(file_, error);
    if (!writer) throw std::runtime_error(error);
    return writer;
  }

  TempHome home_;
  fs::path file_;
  TestDatabase* database_ = nullptr;
  double firstShare_ = 0;
  bool keepOpen_ = false, settle_ = false, analyzed_ = false;
  int version_ = sqlite::kSchemaVersion;
  std::unique_ptr<IndexWriter> openWriter_;
};

std::optional<std::string> Disagreement(IndexBuilder& builder, const std::vector<Document>& documents, const Case& c,
                                        const std::vector<Document>& replaced = {}, const std::vector<std::string>& removed = {}) {
  const std::set<std::string> plain = PlainAnswer(documents, c);
  const std::set<std::string> indexed = IndexAnswer(builder.Build(documents, replaced, removed), c);
  if (plain == indexed) return std::nullopt;
  std::set<std::string> missed, extra;
  std::set_difference(plain.begin(), plain.end(), indexed.begin(), indexed.end(), std::inserter(missed, missed.end()));
  std::set_difference(indexed.begin(), indexed.end(), plain.begin(), plain.end(), std::inserter(extra, extra.end()));
  return "  the index misses:" + Listed(missed) + "\n  the index adds:" + Listed(extra);
}

// ---- shrinking ------------------------------------------------------------------

std::vector<Expression> Simpler(const Expression& e) {
  std::vector<Expression> simpler(e.children.begin(), e.children.end());
  if (e.kind == Expression::Kind::And || e.kind == Expression::Kind::Or) {
    for (size_t i = 0; i < e.children.size() && e.children.size() > 2; ++i) {
      Expression fewer = e;
      fewer.children.erase(fewer.children.begin() + std::ptrdiff_t(i));
      simpler.push_back(std::move(fewer));
    }
  }
  for (size_t i = 0; i < e.children.size(); ++i)
    for (Expression& child : Simpler(e.children[i])) {
      Expression changed = e;
      changed.children[i] = std::move(child);
      simpler.push_back(std::move(changed));
    }
  return simpler;
}

std::string Shrunk(IndexBuilder& builder, std::vector<Document> documents, Expression expression, Case c) {
  auto fails = [&](const std::vector<Document>& docs, const Expression& e) {
    Case attempt = c;
    attempt.expression = e.Render();
    return Disagreement(builder, docs, attempt).has_value();
  };
  if (!fails(documents, expression)) return "  (it needs the replaced and removed documents; not shrunk)";
  for (bool progress = true; progress;) {
    progress = false;
    for (const Expression& simpler : Simpler(expression))
      if (fails(documents, simpler)) {
        expression = simpler;
        progress = true;
        break;
      }
  }
  for (size_t i = 0; i < documents.size();) {
    std::vector<Document> fewer = documents;
    fewer.erase(fewer.begin() + std::ptrdiff_t(i));
    if (fails(fewer, expression)) documents = std::move(fewer); else ++i;
  }
  c.expression = expression.Render();
  std::ostringstream out;
  out << "  smallest case: " << Describe(c) << "\n" << *Disagreement(builder, documents, c) << "\n  documents:";
  for (const Document& document : documents) {
    nlohmann::json line = {{"network", document.network}, {"attributes", AttributesToTypedJson(document.attributes)}};
    out << "\n    " << Escaped(document.path) << " " << DumpJson(line);
  }
  return out.str();
}

// ---- the property ------------------------------------------------------------------

double BudgetSeconds() {
  const char* text = std::getenv("ORVANE_DIFFERENTIAL_SECONDS");
  const double seconds = text ? std::atof(text) : 0;
  return seconds > 0 ? seconds : 5;
}

std::uint64_t Seed() {
  if (const char* text = std::getenv("ORVANE_DIFFERENTIAL_SEED")) return std::strtoull(text, nullptr, 10);
  return std::random_device{}();
}

TEST(Differential, TheIndexAnswersWhatEachDocumentsOwnValuesAnswer) {
  const std::uint64_t seed = Seed();
  const RestoredLimits restore;
  Random random(seed);
  // Every engine is given the same documents and asked the same questions; each
  // must answer what the documents' own values answer, and so what the others answer.
  struct Engine {
    const char* name;
    std::unique_ptr<IndexBuilder> builder;
    std::shared_ptr<Index> index;
  };
  std::vector<Engine> engines;
  engines.push_back({"SQLite", std::make_unique<IndexBuilder>(), nullptr});
  if (TestDatabase::Selected()) {
    if (const std::string reason = TestDatabase::SkipReason(); !reason.empty()) GTEST_SKIP() << reason;
    engines.push_back({"PostgreSQL", std::make_unique<IndexBuilder>(TestDatabase::Shared()), nullptr});
  }
  const auto start = std::chrono::steady_clock::now();
  const auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
  size_t cases = 0, indexes = 0;
  while (elapsed() < BudgetSeconds()) {
    DocumentMaker maker(random);
    std::vector<Document> documents, replaced;
    std::vector<std::string> removed;
    // Half the indexes first meet a document with many other attributes, so
    // that the panel's own attributes are numbered past 64.
    if (random.Chance(0.5)) documents.push_back(maker.MakeWide(documents.size()));
    for (size_t n = 5 + random.Below(40); n > 0; --n) documents.push_back(maker.Make(documents.size()));
    // Some documents were stored with other values first, some stored and removed.
    for (size_t n = random.Below(6); n > 0; --n) {
      Document old = random.Pick(documents);
      old.attributes.clear();
      old.attributes[random.Chance(0.5) ? "kMDItemTitle" : "Tormalin_Peaks"] = maker.MakeValue();
      replaced.push_back(old);
    }
    for (size_t n = random.Below(3); n > 0; --n) {
      Document gone = maker.Make(1000 + removed.size());
      replaced.push_back(gone);
      removed.push_back(gone.path);
    }
    // The planner's thresholds scaled down to these few documents, so that every
    // way of finding candidates is taken: probes that stop, checks of each
    // document, matching by distinct values and by trigrams.
    // (An attribute matched value by value when it has at most one value seldom
    // is: so the words' and trigrams' look-ups are taken as often.)
    // Results put in order by the index's path ranks, by a walk of the paths, or
    // both ways; substrings looked up among the candidates or in the whole index;
    // case-sensitive ones and those without case by their trigrams alone, or by
    // a scan of the packed values once they pass a row or a few, whatever the
    // values' bytes, or only where those bytes are few enough.
    SetPlannerLimits({random.Below(60), 1 + random.Below(80), random.Chance(0.3) ? 1 : random.Below(30),
                      random.Chance(0.5) ? 0 : random.Below(20), random.Below(80), random.Below(3),
                      random.Chance(0.3) ? 0 : random.Below(4), random.Chance(0.5) ? 0 : random.Below(40)});
    // Look-up packs as small: frequent values and buckets of a row or a few,
    // then documents changed after packing, few enough to be listed or so many
    // that the packs are dropped; packed values in parts of a value or a few.
    SetPackLimits({1 + random.Below(3), 1 + random.Below(5), random.Below(12), 1 + random.Below(64)});
    const double firstShare = random.Chance(0.2) ? 1.0 : random.Real(0, 1);
    const bool keepOpen = random.Chance(0.5), settle = random.Chance(0.5), analyzed = random.Chance(0.5);
    const double layout = random.Real(0, 1);
    const int version = layout < 0.2 ? sqlite::kUnscaledSchemaVersion : layout < 0.4 ? sqlite::kFoldedTextsSchemaVersion : sqlite::kSchemaVersion;
    for (Engine& engine : engines) {
      engine.builder->WriteInTwo(firstShare, keepOpen, settle);
      engine.builder->Layout(version);
      engine.builder->Analyzed(analyzed);
      engine.index = engine.builder->Build(documents, replaced, removed);
    }
    ++indexes;
    ExpressionMaker expressions(random, documents);
    for (int round = 0; round < 40; ++round, ++cases) {
      const Expression expression = random.Chance(0.1)   ? expressions.WordSearch()
                                    : random.Chance(0.1) ? expressions.NameSearch()
                                    : random.Chance(0.1) ? expressions.Conjunction()
                                    : random.Chance(0.2) ? expressions.FragmentSearch()
                                                         : expressions.Make();
      Case c{expression.Render(), {}, {}, false};
      if (random.Chance(0.15)) c.parent = expressions.Make().Render();
      if (random.Chance(0.1)) c.folder = random.Pick(kFolders);
      else if (random.Chance(0.05)) c.network = true;
      if (!ParseQuery(c.expression).root || (!c.parent.empty() && !ParseQuery(c.parent).root)) {
        ADD_FAILURE() << "the test wrote an expression the language refuses: " << c.expression << " / " << c.parent;
        return;
      }
      const std::set<std::string> plain = PlainAnswer(documents, c);
      for (Engine& engine : engines) {
        const std::set<std::string> indexed = IndexAnswer(engine.index, c);
        if (plain == indexed) continue;
        IndexBuilder& builder = *engine.builder;
        ADD_FAILURE() << "seed " << seed << ": the " << engine.name << " index and the documents' own values disagree on\n  "
                      << Describe(c) << "\n"
                      << *Disagreement(builder, documents, c, replaced, removed) << "\n"
                      << Shrunk(builder, documents, expression, c);
        return;
      }
    }
  }
  std::cout << "differential (" << (engines.size() > 1 ? "SQLite and PostgreSQL" : "SQLite") << "): seed " << seed << ", " << cases << " cases over " << indexes << " indexes in " << elapsed()
            << " s (" << double(cases) / elapsed() << " cases/s), no disagreement\n";
}

}  // namespace
