// How a storage engine takes a document's values and notes apart for its
// tables: one way for every engine, so that each keeps what the others keep.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/metadata/value.h"

namespace metadata {

bool IsStringValue(const Value& value);
bool IsEmptyArray(const Value& value);
void ForEachString(const Value& value, const std::function<void(const std::string&)>& visit);
void ForEachNumber(const Value& value, const std::function<void(double)>& visit);  // a date as its seconds

// Notes hold no line breaks of their own (an importer's note is one line), so
// one text with a line each keeps them apart.
std::string JoinedNotes(const std::vector<std::string>& notes);
std::vector<std::string> SplitNotes(const std::string& joined);

// The first byte string after every "folder/...": '/' + 1 is '0'. The root
// folder holds everything and needs no range; callers test for it.
std::string FolderRangeEnd(const std::string& folder);

}  // namespace metadata
