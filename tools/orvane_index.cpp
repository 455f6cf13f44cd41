// orvane-index: keeps the Orvane index current.
#include <algorithm>
#include <fstream>
#include <thread>
#include <iostream>

#include <CLI/CLI.hpp>

#include "importers/registry.h"
#include "tools/indexer/import.h"
#include "tools/indexer/index_run.h"
#include "tools/indexer/workers.h"
#include "platform/metadata/json_documents.h"
#include "platform/metadata/store.h"

using namespace metadata;

namespace {

// Stores the documents described in `input`, one JSON object a line, in one
// transaction. Returns the exit status: 0, 1 when lines were skipped, 2 when
// the index could not be written.
int IndexFromJson(IndexWriter& writer, std::istream& input, const std::string& inputName) {
  std::string line;
  size_t number = 0, stored = 0, skipped = 0;
  try {
    writer.Begin();
    while (std::getline(input, line)) {
      ++number;
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      auto document = ReadJsonDocument(line);
      if (auto* problem = std::get_if<std::string>(&document)) {
        std::cerr << "orvane-index: " << inputName << ", line " << number << ": " << *problem << "; skipped\n";
        ++skipped;
        continue;
      }
      writer.Put(std::get<DocumentRecord>(document));
      ++stored;
    }
    writer.Commit();
  } catch (const StorageError& failure) {
    std::cerr << "orvane-index: cannot write the index: " << failure.what() << "\n";
    return 2;
  }
  std::cerr << "orvane-index: stored " << stored << " documents" << (skipped ? ", skipped " + std::to_string(skipped) + " lines" : "")
            << "\n";
  return skipped ? 1 : 0;
}

// Prints what the importers make of each path, without touching an index:
// how a user learns why a file is or is not found. The import is the one the
// indexer's workers run, so what is shown is what the index gets. 0 when every path gave
// attributes, 1 otherwise.
int Explain(const std::vector<std::string>& paths) {
  int status = 0;
  for (const std::string& path : paths) {
    std::cout << path << "\n";
    const importers::Family family = importers::Recognise(path);
    std::cout << "  family: " << importers::FamilyName(family) << "\n";
    if (family == importers::Family::None) {
      std::cout << "  not a document Orvane reads (a JCAMP-DX, NMReDATA or molecule file, or an experiment folder)\n";
      status = 1;
      continue;
    }
    importers::ImportOutcome outcome = indexer::ImportForIndex(path, family);
    if (auto* error = std::get_if<importers::ImportError>(&outcome)) {
      std::cout << "  error: " << error->message << "\n";
      status = 1;
      continue;
    }
    const auto& imported = std::get<importers::Imported>(outcome);
    size_t width = 0;
    for (const auto& [name, value] : imported.attributes) width = std::max(width, name.size());
    for (const auto& [name, value] : imported.attributes)
      std::cout << "  " << name << std::string(width - name.size(), ' ') << " = " << FormatValue(value) << "\n";
    for (const std::string& note : imported.notes) std::cout << "  note: " << note << "\n";
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // A worker reads requests on standard input; it is started by this program.
  if (argc == 2 && std::string(argv[1]) == "--worker") return indexer::RunWorker();

  CLI::App app{"Keeps the Orvane index of spectra and molecules current.\n"
               "  orvane-index FOLDER...      import what is new or changed, drop what vanished, remember the folders\n"
               "  orvane-index --update       the same for every remembered folder\n"
               "  orvane-index --status       what the index holds\n"
               "  orvane-index --explain PATH what the importers find in a file, without touching the index",
               "orvane-index"};
  std::string db, fromJson;
  bool explain = false, update = false, status = false, quiet = false;
  std::vector<std::string> paths, forget, excludes;
  size_t jobs = std::max(1u, std::thread::hardware_concurrency());
  int timeLimit = 60;
  app.add_option("--db", db, "The index (default: $ORVANE_INDEX or ~/.local/share/orvane/index.sqlite)");
  auto* json = app.add_option("--from-json", fromJson, "Store the documents described in FILE (or - for standard input), one JSON object a line");
  auto* explainFlag = app.add_flag("--explain", explain, "Print what the importers find in each PATH, without touching the index");
  auto* updateFlag = app.add_flag("--update", update, "Refresh every remembered folder");
  auto* statusFlag = app.add_flag("--status", status, "Print the folders, documents, failures and size of the index");
  auto* forgetOption = app.add_option("--forget", forget, "Forget a folder and its documents (repeatable)");
  forgetOption->allow_extra_args(false);
  app.add_option("--exclude", excludes, "Leave out paths or names matching this glob, such as '*.bak' (repeatable)")->allow_extra_args(false);
  app.add_option("--jobs", jobs, "Worker processes that import in parallel (default: the number of cores)")->check(CLI::Range(1, 256));
  app.add_option("--time-limit", timeLimit, "Seconds one file may take before its import is stopped")->check(CLI::Range(1, 86400));
  app.add_flag("--quiet", quiet, "No summary");
  bool progressLines = false;
  app.add_flag("--progress-lines", progressLines, "Report progress as lines \"progress SEEN IMPORTED FAILED\" on standard error");
  app.add_option("PATH", paths, "Folders or files");
  json->excludes(explainFlag, updateFlag, statusFlag, forgetOption);
  explainFlag->excludes(updateFlag, statusFlag, forgetOption);
  updateFlag->excludes(statusFlag, forgetOption);
  statusFlag->excludes(forgetOption);
  app.set_version_flag("--version", "orvane-index " ORVANE_VERSION);
  CLI11_PARSE(app, argc, argv);

  if (explain) {
    if (paths.empty()) {
      std::cerr << "orvane-index: --explain needs at least one PATH\n";
      return 2;
    }
    return Explain(paths);
  }
  indexer::RunOptions options;
  options.index = db.empty() ? DefaultIndexPath() : std::filesystem::path(db);
  options.excludes = excludes;
  options.jobs = jobs;
  options.quiet = quiet;
  options.progressLines = progressLines;
  options.timeLimit = std::chrono::seconds(timeLimit);
  options.program = std::filesystem::read_symlink("/proc/self/exe").string();
  if (status) return indexer::PrintStatus(options);
  if (update) return indexer::UpdateRecordedFolders(options);
  if (!forget.empty()) return indexer::ForgetFolders(options, forget);
  if (!fromJson.empty()) {
    std::string error;
    std::unique_ptr<IndexWriter> writer = IndexWriter::Open(options.index, error);
    if (!writer) {
      std::cerr << "orvane-index: " << error << "\n";
      return 2;
    }
    if (fromJson == "-") return IndexFromJson(*writer, std::cin, "standard input");
    std::ifstream input(fromJson);
    if (!input) {
      std::cerr << "orvane-index: cannot read " << fromJson << "\n";
      return 2;
    }
    return IndexFromJson(*writer, input, fromJson);
  }
  if (paths.empty()) {
    std::cerr << app.help();
    return 2;
  }
  return indexer::IndexFolders(options, paths);
}
