// Where the listed hits are on this computer: as the index records them, or,
// for hits from a lab's shared index, below the folder its share is mounted on.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

// The folders of the shared index's server and where each is mounted here;
// none: the listed hits are the user's own.
void SetListedFromSharedIndex(std::optional<std::vector<std::pair<std::string, std::string>>> mounts);
bool ListedFromSharedIndex();
// The path by the deepest mount that holds it; unchanged when none does.
std::string LocalPathOf(const std::string& recorded);
