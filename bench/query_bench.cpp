// query_bench: how fast the index answers the panel's queries at 10k, 100k and
// 1M documents, against a naive baseline (one table of attribute rows scanned
// with LIKE and GLOB). Prints, per size, the build time, the index size per
// document and, per query kind, the median and 95th percentile of
// count-plus-first-result.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "bench/synthetic_documents.h"
#include "platform/metadata/query.h"
#include "platform/metadata/sqlite/sqlite_util.h"  // the naive baseline is a plain SQLite table
#include "platform/metadata/time_values.h"

using namespace metadata;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct QueryKind {
  std::string name;
  std::string expression;
  std::vector<SearchScope> scopes;
  std::string baselineSet;  // SQL yielding the matching document ids
  std::string parent;       // a subset query: the expression of its parent
};

double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Timing {
  double median = 0, p95 = 0;
  long matches = 0;
};

Timing Measure(int repeat, const std::function<long()>& run) {
  std::vector<double> times;
  long matches = 0;
  for (int i = 0; i < repeat; ++i) {
    const auto start = Clock::now();
    matches = run();
    times.push_back(Milliseconds(Clock::now() - start));
  }
  std::sort(times.begin(), times.end());
  return Timing{times[times.size() / 2], times[std::min(times.size() - 1, times.size() * 95 / 100)], matches};
}

std::uintmax_t FileBytes(const fs::path& file) {
  std::error_code ignored;
  std::uintmax_t total = 0;
  for (const char* suffix : {"", "-wal"}) {
    const auto size = fs::file_size(fs::path(file.string() + suffix), ignored);
    if (!ignored) total += size;
  }
  return total;
}

std::string Year(int offset) { return std::to_string(TimePeriod("this_year", offset, 0)->start); }

std::vector<QueryKind> Kinds() {
  const std::string notBack = " && kMDItemDisplayName != \"*.back\"";
  const std::string exceptBack = " EXCEPT SELECT doc FROM attrs WHERE name='kMDItemDisplayName' AND value GLOB '*.back'";
  auto attr = [](const std::string& name, const std::string& condition) {
    return "SELECT doc FROM attrs WHERE name='" + name + "' AND " + condition;
  };
  const std::string peak = attr("Tormalin_Peaks", "value BETWEEN 7.21 AND 7.31");
  const std::string after = attr("kMDItemContentCreationDate", "value > " + Year(-10));
  const std::string before = attr("kMDItemContentCreationDate", "value < " + Year(-4));
  const std::string titleAspirin = attr("kMDItemTitle", "value LIKE '%aspirin%'");
  return {
      {"title contains (c)", "kMDItemTitle == \"*aspirin*\"c" + notBack, {}, titleAspirin + exceptBack, ""},
      {"title words (wc)", "kMDItemTitle == \"aspirin\"wc" + notBack, {},
       attr("kMDItemTitle", "(value LIKE 'aspirin %' OR value LIKE '% aspirin %' OR value LIKE '% aspirin' OR value LIKE 'aspirin')") + exceptBack, ""},
      {"title contains, case", "kMDItemTitle == \"*Aspirin*\"" + notBack, {}, attr("kMDItemTitle", "value GLOB '*Aspirin*'") + exceptBack, ""},
      {"title exact", "kMDItemTitle == \"Aspirin 500 crude in CDCl3\"" + notBack, {},
       attr("kMDItemTitle", "value = 'Aspirin 500 crude in CDCl3'") + exceptBack, ""},
      {"formula contains", "Molvane_Formula == \"*C9H8O4*\"" + notBack, {}, attr("Molvane_Formula", "value GLOB '*C9H8O4*'") + exceptBack, ""},
      {"formula exact", "Molvane_Formula == \"C9H8O4\"" + notBack, {}, attr("Molvane_Formula", "value = 'C9H8O4'") + exceptBack, ""},
      {"SMILES fragment", "Molvane_SMILES == \"*C#NBr*\"" + notBack, {}, attr("Molvane_SMILES", "value GLOB '*C#NBr*'") + exceptBack, ""},
      {"mass range", "Molvane_Mass > 180 && Molvane_Mass < 181" + notBack, {},
       attr("Molvane_Mass", "value > 180") + " INTERSECT " + attr("Molvane_Mass", "value < 181") + exceptBack, ""},
      {"peak range", "InRange(Tormalin_Peaks,7.210000,7.310000)" + notBack, {}, peak + exceptBack, ""},
      {"peak range, no .back clause", "InRange(Tormalin_Peaks,7.210000,7.310000)", {}, peak, ""},
      {"nucleus", "Tormalin_Nucleus == \"*13C*\"" + notBack, {}, attr("Tormalin_Nucleus", "value GLOB '*13C*'") + exceptBack, ""},
      {"dimensions", "Tormalin_nD == 2" + notBack, {}, attr("Tormalin_nD", "value = 2") + exceptBack, ""},
      {"years (19F, 2016-2022)",
       "Tormalin_Nucleus == \"*19F*\" && kMDItemContentCreationDate > $time.this_year(-10) && kMDItemContentCreationDate < $time.this_year(-4)" + notBack,
       {}, attr("Tormalin_Nucleus", "value GLOB '*19F*'") + " INTERSECT " + after + " INTERSECT " + before + exceptBack, ""},
      {"five criteria",
       "kMDItemTitle == \"*aspirin*\"c && InRange(Tormalin_Peaks,7.210000,7.310000) && Tormalin_Nucleus == \"*1H*\" && Tormalin_nD == 1 && "
       "kMDItemContentCreationDate > $time.this_year(-10)" + notBack,
       {}, titleAspirin + " INTERSECT " + peak + " INTERSECT " + attr("Tormalin_Nucleus", "value GLOB '*1H*'") + " INTERSECT " +
               attr("Tormalin_nD", "value = 1") + " INTERSECT " + after + exceptBack, ""},
      {"five criteria, one folder",
       "kMDItemTitle == \"*aspirin*\"c && InRange(Tormalin_Peaks,7.210000,7.310000) && Tormalin_Nucleus == \"*1H*\" && Tormalin_nD == 1 && "
       "kMDItemContentCreationDate > $time.this_year(-10)" + notBack,
       {FolderScope("/data/group3")},
       titleAspirin + " INTERSECT " + peak + " INTERSECT " + attr("Tormalin_Nucleus", "value GLOB '*1H*'") + " INTERSECT " +
           attr("Tormalin_nD", "value = 1") + " INTERSECT " + after + " INTERSECT SELECT id FROM docs WHERE path GLOB '/data/group3/*'" + exceptBack,
       ""},
      {"subset: peak within 1H", "InRange(Tormalin_Peaks,7.210000,7.310000)" + notBack, {},
       attr("Tormalin_Nucleus", "value GLOB '*1H*'") + " INTERSECT " + peak + exceptBack, "Tormalin_Nucleus == \"*1H*\"" + notBack},
  };
}

