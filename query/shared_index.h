// A lab's shared index. With one configured, "Search in: Network" searches it
// whole, and every other scope the user's own index; `mounts` say where the
// server's folders are mounted here, so that Open and Show in Folder reach a hit.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

struct SharedIndexSettings {
  std::optional<std::string> location;  // a PostgreSQL URI or an index file
  std::vector<std::pair<std::string, std::string>> mounts;  // folder on the server, folder here
};

void SetSharedIndex(SharedIndexSettings settings);
const SharedIndexSettings& SharedIndex();
