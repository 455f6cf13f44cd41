// Which family a path belongs to, its import, and the attributes every
// document gets from its file.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "importers/format_table.h"
#include "importers/importer.h"

namespace importers {

// A document's family; null for what is no document.
using Family = const FormatFamily*;

// "none" for no family.
std::string_view FamilyName(Family family);

// The first family of the table that takes the path; null for other files,
// AppleDouble files ("._name"), ".DS_Store" and folders no family takes.
Family Recognise(const std::filesystem::path& path);

// Whether a folder whose entries are named as `holds` answers may be a
// folder document: false when no such family's marker is among them, and
// then Recognise would find no folder document there.
bool MayBeFolderDocument(const std::function<bool(std::string_view name)>& holds);

// True for folders the crawler never enters: hidden ones and __MACOSX.
bool IsSkippedFolder(const std::filesystem::path& folder);

// The importer's attributes, with the file's own (display name, size,
// modification date, and a creation date where the format records none).
ImportOutcome ImportDocument(const std::filesystem::path& path, Family family);

// The attributes of the file alone, for a document whose import failed.
metadata::Attributes FileAttributes(const std::filesystem::path& path);

}  // namespace importers
