// postgres_bench: the shared PostgreSQL index beside the SQLite one on the same
// synthetic documents. Prints import throughput of one and of two writers,
// per panel query kind the median time of each engine in process and through
// orvane-find (a program started per search, as a script would), and the load
// of ten readers searching while two writers import: searches per second and
// their 95th percentile. Structure searches (substructure, selective and
// common, and similarity) are timed beside the others but left out of the load.
//   postgres_bench --uri postgresql:///postgres?host=... [--documents N] [--load-seconds S]
// The URI names a database of a cluster where this user may create databases
// (scripts/postgres-test-cluster.sh start gives one); default $ORVANE_TEST_POSTGRES.
//
// The documents' molecules are made once, in parallel, before any import, as
// the indexer's workers make them before its writer stores them: both engines
// store the very same molecules and the import rates are those of the writers.
// At large sizes --import-documents times the writers on the first N
// documents only, and the indexes searched are filled once each (SQLite by
// its one writer, PostgreSQL by two); the output says so. The machine's load
// average is printed beside the figures.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "bench/load_average.h"
#include "bench/synthetic_documents.h"
#include "platform/metadata/postgres/pg_util.h"
#include "platform/metadata/query.h"
#include "platform/metadata/structure_search.h"

extern char** environ;

using namespace metadata;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct QueryKind {
  const char* name;
  std::string expression;
  bool structure = false;  // timed, but not among the load's searches
};

const std::string kNotBack = " && kMDItemDisplayName != \"*.back\"";
const std::vector<QueryKind> kQueries = {
    {"title contains (c)", "kMDItemTitle == \"*aspirin*\"c" + kNotBack},
    {"title words (wc)", "kMDItemTitle == \"aspirin\"wc" + kNotBack},
    {"title exact", "kMDItemTitle == \"Aspirin 500 crude in CDCl3\"" + kNotBack},
    {"formula exact", "Molvane_Formula == \"C9H8O4\"" + kNotBack},
    {"formula contains", "Molvane_Formula == \"*C9H8O4*\"" + kNotBack},
    {"SMILES fragment", "Molvane_SMILES == \"*C#NBr*\"" + kNotBack},
    {"mass range", "Molvane_Mass > 180 && Molvane_Mass < 181" + kNotBack},
    {"peak range", "InRange(Tormalin_Peaks,7.210000,7.310000)" + kNotBack},
    {"nucleus", "Tormalin_Nucleus == \"*13C*\"" + kNotBack},
    {"dimensions", "Tormalin_nD == 2" + kNotBack},
    {"five criteria",
     "kMDItemTitle == \"*aspirin*\"c && InRange(Tormalin_Peaks,7.210000,7.310000) && Tormalin_Nucleus == \"*1H*\" && Tormalin_nD == 1 && "
     "kMDItemContentCreationDate > $time.this_year(-10)" + kNotBack},
    {"substructure, rare", "Substructure(Molvane_SMILES, \"ClS(=O)(=O)F\")", true},
    {"substructure, common", "Substructure(Molvane_SMILES, \"c1ccncc1\")", true},
    {"similar >= 0.7", "Similar(Molvane_SMILES, \"c1ccccc1C(=O)O\", 0.7)", true},
};

// The documents with their molecules made beforehand, on every core.
std::vector<DocumentRecord> Documents(std::int64_t first, std::int64_t count, std::uint64_t seed) {
  SyntheticDocuments maker(seed);
  std::vector<DocumentRecord> documents;
  documents.reserve(size_t(count));
  for (std::int64_t n = first; n < first + count; ++n) documents.push_back(maker.Next(n));
  const size_t workers = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::thread> threads;
  for (size_t w = 0; w < workers; ++w)
    threads.emplace_back([&, w] {
      for (size_t i = w; i < documents.size(); i += workers) documents[i].molecules = MoleculeEntries(documents[i].attributes);
    });
  for (auto& thread : threads) thread.join();
  return documents;
}

// Writes every `step`-th document from `offset` in batches of 500.
void Import(const std::string& location, const std::vector<DocumentRecord>& documents, size_t offset, size_t step) {
  std::string error;
  auto writer = IndexWriter::Open(location, error);
  if (!writer) throw std::runtime_error(error);
  size_t inBatch = 0;
  writer->Begin();
  for (size_t i = offset; i < documents.size(); i += step) {
    writer->Put(documents[i]);
    if (++inBatch == 500) {
      writer->Commit();
      writer->Begin();
      inBatch = 0;
    }
  }
  writer->Commit();
}