void BuildIndexes(const fs::path& index, const fs::path& baseline, long size, bool withBaseline) {
  std::string error;
  auto writer = IndexWriter::Open(index, error);
  if (!writer) throw std::runtime_error(error);
  Database base;
  std::unique_ptr<Statement> addRow, addDoc;
  if (withBaseline) {
    sqlite3* raw = nullptr;
    sqlite3_open(baseline.c_str(), &raw);
    base.reset(raw);
    Execute(raw, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; CREATE TABLE docs(id INTEGER PRIMARY KEY, path TEXT); "
                 "CREATE TABLE attrs(doc INTEGER, name TEXT, value); BEGIN");
    addRow = std::make_unique<Statement>(raw, "INSERT INTO attrs VALUES(?1, ?2, ?3)");
    addDoc = std::make_unique<Statement>(raw, "INSERT INTO docs VALUES(?1, ?2)");
  }
  SyntheticDocuments documents;
  writer->Begin();
  for (long i = 1; i <= size; ++i) {
    DocumentRecord document = documents.Next(i);
    writer->Put(document);
    if (i % 20000 == 0) {
      writer->Commit();
      writer->Begin();
    }
    if (!withBaseline) continue;
    addDoc->Reset().Bind(1, std::int64_t(i)).BindText(2, document.path).Run();
    for (const auto& [name, value] : document.attributes) {
      auto row = [&](auto&& bind) {
        addRow->Reset().Bind(1, std::int64_t(i)).BindText(2, name);
        bind(*addRow);
        addRow->Run();
      };
      std::visit(
          [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::string>) row([&](Statement& s) { s.BindText(3, v); });
            else if constexpr (std::is_same_v<T, double>) row([&](Statement& s) { s.Bind(3, v); });
            else if constexpr (std::is_same_v<T, Date>) row([&](Statement& s) { s.Bind(3, v.seconds); });
            else if constexpr (std::is_same_v<T, StringArray>) for (const auto& e : v) row([&](Statement& s) { s.BindText(3, e); });
            else for (double e : v) row([&](Statement& s) { s.Bind(3, e); });
          },
          value);
    }
  }
  writer->Commit();
  if (withBaseline) Execute(base.get(), "COMMIT");
}

