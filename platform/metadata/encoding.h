// A document's attributes as one compact record, for the index's documents
// table: read whole for display, or one attribute at a time for matching.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/metadata/value.h"

namespace metadata {

// How numbers are written: Plain, 8 bytes each, is what every reader of an
// older record knows; Scaled keeps a number that is a short decimal (a
// chemical shift, a mass) in a few bytes, and others as Plain does.
enum class NumberLayout { Plain, Scaled };

// `idOf` names each attribute by its number in the index.
std::string EncodeAttributes(const Attributes& attributes, const std::function<int(const std::string&)>& idOf,
                             NumberLayout layout = NumberLayout::Plain);

// Calls `visit` for each attribute of the record; false for a damaged record.
bool DecodeAttributes(std::string_view record, const std::function<void(int id, Value&& value)>& visit);

// The one attribute `id` of the record, without decoding the others.
std::optional<Value> DecodeAttribute(std::string_view record, int id);

}  // namespace metadata
