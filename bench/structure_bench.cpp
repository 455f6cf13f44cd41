// structure_bench: search by structure over many realistic molecules. The
// molecules are made by cutting the test data's molecules at their BRICS bonds
// and joining the pieces again at random (a core with a piece on each of its
// cut bonds), so they have the ring systems and groups of real drug-like
// molecules without repeating a few. Prints the import rate with the
// fingerprints, the index growth per molecule, and per query the median time
// in the searching process (fingerprints loaded once, then kept) and through
// orvane-find, the time until the first 899 results are known, the time split
// between screen and check, and the screen's false-positive rate.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include <CLI/CLI.hpp>
#include <GraphMol/ChemTransforms/MolFragmenter.h>
#include <GraphMol/FileParsers/MolSupplier.h>
#include <GraphMol/MolOps.h>
#include <GraphMol/ROMol.h>
#include <GraphMol/RWMol.h>
#include <GraphMol/SmilesParse/SmilesParse.h>
#include <GraphMol/SmilesParse/SmilesWrite.h>
#include <GraphMol/FileParsers/FileParsers.h>

#include <sqlite3.h>

#include "bench/load_average.h"
#include "platform/metadata/encoding.h"
#include "platform/metadata/stored_values.h"
#include "platform/metadata/query.h"
#include "platform/metadata/structure_search.h"

using namespace metadata;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The BRICS pieces of every molecule of the SD files, each with its cut points
// as dummy atoms.
std::vector<std::unique_ptr<RDKit::ROMol>> Pieces(const std::vector<fs::path>& files) {
  std::unordered_set<std::string> seen;
  std::vector<std::unique_ptr<RDKit::ROMol>> pieces;
  for (const fs::path& file : files) {
    RDKit::SDMolSupplier supplier(file.string());
    while (!supplier.atEnd()) {
      std::unique_ptr<RDKit::ROMol> mol(supplier.next());
      if (!mol) continue;
      std::unique_ptr<RDKit::ROMol> cut(RDKit::MolFragmenter::fragmentOnBRICSBonds(*mol));
      for (const auto& piece : RDKit::MolOps::getMolFrags(*cut, true)) {
        const std::string smiles = RDKit::MolToSmiles(*piece);
        if (seen.insert(smiles).second) pieces.emplace_back(new RDKit::ROMol(*piece));
      }
    }
  }
  return pieces;
}

std::vector<unsigned> Dummies(const RDKit::ROMol& mol) {
  std::vector<unsigned> dummies;
  for (const RDKit::Atom* atom : mol.atoms())
    if (atom->getAtomicNum() == 0) dummies.push_back(atom->getIdx());
  return dummies;
}

// Joins `piece` to `mol` at one dummy of each: the dummies go, their neighbours bond.
void Attach(RDKit::RWMol& mol, unsigned dummy, const RDKit::ROMol& piece, std::mt19937& random) {
  const std::vector<unsigned> ends = Dummies(piece);
  const unsigned offset = mol.getNumAtoms();
  mol.insertMol(piece);
  const unsigned other = offset + ends[random() % ends.size()];
  const unsigned a = (*mol.atomNeighbors(mol.getAtomWithIdx(dummy)).begin())->getIdx();
  const unsigned b = (*mol.atomNeighbors(mol.getAtomWithIdx(other)).begin())->getIdx();
  mol.addBond(a, b, RDKit::Bond::SINGLE);
  mol.removeAtom(std::max(dummy, other));
  mol.removeAtom(std::min(dummy, other));
}

// A new molecule: a core with pieces joined at its cut points, up to five,
// and what stays open capped with hydrogen.
std::string Recombined(const std::vector<std::unique_ptr<RDKit::ROMol>>& pieces, std::mt19937& random) {
  RDKit::RWMol mol(*pieces[random() % pieces.size()]);
  for (int joins = 0; joins < 5; ++joins) {
    std::vector<unsigned> open = Dummies(mol);
    if (open.empty() || mol.getNumAtoms() > 40) break;
    const RDKit::ROMol* piece = pieces[random() % pieces.size()].get();
    if (Dummies(*piece).empty()) continue;  // an uncut molecule joins nothing
    Attach(mol, open[random() % open.size()], *piece, random);
  }
  std::vector<unsigned> open = Dummies(mol);
  std::sort(open.rbegin(), open.rend());
  for (unsigned dummy : open) mol.removeAtom(dummy);
  try {
    RDKit::MolOps::sanitizeMol(mol);
    return RDKit::MolToSmiles(mol);
  } catch (...) {
    return {};
  }
}

