#include "indexer/batch.h"

#include "importers/import_versions.h"
#include "importers/registry.h"
#include "platform/metadata/json_documents.h"

using namespace metadata;

namespace indexer {

namespace {

// The signal that asked the run to stop, 0 while none has.
volatile sig_atomic_t gStopSignal = 0;
void OnStopSignal(int signal) { gStopSignal = signal; }

}  // namespace

bool Stopping() { return gStopSignal != 0; }
int StopSignal() { return gStopSignal; }

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

std::int64_t Now() { return std::int64_t(std::time(nullptr)); }

std::string Elapsed(Clock::duration d) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(d).count());
  return text;
}

DocumentRecord RecordOf(const WorkResult& result) {
  DocumentRecord record;
  record.path = result.candidate.path;
  record.network = result.candidate.network;
  record.family = std::string(importers::FamilyName(result.candidate.family));
  record.identity = result.candidate.identity;
  record.attributes = result.failure ? importers::FileAttributes(result.candidate.path) : result.attributes;
  record.attributes[kDisplayNameAttribute] = DisplayNameOf(record.path);  // from the path's own bytes
  // Kept with a failure too: a file that fails the same way is not tried
  // again until its family's importer changes.
  record.attributes[attributes::kImportVersion] = double(importers::ImportVersion(result.candidate.family));
  record.failure = result.failure;
  if (!result.failure) record.notes = result.notes;
  if (!result.failure) record.molecules = result.molecules;
  return record;
}

std::unique_ptr<IndexWriter> OpenWriter(const RunOptions& options) {
  std::string error;
  auto writer = IndexWriter::Open(options.index, error);
  if (!writer) std::cerr << "orvane-index: " << error << "\n";
  return writer;
}

// The record of a failure that may go through another time: the first time
// it is stored to be tried again, the second time in a row it is kept until
// the file changes. Nothing when the run is stopping: the worker was stopped
// with it, and the file is simply not done yet.
std::optional<DocumentRecord> RecordOfPassingFailure(const WorkResult& result, const std::set<std::string>& failedOnce) {
  if (Stopping()) return std::nullopt;
  DocumentRecord record = RecordOf(result);
  if (failedOnce.count(record.path)) {
    *record.failure += ", the second time in a row; it is tried again when the file changes";
  } else {
    record.identity = kTryAgain;
    *record.failure += "; it is tried again on the next run";
  }
  return record;
}

// Imports the candidates; returns how many of them no worker process could
// be started for. When none can be started at all, the rest is left at once.
size_t ImportAll(const RunOptions& options, const std::vector<Candidate>& candidates, const std::set<std::string>& failedOnce,
                 BatchWriter& batch, Progress& progress) {
  WorkerPool pool(options.program, std::min(options.jobs, std::max<size_t>(candidates.size(), 1)), options.timeLimit,
                  batch.KeepsScreens());
  size_t next = 0, notStarted = 0;
  while ((next < candidates.size() || pool.Busy() > 0) && !Stopping()) {
    while (next < candidates.size() && pool.HasFreeWorker()) {
      if (pool.Submit(candidates[next++])) continue;
      ++notStarted;
      if (pool.Busy() == 0) {
        notStarted += candidates.size() - next;
        progress.Say("no worker process could be started (" + pool.StartProblem() + "); the " + std::to_string(candidates.size() - next + 1) +
                     " files left of " + candidates[next - 1].path + " on are not imported");
        next = candidates.size();
      } else {
        progress.Report(candidates[next - 1].path, "not imported: no worker process could be started (" + pool.StartProblem() + ")");
      }
    }
    for (const WorkResult& result : pool.Collect(std::chrono::milliseconds(200))) {
      std::optional<DocumentRecord> record = result.mayPassAnotherTime ? RecordOfPassingFailure(result, failedOnce) : RecordOf(result);
      if (!record) continue;
      ++progress.handled;
      if (record->failure) progress.Report(record->path, *record->failure);
      batch.Put(*record);
    }
    batch.Tick();
    progress.Show();
  }
  return notStarted;
}

}  // namespace indexer
