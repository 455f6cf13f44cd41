#include "indexer/control.h"

#include "platform/metadata/store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <iostream>

namespace fs = std::filesystem;

namespace indexer {

namespace {

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buffer, size_t(got));
    if (text.size() > 1 << 20) break;  // no request is that long
  }
  return text;
}

void WriteAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t wrote = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return;
    done += size_t(wrote);
  }
}

void SetTimeout(int fd, std::chrono::milliseconds wait) {
  timeval limit{time_t(wait.count() / 1000), suseconds_t(wait.count() % 1000 * 1000)};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

bool AddressOf(const fs::path& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.native().size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.native().size());
  return true;
}

}  // namespace

// A database index takes several writers at once (each with its own folders),
// so only an index file has a lock beside it.
WriterLock::WriterLock(const fs::path& index) : shared_(metadata::IsDatabaseUri(index.string())) {
  if (shared_) return;
  file_ = index.string() + ".lock";
  std::error_code error;
  fs::create_directories(file_.parent_path(), error);
  fd_ = open(file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
}

WriterLock::~WriterLock() {
  if (fd_ >= 0) close(fd_);  // closing lets the lock go
}

bool WriterLock::TryTake() {
  if (shared_) return true;
  if (fd_ < 0 || flock(fd_, LOCK_EX | LOCK_NB) != 0) return false;
  WriteHolder();
  return true;
}

bool WriterLock::Take() {
  if (shared_) return true;
  if (fd_ < 0) return false;
  while (flock(fd_, LOCK_EX) != 0)
    if (errno != EINTR) return false;
  WriteHolder();
  return true;
}

void WriterLock::WriteHolder() {
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(fd_, 0) == 0) [[maybe_unused]] const ssize_t wrote = pwrite(fd_, pid.data(), pid.size(), 0);
}

pid_t WriterLock::Holder() const {
  char text[32] = {};
  if (fd_ < 0 || pread(fd_, text, sizeof text - 1, 0) <= 0) return 0;
  return pid_t(std::strtol(text, nullptr, 10));
}

bool TakeWriterLock(WriterLock& lock) {
  if (lock.TryTake()) return true;
  const pid_t holder = lock.Holder();
  std::cerr << "orvane-index: another orvane-index" << (holder > 0 ? " (process " + std::to_string(holder) + ")" : std::string())
            << " is writing the index; waiting for it to finish\n";
  return lock.Take();
}

fs::path ControlSocketPath(const fs::path& index) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  fs::path folder = runtime && *runtime ? fs::path(runtime) / "orvane" : fs::temp_directory_path() / ("orvane-" + std::to_string(getuid()));
  char name[64];
  // A file is the same index from every folder; a database URI is no path at all.
  const std::string named = metadata::IsDatabaseUri(index.native()) ? index.native() : fs::absolute(index).lexically_normal().string();
  std::snprintf(name, sizeof name, "index-%016zx.socket", std::hash<std::string>{}(named));
  return folder / name;
}

std::optional<std::string> AskWatcher(const fs::path& index, const std::vector<std::string>& request, std::chrono::milliseconds wait) {
  sockaddr_un address;
  if (!AddressOf(ControlSocketPath(index), address)) return std::nullopt;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  SetTimeout(fd, wait);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return std::nullopt;
  }
  std::string message;
  for (const std::string& part : request) message += part + '\0';
  WriteAll(fd, message);
  shutdown(fd, SHUT_WR);
  std::string reply = ReadAll(fd);
  close(fd);
  if (reply.empty()) return kBusyReply;  // it listens, so it runs: the request waits in the socket
  while (!reply.empty() && reply.back() == '\n') reply.pop_back();
  return reply;
}

ControlServer::ControlServer(const fs::path& index) : path_(ControlSocketPath(index)) {
  // The folder is the user's alone: no one else may hand the watcher folders.
  if (mkdir(path_.parent_path().c_str(), 0700) != 0 && errno != EEXIST) {
    problem_ = "cannot make " + path_.parent_path().string() + ": " + std::strerror(errno);
    return;
  }
  struct stat folder {};
  if (lstat(path_.parent_path().c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode) || folder.st_uid != getuid() ||
      (folder.st_mode & 077) != 0) {
    problem_ = path_.parent_path().string() + " is not a folder of this user's alone";
    return;
  }
  sockaddr_un address;
  if (!AddressOf(path_, address)) {
    problem_ = "the socket path " + path_.string() + " is too long";
    return;
  }
  fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  unlink(path_.c_str());  // left by a watcher that did not end cleanly; the writer lock says none runs
  const mode_t saved = umask(077);
  const bool bound = fd_ >= 0 && bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 && listen(fd_, 16) == 0;
  umask(saved);
  if (!bound) {
    problem_ = "cannot listen on " + path_.string() + ": " + std::strerror(errno);
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
}

ControlServer::~ControlServer() {
  if (fd_ < 0) return;
  close(fd_);
  unlink(path_.c_str());
}

std::vector<std::string> ControlServer::Accept(int& connection) {
  std::vector<std::string> request;
  connection = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (connection < 0) return request;
  SetTimeout(connection, std::chrono::seconds(2));
  const std::string message = ReadAll(connection);
  for (size_t at = 0; at < message.size();) {
    const size_t end = message.find('\0', at);
    if (end == std::string::npos) break;
    request.push_back(message.substr(at, end - at));
    at = end + 1;
  }
  return request;
}

void ControlServer::Answer(int connection, const std::string& reply) {
  WriteAll(connection, reply + "\n");
  close(connection);
}

}  // namespace indexer
