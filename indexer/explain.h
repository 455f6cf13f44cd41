// `orvane-index --explain`: what the importers make of each path, without
// touching an index; how a user learns why a file is or is not found.
#pragma once

#include <string>
#include <vector>

namespace indexer {

// Prints each path's family, attributes and notes on standard output. The
// import is the one the workers run, so what is shown is what the index
// gets. Returns 0 when every path gave attributes, 1 otherwise.
int Explain(const std::vector<std::string>& paths);

}  // namespace indexer