long RunOurs(const std::shared_ptr<Index>& index, const QueryKind& kind, const MDQueryRef& parent) {
  MDQueryRef query = parent ? MDQueryCreateSubset(parent, kind.expression) : MDQueryCreate(index, kind.expression);
  MDQuerySetSearchScope(query, kind.scopes);
  if (!MDQueryExecute(query, kMDQuerySynchronous)) return -1;
  const long count = MDQueryGetResultCount(query);
  if (count > 0 && !MDQueryGetResultAtIndex(query, 0)) return -2;
  return count;
}

long RunBaseline(sqlite3* db, const QueryKind& kind) {
  Statement query(db, "SELECT count(*), min(path) FROM docs WHERE id IN (" + kind.baselineSet + ")");
  query.Step();
  return long(query.Int(0));
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Times the panel's queries on synthetic indexes of several sizes.", "query_bench"};
  std::vector<long> sizes{10000, 100000, 1000000};
  int repeat = 15, baselineRepeat = 3;
  long baselineMax = 1000000;
  std::string folder = (fs::temp_directory_path() / "orvane-query-bench").string();
  bool keep = false;
  std::string only;
  app.add_option("--sizes", sizes, "Index sizes, in documents")->delimiter(',');
  app.add_option("--repeat", repeat, "Runs of each query");
  app.add_option("--baseline-repeat", baselineRepeat, "Runs of each baseline query");
  app.add_option("--baseline-max", baselineMax, "Largest size the baseline is built for");
  app.add_option("--dir", folder, "Where the indexes are built (reused when --keep left them)");
  app.add_flag("--keep", keep, "Keep the indexes for the next run");
  app.add_option("--only", only, "Run only the query kinds whose name holds this text");
  CLI11_PARSE(app, argc, argv);

  fs::create_directories(folder);
  for (long size : sizes) {
    const fs::path index = fs::path(folder) / ("index-" + std::to_string(size) + ".sqlite");
    const fs::path baseline = fs::path(folder) / ("baseline-" + std::to_string(size) + ".sqlite");
    const bool withBaseline = size <= baselineMax;
    double buildSeconds = 0;
    if (!keep || !fs::exists(index)) {
      for (const fs::path& stale : {index, baseline, fs::path(index.string() + "-wal"), fs::path(index.string() + "-shm")}) fs::remove(stale);
      const auto start = Clock::now();
      BuildIndexes(index, baseline, size, withBaseline);
      buildSeconds = Milliseconds(Clock::now() - start) / 1000;
    }
    std::string error;
    std::shared_ptr<Index> opened = Index::Open(index, error);
    if (!opened) {
      std::fprintf(stderr, "query_bench: %s\n", error.c_str());
      return 1;
    }
    std::printf("\n%ld documents: built in %.1f s (with the baseline: %s), index %.0f bytes a document\n", size, buildSeconds,
                withBaseline ? "yes" : "no", double(FileBytes(index)) / double(size));
    std::printf("%-30s %9s %10s %10s %12s %8s\n", "query", "matches", "median ms", "p95 ms", "baseline ms", "ratio");
    Database base;
    if (withBaseline) {
      sqlite3* raw = nullptr;
      sqlite3_open_v2(baseline.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
      base.reset(raw);
    }
    for (const QueryKind& kind : Kinds()) {
      if (kind.name.find(only) == std::string::npos) continue;
      MDQueryRef parent;
      if (!kind.parent.empty()) {
        parent = MDQueryCreate(opened, kind.parent);
        MDQueryExecute(parent, kMDQuerySynchronous);
      }
      const Timing ours = Measure(repeat, [&] { return RunOurs(opened, kind, parent); });
      if (withBaseline) {
        const Timing naive = Measure(baselineRepeat, [&] { return RunBaseline(base.get(), kind); });
        std::printf("%-30s %9ld %10.2f %10.2f %12.1f %7.0fx%s\n", kind.name.c_str(), ours.matches, ours.median, ours.p95, naive.median,
                    naive.median / std::max(ours.median, 0.001), naive.matches == ours.matches ? "" : "  (baseline counts differ)");
      } else {
        std::printf("%-30s %9ld %10.2f %10.2f %12s %8s\n", kind.name.c_str(), ours.matches, ours.median, ours.p95, "-", "-");
      }
      std::fflush(stdout);
    }
    if (!keep) {
      for (const fs::path& file : {index, baseline, fs::path(index.string() + "-wal"), fs::path(index.string() + "-shm")}) fs::remove(file);
    }
  }
  return 0;
}