std::vector<std::string> MakeMolecules(size_t count, unsigned seed) {
  const fs::path data = ORVANE_TESTDATA_DIR;
  const auto pieces = Pieces({data / "molecules" / "cdk2.sdf", data / "nmredata" / "compound1.nmredata.sdf"});
  std::printf("BRICS pieces of the test data's molecules: %zu\n", pieces.size());
  std::mt19937 random(seed);
  std::unordered_set<std::string> seen;
  std::vector<std::string> molecules;
  while (molecules.size() < count) {
    std::string smiles = Recombined(pieces, random);
    if (!smiles.empty() && smiles.find('.') == std::string::npos && seen.insert(smiles).second) molecules.push_back(std::move(smiles));
  }
  return molecules;
}

// The molecules of an index built before, in document order, so that another
// store gets the very same molecules without making them again.
std::vector<std::string> MoleculesOf(const fs::path& file) {
  sqlite3* raw = nullptr;
  if (sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    const std::string message = raw ? sqlite3_errmsg(raw) : "out of memory";
    sqlite3_close(raw);
    throw std::runtime_error(file.string() + ": " + message);
  }
  std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, sqlite3_close);
  auto prepare = [&](const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(raw, sql, -1, &statement, nullptr) != SQLITE_OK)
      throw std::runtime_error(file.string() + " is not an index this bench built: " + sqlite3_errmsg(raw));
    return statement;
  };
  sqlite3_stmt* named = prepare("SELECT id FROM attribute_names WHERE name = ?1");
  sqlite3_bind_text(named, 1, attributes::kSmiles, -1, SQLITE_STATIC);
  const int smiles = sqlite3_step(named) == SQLITE_ROW ? sqlite3_column_int(named, 0) : -1;
  sqlite3_finalize(named);
  if (smiles < 0) throw std::runtime_error(file.string() + " holds no molecules");
  std::vector<std::string> molecules;
  sqlite3_stmt* records = prepare("SELECT attributes FROM documents ORDER BY id");
  while (sqlite3_step(records) == SQLITE_ROW) {
    const std::string_view record(static_cast<const char*>(sqlite3_column_blob(records, 0)), size_t(sqlite3_column_bytes(records, 0)));
    DecodeAttributes(record, [&](int id, Value&& value) {
      if (id == smiles) ForEachString(value, [&](const std::string& text) { molecules.push_back(text); });
    });
  }
  sqlite3_finalize(records);
  return molecules;
}

bool IndexHoldsDocuments(const fs::path& file) {
  if (!IsDatabaseUri(file.native())) return fs::exists(file);
  std::string error;
  auto writer = IndexWriter::Open(file, error);
  if (!writer) throw std::runtime_error(error);
  return writer->DocumentCount() > 0;
}

std::uintmax_t IndexBytes(const fs::path& file) {
  std::error_code ignored;
  std::uintmax_t total = 0;
  for (const char* suffix : {"", "-wal"}) {
    const auto size = fs::file_size(fs::path(file.string() + suffix), ignored);
    if (!ignored) total += size;
  }
  return total;
}

// The documents' molecules made on every core, as the indexer's workers make
// them, so that the writer only stores them.
void MakeMoleculesInParallel(std::vector<DocumentRecord>& records) {
  const size_t threads = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::thread> pool;
  for (size_t t = 0; t < threads; ++t)
    pool.emplace_back([&records, t, threads] {
      for (size_t i = t; i < records.size(); i += threads) records[i].molecules = MoleculeEntries(records[i].attributes);
    });
  for (std::thread& thread : pool) thread.join();
}

