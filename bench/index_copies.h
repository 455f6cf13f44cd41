// Large indexes for the benchmarks, made in minutes instead of hours: the
// documents an index holds, copied inside the store under other roots
// (/copy-002/..., /copy-003/...) with their look-up rows, so that the index ends
// up holding `times` times as many documents, each query matching `times`
// times as many.
//
// This reaches into each engine's own tables, which nothing else outside the
// engines does: filling ten million documents through the writers takes hours
// on a desktop machine, and copying the rows by SQL takes minutes. A table the
// copier does not know stops it with a message, and its test counts every
// query kind after copying, so a change of the schema cannot make it copy less
// than it claims.
#pragma once

#include <functional>
#include <string>

namespace bench {

struct CopyOptions {
  int times = 2;                // the index holds this many times its documents afterwards
  bool molecules = true;        // false: the copies have no molecules (their documents keep their SMILES)
  std::function<void(const std::string&)> progress = [](const std::string&) {};
};

// The copy's root prefix, such as "/copy-007".
std::string CopyPrefix(int copy);

// A SQLite index file or a PostgreSQL URI, as the tools take; throws with a message.
// Afterwards a writer is opened and closed on the index, which packs what it packs.
void CopyDocuments(const std::string& location, const CopyOptions& options);

}  // namespace bench
