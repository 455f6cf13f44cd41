// A file layer for index files that maps the whole database into memory for
// reading, where SQLite's own Unix layer maps at most its build's limit
// (2 GB in Debian's build). Past that limit every page of a large index came
// through a read and a copy. Everything else is SQLite's Unix layer.
#pragma once

namespace metadata::sqlite {

// The name to open index files with (sqlite3_open_v2's zVfs); registered on
// the first call. Null when SQLite has no Unix layer to build on: then the
// default layer opens them.
const char* MappedVfsName();

}  // namespace metadata::sqlite