void Build(const fs::path& file, const std::vector<std::string>& molecules, size_t perDocument) {
  std::string error;
  auto writer = IndexWriter::Open(file, error);
  if (!writer) throw std::runtime_error(error);
  const auto start = Clock::now();
  std::vector<DocumentRecord> batch;
  for (size_t first = 0, doc = 0; first < molecules.size(); first += perDocument, ++doc) {
    DocumentRecord record;
    char path[64];
    std::snprintf(path, sizeof path, "/molecules/%07zu.sdf", doc);
    record.path = path;
    record.family = "molecules";
    const size_t end = std::min(molecules.size(), first + perDocument);
    record.attributes[attributes::kSmiles] = StringArray(molecules.begin() + std::ptrdiff_t(first), molecules.begin() + std::ptrdiff_t(end));
    batch.push_back(std::move(record));
    if (batch.size() == 1000 || end == molecules.size()) {
      MakeMoleculesInParallel(batch);
      writer->Begin();
      for (const DocumentRecord& ready : batch) writer->Put(ready);
      writer->Commit();
      batch.clear();
    }
  }
  const double seconds = Seconds(Clock::now() - start);
  std::printf("import: %zu molecules in %zu-molecule documents, %.1f s, %.0f molecules/s (fingerprints and binary form made on every core)\n",
              molecules.size(), perDocument, seconds, double(molecules.size()) / seconds);
}

// The molecules as SD files of `perFile` records, for timing orvane-index on them.
void WriteSdFiles(const fs::path& folder, const std::vector<std::string>& molecules, size_t perFile) {
  fs::create_directories(folder);
  for (size_t first = 0, file = 0; first < molecules.size(); first += perFile, ++file) {
    char name[32];
    std::snprintf(name, sizeof name, "%05zu.sdf", file);
    std::FILE* out = std::fopen((folder / name).c_str(), "w");
    if (!out) throw std::runtime_error("cannot write " + (folder / name).string());
    for (size_t i = first; i < std::min(molecules.size(), first + perFile); ++i) {
      std::unique_ptr<RDKit::RWMol> mol(RDKit::SmilesToMol(molecules[i]));
      mol->setProp("_Name", "molecule " + std::to_string(i));
      std::fprintf(out, "%s$$$$\n", RDKit::MolToMolBlock(*mol).c_str());
    }
    std::fclose(out);
  }
  std::printf("wrote %zu molecules as SD files of %zu records to %s\n", molecules.size(), perFile, folder.c_str());
}

