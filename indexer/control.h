// One writer per index. A lock on a file beside the index says who writes;
// a watcher also listens on a user-only socket in $XDG_RUNTIME_DIR, through
// which another orvane-index hands it folders, pauses or resumes it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace indexer {

class WriterLock {
 public:
  explicit WriterLock(const std::filesystem::path& index);
  ~WriterLock();
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

  bool usable() const { return shared_ || fd_ >= 0; }
  bool TryTake();  // true when this process holds it now
  bool Take();     // waits for it; false when the lock file cannot be used
  pid_t Holder() const;  // the process holding it, as it wrote, 0 when not known
  const std::filesystem::path& file() const { return file_; }

 private:
  void WriteHolder();
  bool shared_ = false;
  std::filesystem::path file_;
  int fd_ = -1;
};

// Takes the lock for a run that writes the index; when another process holds
// it, says so (naming it) and waits. False when the lock file cannot be used.
bool TakeWriterLock(WriterLock& lock);

// Where the watcher of `index` listens.
std::filesystem::path ControlSocketPath(const std::filesystem::path& index);

// A request to the watcher: a command and its arguments, each ended by a NUL
// byte (paths may hold any other byte). The reply is a line of text; nothing
// when no watcher listens. A watcher busy with a batch of changes takes the
// request once it is done; one that has not answered within `wait` gets
// kBusyReply as its answer.
inline constexpr const char* kBusyReply = "busy with changes; it takes the request when done";
std::optional<std::string> AskWatcher(const std::filesystem::path& index, const std::vector<std::string>& request,
                                      std::chrono::milliseconds wait = std::chrono::seconds(10));

class ControlServer {
 public:
  explicit ControlServer(const std::filesystem::path& index);
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  int fd() const { return fd_; }
  const std::string& problem() const { return problem_; }  // why it does not listen, "" when it does
  // Takes one waiting request (empty when none came whole) and the
  // connection to answer it on (-1 when none).
  std::vector<std::string> Accept(int& connection);
  static void Answer(int connection, const std::string& reply);

 private:
  std::filesystem::path path_;
  int fd_ = -1;
  std::string problem_;
};

}  // namespace indexer
