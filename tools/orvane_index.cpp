// orvane-index: keeps the Orvane index current.
#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <thread>

#include <CLI/CLI.hpp>

#include "importers/format_table.h"
#include "indexer/explain.h"
#include "indexer/from_json.h"
#include "indexer/index_run.h"
#include "indexer/service.h"
#include "indexer/status.h"
#include "indexer/watch.h"
#include "indexer/workers.h"
#include "platform/metadata/store.h"
#include "index_option.h"

int main(int argc, char** argv) {
  // A worker reads requests on standard input; it is started by this program,
  // which passes its own process id.
  if ((argc == 2 || argc == 3) && std::string(argv[1]) == "--worker")
    return indexer::RunWorker(argc == 3 ? pid_t(std::strtol(argv[2], nullptr, 10)) : 0);

  CLI::App app{"Keeps the Orvane index of spectra and molecules current.\n"
               "  orvane-index FOLDER...      import what is new or changed, drop what vanished, remember the folders\n"
               "  orvane-index --update       the same for every remembered folder\n"
               "  orvane-index --status       what the index holds\n"
               "  orvane-index --explain PATH what the importers find in a file, without touching the index\n"
               "  orvane-index --watch [FOLDER...]  keep the index current as files change (--pause, --resume;\n"
               "                              --enable / --disable run it as the systemd user service orvane-index.service)",
               "orvane-index"};
  std::string db, fromJson;
  bool explain = false, update = false, status = false, quiet = false, init = false;
  std::vector<std::string> paths, forget, excludes;
  size_t jobs = std::max(1u, std::thread::hardware_concurrency());
  int timeLimit = 60;
  AddIndexOption(app, db, "The index (default: $ORVANE_INDEX or ~/.local/share/orvane/index.sqlite)");
  auto* json = app.add_option("--from-json", fromJson, "Store the documents described in FILE (or - for standard input), one JSON object a line");
  auto* explainFlag = app.add_flag("--explain", explain, "Print what the importers find in each PATH, without touching the index");
  auto* updateFlag = app.add_flag("--update", update, "Refresh every remembered folder");
  auto* initFlag = app.add_flag("--init", init, "Create the index (for a PostgreSQL --db: its tables and extensions) unless it is there");
  auto* statusFlag = app.add_flag("--status", status, "Print the folders, documents, failures, importer notes and size of the index");
  auto* forgetOption = app.add_option("--forget", forget, "Forget a folder and its documents (repeatable)");
  forgetOption->allow_extra_args(false);
  app.add_option("--exclude", excludes, "Leave out paths or names matching this glob, such as '*.bak' (repeatable)")->allow_extra_args(false);
  app.add_option("--jobs", jobs, "Worker processes that import in parallel (default: the number of cores)")->check(CLI::Range(1, 256));
  app.add_option("--time-limit", timeLimit, "Seconds one file may take before its import is stopped")->check(CLI::Range(1, 86400));
  std::string indexerName;
  app.add_option("--indexer-name", indexerName,
                 "The name this indexer keeps its folders under in a shared PostgreSQL index, where each indexer updates and "
                 "forgets only its own (default: $ORVANE_INDEXER_NAME, else user@hostname)");
  app.add_flag("--quiet", quiet, "No summary");
  bool progressLines = false;
  app.add_flag("--progress-lines", progressLines, "Report progress as lines \"progress SEEN IMPORTED FAILED\" on standard error");
  app.add_option("PATH", paths, "Folders or files");
  bool watch = false, pause = false, resume = false, enable = false, disable = false;
  indexer::WatchOptions watchOptions;
  int rescanInterval = int(watchOptions.rescanInterval.count()), quietMs = int(watchOptions.quiet.count());
  auto* watchFlag = app.add_flag("--watch", watch, "Keep watching the remembered folders and each FOLDER given, importing changes as they happen");
  app.add_option("--rescan-interval", rescanInterval, "Seconds between walks of network folders and of folders past the watch limit (default 600)")
      ->check(CLI::Range(1, 31 * 86400));
  app.add_option("--quiet-period", quietMs, "Milliseconds a changed file must stay unchanged before it is imported (default 1000)")
      ->check(CLI::Range(0, 600000));
  app.add_option("--max-watches", watchOptions.limits.maxWatches, "Watch at most this many folders, as if the system allowed no more")->group("");
  app.add_option("--max-queued-events", watchOptions.limits.queueLimit, "Take more waiting changes than this as a lost queue")->group("");
  auto* pauseFlag = app.add_flag("--pause", pause, "Pause the running watcher");
  auto* resumeFlag = app.add_flag("--resume", resume, "Resume the paused watcher");
  auto* enableFlag = app.add_flag("--enable", enable, "Start the watcher now and at every login (systemd user service)");
  auto* disableFlag = app.add_flag("--disable", disable, "Stop the watcher service and no longer start it at login");
  for (auto* flag : {pauseFlag, resumeFlag, enableFlag, disableFlag}) flag->excludes(watchFlag);
  pauseFlag->excludes(resumeFlag);
  enableFlag->excludes(disableFlag);
  json->excludes(explainFlag, updateFlag, statusFlag, forgetOption);
  explainFlag->excludes(updateFlag, statusFlag, forgetOption, initFlag);
  updateFlag->excludes(statusFlag, forgetOption);
  statusFlag->excludes(forgetOption);
  std::string formats = "Documents it reads:";
  for (const importers::FormatFamily* family : importers::Families()) formats += "\n  " + std::string(family->description());
  app.footer(formats);
  app.set_version_flag("--version", "orvane-index " ORVANE_VERSION);
  CLI11_PARSE(app, argc, argv);

  if (explain) {
    if (paths.empty()) {
      std::cerr << "orvane-index: --explain needs at least one PATH\n";
      return 2;
    }
    return indexer::Explain(paths);
  }
  // The writer reads the name where it opens the index, here and in the watcher.
  if (!indexerName.empty()) setenv("ORVANE_INDEXER_NAME", indexerName.c_str(), 1);
  indexer::RunOptions options;
  options.index = db.empty() ? metadata::DefaultIndexPath() : std::filesystem::path(db);
  options.excludes = excludes;
  options.jobs = jobs;
  options.quiet = quiet;
  options.progressLines = progressLines;
  options.timeLimit = std::chrono::seconds(timeLimit);
  if (init) {
    std::string problem;
    if (!metadata::InitializeIndex(options.index, problem)) {
      std::cerr << "orvane-index: " << problem << "\n";
      return 2;
    }
    if (!update && !watch && paths.empty() && fromJson.empty() && !status && forget.empty()) return 0;
  }
  if (enable || disable) return indexer::SetServiceEnabled(enable);
  if (pause || resume) {
    const auto reply = indexer::HandToWatcher(options, pause ? "pause" : "resume", {});
    if (!reply) {
      std::cerr << "orvane-index: no watcher is running for " << metadata::IndexDisplayName(options.index) << "\n";
      return 1;
    }
    std::cerr << "orvane-index: the watcher is " << *reply << "\n";
    return 0;
  }
  if (status) return indexer::PrintStatus(options);
  if (!forget.empty()) return indexer::AsOnlyWriter(options, "", {}, [&] { return indexer::ForgetFolders(options, forget); });
  if (!fromJson.empty()) return indexer::AsOnlyWriter(options, "", {}, [&] { return indexer::IndexFromJson(options.index, fromJson); });
  if (!update && !watch && paths.empty()) {
    std::cerr << app.help();
    return 2;
  }
  // The workers are this program started again, found where the kernel says it is.
  std::error_code error;
  options.program = std::filesystem::read_symlink("/proc/self/exe", error).string();
  if (error) {
    std::cerr << "orvane-index: cannot find this program to start its worker processes (/proc/self/exe: " << error.message()
              << "); is /proc mounted?\n";
    return 2;
  }
  if (watch) {
    watchOptions.rescanInterval = std::chrono::seconds(rescanInterval);
    watchOptions.quiet = std::chrono::milliseconds(quietMs);
    return indexer::Watch(options, watchOptions, paths);
  }
  if (update) return indexer::AsOnlyWriter(options, "update", {}, [&] { return indexer::UpdateRecordedFolders(options); });
  return indexer::AsOnlyWriter(options, "add", paths, [&] { return indexer::IndexFolders(options, paths); });
}
