// Documents described in JSON, one a line, and attribute values as JSON:
// how other systems hand metadata to the index, and how the tools print it.
//
//   {"path": "/data/a.jdx", "network": false, "attributes": {...}}
//
// with the attributes by name, as kMDItemTitle: "Aspirin", Tormalin_Peaks:
// [2.29, 7.1], kMDItemContentCreationDate: "2019-05-07T16:15:00Z".
// A JSON string, number, array of strings or array of numbers gives that type;
// a string of a date attribute (attributes.h: HoldsDates) is an ISO 8601 date.
// kMDItemPath and kMDItemDisplayName come from the path.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "platform/metadata/store.h"

namespace metadata {

// The document of one line, or why the line is not one.
std::variant<DocumentRecord, std::string> ReadJsonDocument(std::string_view line);

// The value as JSON: dates as ISO 8601 strings, arrays as arrays. Strings that
// are not valid UTF-8 have their bad bytes replaced.
nlohmann::json ValueToJson(const Value& value);
std::string DumpJson(const nlohmann::json& json);

// The value as a person reads it: strings quoted, arrays in parentheses,
// dates as "2019-05-07 16:15:00 +0000".
std::string FormatValue(const Value& value);

}  // namespace metadata

namespace metadata {
// Attributes as JSON that keeps every type (a date stays a date, an empty
// array keeps its kind): how the indexer's workers hand back what they read.
nlohmann::json AttributesToTypedJson(const Attributes& attributes);
std::optional<Attributes> AttributesFromTypedJson(const nlohmann::json& json);
}  // namespace metadata
