// The families of documents Orvane reads, one row each in format_table.cpp.
// Everything that needs to know the formats asks here: recognising a path,
// the family a stored document names, the lists in help and messages.
#pragma once

#include <span>
#include <string_view>

#include "importers/format_family.h"

namespace importers {

// In the order they are asked: the first family that recognises a path
// takes it.
std::span<const FormatFamily* const> Families();

// Null for a name no family has (a family since removed, or none at all).
const FormatFamily* FamilyNamed(std::string_view name);

// A family's place in the table, from 1, and back: a short tag for the
// family between processes of the same program. 0 and null for none.
unsigned FamilyNumber(const FormatFamily* family);
const FormatFamily* FamilyNumbered(unsigned number);

}  // namespace importers