double ImportWith(size_t writers, const std::string& location, const std::vector<DocumentRecord>& documents) {
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  std::vector<std::string> failures(writers);
  for (size_t w = 0; w < writers; ++w)
    threads.emplace_back([&, w] {
      try {
        Import(location, documents, w, writers);
      } catch (const std::exception& failure) {
        failures[w] = failure.what();
      }
    });
  for (auto& thread : threads) thread.join();
  for (const std::string& failure : failures)
    if (!failure.empty()) throw std::runtime_error(failure);
  return double(documents.size()) / Seconds(Clock::now() - start);
}

long Count(const std::shared_ptr<Index>& index, const std::string& expression) {
  MDQueryRef query = MDQueryCreate(index, expression);
  QueryError error;
  if (!query || !MDQueryExecute(query, kMDQuerySynchronous, &error)) throw std::runtime_error("search failed: " + error.message);
  const long count = MDQueryGetResultCount(query);
  if (count > 0) MDQueryGetResultAtIndex(query, 0);
  return count;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

double Percentile95(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[std::min(values.size() - 1, values.size() * 95 / 100)];
}

// orvane-find --count, started as a separate program; its wall time in ms.
double FindProgram(const std::string& location, const std::string& expression) {
  const std::string program = std::string(ORVANE_BIN_DIR) + "/orvane-find";
  std::vector<std::string> words = {program, "--db", location, "--count", expression};
  std::vector<char*> args;
  for (auto& word : words) args.push_back(word.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const auto start = Clock::now();
  pid_t pid = 0;
  const bool started = posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  if (started) waitpid(pid, &status, 0);
  return started ? Milliseconds(Clock::now() - start) : -1;
}

struct Engine {
  const char* name;
  std::string location;
};

// How the server keeps its cache, which the figures depend on: a new session
// (each orvane-find) pays a page fault for each 4 kB of it that it reads,
// unless the cache lies in huge pages.
std::string ServerCache(const std::string& uri) {
  std::string error;
  auto connection = postgres::Connection::Open(uri, error);
  if (!connection) return "not known (" + error + ")";
  postgres::Rows rows = connection->Run("SELECT current_setting('shared_buffers'), current_setting('huge_pages')");
  std::string text = "shared_buffers " + rows.Text(0, 0) + ", huge_pages " + rows.Text(0, 1);
  std::ifstream meminfo("/proc/meminfo");
  std::string line;
  while (std::getline(meminfo, line))
    if (line.starts_with("HugePages_Total") || line.starts_with("HugePages_Free")) text += "; this machine's " + line;
  return text;
}

void PrintQueries(const std::vector<Engine>& engines, int repeat) {
  for (const Engine& engine : engines)
    if (IsDatabaseUri(engine.location)) std::printf("%s server: %s\n", engine.name, ServerCache(engine.location).c_str());
  std::printf("\n%-22s", "query (median ms)");
  for (const Engine& engine : engines) std::printf(" %12s %12s", engine.name, "orvane-find");
  std::printf(" %8s  %s\n", "hits", "load average (1, 5, 15 min) after the row");
  std::vector<std::shared_ptr<Index>> indexes;
  for (const Engine& engine : engines) {
    std::string error;
    indexes.push_back(Index::Open(engine.location, error));
    if (!indexes.back()) throw std::runtime_error(error);
  }
  for (const QueryKind& kind : kQueries) {
    std::printf("%-22s", kind.name);
    std::vector<long> counts;
    for (size_t e = 0; e < engines.size(); ++e) {
      std::vector<double> inProcess, program;
      long count = 0;
      for (int i = 0; i < (kind.structure ? std::max(1, repeat / 2) : repeat); ++i) {
        const auto start = Clock::now();
        count = Count(indexes[e], kind.expression);
        inProcess.push_back(Milliseconds(Clock::now() - start));
      }
      for (int i = 0; i < std::max(1, (kind.structure ? repeat / 4 : repeat / 2)); ++i) program.push_back(FindProgram(engines[e].location, kind.expression));
      counts.push_back(count);
      std::printf(" %12.2f %12.1f", Median(inProcess), Median(program));
    }
    const bool agree = std::all_of(counts.begin(), counts.end(), [&](long c) { return c == counts.front(); });
    std::printf(" %8ld  %s%s\n", counts.front(), LoadAverages().c_str(), agree ? "" : "  (the engines disagree!)");
  }
}

// Ten readers search round the query kinds while the writers import `more`.
void PrintLoad(const Engine& engine, const std::vector<DocumentRecord>& more, int readers, size_t writers) {
  std::atomic<bool> writing{true};
  std::mutex lock;
  std::vector<double> latencies;
  std::vector<std::thread> threads;
  for (int r = 0; r < readers; ++r)
    threads.emplace_back([&, r] {
      std::string error;
      auto index = Index::Open(engine.location, error);
      if (!index) return;
      std::vector<double> mine;
      for (size_t q = size_t(r); writing; ++q) {
        const QueryKind& kind = kQueries[q % kQueries.size()];
        if (kind.structure) continue;
        const auto start = Clock::now();
        Count(index, kind.expression);
        mine.push_back(Milliseconds(Clock::now() - start));
      }
      std::lock_guard<std::mutex> guard(lock);
      latencies.insert(latencies.end(), mine.begin(), mine.end());
    });
  const auto start = Clock::now();
  double importRate = 0;
  try {
    importRate = ImportWith(writers, engine.location, more);
  } catch (const std::exception& failure) {
    std::printf("%s: the writers failed: %s\n", engine.name, failure.what());
  }
  const double elapsed = Seconds(Clock::now() - start);
  writing = false;
  for (auto& thread : threads) thread.join();
  std::printf("%-12s %3d readers, %zu writer(s): %8.1f searches/s, p50 %7.1f ms, p95 %7.1f ms; import %8.0f docs/s (%zu docs in %.1f s); %s\n",
              engine.name, readers, writers, double(latencies.size()) / elapsed, Median(latencies), Percentile95(latencies), importRate, more.size(),
              elapsed, LoadAverages().c_str());
}

std::string FreshDatabase(postgres::Connection& cluster, const std::string& baseUri, const std::string& name) {
  cluster.Execute("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
  cluster.Execute("CREATE DATABASE " + name);
  // The base URI's settings with this database: postgresql:///NAME?...
  const size_t query = baseUri.find('?');
  const size_t path = baseUri.find('/', baseUri.find("://") + 3);
  std::string uri = baseUri.substr(0, path) + "/" + name + (query == std::string::npos ? "" : baseUri.substr(query));
  std::string error;
  if (!InitializeIndex(uri, error)) throw std::runtime_error(error);
  return uri;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"The PostgreSQL index beside the SQLite one: imports, queries, load"};
  std::string uri = std::getenv("ORVANE_TEST_POSTGRES") ? std::getenv("ORVANE_TEST_POSTGRES") : "";
  std::int64_t documents = 100000, loadDocuments = 20000, importDocuments = 0;
  int repeat = 7, readers = 10;
  bool keep = false;
  std::string keptSqlite, keptPostgres, fillPostgres, fillSqlite;
  app.add_option("--uri", uri, "A database of a cluster where this user may create databases");
  app.add_option("--documents", documents, "Documents in each index");
  app.add_option("--import-documents,--one-writer-documents", importDocuments,
                 "Time the writers on only the first N documents (0: all, filling the indexes searched), to save time at large sizes");
  app.add_option("--load-documents", loadDocuments, "Documents the two writers import during the load test (0: no load test)");
  app.add_option("--repeat", repeat, "Runs of each query");
  app.add_option("--readers", readers, "Concurrent readers in the load test");
  app.add_flag("--keep", keep, "Keep the two indexes searched (their places are printed) for searches by hand");
  app.add_option("--search-sqlite", keptSqlite, "With --search-postgres: only time the queries over these two kept indexes");
  app.add_option("--search-postgres", keptPostgres, "With --search-sqlite: only time the queries over these two kept indexes");
  app.add_option("--fill-postgres", fillPostgres,
                 "Only fill a new database of this name with the documents through two writers, and keep it (for --search-postgres)");
  app.add_option("--fill-sqlite", fillSqlite, "Only fill a new SQLite index at this place with the documents through one writer (for --search-sqlite)");
  CLI11_PARSE(app, argc, argv);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // progress shows when the output is a file
  if (!keptSqlite.empty() && !keptPostgres.empty()) {
    std::printf("the queries over indexes kept from an earlier run: %s and %s; %s\n", keptSqlite.c_str(), keptPostgres.c_str(), LoadAverages().c_str());
    try {
      PrintQueries({{"SQLite", keptSqlite}, {"PostgreSQL", keptPostgres}}, repeat);
    } catch (const std::exception& failure) {
      std::fprintf(stderr, "postgres_bench: %s\n", failure.what());
      return 1;
    }
    return 0;
  }
  if (!fillSqlite.empty()) {
    try {
      const auto start = Clock::now();
      const std::vector<DocumentRecord> all = Documents(0, documents, 42);
      ImportWith(1, fillSqlite, all);
      std::printf("filled %s through one writer in %.0f s, molecules made beforehand; %s\n", fillSqlite.c_str(), Seconds(Clock::now() - start),
                  LoadAverages().c_str());
    } catch (const std::exception& failure) {
      std::fprintf(stderr, "postgres_bench: %s\n", failure.what());
      return 1;
    }
    return 0;
  }
  if (uri.empty() || uri.find("/postgres?") == std::string::npos) {
    std::fprintf(stderr, "postgres_bench: give --uri postgresql:///postgres?host=... (the cluster's postgres database)\n");
    return 2;
  }
  try {
    std::string error;
    auto cluster = postgres::Connection::Open(uri, error);
    if (!cluster) throw std::runtime_error(error);
    const fs::path folder = fs::temp_directory_path() / ("orvane-bench-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    auto made = Clock::now();
    const std::vector<DocumentRecord> all = Documents(0, documents, 42);
    std::printf("%lld documents, their molecules made beforehand in %.0f s; %s\n", static_cast<long long>(documents), Seconds(Clock::now() - made),
                LoadAverages().c_str());
    if (!fillPostgres.empty()) {
      made = Clock::now();
      const std::string filled = FreshDatabase(*cluster, uri, fillPostgres);
      ImportWith(2, filled, all);
      const double seconds = Seconds(Clock::now() - made);
      if (auto analyze = postgres::Connection::Open(filled, error)) analyze->Execute("VACUUM ANALYZE");
      std::printf("filled %s through two writers in %.0f s (%.0f documents/s), then VACUUM ANALYZE; %s\n", filled.c_str(), seconds,
                  double(all.size()) / seconds, LoadAverages().c_str());
      return 0;
    }
    const bool subset = importDocuments > 0 && importDocuments < documents;
    const std::vector<DocumentRecord> first(all.begin(), all.begin() + std::ptrdiff_t(subset ? importDocuments : documents));

    std::printf("\n%-34s %12s %12s\n", "import (documents/s)", "SQLite", "PostgreSQL");
    if (subset) std::printf("(the writers timed on the first %zu documents, into indexes of their own)\n", first.size());
    const fs::path sqliteOneFile = folder / (subset ? "timed-one.sqlite" : "one.sqlite");
    const double sqliteOne = ImportWith(1, sqliteOneFile.string(), first);
    const double postgresOne = ImportWith(1, FreshDatabase(*cluster, uri, "orvane_bench_one"), first);
    cluster->Execute("DROP DATABASE IF EXISTS orvane_bench_one WITH (FORCE)");  // its disk for the next one
    std::printf("%-34s %12.0f %12.0f  %s\n", "one writer", sqliteOne, postgresOne, LoadAverages().c_str());
    // SQLite keeps one writer per index (the indexer's design): two take turns at best.
    double sqliteTwo = 0;
    try {
      sqliteTwo = ImportWith(2, (folder / "two.sqlite").string(), first);
    } catch (const std::exception&) {
    }
    fs::remove(folder / "two.sqlite");
    const std::string shared = FreshDatabase(*cluster, uri, subset ? "orvane_bench_timed" : "orvane_bench_two");
    const double postgresTwo = ImportWith(2, shared, first);
    std::printf("%-34s %12s %12.0f  %s\n", "two writers, each half the folders", sqliteTwo > 0 ? std::to_string(int(sqliteTwo)).c_str() : "(one only)",
                postgresTwo, LoadAverages().c_str());
    std::string searched = shared;
    if (subset) {
      fs::remove(sqliteOneFile);
      cluster->Execute("DROP DATABASE IF EXISTS orvane_bench_timed WITH (FORCE)");
      made = Clock::now();
      ImportWith(1, (folder / "one.sqlite").string(), all);
      const double sqliteFill = Seconds(Clock::now() - made);
      made = Clock::now();
      searched = FreshDatabase(*cluster, uri, "orvane_bench_two");
      ImportWith(2, searched, all);
      std::printf("filled for the searches through the same writers: SQLite (one writer) %.0f s, PostgreSQL (two writers) %.0f s; %s\n", sqliteFill,
                  Seconds(Clock::now() - made), LoadAverages().c_str());
    }

    const std::vector<Engine> engines = {{"SQLite", (folder / "one.sqlite").string()}, {"PostgreSQL", searched}};
    cluster->Execute("VACUUM ANALYZE");  // as autovacuum would after a large import
    auto analyze = postgres::Connection::Open(searched, error);
    if (analyze) analyze->Execute("VACUUM ANALYZE");
    PrintQueries(engines, repeat);

    if (loadDocuments > 0) {
      std::printf("\n");
      const std::vector<DocumentRecord> more = Documents(documents, loadDocuments, 7);
      for (const Engine& engine : engines) PrintLoad(engine, more, readers, engine.location == searched ? 2 : 1);
    }
    if (keep) {
      std::printf("\nkept: %s and %s\n", engines[0].location.c_str(), searched.c_str());
      return 0;
    }
    fs::remove_all(folder);
    cluster->Execute("DROP DATABASE IF EXISTS orvane_bench_two WITH (FORCE)");
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "postgres_bench: %s\n", failure.what());
    return 1;
  }
  return 0;
}
