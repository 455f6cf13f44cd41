// Imports run in worker processes (this program started with --worker), so
// a file that crashes or hangs an importer costs that file, never the run.
// Requests and answers go over pipes: a 4-byte length, then the bytes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "indexer/crawl.h"

namespace indexer {

struct WorkResult {
  Candidate candidate;
  std::optional<std::string> failure;  // why it could not be imported
  // The failure came from the circumstances, not surely from the file: the
  // import ran out of time (the machine may have been busy) or the worker was
  // killed from outside.
  bool mayPassAnotherTime = false;
  metadata::Attributes attributes;
  std::vector<std::string> notes;
  std::optional<std::vector<metadata::MoleculeEntry>> molecules;  // made by the worker
};

// The worker's side: answers requests on standard input until it closes.
// `parent` is the indexer that started it (0: not known); the worker dies with it.
int RunWorker(pid_t parent);

class WorkerPool {
 public:
  // `screens`: the workers make the molecules' substructure screens (the index keeps them).
  WorkerPool(std::string program, size_t workers, std::chrono::seconds timeLimit, bool screens = true);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  bool HasFreeWorker() const;
  size_t Busy() const;
  // Hands the candidate to a free worker; false when none could be started.
  bool Submit(const Candidate& candidate);
  // Waits up to `wait` for answers, and returns those that came, with the
  // failures of workers that died or ran out of time (they are replaced).
  std::vector<WorkResult> Collect(std::chrono::milliseconds wait);
  // Why the last worker that could not be started could not.
  std::string StartProblem() const;

 private:
  struct Worker;
  bool Start(Worker& worker);
  void Stop(Worker& worker);
  void TakeAnswer(Worker& worker, std::vector<WorkResult>& results);
  std::string program_;
  std::chrono::seconds timeLimit_;
  bool screens_ = true;
  std::vector<Worker> workers_;
  int startError_ = 0;
};

}  // namespace indexer
