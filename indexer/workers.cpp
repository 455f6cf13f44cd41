#include "indexer/workers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <thread>

#include "indexer/import.h"
#include "indexer/protocol.h"
#include "platform/metadata/structure_search.h"

extern char** environ;

namespace indexer {

namespace {

using Clock = std::chrono::steady_clock;

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= size_t(written);
  }
  return true;
}

bool ReadAll(int fd, char* data, size_t size) {
  while (size > 0) {
    const ssize_t got = read(fd, data, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    size -= size_t(got);
  }
  return true;
}

bool SendMessage(int fd, const std::string& message) {
  const std::string frame = Frame(message);
  return WriteAll(fd, frame.data(), frame.size());
}

// Test faults, only when ORVANE_INDEX_TEST_FAULTS is set: a file named
// crash-me crashes the worker, one named hang-me hangs it, and one named
// killed-me has it killed as the kernel kills a process short of memory.
void MaybeFault(const std::string& path) {
  if (!std::getenv("ORVANE_INDEX_TEST_FAULTS")) return;
  if (path.find("crash-me") != std::string::npos) std::abort();
  if (path.find("killed-me") != std::string::npos) raise(SIGKILL);
  if (path.find("hang-me") != std::string::npos)
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

std::string Answer(const std::string& path, importers::Family family, bool screens) {
  MaybeFault(path);
  importers::ImportOutcome outcome = ImportForIndex(path, family);
  WorkAnswer answer;
  if (auto* error = std::get_if<importers::ImportError>(&outcome)) {
    answer.error = error->message;
  } else {
    auto& imported = std::get<importers::Imported>(outcome);
    answer.attributes = std::move(imported.attributes);
    answer.notes = std::move(imported.notes);
    // Here, in parallel, not in the one writer.
    answer.molecules = metadata::MoleculeEntries(answer.attributes, screens ? metadata::ScreenPart::Made : metadata::ScreenPart::Left);
  }
  return FormatWorkAnswer(answer);
}

// The signals a terminal sends its whole foreground process group. Workers
// start with them blocked and then ignore them: Ctrl-C is for the indexer,
// which stops its workers itself and does not take their files for failures.
constexpr int kTerminalSignals[] = {SIGINT, SIGQUIT};

sigset_t TerminalSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int number : kTerminalSignals) sigaddset(&set, number);
  return set;
}

// A worker's death by one of these came from outside (a user, the system
// stopping, the kernel short of memory), not from the file: it may well go
// through another time.
bool StoppedFromOutside(int signal) {
  return signal == SIGKILL || signal == SIGTERM || signal == SIGINT || signal == SIGQUIT || signal == SIGHUP;
}

std::string HowItEnded(int status) {
  if (!WIFSIGNALED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  return "signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
}

}  // namespace

int RunWorker(pid_t parent) {
  // Killed with the indexer, however it ends (SIGKILL, the kernel short of
  // memory): a worker stuck on a hanging file would otherwise spin on alone.
  // If the indexer died before this was asked, the worker has a new parent already.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (parent > 0 && getppid() != parent) return 1;
  for (int number : kTerminalSignals) std::signal(number, SIG_IGN);
  const sigset_t terminal = TerminalSignals();
  sigprocmask(SIG_UNBLOCK, &terminal, nullptr);  // those that came meanwhile were discarded by SIG_IGN
  for (;;) {
    std::string header(4, '\0');
    if (!ReadAll(0, header.data(), 4)) return 0;
    const std::optional<std::uint32_t> length = FrameLength(header);
    if (!length) return 0;
    std::string message(*length, '\0');
    if (!ReadAll(0, message.data(), *length)) return 0;
    const std::optional<WorkRequest> request = ParseWorkRequest(message);
    if (!request) return 0;
    if (!SendMessage(1, Answer(request->path, importers::FamilyNumbered(request->family), request->screens))) return 0;
  }
}

struct WorkerPool::Worker {
  pid_t pid = -1;
  int toWorker = -1, fromWorker = -1;
  std::optional<Candidate> job;
  Clock::time_point started;
  std::string received;
};

WorkerPool::WorkerPool(std::string program, size_t workers, std::chrono::seconds timeLimit, bool screens)
    : program_(std::move(program)), timeLimit_(timeLimit), screens_(screens), workers_(std::max<size_t>(workers, 1)) {
  signal(SIGPIPE, SIG_IGN);  // a worker that died is noticed by its pipe, not by a signal
}

WorkerPool::~WorkerPool() {
  for (Worker& worker : workers_) Stop(worker);
}