double Median(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

long RunFind(const std::string& findProgram, const fs::path& file, const std::string& expression) {
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    std::freopen("/dev/null", "w", stdout);
    execl(findProgram.c_str(), findProgram.c_str(), "--count", "--db", file.c_str(), expression.c_str(), nullptr);
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Query {
  std::string name, expression;
};

constexpr size_t kFirstRows = 899;  // the rows a panel lists at most

// The screen alone over every molecule, none read or checked: its median
// time in ms over `repeat` passes, or a negative number for a query that is
// no substructure search and for an engine that screens on its server.
volatile size_t screenPassed = 0;
double ScreenAloneMs(Index& index, const std::string& expression, int repeat) {
  const std::string prefix = "Substructure(Molvane_SMILES, \"";
  if (expression.rfind(prefix, 0) != 0 || index.Fingerprints(FingerprintKind::Screen)->docs.empty()) return -1;
  const std::string pattern = expression.substr(prefix.size(), expression.size() - prefix.size() - 2);
  std::string error;
  const std::shared_ptr<const StructureQuery> query = ReadSubstructure(pattern, error);
  if (!query) throw std::runtime_error(error);
  std::vector<double> times;
  for (int i = 0; i < std::max(1, repeat); ++i) {
    const auto start = Clock::now();
    size_t passed = 0;
    index.ScanFingerprints(FingerprintKind::Screen, [&](const FingerprintRun& run) {
      for (size_t row = 0; row < run.rows; ++row) passed += PassesScreen(*query, run.words + row * kScreenWords);
    });
    times.push_back(Seconds(Clock::now() - start) * 1000);
    screenPassed = passed;  // kept, so that the scan is not optimised away
  }
  return Median(times);
}

// Similarity searches for molecules of the index itself, from documents
// spread over it: what a user asks after finding a hit. A small molecule
// chosen by hand has few bits, and the bit counts that can reach its
// threshold rule most molecules out at once; a typical one has about as many
// as most molecules, and rules out few.
std::vector<Query> SimilarToIndexedMolecules(const fs::path& file) {
  std::string error;
  auto writer = IndexWriter::Open(file, error);
  if (!writer) throw std::runtime_error(error);
  const size_t documents = writer->DocumentCount();
  writer.reset();
  std::shared_ptr<Index> index = Index::Open(file, error);
  if (!index) throw std::runtime_error(error);
  std::vector<Query> queries;
  for (size_t seventh : {1, 3, 5}) {
    char path[64];
    std::snprintf(path, sizeof path, "/molecules/%07zu.sdf", documents * seventh / 7);
    MDQueryRef query = MDQueryCreate(index, std::string("kMDItemPath == \"") + path + "\"");
    if (!query || !MDQueryExecute(query, kMDQuerySynchronous) || MDQueryGetResultCount(query) != 1) continue;
    const std::optional<Value> smiles = MDItemCopyAttribute(MDQueryGetResultAtIndex(query, 0), attributes::kSmiles);
    std::string first;
    if (smiles) ForEachString(*smiles, [&](const std::string& text) { if (first.empty()) first = text; });
    std::string quoted;  // a SMILES may hold a backslash: a stereo bond
    for (char c : first) {
      if (c == '\\' || c == '"') quoted += '\\';
      quoted += c;
    }
    if (!first.empty())
      queries.push_back({std::string("similar >= 0.7 (") + (path + 11) + ")", "Similar(Molvane_SMILES, \"" + quoted + "\", 0.7)"});
  }
  return queries;
}

void Measure(const fs::path& file, const std::vector<Query>& queries, int repeat, const std::string& findProgram) {
  std::string error;
  std::shared_ptr<Index> index = Index::Open(file, error);
  if (!index) throw std::runtime_error(error);
  for (FingerprintKind kind : {FingerprintKind::Screen, FingerprintKind::Similarity}) {
    std::shared_ptr<Index> fresh = Index::Open(file, error);  // loads as a new process would
    const auto start = Clock::now();
    const size_t molecules = fresh->Fingerprints(kind)->docs.size();
    std::printf("load of the %s fingerprints of %zu molecules: %.1f ms\n", kind == FingerprintKind::Screen ? "screen" : "Morgan",
                molecules, Seconds(Clock::now() - start) * 1000);
  }
  std::printf("before the queries: %s\n", LoadAverages().c_str());
  std::printf("\n%-34s %9s %9s %9s %9s %9s %8s %9s %9s %9s %9s\n", "query", "matches", "first ms", "median ms", "screen ms", "check ms",
              "fp rate", "candid.", "899 ms", "find ms", "screen only");
  for (const Query& q : queries) {
    std::vector<double> times, firstRowsTimes;
    double first = 0;
    long matches = 0;
    StructureSearchStats stats;
    for (int i = 0; i <= repeat; ++i) {
      const auto start = Clock::now();
      QueryError queryError;
      MDQueryRef query = MDQueryCreate(index, q.expression, &queryError);
      double firstRowsMs = 0;
      if (query)
        MDQuerySetFirstResultsHandler(query, kFirstRows, [&](const DocSet&) { firstRowsMs = Seconds(Clock::now() - start) * 1000; });
      if (!query || !MDQueryExecute(query, kMDQuerySynchronous, &queryError)) throw std::runtime_error(queryError.message);
      if (i > 0) firstRowsTimes.push_back(firstRowsMs);
      matches = MDQueryGetResultCount(query);
      const double ms = Seconds(Clock::now() - start) * 1000;
      stats = LastStructureSearchStats();
      if (i == 0) first = ms; else times.push_back(ms);
    }
    std::vector<double> findTimes;
    for (int i = 0; i < std::max(1, repeat / 2); ++i) {
      const auto start = Clock::now();
      RunFind(findProgram, file, q.expression);
      findTimes.push_back(Seconds(Clock::now() - start) * 1000);
    }
    const double falsePositives = stats.checked ? 1.0 - double(stats.matches) / double(stats.checked) : 0.0;
    const double screenAlone = ScreenAloneMs(*index, q.expression, repeat);
    std::printf("%-34s %9ld %9.1f %9.1f %9.1f %9.1f %7.1f%% %9zu %9.1f %9.1f %9s\n", q.name.c_str(), matches, first, Median(times),
                stats.screenSeconds * 1000, stats.checkSeconds * 1000, 100 * falsePositives, stats.candidates, Median(firstRowsTimes),
                Median(findTimes), screenAlone < 0 ? "-" : std::to_string(int(screenAlone + 0.5)).c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Structure search over many recombined molecules"};
  size_t count = 100000, perDocument = 10;
  int repeat = 5;
  unsigned seed = 14;
  std::string db, sdFolder, moleculesFrom, only;
  bool keep = false;
  app.add_option("--molecules", count, "How many molecules to index");
  app.add_option("--per-document", perDocument, "Molecules per document (an SD file's records)");
  app.add_option("--repeat", repeat, "Runs per query");
  app.add_option("--seed", seed, "Seed of the recombination");
  app.add_option("--db", db, "Index file: reused when it exists, else built and kept");
  app.add_flag("--keep", keep, "Keep the index built in the temporary folder");
  app.add_option("--molecules-from", moleculesFrom, "Take the molecules of this SQLite index (as it was built by this bench) instead of making them");
  app.add_option("--only", only, "Run only the queries whose name holds this text (\"selective\", \"similar\")");
  app.add_option("--write-sd", sdFolder, "Only write the molecules as SD files (of --per-document records) into this folder");
  CLI11_PARSE(app, argc, argv);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as soon as it is known

  // A damaged or missing index, or a molecule file that cannot be read, is told, not aborted on.
  try {
    if (!sdFolder.empty()) {
      WriteSdFiles(sdFolder, MakeMolecules(count, seed), perDocument);
      return 0;
    }
    const fs::path file = db.empty() ? fs::temp_directory_path() / ("structure_bench_" + std::to_string(getpid()) + ".sqlite") : fs::path(db);
    if (!IndexHoldsDocuments(file)) {
      auto start = Clock::now();
      const std::vector<std::string> molecules = moleculesFrom.empty() ? MakeMolecules(count, seed) : MoleculesOf(moleculesFrom);
      std::printf("%s %zu distinct molecules in %.1f s\n", moleculesFrom.empty() ? "made" : "read", molecules.size(),
                  Seconds(Clock::now() - start));
      start = Clock::now();
      size_t built = 0, distanceFacts = 0;
      for (size_t i = 0; i < std::min<size_t>(molecules.size(), 5000); ++i)
        for (const MoleculeEntry& entry : MoleculeEntries({{attributes::kSmiles, StringArray{molecules[i]}}})) {
          ++built;
          distanceFacts += DistanceFactsSet(entry.screen);
        }
      std::printf("fingerprints and binary form alone: %.0f molecules/s\n", double(built) / Seconds(Clock::now() - start));
      std::printf("distance facts: %.1f of %u bits set a molecule on average\n", double(distanceFacts) / double(std::max<size_t>(built, 1)),
                  kDistanceFactBits);
      Build(file, molecules, perDocument);
      if (!IsDatabaseUri(file.native()))
        std::printf("index: %.1f MB, %.0f bytes per molecule\n", double(IndexBytes(file)) / 1e6, double(IndexBytes(file)) / double(molecules.size()));
    }
    {
      std::string error;
      const auto start = Clock::now();
      IndexWriter::Open(file, error).reset();  // a closing writer packs the fingerprints when they are not packed yet
      std::printf("packs written by a closing writer in %.1f s (when missing or out of date)\n", Seconds(Clock::now() - start));
    }
    const std::string findProgram = std::string(ORVANE_BIN_DIR) + "/orvane-find";
    std::vector<Query> queries = {
        {"selective: thiazole amide", "Substructure(Molvane_SMILES, \"c1csc(NC(=O))n1\")"},
        {"selective: [NH3+]CCS", "Substructure(Molvane_SMILES, \"[NH3+]CCS\")"},
        {"selective: Kekule F-phenyl ketone", "Substructure(Molvane_SMILES, \"O=C(C1=C(F)C=CC=C1)\")"},
        {"selective: sulfonamide on pyridine", "Substructure(Molvane_SMILES, \"S(=O)(=O)Nc1ccccn1\")"},
        {"common: benzene ring", "Substructure(Molvane_SMILES, \"c1ccccc1\")"},
        {"common: amide", "Substructure(Molvane_SMILES, \"C(=O)N\")"},
        {"similar >= 0.7 (record 4)", "Similar(Molvane_SMILES, \"Nc1nc(OCC2CCCCC2)c2nc[nH]c2n1\", 0.7)"},
        {"similar >= 0.7 (aspirin)", "Similar(Molvane_SMILES, \"CC(=O)Oc1ccccc1C(=O)O\", 0.7)"},
    };
    for (Query& typical : SimilarToIndexedMolecules(file)) queries.push_back(std::move(typical));
    std::erase_if(queries, [&](const Query& query) { return query.name.find(only) == std::string::npos; });
    Measure(file, queries, repeat, findProgram);
    std::printf("after the queries: %s\n", LoadAverages().c_str());
    if (db.empty() && !keep)
      for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(fs::path(file.string() + suffix));
    return 0;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "structure_bench: %s\n", failure.what());
    return 1;
  }
}
