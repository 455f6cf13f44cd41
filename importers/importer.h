// An importer turns one document (a file, or an experiment folder) into
// attribute values for the index, or says what is wrong and where. Importers
// print nothing and keep no state between documents.
#pragma once

#include <filesystem>
#include <string>
#include <variant>
#include <vector>

#include "platform/metadata/value.h"

namespace importers {

struct Imported {
  metadata::Attributes attributes;
  std::vector<std::string> notes;  // what the user may want to know: records skipped, limits reached
};

struct ImportError {
  std::string message;  // "line 12: ..." or "offset 4096: ..." (the caller adds the path)
};

using ImportOutcome = std::variant<Imported, ImportError>;

// The limits no document may exceed, so that a hostile file costs a bounded
// amount of time and memory.
constexpr std::uintmax_t kMaxTextFileBytes = 256u << 20;
constexpr size_t kMaxPoints = 4u << 20;  // data points in one spectrum (the largest real 1D ones hold 1M)

}  // namespace importers