bool WorkerPool::Start(Worker& worker) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) {
    startError_ = errno;
    return false;
  }
  if (pipe2(out, O_CLOEXEC) != 0) {
    startError_ = errno;
    close(in[0]);
    close(in[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  // Blocked from the start, so that no Ctrl-C reaches the worker before it ignores it.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  const sigset_t blocked = TerminalSignals();
  posix_spawnattr_setsigmask(&attributes, &blocked);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  std::string parent = std::to_string(getpid());
  char* argv[] = {const_cast<char*>(program_.c_str()), const_cast<char*>("--worker"), parent.data(), nullptr};
  const int status = posix_spawn(&worker.pid, program_.c_str(), &actions, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  if (status != 0) {
    startError_ = status;
    close(in[1]);
    close(out[0]);
    worker.pid = -1;
    return false;
  }
  worker.toWorker = in[1];
  worker.fromWorker = out[0];
  worker.received.clear();
  return true;
}

void WorkerPool::Stop(Worker& worker) {
  if (worker.toWorker >= 0) close(worker.toWorker);
  if (worker.fromWorker >= 0) close(worker.fromWorker);
  worker.toWorker = worker.fromWorker = -1;
  if (worker.pid > 0) {
    kill(worker.pid, SIGKILL);
    while (waitpid(worker.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  worker.pid = -1;
}

bool WorkerPool::HasFreeWorker() const {
  for (const Worker& worker : workers_)
    if (!worker.job) return true;
  return false;
}

size_t WorkerPool::Busy() const {
  size_t busy = 0;
  for (const Worker& worker : workers_) busy += worker.job ? 1 : 0;
  return busy;
}

bool WorkerPool::Submit(const Candidate& candidate) {
  for (Worker& worker : workers_) {
    if (worker.job) continue;
    if (worker.pid < 0 && !Start(worker)) return false;
    const std::string request = FormatWorkRequest({candidate.path, std::uint8_t(importers::FamilyNumber(candidate.family)), screens_});
    if (!SendMessage(worker.toWorker, request)) {  // it died while idle: start another and try once more
      Stop(worker);
      if (!Start(worker) || !SendMessage(worker.toWorker, request)) return false;
    }
    worker.job = candidate;
    worker.started = Clock::now();
    return true;
  }
  return false;
}

// The worker's answer, once it is all there. Bytes that are no answer (an
// importer writing to standard output) fail the file; the worker goes, so
// the next file starts on a clean stream.
void WorkerPool::TakeAnswer(Worker& worker, std::vector<WorkResult>& results) {
  std::string message;
  const FrameState state = TakeFrame(worker.received, message);
  if (state == FrameState::kIncomplete) return;
  WorkAnswer answer = state == FrameState::kWhole ? ParseWorkAnswer(message)
                                                    : WorkAnswer{std::string(kUnreadableAnswer) + ": it wrote bytes that are no answer", {}, {}, {}};
  const bool clean = state == FrameState::kWhole && worker.received.empty() && answer.error != kUnreadableAnswer;
  results.push_back(WorkResult{*worker.job, std::move(answer.error), false, std::move(answer.attributes), std::move(answer.notes),
                               std::move(answer.molecules)});
  worker.job.reset();
  if (!clean) Stop(worker);
}

std::string WorkerPool::StartProblem() const { return startError_ ? std::strerror(startError_) : "unknown error"; }

std::vector<WorkResult> WorkerPool::Collect(std::chrono::milliseconds wait) {
  std::vector<WorkResult> results;
  std::vector<pollfd> fds;
  std::vector<Worker*> polled;
  for (Worker& worker : workers_) {
    if (!worker.job) continue;
    fds.push_back({worker.fromWorker, POLLIN, 0});
    polled.push_back(&worker);
  }
  if (fds.empty()) return results;
  if (poll(fds.data(), fds.size(), int(wait.count())) < 0 && errno != EINTR) return results;

  auto fail = [&](Worker& worker, const std::string& reason, bool mayPassAnotherTime) {
    results.push_back(WorkResult{*worker.job, reason, mayPassAnotherTime, {}, {}, {}});
    worker.job.reset();
    Stop(worker);
  };
  for (size_t i = 0; i < fds.size(); ++i) {
    Worker& worker = *polled[i];
    if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
      char buffer[65536];
      const ssize_t got = read(worker.fromWorker, buffer, sizeof buffer);
      if (got <= 0) {
        int status = 0;
        const pid_t pid = worker.pid;
        close(worker.toWorker);
        worker.toWorker = -1;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        worker.pid = -1;
        if (WIFSIGNALED(status) && StoppedFromOutside(WTERMSIG(status)))
          fail(worker, "the import was stopped from outside by " + HowItEnded(status), true);
        else
          fail(worker, "the importer crashed on this file: " + HowItEnded(status), false);
        continue;
      }
      worker.received.append(buffer, size_t(got));
      TakeAnswer(worker, results);
    }
  }
  for (Worker& worker : workers_)
    if (worker.job && Clock::now() - worker.started > timeLimit_)
      fail(worker, "the import took longer than " + std::to_string(timeLimit_.count()) + " s and was stopped", true);
  return results;
}

}  // namespace indexer
