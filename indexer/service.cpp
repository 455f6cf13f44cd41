#include "indexer/service.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

extern char** environ;

namespace indexer {

int SetServiceEnabled(bool enable) {
  std::vector<std::string> argv{"systemctl", "--user", enable ? "enable" : "disable", "--now", "orvane-index.service"};
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  pid_t child = 0;
  if (const int error = posix_spawnp(&child, "systemctl", nullptr, nullptr, args.data(), environ); error != 0) {
    std::cerr << "orvane-index: cannot run systemctl (" << std::strerror(error)
              << "); run the watcher some other way: orvane-index --watch\n";
    return 127;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0)
    if (errno != EINTR) return 127;
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (code != 0) std::cerr << "orvane-index: systemctl --user " << argv[2] << " failed (status " << code << ")\n";
  else std::cerr << "orvane-index: the watcher service is " << (enable ? "enabled and started" : "stopped and disabled") << "\n";
  return code;
}

}  // namespace indexer
