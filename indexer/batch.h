// The parts of an indexing run shared by a single run and the watcher:
// stop signals, progress, batched writes and imports in worker processes.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "indexer/crawl.h"
#include "indexer/index_run.h"
#include "indexer/protocol.h"
#include "indexer/workers.h"
#include "platform/metadata/store.h"

namespace indexer {

using Clock = std::chrono::steady_clock;

constexpr size_t kBatchDocuments = 200;
constexpr int kNotStarted = 3;  // the exit status when files were left for want of a worker
constexpr auto kBatchTime = std::chrono::seconds(2);

// The identity a document gets when its import failed in a way that may go
// through another time (out of time, or killed from outside). It matches no
// file, so the next run imports it again; and seen there, it says the file
// failed once already.
constexpr metadata::FileIdentity kTryAgain{0, 0, -1, 0};

// SIGINT from the terminal, SIGTERM from the panel's Cancel or the system,
// SIGHUP from a closed terminal: the run ends cleanly. A second one ends it
// at once (the index stays sound: every batch is one transaction).
void CatchStopSignals();
bool Stopping();
int StopSignal();  // the signal that asked to stop, 0 while none has

std::int64_t Now();
std::string Elapsed(Clock::duration d);

// What a run has done, shown as it goes and summed up at the end. Imported,
// failed and removed count what is committed to the index: what a reader of
// these numbers finds there.
class Progress {
 public:
  Progress(bool quiet, bool lines) : quiet_(quiet), lines_(lines), terminal_(!quiet && !lines && isatty(2)) {}

  size_t seen = 0, imported = 0, failed = 0, unchanged = 0, removed = 0;
  size_t handled = 0;  // answers from the workers, committed or not: for the rate
  size_t notStarted = 0;  // files no worker process could be started for

  void Show(bool force = false) {
    if (!terminal_ && !lines_) return;
    const auto now = Clock::now();
    if (!force && now - shown_ < std::chrono::milliseconds(100)) return;
    shown_ = now;
    if (lines_) {  // for the panel's progress sheet
      std::fprintf(stderr, "%s\n", FormatProgressLine({seen, imported, failed}).c_str());
      std::fflush(stderr);
      return;
    }
    const double seconds = std::chrono::duration<double>(now - start_).count();
    std::fprintf(stderr, "\r\033[K%zu files seen, %zu imported, %zu failed, %.0f documents/s, %s", seen, imported, failed,
                 seconds > 0 ? double(handled) / seconds : 0.0, Elapsed(now - start_).c_str());
    std::fflush(stderr);
  }
  void Report(const std::string& path, const std::string& reason) {
    Clear();
    std::cerr << "orvane-index: " << path << ": " << reason << "\n";
  }
  void Say(const std::string& message) {
    Clear();
    std::cerr << "orvane-index: " << message << "\n";
  }
  void Summary() {
    Clear();
    if (quiet_) return;
    std::cerr << "orvane-index: " << imported << " imported, " << failed << " failed, " << unchanged << " unchanged, " << removed
              << " removed, " << seen << " files seen in " << Elapsed(Clock::now() - start_) << "\n";
  }

 private:
  void Clear() {
    if (terminal_) std::fprintf(stderr, "\r\033[K");
  }
  bool quiet_, lines_, terminal_;
  Clock::time_point start_ = Clock::now(), shown_;
};

metadata::DocumentRecord RecordOf(const WorkResult& result);

// Commits every so many documents or seconds, so an interrupted run keeps
// what it did and the next run goes on from there. Counts reach `progress`
// only once committed; a batch whose commit fails is lost, and counted so.
class BatchWriter {
 public:
  BatchWriter(metadata::IndexWriter& writer, Progress& progress, size_t documents = kBatchDocuments)
      : writer_(writer), progress_(progress), documents_(documents) {}

  // Counted first: a document whose write fails is among the lost.
  void Put(const metadata::DocumentRecord& record) {
    Open();
    ++(record.failure ? pending_.failed : pending_.imported);
    writer_.Put(record);
    Step();
  }
  bool KeepsScreens() const { return writer_.KeepsScreens(); }
  void Remove(const std::string& path) {
    Open();
    ++pending_.removed;
    writer_.Remove(path);
    Step();
  }
  // Commits a batch that has waited long enough, though nothing came since:
  // a worker busy with a slow file holds back nothing already imported.
  void Tick() {
    if (open_ && Clock::now() - since_ > kBatchTime) Flush();
  }
  void Flush() {
    if (!open_) return;
    writer_.Commit();
    open_ = false;
    progress_.imported += pending_.imported;
    progress_.failed += pending_.failed;
    progress_.removed += pending_.removed;
    pending_ = {};
    progress_.Show(true);
  }
  // After a failed write: the documents of the batch that never reached the
  // index. The writer rolls the transaction back.
  size_t Lost() const { return open_ ? pending_.imported + pending_.failed : 0; }

 private:
  void Open() {
    if (open_) return;
    writer_.Begin();
    open_ = true;
    pending_ = {};
    since_ = Clock::now();
  }
  void Step() {
    if (pending_.imported + pending_.failed + pending_.removed >= documents_ || Clock::now() - since_ > kBatchTime) Flush();
  }
  struct Counts {
    size_t imported = 0, failed = 0, removed = 0;
  };
  metadata::IndexWriter& writer_;
  Progress& progress_;
  size_t documents_;
  bool open_ = false;
  Counts pending_;
  Clock::time_point since_;
};

std::unique_ptr<metadata::IndexWriter> OpenWriter(const RunOptions& options);

// The record of a failure that may go through another time: the first time
// it is stored to be tried again, the second time in a row it is kept until
// the file changes. Nothing when the run is stopping.
std::optional<metadata::DocumentRecord> RecordOfPassingFailure(const WorkResult& result, const std::set<std::string>& failedOnce);

// Imports the candidates; returns how many of them no worker process could
// be started for. When none can be started at all, the rest is left at once.
size_t ImportAll(const RunOptions& options, const std::vector<Candidate>& candidates, const std::set<std::string>& failedOnce,
                 BatchWriter& batch, Progress& progress);

}  // namespace indexer

namespace indexer {

// Walks one folder again as a run does: imports what changed, removes what
// vanished, records the folder (index_run.cpp). The run's exit status for it.
int IndexRoot(const RunOptions& options, metadata::IndexWriter& writer, BatchWriter& batch, const std::string& root,
              const std::vector<metadata::Mount>& mounts, Progress& progress);

}  // namespace indexer
