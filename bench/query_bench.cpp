// query_bench: how fast the index answers the panel's queries, on two data
// distributions ("varied": many rare terms; "common": the searched terms match
// 5-15% of documents) at the sizes asked for (100k by default), against a
// naive baseline (one table of attribute rows scanned with LIKE and GLOB).
// Prints, per size, the build time, the index size per document, the time a
// writer takes to pack the look-up bitmaps and their size per document and, per
// query kind, the median and 95th percentile in this process of the count
// plus the first rows the panel shows; with --find, the median of
// `orvane-find --count` (process start included) and of the naive scan run by
// the `sqlite3` program, and their ratio.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "bench/common_term_documents.h"
#include "bench/synthetic_documents.h"
#include "platform/metadata/query.h"
#include "platform/metadata/sqlite/sqlite_util.h"  // the naive baseline is a plain SQLite table
#include "platform/metadata/time_values.h"

using namespace metadata;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
extern char** environ;

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

std::vector<QueryKind> VariedKinds() {
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

// The panel's fields each alone, and all of them together, on the common-term documents.
std::vector<QueryKind> CommonKinds() {
  const std::string notBack = " && kMDItemDisplayName != \"*.back\"";
  const std::string exceptBack = " EXCEPT SELECT doc FROM attrs WHERE name='kMDItemDisplayName' AND value GLOB '*.back'";
  auto attr = [](const std::string& name, const std::string& condition) {
    return "SELECT doc FROM attrs WHERE name='" + name + "' AND " + condition;
  };
  const std::string peak = attr("Tormalin_Peaks", "value BETWEEN 7.21 AND 7.31");
  const std::string after = attr("kMDItemContentCreationDate", "value > " + Year(-10));
  const std::string solvent = attr("kMDItemTitle", "value LIKE '%cdcl3%'") + " UNION " + attr("Tormalin_Notes", "value LIKE '%cdcl3%'");
  const std::string solventQuery = "(kMDItemTitle == \"*cdcl3*\"c || Tormalin_Notes == \"*cdcl3*\"c)";
  return {
      {"formula exact", "Molvane_Formula == \"C9H8O4\"" + notBack, {}, attr("Molvane_Formula", "value = 'C9H8O4'") + exceptBack, ""},
      {"mass range", "Molvane_Mass > 180 && Molvane_Mass < 181" + notBack, {},
       attr("Molvane_Mass", "value > 180") + " INTERSECT " + attr("Molvane_Mass", "value < 181") + exceptBack, ""},
      {"formula contains", "Molvane_Formula == \"*C9H8*\"" + notBack, {}, attr("Molvane_Formula", "value GLOB '*C9H8*'") + exceptBack, ""},
      {"peak range", "InRange(Tormalin_Peaks,7.210000,7.310000)" + notBack, {}, peak + exceptBack, ""},
      {"title or notes contains (c)", solventQuery + notBack, {}, "SELECT * FROM (" + solvent + ")" + exceptBack, ""},
      {"nucleus contains and dimensions", "Tormalin_Nucleus == \"*13C*\" && Tormalin_nD == 2" + notBack, {},
       attr("Tormalin_Nucleus", "value GLOB '*13C*'") + " INTERSECT " + attr("Tormalin_nD", "value = 2") + exceptBack, ""},
      {"five criteria",
       solventQuery + " && InRange(Tormalin_Peaks,7.210000,7.310000) && Tormalin_Nucleus == \"*1H*\" && Tormalin_nD == 1 && "
       "kMDItemContentCreationDate > $time.this_year(-10)" + notBack,
       {}, "SELECT * FROM (" + solvent + ") INTERSECT " + peak + " INTERSECT " + attr("Tormalin_Nucleus", "value GLOB '*1H*'") +
               " INTERSECT " + attr("Tormalin_nD", "value = 1") + " INTERSECT " + after + exceptBack, ""},
      // Titles are words between blanks, so LIKE finds the same whole words.
      {"title whole word (wc)", "kMDItemTitle == \"crude\"wc" + notBack, {}, attr("kMDItemTitle", "' ' || value || ' ' LIKE '% crude %'") + exceptBack, ""},
      {"SMILES fragment (case)", "Molvane_SMILES == \"*c1ccccc1*\"" + notBack, {}, attr("Molvane_SMILES", "value GLOB '*c1ccccc1*'") + exceptBack, ""},
  };
}

struct Distribution {
  std::string name;
  std::function<std::function<DocumentRecord(long)>()> source;  // a fresh, repeatable stream of documents
  std::function<std::vector<QueryKind>()> kinds;
};

std::vector<Distribution> Distributions() {
  return {
      {"varied", [] { return [documents = std::make_shared<SyntheticDocuments>()](long i) { return documents->Next(i); }; }, VariedKinds},
      {"common", [] { return [documents = std::make_shared<CommonTermDocuments>()](long i) { return documents->Next(i); }; }, CommonKinds},
  };
}

// Builds both; the time the writer took to close (packing its look-up rows) in `packSeconds`.
void BuildIndexes(const fs::path& index, const fs::path& baseline, long size, bool withBaseline,
                  const std::function<DocumentRecord(long)>& next, double& packSeconds) {
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
  writer->Begin();
  for (long i = 1; i <= size; ++i) {
    DocumentRecord document = next(i);
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
  const auto closing = Clock::now();
  writer.reset();
  packSeconds = Milliseconds(Clock::now() - closing) / 1000;
  if (withBaseline) Execute(base.get(), "COMMIT");
}

// The rows a panel window shows first.
constexpr long kFirstRows = 899;

long RunOurs(const std::shared_ptr<Index>& index, const QueryKind& kind, const MDQueryRef& parent) {
  MDQueryRef query = parent ? MDQueryCreateSubset(parent, kind.expression) : MDQueryCreate(index, kind.expression);
  MDQuerySetSearchScope(query, kind.scopes);
  if (!MDQueryExecute(query, kMDQuerySynchronous)) return -1;
  const long count = MDQueryGetResultCount(query);
  for (long i = 0; i < std::min(count, kFirstRows); ++i)
    if (!MDQueryGetResultAtIndex(query, i)) return -2;
  return count;
}

long RunBaseline(sqlite3* db, const QueryKind& kind) {
  Statement query(db, "SELECT count(*), min(path) FROM docs WHERE id IN (" + kind.baselineSet + ")");
  query.Step();
  return long(query.Int(0));
}

// Runs a program with an argument vector and reads the number it prints; -1 when it fails.
long RunProgram(const std::vector<std::string>& argv) {
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeEnds[1]);
  std::string output;
  char buffer[256];
  for (ssize_t got; spawned == 0 && (got = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;) output.append(buffer, size_t(got));
  ::close(pipeEnds[0]);
  int status = 0;
  if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return std::strtol(output.c_str(), nullptr, 10);
}

std::string FindProgram() {
  const fs::path beside = fs::path(ORVANE_BIN_DIR) / "orvane-find";
  return fs::exists(beside) ? beside.string() : "orvane-find";
}

bool FoldersGiven(const QueryKind& kind) { return !kind.scopes.empty() || !kind.parent.empty(); }

long RunFind(const fs::path& index, const QueryKind& kind) {
  std::vector<std::string> argv{FindProgram(), "--db", index.string(), "--count"};
  for (const SearchScope& scope : kind.scopes) argv.insert(argv.end(), {"--onlyin", scope.folder});
  argv.push_back(kind.expression);
  return RunProgram(argv);
}

long RunNaiveProgram(const fs::path& baseline, const QueryKind& kind) {
  return RunProgram({"sqlite3", "-readonly", baseline.string(), "SELECT count(*) FROM docs WHERE id IN (" + kind.baselineSet + ");"});
}

// A writer packs the look-up rows as it closes where they are not packed yet
// (an index built by an older version): the time opening and closing one takes.
double PackSeconds(const fs::path& index) {
  const auto start = Clock::now();
  std::string error;
  auto writer = IndexWriter::Open(index, error);
  if (!writer) throw std::runtime_error(error);
  writer.reset();
  return Milliseconds(Clock::now() - start) / 1000;
}

std::int64_t PackBytes(const fs::path& index) {
  sqlite3* raw = nullptr;
  sqlite3_open_v2(index.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  Database db(raw);
  Statement tables(raw, "SELECT count(*) FROM sqlite_master WHERE name IN ('number_buckets', 'value_bitmaps')");
  if (!tables.Step() || tables.Int(0) != 2) return 0;  // an index no writer has packed
  Statement bytes(raw, "SELECT (SELECT coalesce(sum(length(docs)), 0) FROM number_buckets) + "
                       "(SELECT coalesce(sum(length(docs)), 0) FROM value_bitmaps)");
  return bytes.Step() ? bytes.Int(0) : 0;
}

void RemoveIndexFiles(const fs::path& index, const fs::path& baseline) {
  for (const fs::path& file : {index, baseline, fs::path(index.string() + "-wal"), fs::path(index.string() + "-shm")}) fs::remove(file);
}

struct Options {
  int repeat = 15, baselineRepeat = 3, findRepeat = 5;
  long baselineMax = 1000000;
  long change = 0;
  std::string folder;
  bool keep = false, find = false, noPack = false, settle = false;
  std::string only;
};

std::string Ratio(double naive, double ours) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0fx", naive / std::max(ours, 0.001));
  return text;
}

void RunSize(const Distribution& distribution, long size, const Options& options) {
  const std::string stem = distribution.name + "-" + std::to_string(size) + ".sqlite";
  const fs::path index = fs::path(options.folder) / ("index-" + stem);
  const fs::path baseline = fs::path(options.folder) / ("baseline-" + stem);
  const bool withBaseline = size <= options.baselineMax;
  double buildSeconds = 0, packSeconds = 0;
  if (!options.keep || !fs::exists(index) || (withBaseline && !fs::exists(baseline))) {
    RemoveIndexFiles(index, baseline);
    const auto start = Clock::now();
    BuildIndexes(index, baseline, size, withBaseline, distribution.source(), packSeconds);
    buildSeconds = Milliseconds(Clock::now() - start) / 1000;
  } else if (!options.noPack) {
    packSeconds = PackSeconds(index);
  }
  // Writes the first documents again, as a watcher would, and keeps its
  // writer open while the queries run: they are timed with that many
  // documents changed since the look-up bitmaps were packed.
  std::unique_ptr<IndexWriter> watcher;
  if (options.change > 0) {
    std::string problem;
    watcher = IndexWriter::Open(index, problem);
    if (!watcher) throw std::runtime_error(problem);
    const auto next = distribution.source();
    watcher->Begin();
    for (long i = 1; i <= std::min(options.change, size); ++i) watcher->Put(next(i));
    watcher->Commit();
  }
  double settleSeconds = -1;
  if (watcher && options.settle) {  // as an idle watcher does
    const auto settling = Clock::now();
    watcher->Settle();
    settleSeconds = Milliseconds(Clock::now() - settling) / 1000;
  }
  std::string error;
  std::shared_ptr<Index> opened = Index::Open(index, error);
  if (!opened) throw std::runtime_error(error);
  std::printf("\n%s documents, %ld: built in %.1f s (with the baseline: %s), index %.0f bytes a document\n", distribution.name.c_str(),
              size, buildSeconds, withBaseline ? "yes" : "no", double(FileBytes(index)) / double(size));
  std::printf("look-up bitmaps: a writer closing took %.1f s (packing them where missing), they take %.1f bytes a document\n", packSeconds,
              double(PackBytes(index)) / double(size));
  if (watcher) std::printf("%ld documents written again since packing, their writer open\n", std::min(options.change, size));
  if (settleSeconds >= 0) std::printf("the writer settled its packs in %.2f s\n", settleSeconds);
  std::printf("%-34s %9s %10s %10s %12s %8s", "query", "matches", "median ms", "p95 ms", "baseline ms", "ratio");
  if (options.find) std::printf(" %12s %12s %8s", "find ms", "sqlite3 ms", "ratio");
  std::printf("\n");
  Database base;
  if (withBaseline) {
    sqlite3* raw = nullptr;
    sqlite3_open_v2(baseline.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    base.reset(raw);
  }
  for (const QueryKind& kind : distribution.kinds()) {
    if (kind.name.find(options.only) == std::string::npos) continue;
    MDQueryRef parent;
    if (!kind.parent.empty()) {
      parent = MDQueryCreate(opened, kind.parent);
      MDQueryExecute(parent, kMDQuerySynchronous);
    }
    const Timing ours = Measure(options.repeat, [&] { return RunOurs(opened, kind, parent); });
    std::string line;
    char cell[160];
    bool differ = false;
    if (withBaseline) {
      const Timing naive = Measure(options.baselineRepeat, [&] { return RunBaseline(base.get(), kind); });
      differ = differ || naive.matches != ours.matches;
      std::snprintf(cell, sizeof cell, " %12.1f %8s", naive.median, Ratio(naive.median, ours.median).c_str());
    } else {
      std::snprintf(cell, sizeof cell, " %12s %8s", "-", "-");
    }
    line += cell;
    if (options.find && !FoldersGiven(kind)) {
      const Timing find = Measure(options.findRepeat, [&] { return RunFind(index, kind); });
      differ = differ || find.matches != ours.matches;
      if (withBaseline) {
        const Timing naive = Measure(options.baselineRepeat, [&] { return RunNaiveProgram(baseline, kind); });
        differ = differ || naive.matches != ours.matches;
        std::snprintf(cell, sizeof cell, " %12.1f %12.1f %8s", find.median, naive.median, Ratio(naive.median, find.median).c_str());
      } else {
        std::snprintf(cell, sizeof cell, " %12.1f %12s %8s", find.median, "-", "-");
      }
      line += cell;
    } else if (options.find) {
      line += "            -            -        -";  // a subset or folder search is the panel's, not the tool's
    }
    std::printf("%-34s %9ld %10.2f %10.2f%s%s\n", kind.name.c_str(), ours.matches, ours.median, ours.p95, line.c_str(),
                differ ? "  (counts differ)" : "");
    std::fflush(stdout);
  }
  watcher.reset();
  if (!options.keep) RemoveIndexFiles(index, baseline);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Times the panel's queries on synthetic indexes of several sizes.", "query_bench"};
  std::vector<long> sizes{100000};
  std::vector<std::string> distributions{"varied", "common"};
  Options options;
  options.folder = (fs::temp_directory_path() / "orvane-query-bench").string();
  app.add_option("--sizes", sizes, "Index sizes, in documents (such as 100000,1000000,10000000)")->delimiter(',');
  app.add_option("--data", distributions, "Data distributions: varied, common")->delimiter(',');
  app.add_option("--repeat", options.repeat, "Runs of each query");
  app.add_option("--baseline-repeat", options.baselineRepeat, "Runs of each baseline query");
  app.add_option("--find-repeat", options.findRepeat, "Runs of each orvane-find query");
  app.add_option("--baseline-max", options.baselineMax, "Largest size the baseline is built for");
  app.add_option("--dir", options.folder, "Where the indexes are built (reused when --keep left them)");
  app.add_flag("--keep", options.keep, "Keep the indexes for the next run");
  app.add_option("--change", options.change, "Write this many documents again before timing, their writer kept open (as a watcher's)");
  app.add_flag("--no-pack", options.noPack,
               "Do not open a writer on a kept index (which packs its look-up bitmaps where missing): time it as it is");
  app.add_flag("--settle", options.settle, "With --change, let the writer settle its packs before timing, as an idle watcher does");
  app.add_flag("--find", options.find, "Also time `orvane-find --count` and the naive scan by the sqlite3 program");
  app.add_option("--only", options.only, "Run only the query kinds whose name holds this text");
  CLI11_PARSE(app, argc, argv);

  fs::create_directories(options.folder);
  try {
    for (const std::string& name : distributions) {
      bool known = false;
      for (const Distribution& distribution : Distributions())
        if (distribution.name == name) {
          known = true;
          for (long size : sizes) RunSize(distribution, size, options);
        }
      if (!known) throw std::runtime_error("no data distribution named " + name);
    }
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "query_bench: %s\n", failure.what());
    return 1;
  }
  return 0;
}
