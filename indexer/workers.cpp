#include "indexer/workers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <thread>

#include "platform/metadata/json_documents.h"
#include "indexer/import.h"

extern char** environ;

namespace indexer {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kMaxMessage = 256u << 20;

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
  const std::uint32_t length = std::uint32_t(message.size());
  return WriteAll(fd, reinterpret_cast<const char*>(&length), 4) && WriteAll(fd, message.data(), message.size());
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

std::string Answer(const std::string& path, importers::Family family) {
  MaybeFault(path);
  importers::ImportOutcome outcome = ImportForIndex(path, family);
  nlohmann::json answer;
  if (auto* error = std::get_if<importers::ImportError>(&outcome)) {
    answer = {{"ok", false}, {"error", error->message}};
  } else {
    const auto& imported = std::get<importers::Imported>(outcome);
    answer = {{"ok", true}, {"attributes", metadata::AttributesToTypedJson(imported.attributes)}, {"notes", imported.notes}};
  }
  return metadata::DumpJson(answer);
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

int RunWorker() {
  for (int number : kTerminalSignals) std::signal(number, SIG_IGN);
  const sigset_t terminal = TerminalSignals();
  sigprocmask(SIG_UNBLOCK, &terminal, nullptr);  // those that came meanwhile were discarded by SIG_IGN
  for (;;) {
    std::uint32_t length = 0;
    if (!ReadAll(0, reinterpret_cast<char*>(&length), 4) || length == 0 || length > kMaxMessage) return 0;
    std::string request(length, '\0');
    if (!ReadAll(0, request.data(), length)) return 0;
    const importers::Family family = importers::FamilyNumbered(static_cast<unsigned char>(request.back()));
    request.pop_back();
    if (!SendMessage(1, Answer(request, family))) return 0;
  }
}

struct WorkerPool::Worker {
  pid_t pid = -1;
  int toWorker = -1, fromWorker = -1;
  std::optional<Candidate> job;
  Clock::time_point started;
  std::string received;
};

WorkerPool::WorkerPool(std::string program, size_t workers, std::chrono::seconds timeLimit)
    : program_(std::move(program)), timeLimit_(timeLimit), workers_(std::max<size_t>(workers, 1)) {
  signal(SIGPIPE, SIG_IGN);  // a worker that died is noticed by its pipe, not by a signal
}

WorkerPool::~WorkerPool() {
  for (Worker& worker : workers_) Stop(worker);
}

bool WorkerPool::Start(Worker& worker) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return false;
  if (pipe2(out, O_CLOEXEC) != 0) {
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
  char* argv[] = {const_cast<char*>(program_.c_str()), const_cast<char*>("--worker"), nullptr};
  const int status = posix_spawn(&worker.pid, program_.c_str(), &actions, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  if (status != 0) {
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
    std::string request = candidate.path;
    request.push_back(char(importers::FamilyNumber(candidate.family)));
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
    results.push_back(WorkResult{*worker.job, reason, mayPassAnotherTime, {}, {}});
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
      std::uint32_t length = 0;
      if (worker.received.size() >= 4) std::memcpy(&length, worker.received.data(), 4);
      if (worker.received.size() >= 4 && worker.received.size() >= 4 + size_t(length)) {
        nlohmann::json answer = nlohmann::json::parse(worker.received.substr(4, length), nullptr, false);
        worker.received.erase(0, 4 + size_t(length));
        WorkResult result{*worker.job, std::nullopt, false, {}, {}};
        worker.job.reset();
        if (!answer.is_object()) {
          result.failure = "the importer gave an unreadable answer";
        } else if (!answer.value("ok", false)) {
          result.failure = answer.value("error", std::string("the import failed"));
        } else if (auto attributes = metadata::AttributesFromTypedJson(answer["attributes"])) {
          result.attributes = std::move(*attributes);
          if (answer["notes"].is_array())
            for (const auto& note : answer["notes"]) result.notes.push_back(note.is_string() ? note.get<std::string>() : "");
        } else {
          result.failure = "the importer gave unreadable attributes";
        }
        results.push_back(std::move(result));
      }
    }
  }
  for (Worker& worker : workers_)
    if (worker.job && Clock::now() - worker.started > timeLimit_)
      fail(worker, "the import took longer than " + std::to_string(timeLimit_.count()) + " s and was stopped", true);
  return results;
}

}  // namespace indexer
