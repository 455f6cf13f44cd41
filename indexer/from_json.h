// Documents handed over by another system as JSON lines (the format of
// platform/metadata/json_documents.h), stored without importing any file.
#pragma once

#include <filesystem>
#include <istream>
#include <string>

#include "platform/metadata/store.h"

namespace indexer {

// Stores the documents described in `input`, one JSON object a line, in one
// transaction; `inputName` names the input in messages. Returns the exit
// status: 0, 1 when lines were skipped, 2 when the index could not be written.
int StoreJsonLines(metadata::IndexWriter& writer, std::istream& input, const std::string& inputName);

// The same from `file` ("-": standard input) into the index at `index`.
int IndexFromJson(const std::filesystem::path& index, const std::string& file);

}  // namespace indexer
