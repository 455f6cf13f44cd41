#include "results/shared_paths.h"

#include "platform/metadata/store.h"

namespace {

std::optional<std::vector<std::pair<std::string, std::string>>>& Mounts() {
  static std::optional<std::vector<std::pair<std::string, std::string>>> mounts;
  return mounts;
}

}  // namespace

void SetListedFromSharedIndex(std::optional<std::vector<std::pair<std::string, std::string>>> mounts) { Mounts() = std::move(mounts); }

bool ListedFromSharedIndex() { return Mounts().has_value(); }

std::string LocalPathOf(const std::string& recorded) {
  if (!Mounts()) return recorded;
  const std::pair<std::string, std::string>* deepest = nullptr;
  std::string deepestServer;
  for (const auto& mount : *Mounts()) {
    const std::string server = metadata::NormalizeFolder(mount.first);
    if (metadata::IsAtOrBelow(recorded, server) && (!deepest || server.size() > deepestServer.size())) {
      deepest = &mount;
      deepestServer = server;
    }
  }
  if (!deepest) return recorded;
  const std::string rest = deepestServer == "/" ? recorded.substr(1) : recorded.substr(deepestServer.size());
  std::string local = metadata::NormalizeFolder(deepest->second);
  if (rest.empty()) return local;
  if (local == "/") local.clear();
  return local + (rest.front() == '/' ? "" : "/") + rest;
}
