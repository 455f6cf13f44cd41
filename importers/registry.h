// Which importer a path needs, by its name and content, and the attributes
// every document gets from its file.
#pragma once

#include <filesystem>
#include <string>

#include "importers/importer.h"

namespace importers {

enum class Family { None, Jcamp, ExperimentFolder, NmreData, Molecules };

const char* FamilyName(Family family);

// None for what is no document: other files, AppleDouble files ("._name"),
// ".DS_Store", folders that are not experiment folders.
Family Recognise(const std::filesystem::path& path);

// True for folders the crawler never enters: hidden ones and __MACOSX.
bool IsSkippedFolder(const std::filesystem::path& folder);

// The importer's attributes, with the file's own (display name, size,
// modification date, and a creation date where the format records none).
ImportOutcome ImportDocument(const std::filesystem::path& path, Family family);

// The attributes of the file alone, for a document whose import failed.
metadata::Attributes FileAttributes(const std::filesystem::path& path);

}  // namespace importers
